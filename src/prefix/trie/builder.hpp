// Building a trie from the host's flat arrays: the checks in their order, the
// video table choice, assembly and propagation. The boundary converts host
// objects and calls these steps in order; build_trie() runs them all for
// callers that already hold plain values (tests, fuzzers, benchmarks).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/result.hpp"
#include "prefix/trie/trie.hpp"

namespace quorvatel {

/// Byte strings stored back to back (the entries of video_index).
class ByteRows {
 public:
  void reserve(std::size_t rows, std::size_t bytes) {
    ends_.reserve(rows);
    bytes_.reserve(bytes);
  }
  void push_byte(std::uint8_t b) { bytes_.push_back(b); }
  void append(std::span<const std::uint8_t> row) { bytes_.insert(bytes_.end(), row.begin(), row.end()); }
  void end_row() { ends_.push_back(bytes_.size()); }
  void push_row(std::span<const std::uint8_t> row) {
    append(row);
    end_row();
  }
  [[nodiscard]] std::size_t size() const noexcept { return ends_.size(); }
  [[nodiscard]] std::span<const std::uint8_t> row(std::size_t i) const noexcept {
    const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
    return std::span(bytes_).subspan(begin, ends_[i] - begin);
  }

 private:
  std::vector<std::uint8_t> bytes_;
  std::vector<std::size_t> ends_;
};

struct VideoTable {
  IdMode id_mode = IdMode::Uuid;
  std::vector<VideoUuid> uuids;
  std::vector<std::uint32_t> int_ids;
};

/// The shape checks, in the order they are reported: the lengths of
/// node_shifts and of payloads against the label count, then every edge
/// target against the label count.
[[nodiscard]] Result<void> check_arrays(std::size_t node_shifts_len, std::size_t label_count,
                                        std::size_t payloads_len,
                                        std::span<const std::uint32_t> child_transitions);

/// The message of the payload list-length check.
[[nodiscard]] Error payload_length_mismatch();

/// Picks the video table: all entries 16 bytes (Uuid), else all 4 bytes
/// (Int32, little-endian), else an error. An empty index gives Uuid.
[[nodiscard]] Result<VideoTable> choose_video_table(const ByteRows& video_index);

/// Assembles a trie from checked parts and propagates it; a tree takes its
/// walk form.
[[nodiscard]] Trie assemble_trie(std::vector<std::uint32_t> node_shifts, std::vector<char32_t> child_labels,
                                 std::vector<std::uint32_t> child_transitions, PayloadTable payloads,
                                 std::vector<std::uint8_t> terminal_flags, VideoTable videos,
                                 std::uint64_t video_top_n);

/// Every step for plain inputs, in the order the checks are defined.
[[nodiscard]] Result<Trie> build_trie(std::vector<std::uint32_t> node_shifts,
                                      std::vector<char32_t> child_labels,
                                      const std::vector<std::optional<Payload>>& payloads,
                                      std::vector<std::uint32_t> child_transitions, const ByteRows& video_index,
                                      std::uint64_t video_top_n);

}  // namespace quorvatel
