#include "prefix/complete/subtree_bounds.hpp"

#include <algorithm>
#include <format>
#include <optional>
#include <utility>

namespace quorvatel::complete {
namespace {

/// What the derivation keeps per node while it runs.
struct Subtree {
  std::uint32_t best;     ///< the stored bound
  std::uint32_t size;     ///< nodes in the subtree
  std::uint32_t entered;  ///< nodes in the subtree that a search enters (no label 0 on the way)
};

/// Text order when no node has two entered children with equal labels: a
/// node's rank is its parent's plus one plus the entered sizes of its
/// siblings with smaller labels. One pass in node order, parents first;
/// nullopt when two siblings turn out to share a label.
std::optional<std::vector<std::uint32_t>> rank_by_label(const Trie& trie, const std::vector<Subtree>& sub) {
  const std::size_t n = trie.node_count();
  const std::size_t m = trie.child_transitions.size();
  std::vector<std::uint32_t> rank(n, std::numeric_limits<std::uint32_t>::max());
  std::vector<std::pair<char32_t, std::uint32_t>> children;
  if (n != 0)
    rank[0] = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (rank[i] == std::numeric_limits<std::uint32_t>::max())
      continue;  // not entered
    const std::size_t begin = trie.node_shifts[i];
    const std::size_t end = i + 1 < n ? trie.node_shifts[i + 1] : m;
    children.clear();
    for (std::size_t e = begin; e < end; ++e) {
      const std::uint32_t c = trie.child_transitions[e];
      if (trie.child_labels[c] != 0)
        children.emplace_back(trie.child_labels[c], c);
    }
    if (!std::ranges::is_sorted(children))
      std::ranges::sort(children);
    std::uint32_t next = rank[i] + 1;
    char32_t previous = 0;
    for (const auto& [label, c] : children) {
      if (label == previous)
        return std::nullopt;
      previous = label;
      rank[c] = next;
      next += sub[c].entered;
    }
  }
  return rank;
}

/// Text order in general: a depth-first walk from the root over groups of nodes with
/// the same text (siblings with equal labels, their equally labelled
/// children, and so on), each group's children grouped by label and taken in
/// label order. Every node of a group gets the group's rank, so a rank
/// compares as the node's text does. The trie is a tree whose edges all lie
/// inside the edge array (checked before); nodes that a search never enters
/// (labelled 0, or below such a node, or not reached from the root) keep the
/// largest rank.
std::vector<std::uint32_t> rank_by_text(const Trie& trie) {
  const std::size_t n = trie.node_count();
  const std::size_t m = trie.child_transitions.size();
  std::vector<std::uint32_t> rank(n, std::numeric_limits<std::uint32_t>::max());
  // Groups are ranges of `members`; each node joins one group at most, since
  // a tree enters it once.
  std::vector<std::uint32_t> members{0};
  std::vector<std::pair<std::size_t, std::size_t>> stack{{0, 1}};
  std::vector<std::pair<char32_t, std::uint32_t>> children;
  std::uint32_t next = 0;
  while (!stack.empty()) {
    const auto [first, last] = stack.back();
    stack.pop_back();
    children.clear();
    for (std::size_t g = first; g < last; ++g) {
      const std::uint32_t node = members[g];
      rank[node] = next;
      const std::size_t begin = trie.node_shifts[node];
      const std::size_t end = node + 1 < n ? trie.node_shifts[node + 1] : m;
      for (std::size_t e = begin; e < end; ++e) {
        const std::uint32_t c = trie.child_transitions[e];
        if (trie.child_labels[c] != 0)
          children.emplace_back(trie.child_labels[c], c);
      }
    }
    ++next;
    if (!std::ranges::is_sorted(children))
      std::ranges::sort(children);
    // Groups by label, pushed last label first so that the first comes off first.
    std::size_t end = children.size();
    while (end > 0) {
      std::size_t begin = end - 1;
      while (begin > 0 && children[begin - 1].first == children[end - 1].first)
        --begin;
      const std::size_t at = members.size();
      for (std::size_t i = begin; i < end; ++i)
        members.push_back(children[i].second);
      stack.emplace_back(at, members.size());
      end = begin;
    }
  }
  return rank;
}

}  // namespace

SubtreeBounds SubtreeBounds::derive(const Trie& trie) {
  SubtreeBounds out;
  const std::size_t n = trie.node_count();
  const std::size_t m = trie.child_transitions.size();
  out.edges_ = m;
  auto refuse = [&](std::string problem) {
    out.problem_ = std::move(problem);
    out.best_ = {};
    out.ranks_ = {};
    return std::move(out);
  };
  auto per_node = [n](std::string_view field, std::size_t len) -> std::string {
    return len == n ? std::string() : std::format("{} has {} entries for {} nodes", field, len, n);
  };
  for (const auto& [field, len] : {std::pair<std::string_view, std::size_t>{"node_shifts", trie.node_shifts.size()},
                                   {"payloads", trie.payloads.size()},
                                   {"terminal_flags", trie.terminal_flags.size()}}) {
    if (std::string problem = per_node(field, len); !problem.empty())
      return refuse(std::move(problem));
  }

  // One pass from the highest node down: with every edge leading to a higher
  // number, a node's children are finished when the node is reached. The same
  // pass finds whether the numbers follow text order: they do when each
  // node's children come in increasing label order, the first right after
  // the node and each next one right after its previous sibling's subtree
  // (pre-order).
  const std::uint32_t* counts = trie.payloads.slot_counts().data();  // 0 for an absent payload
  const std::uint32_t* edges = trie.child_transitions.data();
  const char32_t* labels = trie.child_labels.data();
  std::vector<Subtree> sub(n);
  std::vector<std::uint64_t> entered((n + 63) / 64);
  bool text_order = true;
  for (std::size_t i = n; i-- > 0;) {
    const std::size_t begin = trie.node_shifts[i];
    const std::size_t end = i + 1 < n ? trie.node_shifts[i + 1] : m;
    if (begin < end && end > m)
      return refuse(std::format("node {}'s edges {}..{} run past the last of the {} edges", i, begin, end, m));
    std::uint64_t below = 0;  // the children's counts
    std::uint32_t best = kNoTerm;
    std::size_t expected = i + 1;
    char32_t previous = 0;  // the last entered child's label; 0 before the first
    std::uint64_t nodes = 1;
    std::uint64_t entered_nodes = 1;
    for (std::size_t e = begin; e < end; ++e) {
      const std::size_t c = edges[e];
      if (c >= n)
        return refuse(std::format("edge {} leads to node {}, past the last node {}", e, c, n - 1));
      if (c <= i)
        return refuse(std::format("edge {} leads from node {} back to node {}", e, i, c));
      std::uint64_t& word = entered[c / 64];
      const std::uint64_t bit = std::uint64_t{1} << (c % 64);
      if ((word & bit) != 0)
        return refuse(std::format("node {} is entered by more than one edge", c));
      word |= bit;
      below += counts[c];
      const char32_t label = labels[c];
      const Subtree& child = sub[c];
      if (label != 0) {
        best = std::max(best, child.best);
        entered_nodes += child.entered;
      }
      // Siblings with equal labels share a text, which numbers cannot show.
      text_order = text_order && c == expected && (label == 0 || label > previous);
      expected = c + child.size;
      previous = label == 0 ? previous : label;
      nodes += child.size;
    }
    if (i != 0 && trie.terminal_flags[i] != 0) {
      const std::uint32_t own = counts[i] > below ? static_cast<std::uint32_t>(counts[i] - below) : 0;
      best = std::max(best, encode_bound(own));
    }
    // A tree's subtree holds at most n < 2^32 nodes.
    sub[i] = {best, static_cast<std::uint32_t>(nodes), static_cast<std::uint32_t>(entered_nodes)};
  }
  entered = {};
  out.best_.resize(n);
  for (std::size_t i = 0; i < n; ++i)
    out.best_[i] = sub[i].best;
  if (!text_order) {
    std::optional<std::vector<std::uint32_t>> ranks = rank_by_label(trie, sub);
    sub = {};
    out.ranks_ = ranks ? std::move(*ranks) : rank_by_text(trie);
  }
  return out;
}

}  // namespace quorvatel::complete
