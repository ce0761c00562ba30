// Building a trie from records: rows of (term, video, count).
//
// Rows naming the same term are summed into its count, and rows naming the
// same term and video into that video's count; both are stored saturated at
// 2^32-1. Each term's videos are ranked as a merge ranks them (by their full
// 64-bit totals, largest first, equal totals by row), so that trimming a leaf
// to video_top_n keeps its largest videos. Videos get table rows in order of
// first appearance.
//
// The trie holds one node per distinct prefix. Siblings are ordered by code
// point and nodes are numbered in pre-order: the root is 0, every subtree is
// a contiguous range of numbers, and every parent comes before its children.
// The arrays then go through the same checks, assembly and propagation as the
// flat-array build, so the result is the trie that build gives for the same
// arrays.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "core/result.hpp"
#include "prefix/trie/trie.hpp"

namespace quorvatel {

/// Marks a row that adds to its term's count without naming a video.
inline constexpr std::uint32_t kNoVideo = std::numeric_limits<std::uint32_t>::max();

class RecordsBuilder {
 public:
  RecordsBuilder();

  /// The id of the term whose code points are `text`, adding it when new.
  /// Terms are told apart by their code points, whatever the width of the
  /// units they arrive in; `hash` must be equal for equal terms (a keyed hash
  /// such as the host's string hash keeps crafted terms from colliding). The
  /// term must be non-empty and free of U+0000; build() refuses it otherwise.
  template <class Unit>
  [[nodiscard]] std::uint32_t term(std::uint64_t hash, std::span<const Unit> text);

  /// The table row of a video, adding it when new. A builder takes videos of
  /// one kind only; build() refuses a mix.
  [[nodiscard]] std::uint32_t int_video(std::uint32_t id);
  [[nodiscard]] std::uint32_t uuid_video(const VideoUuid& id);

  /// One record: `count` for `term` and, unless `video` is kNoVideo, for
  /// that video row of the term.
  void add(std::uint32_t term, std::uint32_t video, std::uint32_t count);

  /// Hints that a lookup of the same term or video follows shortly, so that
  /// its slot is on its way into the cache meanwhile.
  void prefetch_term(std::uint64_t hash) const noexcept;
  void prefetch_int_video(std::uint32_t id) const noexcept;
  void prefetch_uuid_video(const VideoUuid& id) const noexcept;

  [[nodiscard]] std::size_t video_count() const noexcept { return int_ids_.size() + uuids_.size(); }

  /// Lays out the trie, assembles and propagates it. The builder's contents
  /// are consumed.
  [[nodiscard]] Result<Trie> build(std::uint64_t video_top_n) &&;

 private:
  struct Row {
    std::uint32_t term;
    std::uint32_t video;
    std::uint32_t count;
  };
  // Video slots hold their key, so that a lookup reads one place only.
  struct IntSlot {
    std::uint32_t key;
    std::uint32_t row;  // row + 1; 0 when the slot is free
  };
  struct UuidSlot {
    VideoUuid key;
    std::uint32_t row;  // row + 1; 0 when the slot is free
  };

  [[nodiscard]] std::uint64_t int_hash(std::uint32_t id) const noexcept;
  [[nodiscard]] std::uint64_t uuid_hash(const VideoUuid& id) const noexcept;
  void grow_terms();
  template <class Slot, class Key, class Hash>
  static std::uint32_t video_row(std::vector<Slot>& slots, std::vector<Key>& keys, const Key& key, Hash hash);

  // Terms: code points back to back, term i spanning ends_[i-1] .. ends_[i].
  std::vector<char32_t> chars_;
  std::vector<std::size_t> ends_;
  std::vector<std::uint64_t> term_hashes_;
  // Open addressing: (32 bits of the mixed hash << 32) | (term id + 1); 0 when free.
  std::vector<std::uint64_t> term_slots_;

  std::vector<std::uint32_t> int_ids_;  // the video table, in row order
  std::vector<VideoUuid> uuids_;
  std::vector<IntSlot> int_slots_;
  std::vector<UuidSlot> uuid_slots_;
  std::uint64_t video_seed_;

  std::vector<Row> rows_;
};

extern template std::uint32_t RecordsBuilder::term(std::uint64_t, std::span<const std::uint8_t>);
extern template std::uint32_t RecordsBuilder::term(std::uint64_t, std::span<const std::uint16_t>);
extern template std::uint32_t RecordsBuilder::term(std::uint64_t, std::span<const std::uint32_t>);

}  // namespace quorvatel
