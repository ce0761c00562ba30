// The walk's layout of a trie that is a tree rooted at node 0.
//
// A trie whose arrays form such a tree (tested once, when the trie is built
// or loaded) keeps its node numbering, its node_shifts and its
// child_transitions, and gains one 16-bit label per edge: the label of the
// child the edge leads to. A node's child labels are then one contiguous run
// beside its edges, which the walk scans several at a time, and the per-node
// labels are no longer needed in memory (to_bytes writes them again from the
// edges, byte for byte). Labels of 0xFFFF and above are rare (emoji and other
// code points outside the Basic Multilingual Plane): their edges hold an
// escape value and the labels sit in a small table ordered by edge.
//
// The tree test proves, for every index the walk forms, that it lies inside
// its array: every range inside the edges, every child number inside the
// nodes and numbered after its parent, every node entered once. The walk over
// this layout therefore reads without per-step checks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quorvatel {

/// A child label of 0xFFFF or more, kept beside the 16-bit edge labels.
struct WideLabel {
  std::uint32_t edge;
  char32_t label;

  friend bool operator==(const WideLabel&, const WideLabel&) = default;
};

/// The 16-bit edge label that stands for a label held in the wide table.
inline constexpr std::uint16_t kWideLabelEscape = 0xFFFF;

/// The walk reads edge labels in blocks of this many; the label array holds
/// as many zero entries past the last edge, so a block starting at any edge
/// stays inside it.
inline constexpr std::size_t kEdgeLabelBlock = 8;

/// Subtree heights are stored saturated at this value.
inline constexpr std::uint8_t kHeightMax = 255;

struct TreeLayout {
  /// Per edge, the 16-bit form of its child's label, followed by
  /// kEdgeLabelBlock zero entries.
  std::vector<std::uint16_t> edge_labels;
  /// The labels of the edges marked kWideLabelEscape, ordered by edge.
  std::vector<WideLabel> wide_labels;
  /// Per edge, the height of its child's subtree (0 for a leaf), saturated
  /// at kHeightMax; the walk skips subtrees too shallow to reach a hit.
  std::vector<std::uint8_t> edge_heights;
  /// The root's label, which no edge carries (searches never read it).
  char32_t root_label = 0;

  friend bool operator==(const TreeLayout&, const TreeLayout&) = default;
};

/// The arrays a layout is derived from, as they stand before it.
struct TreeArrays {
  std::span<const std::uint32_t> node_shifts;
  std::span<const char32_t> child_labels;
  std::span<const std::uint32_t> child_transitions;
  std::size_t payload_slots;
  std::size_t terminal_flags;
};

/// The layout of `arrays` when they form a tree rooted at node 0: at least
/// one node; node_shifts, child_labels, the payload slots and the terminal
/// flags all of one length n; node_shifts starting at 0, non-decreasing and
/// the last at most the edge count; every edge leading from its node to a
/// larger node number below n; every node but the root entered by exactly
/// one edge. Otherwise nullopt: the trie keeps its plain arrays.
[[nodiscard]] std::optional<TreeLayout> derive_tree_layout(const TreeArrays& arrays);

/// The label of edge `e` of a layout; `e` must be an edge of it.
[[nodiscard]] char32_t edge_label(std::span<const std::uint16_t> edge_labels, std::span<const WideLabel> wide,
                                  std::size_t e) noexcept;

/// The per-node labels a layout stands for: node 0 gets `root_label`, the
/// child of edge e the label of e.
[[nodiscard]] std::vector<char32_t> node_labels(const TreeLayout& layout,
                                                std::span<const std::uint32_t> child_transitions);
/// The same from the layout's parts, wherever they are held.
[[nodiscard]] std::vector<char32_t> node_labels(char32_t root_label, std::span<const std::uint16_t> edge_labels,
                                                std::span<const WideLabel> wide_labels,
                                                std::span<const std::uint32_t> child_transitions);

}  // namespace quorvatel
