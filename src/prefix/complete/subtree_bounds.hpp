// What ranked completion needs from a trie beyond its arrays, derived once
// when an index is built or loaded: per node, the largest own count of a
// stored term in its subtree (the bound that lets a best-first search leave
// a subtree unexpanded), and the order of the nodes' texts.
//
// A term's own count is its node's count minus its children's counts (0 when
// that would be negative): on a propagated trie, the total of the records of
// that term alone.
//
// Only a tree can be searched this way: every edge leads from a node to one
// numbered after it, no node is entered twice, every edge range lies inside
// the edges and every per-node array has one entry per node. Every trie that
// a build makes is one; a snapshot or hand-made arrays that break a rule get
// a `problem` instead of bounds, and the search refuses them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "prefix/trie/trie.hpp"
#include "prefix/trie/view.hpp"

namespace quorvatel::complete {

/// Stored bound of a subtree without any stored term (through nodes the
/// searches enter: a child labelled 0 and its subtree are left out).
inline constexpr std::uint32_t kNoTerm = 0;

/// The stored form of a bound: 1 + the count, so that 0 can mean "no term";
/// the two largest counts share the top value, which reads back as the
/// largest (still an upper bound).
[[nodiscard]] constexpr std::uint32_t encode_bound(std::uint32_t count) noexcept {
  return count >= std::numeric_limits<std::uint32_t>::max() - 1 ? std::numeric_limits<std::uint32_t>::max()
                                                                 : count + 1;
}
/// The count a stored bound stands for; `stored` must not be kNoTerm.
[[nodiscard]] constexpr std::uint32_t decode_bound(std::uint32_t stored) noexcept {
  return stored == std::numeric_limits<std::uint32_t>::max() ? stored : stored - 1;
}

/// Read-only view of the bounds of one trie, whoever owns the memory: the
/// arrays of a SubtreeBounds, or of a mapped file.
struct SubtreeBoundsView {
  std::span<const std::uint32_t> best;   ///< per node; empty when not usable
  std::span<const std::uint32_t> ranks;  ///< per node, or empty: node numbers are ranks
  std::size_t edges = 0;                 ///< edges of the trie they were derived from
  std::string_view problem;              ///< empty when usable

  [[nodiscard]] bool usable() const noexcept { return problem.empty(); }
  /// Whether these bounds were derived from a trie of this shape.
  [[nodiscard]] bool fits(const TrieView& trie) const noexcept {
    return usable() && best.size() == trie.node_count() && edges == trie.child_transitions.size() &&
           (ranks.empty() || ranks.size() == best.size());
  }
};

class SubtreeBounds {
 public:
  /// Derives the bounds of `trie`; O(nodes + edges) time, and 4 bytes a node
  /// kept (8 when the node numbers do not follow text order). Never faults,
  /// whatever the arrays hold.
  [[nodiscard]] static SubtreeBounds derive(const Trie& trie);

  /// Why the trie cannot be searched, or empty when it can.
  [[nodiscard]] const std::string& problem() const noexcept { return problem_; }
  [[nodiscard]] bool usable() const noexcept { return problem_.empty(); }

  /// Whether these bounds were derived from a trie of this shape.
  [[nodiscard]] bool fits(const Trie& trie) const noexcept {
    return usable() && best_.size() == trie.node_count() && edges_ == trie.child_transitions.size();
  }

  /// Per node: the stored bound of its subtree (kNoTerm, or encode_bound of
  /// the largest own count of a stored term at or below it; the root's own
  /// count is left out, since the root is never a term of a search).
  [[nodiscard]] const std::uint32_t* best_own_counts() const noexcept { return best_.data(); }
  /// Per node: its rank in text order (the texts of the paths compared code
  /// point by code point; nodes with equal texts, below siblings with equal
  /// labels, share a rank), or nullptr when the node numbers already are
  /// such ranks (as in every trie that quorvatel.build makes).
  [[nodiscard]] const std::uint32_t* text_ranks() const noexcept {
    return ranks_.empty() ? nullptr : ranks_.data();
  }

  [[nodiscard]] SubtreeBoundsView view() const noexcept { return {best_, ranks_, edges_, problem_}; }

  /// Bytes of heap storage held.
  [[nodiscard]] std::size_t memory_bytes() const noexcept {
    return (best_.capacity() + ranks_.capacity()) * sizeof(std::uint32_t);
  }

 private:
  std::vector<std::uint32_t> best_;
  std::vector<std::uint32_t> ranks_;
  std::size_t edges_ = 0;
  std::string problem_;
};

}  // namespace quorvatel::complete
