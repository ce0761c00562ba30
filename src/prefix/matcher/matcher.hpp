// The bounded edit-distance walk over a trie: every node whose path (the
// labels from the root down to it) lies within max_dist edits of a term.
//
// The walk fills one edit-distance row per depth and prunes a subtree as soon
// as its row minimum exceeds max_dist. Output is in depth-first pre-order:
// a node before its descendants, siblings in edge order.
//
// Distances are exact whatever the term length and max_dist. While term
// length + max_dist + 2 fits in 16 bits, max_dist is used as given. Beyond
// that it is bounded by the larger of term length + node count (no path
// through an acyclic trie has a larger distance, so this changes no result
// there, and it bounds the depth of a walk through a cyclic snapshot) and the
// largest max_dist used as given for this term length, so that results never
// shrink as max_dist grows.
//
// A trie in walk form (a proven tree) is walked through its layout without
// per-step checks; any other trie through its plain arrays, every read
// checked. Both give the same hits in the same order.
//
// Working memory is one row per depth reached, each at most
// min(term length + 1, 2 * max_dist + 1) cells.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/cancel.hpp"
#include "prefix/trie/trie.hpp"
#include "prefix/trie/view.hpp"

namespace quorvatel {

/// One term hit.
struct MatchResult {
  std::string text;        ///< labels from depth 1 down to the node, as UTF-8
  std::size_t node;        ///< the terminal node
  std::uint32_t distance;  ///< edit distance to the whole term, at most max_dist

  friend bool operator==(const MatchResult&, const MatchResult&) = default;
};

/// One node hit.
struct NodeMatch {
  std::size_t node;
  std::uint32_t distance;

  friend bool operator==(const NodeMatch&, const NodeMatch&) = default;
};

/// Options every walk takes besides the term.
struct WalkOptions {
  std::uint32_t max_dist = 1;
  /// Stop once this many hits were recorded; 0 still records the first hit.
  std::optional<std::uint64_t> limit;
  /// Polled every kCancelPollInterval examined nodes; may be null.
  CancelHook* cancel = nullptr;
};

/// Terminal nodes within max_dist of `term`, with their text.
[[nodiscard]] std::vector<MatchResult> fuzzy_match(const TrieView& trie, std::u32string_view term,
                                                   const WalkOptions& options);

/// Nodes within max_dist of `term`; only terminal ones when `terminal_only`.
[[nodiscard]] std::vector<NodeMatch> fuzzy_match_nodes(const TrieView& trie, std::u32string_view term,
                                                       const WalkOptions& options, bool terminal_only);

/// The terminal nodes within max_dist of `term`, or every node within it when
/// none of them is terminal: what fuzzy_match_nodes gives with terminal_only
/// true, then with false when the first gave nothing, in one walk.
[[nodiscard]] std::vector<NodeMatch> fuzzy_match_nodes_terminal_first(const TrieView& trie, std::u32string_view term,
                                                                      const WalkOptions& options);

/// The same, on a trie's own view.
[[nodiscard]] inline std::vector<MatchResult> fuzzy_match(const Trie& trie, std::u32string_view term,
                                                          const WalkOptions& options) {
  return fuzzy_match(TrieView(trie), term, options);
}
[[nodiscard]] inline std::vector<NodeMatch> fuzzy_match_nodes(const Trie& trie, std::u32string_view term,
                                                              const WalkOptions& options, bool terminal_only) {
  return fuzzy_match_nodes(TrieView(trie), term, options, terminal_only);
}
[[nodiscard]] inline std::vector<NodeMatch> fuzzy_match_nodes_terminal_first(const Trie& trie,
                                                                             std::u32string_view term,
                                                                             const WalkOptions& options) {
  return fuzzy_match_nodes_terminal_first(TrieView(trie), term, options);
}

/// Whether a term of `term_length` code points with `max_dist` lies in the
/// range where max_dist is used as given.
[[nodiscard]] constexpr bool fits_narrow_cells(std::size_t term_length, std::uint32_t max_dist) noexcept {
  return static_cast<std::uint64_t>(term_length) + max_dist + 2 <= 0xFFFF;
}

/// The max_dist a walk uses: `max_dist` itself where it fits narrow cells;
/// beyond, the smaller of `max_dist` and the larger of term length + node
/// count and the largest max_dist that fits for this term length. Never
/// decreases as `max_dist` grows.
[[nodiscard]] std::uint32_t walk_max_dist(std::size_t term_length, std::uint32_t max_dist,
                                          std::size_t node_count) noexcept;

}  // namespace quorvatel
