#include "prefix/complete/subtree_bounds.hpp"

#include <algorithm>
#include <format>
#include <optional>
#include <utility>

namespace quorvatel::complete {
namespace {

/// The label of the child that edge `e` leads to: the one way this file
/// reads labels. `e` must be an edge whose target was checked to be a node.
[[nodiscard]] char32_t edge_label(const Trie& trie, std::size_t e) noexcept {
  if (trie.layout)  // walk form: the labels sit beside the edges
    return quorvatel::edge_label(trie.layout->edge_labels, trie.layout->wide_labels, e);
  return trie.child_labels[trie.child_transitions[e]];
}

/// The edges [begin, end) of node i of a trie whose ranges were checked.
[[nodiscard]] std::pair<std::size_t, std::size_t> edges_of(const Trie& trie, std::size_t i) noexcept {
  const std::size_t n = trie.node_count();
  const std::size_t begin = trie.node_shifts[i];
  const std::size_t end = i + 1 < n ? trie.node_shifts[i + 1] : trie.child_transitions.size();
  return {begin, std::max(begin, end)};
}

/// Whether the node numbers already follow text order: a depth-first walk
/// from the root, taking each node's edges in order, meets the nodes 1, 2,
/// 3, ... in turn (pre-order), and each node's entered children come in
/// increasing label order. Reads the arrays in order when they do.
[[nodiscard]] bool numbered_in_text_order(const Trie& trie) {
  struct Open {
    std::size_t next;
    std::size_t end;
    char32_t previous;  ///< the last entered child's label; 0 before the first
  };
  std::vector<Open> open;
  const auto [begin, end] = edges_of(trie, 0);
  open.push_back({begin, end, 0});
  std::size_t expected = 1;
  while (!open.empty()) {
    Open& at = open.back();
    if (at.next == at.end) {
      open.pop_back();
      continue;
    }
    const std::size_t e = at.next++;
    const std::uint32_t c = trie.child_transitions[e];
    if (c != expected)
      return false;
    ++expected;
    const char32_t label = edge_label(trie, e);
    if (label != 0) {
      // Siblings with equal labels share a text, which numbers cannot show.
      if (at.previous != 0 && label <= at.previous)
        return false;
      at.previous = label;
    }
    const auto [child_begin, child_end] = edges_of(trie, c);
    open.push_back({child_begin, child_end, 0});
  }
  return true;
}

/// Per node: how many nodes of its subtree a search enters (none below a
/// label 0). Children are numbered after their parents (checked).
[[nodiscard]] std::vector<std::uint32_t> entered_sizes(const Trie& trie) {
  const std::size_t n = trie.node_count();
  std::vector<std::uint32_t> size(n);
  for (std::size_t i = n; i-- > 0;) {
    std::uint64_t nodes = 1;
    const auto [begin, end] = edges_of(trie, i);
    for (std::size_t e = begin; e < end; ++e)
      if (edge_label(trie, e) != 0)
        nodes += size[trie.child_transitions[e]];
    size[i] = static_cast<std::uint32_t>(nodes);  // a tree's subtree holds at most n < 2^32 nodes
  }
  return size;
}

/// Text order when no node has two entered children with equal labels: a
/// node's rank is its parent's plus one plus the entered sizes of its
/// siblings with smaller labels. One pass in node order, parents first;
/// nullopt when two siblings turn out to share a label.
std::optional<std::vector<std::uint32_t>> rank_by_label(const Trie& trie, const std::vector<std::uint32_t>& entered) {
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
    for (std::size_t e = begin; e < end; ++e)
      if (const char32_t label = edge_label(trie, e); label != 0)
        children.emplace_back(label, trie.child_transitions[e]);
    if (!std::ranges::is_sorted(children))
      std::ranges::sort(children);
    std::uint32_t next = rank[i] + 1;
    char32_t previous = 0;
    for (const auto& [label, c] : children) {
      if (label == previous)
        return std::nullopt;
      previous = label;
      rank[c] = next;
      next += entered[c];
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
      for (std::size_t e = begin; e < end; ++e)
        if (const char32_t label = edge_label(trie, e); label != 0)
          children.emplace_back(label, trie.child_transitions[e]);
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
  // The labels too: a trie that keeps its labels elsewhere needs its own reading here.
  for (const auto& [field, len] : {std::pair<std::string_view, std::size_t>{"child_labels", trie.layout ? n : trie.child_labels.size()},
                                   {"node_shifts", trie.node_shifts.size()},
                                   {"payloads", trie.payloads.size()},
                                   {"terminal_flags", trie.terminal_flags.size()}}) {
    if (std::string problem = per_node(field, len); !problem.empty())
      return refuse(std::move(problem));
  }

  // One pass from the highest node down: with every edge leading to a higher
  // number, a node's children are finished when the node is reached.
  const PayloadTableView payloads = trie.payloads.view();
  const auto counts = [&](std::size_t node) { return payloads.count_unchecked(node); };  // 0 when absent
  const std::uint32_t* edges = trie.child_transitions.data();
  out.best_.assign(n, kNoTerm);
  std::uint32_t* bests = out.best_.data();
  std::vector<std::uint64_t> entered((n + 63) / 64);
  for (std::size_t i = n; i-- > 0;) {
    const std::size_t begin = trie.node_shifts[i];
    const std::size_t end = i + 1 < n ? trie.node_shifts[i + 1] : m;
    if (begin < end && end > m)
      return refuse(std::format("node {}'s edges {}..{} run past the last of the {} edges", i, begin, end, m));
    std::uint64_t below = 0;  // the children's counts
    std::uint32_t best = kNoTerm;
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
      below += counts(c);
      if (edge_label(trie, e) != 0)
        best = std::max(best, bests[c]);
    }
    if (i != 0 && trie.terminal_flags[i] != 0) {
      const std::uint32_t count = counts(i);
      const std::uint32_t own = count > below ? static_cast<std::uint32_t>(count - below) : 0;
      best = std::max(best, encode_bound(own));
    }
    bests[i] = best;
  }
  entered = {};
  if (n != 0 && !numbered_in_text_order(trie)) {
    std::optional<std::vector<std::uint32_t>> ranks = rank_by_label(trie, entered_sizes(trie));
    out.ranks_ = ranks ? std::move(*ranks) : rank_by_text(trie);
  }
  return out;
}

}  // namespace quorvatel::complete
