// Random tries that are trees, for the differential tests of the walk form:
// any shape (deep chains, wide nodes, sibling labels repeated or zero),
// labels across every width the edge labels store (ASCII, two and three
// UTF-8 bytes, U+FFFF and above, surrogates), nodes numbered breadth-first,
// in pre-order or in any parents-first order, siblings in any edge order.
// Every choice comes from `pick(n)` (a number below n), so a fuzz target can
// drive the same generator from its input.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "prefix/trie/builder.hpp"

namespace quorvatel::testing {

/// Labels of every width, label 0 (never entered) among them.
inline constexpr char32_t kTreeAlphabet[] = {U'a',     U'b',     U'c',     U'd',      U'\u00E9', U'\u4E00',
                                             0xFFFE,   0xFFFF,   0x10000,  U'\U0001F600', 0x10FFFF, 0xD800,
                                             0x7F,     0x80,     0x7FF,    0x800,     0};

/// A tree in creation order: every parent created before its children.
struct TreeShape {
  std::vector<std::uint32_t> parent;  // parent[0] unused
  std::vector<char32_t> label;
  std::vector<std::uint8_t> terminal;

  [[nodiscard]] std::size_t size() const { return label.size(); }
  /// The labels from depth 1 down to `node`.
  [[nodiscard]] std::u32string path(std::size_t node) const {
    std::u32string out;
    for (; node != 0; node = parent[node])
      out.push_back(label[node]);
    std::ranges::reverse(out);
    return out;
  }
};

enum class Numbering { BreadthFirst, PreOrder, ParentsFirst };

/// A label: mostly from a few letters, so that paths repeat and match.
template <class Pick>
char32_t pick_label(Pick&& pick) {
  const std::size_t r = pick(20);
  if (r < 14)
    return kTreeAlphabet[r % 4];
  return kTreeAlphabet[pick(std::size(kTreeAlphabet))];
}

template <class Pick>
TreeShape random_shape(Pick&& pick, std::size_t max_nodes) {
  TreeShape s;
  s.parent.push_back(0);
  s.label.push_back(pick(2) != 0 ? 0 : pick_label(pick));  // the root's label plays no part
  s.terminal.push_back(static_cast<std::uint8_t>(pick(4) == 0));
  const std::size_t n = 1 + pick(max_nodes);
  // How each new node finds its parent: the node before it (chains), one of
  // the first few (wide nodes), or any.
  const std::size_t chain = pick(4);
  const std::size_t wide = pick(4);
  while (s.size() < n) {
    const std::size_t i = s.size();
    const std::size_t how = pick(8);
    std::size_t p;
    if (how < chain)
      p = i - 1;
    else if (how < chain + wide)
      p = pick(std::min<std::size_t>(i, 3));
    else
      p = pick(i);
    s.parent.push_back(static_cast<std::uint32_t>(p));
    s.label.push_back(pick_label(pick));
    s.terminal.push_back(static_cast<std::uint8_t>(pick(3) == 0));
  }
  return s;
}

/// The flat arrays of a tree, as a host hands them to the build.
struct FlatTree {
  std::vector<std::uint32_t> node_shifts;
  std::vector<char32_t> child_labels;
  std::vector<std::optional<Payload>> payloads;
  std::vector<std::uint32_t> child_transitions;
};

/// The arrays of `shape`, numbered as `numbering` says, siblings in a random
/// order. Terminal nodes get a payload with a few videos.
template <class Pick>
FlatTree shape_arrays(const TreeShape& shape, Numbering numbering, Pick&& pick) {
  const std::size_t n = shape.size();
  std::vector<std::vector<std::uint32_t>> kids(n);
  for (std::size_t i = 1; i < n; ++i)
    kids[shape.parent[i]].push_back(static_cast<std::uint32_t>(i));
  for (auto& k : kids)  // siblings in any order
    for (std::size_t i = k.size(); i > 1; --i)
      std::swap(k[i - 1], k[pick(i)]);
  std::vector<std::uint32_t> order;  // new number -> shape node
  if (numbering == Numbering::PreOrder) {
    std::vector<std::uint32_t> todo{0};
    while (!todo.empty()) {
      const std::uint32_t v = todo.back();
      todo.pop_back();
      order.push_back(v);
      todo.insert(todo.end(), kids[v].rbegin(), kids[v].rend());
    }
  } else {
    // Breadth-first takes the oldest node waiting; parents-first any of them.
    std::vector<std::uint32_t> todo{0};
    while (!todo.empty()) {
      const std::size_t at = numbering == Numbering::BreadthFirst ? 0 : pick(todo.size());
      const std::uint32_t v = todo[at];
      todo.erase(todo.begin() + static_cast<std::ptrdiff_t>(at));
      order.push_back(v);
      todo.insert(todo.end(), kids[v].begin(), kids[v].end());
    }
  }
  std::vector<std::uint32_t> number(n);
  for (std::size_t i = 0; i < n; ++i)
    number[order[i]] = static_cast<std::uint32_t>(i);

  FlatTree a;
  for (const std::uint32_t v : order) {
    a.node_shifts.push_back(static_cast<std::uint32_t>(a.child_transitions.size()));
    for (const std::uint32_t k : kids[v])
      a.child_transitions.push_back(number[k]);
    a.child_labels.push_back(shape.label[v]);
    if (shape.terminal[v] == 0) {
      a.payloads.emplace_back(std::nullopt);
      continue;
    }
    Payload p;
    p.count = static_cast<std::uint32_t>(pick(30));
    for (std::size_t k = pick(4); k > 0; --k) {
      p.video_ids.push_back(static_cast<std::uint32_t>(pick(7)));  // row 6 lies outside the table
      p.video_counts.push_back(static_cast<std::uint32_t>(pick(10)));
    }
    a.payloads.emplace_back(std::move(p));
  }
  return a;
}

/// The trie of `a`, built and propagated (so in walk form), with an Int32
/// video table of 6 ids.
inline Trie flat_tree_trie(const FlatTree& a) {
  ByteRows ids;
  for (std::uint32_t v = 0; v < 6; ++v) {
    for (int b = 0; b < 4; ++b)
      ids.push_byte(static_cast<std::uint8_t>((v + 100) >> (8 * b)));
    ids.end_row();
  }
  auto built = build_trie(a.node_shifts, a.child_labels, a.payloads, a.child_transitions, ids, 3);
  return std::move(*built);
}

template <class Pick>
Trie shape_trie(const TreeShape& shape, Numbering numbering, Pick&& pick) {
  return flat_tree_trie(shape_arrays(shape, numbering, pick));
}

/// A query near the paths of `shape`: a node's path with a few edits, or
/// random labels.
template <class Pick>
std::u32string shape_query(const TreeShape& shape, Pick&& pick, std::size_t max_len = 70) {
  std::u32string q;
  if (pick(5) == 0) {
    for (std::size_t i = pick(max_len + 1); i > 0; --i)
      q.push_back(pick_label(pick));
    return q;
  }
  q = shape.path(pick(shape.size()));
  for (std::size_t edits = pick(4); edits > 0; --edits) {
    const std::size_t at = pick(q.size() + 1);
    switch (pick(3)) {
      case 0:
        q.insert(q.begin() + static_cast<std::ptrdiff_t>(at), pick_label(pick));
        break;
      case 1:
        if (at < q.size())
          q.erase(at, 1);
        break;
      default:
        if (at < q.size())
          q[at] = pick_label(pick);
        break;
    }
  }
  return q;
}

/// pick(n) over a random engine.
struct EnginePick {
  std::mt19937& rng;
  std::size_t operator()(std::size_t n) const {
    return n <= 1 ? 0 : std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
  }
};

}  // namespace quorvatel::testing
