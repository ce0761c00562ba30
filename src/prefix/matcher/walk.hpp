// The generic walk: one row kernel (band_rows.hpp) over either form of a
// trie. Over plain arrays every read by index is checked, in the order the
// recursive definition of the walk makes them, so an inconsistent trie
// faults where and only where that definition would. Over a proven tree
// (kTree) the same walk reads the layout's edge labels and no read needs a
// check.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <source_location>
#include <vector>

#include "core/cancel.hpp"
#include "core/fault.hpp"
#include "prefix/matcher/band_rows.hpp"
#include "prefix/trie/view.hpp"

namespace quorvatel::matcher {

/// The walk, with an explicit stack so that its depth never touches the C
/// stack. `on_hit(child, distance, label, path)` is called for every child
/// whose distance is within max_dist and returns true to stop the walk.
template <bool kKeepPath, bool kTree, class Kernel, class OnHit>
void walk(const TrieView& trie, const Kernel& kernel, CancelHook* cancel, OnHit&& on_hit) {
  using Cell = decltype(kernel.cap());
  const std::size_t n = trie.node_count();
  if (n == 0)
    return;  // no root to start from
  const std::size_t m = trie.child_transitions.size();
  const std::uint32_t* edges = trie.child_transitions.data();
  const char32_t* labels = trie.child_labels.data();
  const Cell limit = static_cast<Cell>(kernel.cap() - 1);
  const std::size_t width = kernel.width();

  // Rows are added as the walk first reaches a depth, so memory follows the
  // depth actually reached rather than the deepest one allowed.
  std::vector<Cell> rows(2 * width);
  kernel.first_row(rows.data());

  // The node whose children are being examined walks the edges [next, stop).
  // When its range runs past the end of the edges, `past` is the first edge
  // number at or past it, read (and faulted on) once the edges before it are
  // done. Its ancestors' cursors wait on the stack.
  //
  // Kernels that tell which band columns hold a character let the walk skip
  // most children cheaply: every child whose character lies outside the band
  // gets the same row, worked out once per node (`outside`), and when that
  // row is pruned, so is every such child.
  enum class Outside : std::uint8_t { Unknown, Pruned, Kept };
  struct Cursor {
    std::size_t next;
    std::size_t stop;
    std::size_t past;
    Outside outside;
  };
  constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  auto cursor_of = [m](const EdgeRange& range) {
    const bool runs_past = range.begin < range.end && range.end > m;
    return Cursor{range.begin, std::min(range.end, m), runs_past ? std::max(range.begin, m) : kNone,
                  Outside::Unknown};
  };
  // In a proven tree every node's range lies inside the edges.
  auto range_of = [&](std::size_t node) {
    if constexpr (kTree)
      return EdgeRange{trie.node_shifts[node], node + 1 < n ? trie.node_shifts[node + 1] : m};
    else
      return trie.edge_range(node);
  };
  std::vector<Cursor> stack;
  std::vector<char32_t> path;
  Cursor at = cursor_of(range_of(0));
  std::size_t depth = 0;  // of the node whose children are examined
  Cell* cur = rows.data() + width;  // the children's row
  auto child_depth = kernel.at_depth(1);
  std::uint32_t until_poll = kCancelPollInterval;

  while (true) {
    if (at.next >= at.stop) {
      if (at.past != kNone) [[unlikely]]
        index_fault(m, at.past, std::source_location::current());
      if (stack.empty())
        return;
      at = stack.back();
      stack.pop_back();
      child_depth = kernel.at_depth(depth);
      --depth;
      cur -= width;
      if constexpr (kKeepPath)
        path.pop_back();
      continue;
    }
    if (--until_poll == 0) [[unlikely]] {
      until_poll = kCancelPollInterval;
      if (cancel != nullptr && cancel->should_stop())
        throw Cancelled();
    }
    const std::size_t e = at.next++;
    const std::size_t c = edges[e];
    char32_t x;
    if constexpr (kTree) {
      x = trie.edge_label(e);
    } else {
      if (c >= n) [[unlikely]]
        index_fault(n, c, std::source_location::current());
      x = labels[c];
    }
    if (x == 0)
      continue;  // a node without a character is never entered

    RowStep<Cell> step;
    if constexpr (requires { Kernel::kHasMatchBits; }) {
      const unsigned bits = kernel.bits_of(child_depth, x);
      if (bits == 0) {
        if (at.outside == Outside::Unknown)
          at.outside = kernel.fill_bits(child_depth, cur - width, cur, 0).row_min > limit ? Outside::Pruned
                                                                                           : Outside::Kept;
        if (at.outside == Outside::Pruned)
          continue;
      }
      step = kernel.fill_bits(child_depth, cur - width, cur, bits);
    } else {
      step = kernel.fill(child_depth, cur - width, cur, x);
    }
    if (step.row_min > limit)
      continue;
    if (step.distance <= limit && on_hit(c, static_cast<std::uint32_t>(step.distance), x, path))
      return;

    const EdgeRange range = range_of(c);
    if (range.begin >= range.end)
      continue;  // no children: nothing to examine below
    if (rows.size() < (depth + 3) * width)
      rows.resize((depth + 3) * width);  // the row of c's children
    stack.push_back(at);
    at = cursor_of(range);
    ++depth;
    cur = rows.data() + (depth + 1) * width;
    child_depth = kernel.at_depth(depth + 1);
    if constexpr (kKeepPath)
      path.push_back(x);
  }
}

}  // namespace quorvatel::matcher
