#include "prefix/matcher/matcher.hpp"

#include <algorithm>
#include <limits>

#include "core/utf8.hpp"

namespace quorvatel {
namespace {

/// The walk, with an explicit stack so that its depth never touches the C
/// stack. `on_hit(child, distance, label, path)` is called for every child
/// whose distance is within max_dist and returns true to stop the walk.
///
/// Cells hold min(distance, max_dist + 1): every value at or below max_dist
/// is exact and every larger one reads as max_dist + 1, so prunes, hits and
/// reported distances are those of the uncapped table. A cell more than
/// max_dist off the diagonal (|depth - column| > max_dist) is always above
/// max_dist, so when the band of 2 * max_dist + 1 cells is narrower than the
/// term, only the band is kept: row d holds columns d - max_dist ..
/// d + max_dist, and the column d - max_dist + k sits at position k.
template <class Cell, bool kBanded, bool kKeepPath, class OnHit>
void walk(const Trie& trie, std::u32string_view term, std::uint32_t max_dist, CancelHook* cancel, OnHit&& on_hit) {
  if (trie.node_count() == 0)
    return;  // no root to start from
  using Wide = std::uint64_t;
  const std::size_t L = term.size();
  const Wide limit = max_dist;
  const auto cap = static_cast<Cell>(limit + 1);
  const std::size_t width = kBanded ? 2 * static_cast<std::size_t>(max_dist) + 1 : L + 1;
  auto capped = [cap](Wide v) { return v >= cap ? cap : static_cast<Cell>(v); };

  // Rows are added as the walk first reaches a depth, so memory follows the
  // depth actually reached rather than the deepest one allowed.
  std::vector<Cell> rows(width);
  for (std::size_t k = 0; k < width; ++k) {
    if constexpr (kBanded) {
      const Wide j = k;  // column k - max_dist; negative columns lie outside the table
      rows[k] = j < limit || j - limit > L ? cap : capped(j - limit);
    } else {
      rows[k] = capped(k);
    }
  }

  struct Frame {
    std::size_t next;
    std::size_t end;
  };
  std::vector<Frame> stack;
  std::vector<char32_t> path;
  const EdgeRange root = trie.edge_range(0);
  stack.push_back({root.begin, root.end});

  std::uint32_t until_poll = kCancelPollInterval;
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.next >= frame.end) {
      stack.pop_back();
      if constexpr (kKeepPath)
        if (!path.empty())
          path.pop_back();
      continue;
    }
    const std::size_t edge = frame.next++;
    const std::size_t depth = stack.size() - 1;
    if (--until_poll == 0) [[unlikely]] {
      until_poll = kCancelPollInterval;
      if (cancel != nullptr && cancel->should_stop())
        throw Cancelled();
    }
    const std::size_t c = trie.child(edge);
    const char32_t x = trie.label(c);
    if (x == 0)
      continue;  // a node without a character is never entered

    const std::size_t d = depth + 1;  // the child's depth, and its row
    if (rows.size() < (d + 1) * width)
      rows.resize((d + 1) * width);
    const Cell* prev = rows.data() + depth * width;
    Cell* cur = rows.data() + d * width;
    Cell row_min = cap;
    Cell distance = cap;
    if constexpr (kBanded) {
      for (std::size_t k = 0; k < width; ++k) {
        const Wide shifted = static_cast<Wide>(d) + k;  // column + max_dist
        Cell v = cap;
        if (shifted >= limit && shifted - limit <= L) {
          const std::size_t j = static_cast<std::size_t>(shifted - limit);
          if (j == 0) {
            v = capped(d);
          } else {
            const Wide diag = static_cast<Wide>(prev[k]) + (term[j - 1] == x ? 0 : 1);
            const Wide up = k + 1 < width ? static_cast<Wide>(prev[k + 1]) + 1 : cap;
            const Wide left = k > 0 ? static_cast<Wide>(cur[k - 1]) + 1 : cap;
            v = capped(std::min({diag, up, left}));
          }
          if (j == L)
            distance = v;
        }
        cur[k] = v;
        row_min = std::min(row_min, v);
      }
    } else {
      cur[0] = capped(d);
      row_min = cur[0];
      for (std::size_t j = 1; j <= L; ++j) {
        const Wide diag = static_cast<Wide>(prev[j - 1]) + (term[j - 1] == x ? 0 : 1);
        const Cell v = capped(std::min({diag, static_cast<Wide>(prev[j]) + 1, static_cast<Wide>(cur[j - 1]) + 1}));
        cur[j] = v;
        row_min = std::min(row_min, v);
      }
      distance = cur[L];
    }
    if (row_min > limit)
      continue;

    if (distance <= limit && on_hit(c, static_cast<std::uint32_t>(distance), x, path))
      return;

    const EdgeRange range = trie.edge_range(c);
    stack.push_back({range.begin, range.end});  // may move `frame`; not used again
    if constexpr (kKeepPath)
      path.push_back(x);
  }
}

template <class Cell, bool kKeepPath, class OnHit>
void walk_cells(const Trie& trie, std::u32string_view term, std::uint32_t max_dist, CancelHook* cancel,
                OnHit&& on_hit) {
  if (2 * static_cast<std::uint64_t>(max_dist) + 1 < term.size() + 1)
    walk<Cell, true, kKeepPath>(trie, term, max_dist, cancel, on_hit);
  else
    walk<Cell, false, kKeepPath>(trie, term, max_dist, cancel, on_hit);
}

/// Runs the walk with the cell width max_dist needs.
template <bool kKeepPath, class OnHit>
void run_walk(const Trie& trie, std::u32string_view term, const WalkOptions& options, OnHit&& on_hit) {
  const std::uint32_t max_dist = options.max_dist;
  std::uint32_t effective = max_dist;
  if (!fits_narrow_cells(term.size(), max_dist)) {
    constexpr std::uint64_t kWideMax = std::numeric_limits<std::uint32_t>::max() - 1;
    const std::uint64_t bound = static_cast<std::uint64_t>(term.size()) + trie.node_count();
    effective = static_cast<std::uint32_t>(std::min({static_cast<std::uint64_t>(max_dist), bound, kWideMax}));
  }
  if (effective < 0xFFFF)
    walk_cells<std::uint16_t, kKeepPath>(trie, term, effective, options.cancel, on_hit);
  else
    walk_cells<std::uint32_t, kKeepPath>(trie, term, effective, options.cancel, on_hit);
}

[[nodiscard]] bool limit_reached(std::size_t recorded, const std::optional<std::uint64_t>& limit) noexcept {
  return limit.has_value() && recorded >= *limit;
}

}  // namespace

std::vector<MatchResult> fuzzy_match(const Trie& trie, std::u32string_view term, const WalkOptions& options) {
  std::vector<MatchResult> out;
  run_walk<true>(trie, term, options,
                 [&](std::size_t c, std::uint32_t distance, char32_t x, const std::vector<char32_t>& path) {
                   if (!trie.terminal(c))
                     return false;
                   std::string text;
                   text.reserve(path.size() + 4);
                   for (char32_t cp : path)
                     append_utf8(text, cp);
                   append_utf8(text, x);
                   out.push_back({std::move(text), c, distance});
                   return limit_reached(out.size(), options.limit);
                 });
  return out;
}

std::vector<NodeMatch> fuzzy_match_nodes(const Trie& trie, std::u32string_view term, const WalkOptions& options,
                                         bool terminal_only) {
  std::vector<NodeMatch> out;
  run_walk<false>(trie, term, options,
                  [&](std::size_t c, std::uint32_t distance, char32_t, const std::vector<char32_t>&) {
                    if (terminal_only && !trie.terminal(c))
                      return false;
                    out.push_back({c, distance});
                    return limit_reached(out.size(), options.limit);
                  });
  return out;
}

}  // namespace quorvatel
