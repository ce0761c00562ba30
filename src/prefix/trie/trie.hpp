// The character trie in flat arrays (compressed-sparse-row edges), its video
// table and the id mode that says which table is in use.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <source_location>
#include <vector>

#include "core/fault.hpp"
#include "payload/payload.hpp"
#include "prefix/trie/layout.hpp"

namespace quorvatel {

enum class IdMode : std::uint8_t {
  Uuid = 0,   ///< 16-byte ids in video_uuids; also the mode of a trie without videos
  Int32 = 1,  ///< unsigned 32-bit ids in video_int_ids
};

using VideoUuid = std::array<std::uint8_t, 16>;

/// Edges [begin, end) of one node in child_transitions; empty when begin >= end.
struct EdgeRange {
  std::size_t begin;
  std::size_t end;
};

/// A trie holds every field exactly as built or as read from a snapshot; a
/// snapshot's fields need not agree with each other, so each per-node array
/// keeps its own length and every read by index is checked.
///
/// A trie that is a tree rooted at node 0 is held in its walk form once it is
/// complete (derive_layout(), called by the build and the snapshot reader):
/// `layout` is set and `child_labels` is empty, the labels living in the
/// layout's edge labels. Every other field keeps its meaning; labels() gives
/// the per-node labels of either form. Code that edits the arrays of a trie
/// in walk form must first call drop_layout(), and may derive it again after.
struct Trie {
  std::vector<std::uint32_t> node_shifts;        ///< per node: first edge of its range
  std::vector<char32_t> child_labels;            ///< per node: its own character, 0 = never entered
  std::vector<std::uint32_t> child_transitions;  ///< per edge: the node it leads to
  PayloadTable payloads;                         ///< per node: optional aggregate
  std::vector<VideoUuid> video_uuids;            ///< video table in Uuid mode
  std::vector<std::uint32_t> video_int_ids;      ///< video table in Int32 mode
  IdMode id_mode = IdMode::Uuid;
  std::vector<std::uint8_t> terminal_flags;  ///< per node: 1 when it ends a stored term
  std::optional<TreeLayout> layout;          ///< set in walk form (a proven tree)

  /// Number of nodes: the length of child_labels (of node_shifts in walk form).
  [[nodiscard]] std::size_t node_count() const noexcept {
    return layout ? node_shifts.size() : child_labels.size();
  }

  /// Takes the walk form when the arrays form a tree rooted at node 0 (see
  /// derive_tree_layout); leaves the trie as it is otherwise. One linear pass.
  void derive_layout();
  /// Back to the plain arrays: child_labels filled again, no layout.
  void drop_layout();
  /// The per-node labels, in either form.
  [[nodiscard]] std::vector<char32_t> labels() const;

  /// The edge range of `node`: from node_shifts[node] to node_shifts[node+1],
  /// or to the end of child_transitions for the last entry of node_shifts.
  [[nodiscard]] EdgeRange edge_range(std::size_t node,
                                     std::source_location where = std::source_location::current()) const;
  [[nodiscard]] std::uint32_t child(std::size_t edge,
                                    std::source_location where = std::source_location::current()) const;
  [[nodiscard]] bool terminal(std::size_t node,
                              std::source_location where = std::source_location::current()) const;

  /// Folds every node's children into its payload, from the highest node
  /// number down, and trims each video list to `video_top_n` after its last
  /// child. Absent payloads become empty ones first. A child reached along k
  /// edges counts k times. Per-video totals are summed in 64 bits and ranked
  /// by that sum (equal sums by id), then stored saturated at 2^32-1. A node
  /// whose result equals its only child's list shares the child's record.
  /// Faults when an edge range runs past the end of child_transitions.
  void propagate(std::uint64_t video_top_n);

  /// Bytes of heap storage the walk layout's own arrays hold.
  [[nodiscard]] std::size_t layout_memory_bytes() const noexcept;

  /// Equal contents: the same labels in whichever form each trie holds them.
  friend bool operator==(const Trie& a, const Trie& b);
};

inline EdgeRange Trie::edge_range(std::size_t node, std::source_location where) const {
  const std::size_t begin = checked_at(node_shifts, node, where);
  const std::size_t end = node + 1 < node_shifts.size() ? node_shifts[node + 1] : child_transitions.size();
  return {begin, end};
}

inline std::uint32_t Trie::child(std::size_t edge, std::source_location where) const {
  return checked_at(child_transitions, edge, where);
}

inline bool Trie::terminal(std::size_t node, std::source_location where) const {
  return checked_at(terminal_flags, node, where) != 0;
}

}  // namespace quorvatel
