// The read interface the completion search walks, and its adapter for an
// in-memory Trie. The search asks a view only for these: a node's child
// edges in order, the label of the child an edge leads to, a node's terminal
// flag and count, its subtree bound and its rank in text order. Labels are
// read per edge, so a layout that keeps them beside the edges rather than
// per node needs only another adapter, as does a mapped file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/fault.hpp"
#include "prefix/complete/subtree_bounds.hpp"
#include "prefix/trie/trie.hpp"
#include "prefix/trie/view.hpp"

namespace quorvatel::complete {

/// Child node numbers of one node, in edge order.
struct Children {
  const std::uint32_t* begin;
  const std::uint32_t* end;
};

class IndexView {
 public:
  /// `bounds` must have been derived from `trie` and be usable (faults
  /// otherwise): the derivation (or, for a mapped file, the opener's proof of
  /// the same rules) showed every read below to lie inside its array, so the
  /// reads are not checked again one by one.
  IndexView(const TrieView& trie, const SubtreeBoundsView& bounds)
      : n_(trie.node_count()),
        m_(trie.child_transitions.size()),
        shifts_(trie.node_shifts.data()),
        edges_(trie.child_transitions.data()),
        labels_(trie.child_labels.data()),
        tree_(trie.tree),
        edge_labels_(trie.edge_labels),
        wide_labels_(trie.wide_labels),
        terminal_(trie.terminal_flags.data()),
        payloads_(trie.payloads),
        best_(bounds.best.data()),
        ranks_(bounds.ranks.empty() ? nullptr : bounds.ranks.data()) {
    if (!bounds.fits(trie)) [[unlikely]]
      throw InternalFault("subtree bounds that were not derived from this trie");
  }

  [[nodiscard]] std::size_t node_count() const noexcept { return n_; }

  [[nodiscard, gnu::always_inline]] Children children(std::uint32_t node) const noexcept {
    const std::size_t begin = shifts_[node];
    const std::size_t end = node + 1 < n_ ? shifts_[node + 1] : m_;
    if (begin >= end)
      return {edges_, edges_};
    return {edges_ + begin, edges_ + end};
  }
  /// The label of the child that `edge` (an element of children()) leads to.
  [[nodiscard]] char32_t label(const std::uint32_t* edge) const noexcept {
    if (tree_)  // walk form: the labels sit beside the edges
      return edge_label(edge_labels_, wide_labels_, static_cast<std::size_t>(edge - edges_));
    return labels_[*edge];
  }
  [[nodiscard]] bool terminal(std::uint32_t node) const noexcept { return terminal_[node] != 0; }
  /// 0 for an absent payload.
  [[nodiscard]] std::uint32_t count(std::uint32_t node) const noexcept {
    return payloads_.count_unchecked(node);
  }
  /// The stored bound of the node's subtree (see SubtreeBounds).
  [[nodiscard]] std::uint32_t best_own(std::uint32_t node) const noexcept { return best_[node]; }
  [[nodiscard]] std::uint32_t rank(std::uint32_t node) const noexcept {
    return ranks_ == nullptr ? node : ranks_[node];
  }

 private:
  std::size_t n_;
  std::size_t m_;
  const std::uint32_t* shifts_;
  const std::uint32_t* edges_;
  const char32_t* labels_;
  bool tree_;
  std::span<const std::uint16_t> edge_labels_;
  std::span<const WideLabel> wide_labels_;
  const std::uint8_t* terminal_;
  PayloadTableView payloads_;
  const std::uint32_t* best_;
  const std::uint32_t* ranks_;
};

}  // namespace quorvatel::complete
