#include "prefix/matcher/matcher.hpp"

#include <algorithm>
#include <limits>

#include "core/utf8.hpp"
#include "prefix/matcher/band_rows.hpp"
#include "prefix/matcher/bit_walk.hpp"
#include "prefix/matcher/walk.hpp"

namespace quorvatel {
namespace {

using matcher::BandRows;
using matcher::FullRows;
#if defined(__SSE2__)
using matcher::SimdBandRows;
#endif

/// The generic walk for max_dist K <= 3, whose cells are always 16 bits:
/// the vector band while the term fits its masks, the scalar band beyond.
template <bool kKeepPath, bool kTree, int K, class OnHit>
void walk_small_band(const TrieView& trie, std::u32string_view term, CancelHook* cancel, OnHit&& on_hit) {
#if defined(__SSE2__)
  if (SimdBandRows<K>::fits(term.size()))
    return matcher::walk<kKeepPath, kTree>(trie, SimdBandRows<K>(term), cancel, on_hit);
#endif
  matcher::walk<kKeepPath, kTree>(trie, BandRows<std::uint16_t, K>(term, K), cancel, on_hit);
}

/// The generic walk for any max_dist, with `Cell` holding max_dist + 2.
template <bool kKeepPath, bool kTree, class Cell, class OnHit>
void walk_large_band(const TrieView& trie, std::u32string_view term, std::uint32_t max_dist, CancelHook* cancel,
                     OnHit&& on_hit) {
  if (2 * static_cast<std::uint64_t>(max_dist) + 1 < term.size() + 1)
    matcher::walk<kKeepPath, kTree>(trie, BandRows<Cell, -1>(term, max_dist), cancel, on_hit);
  else
    matcher::walk<kKeepPath, kTree>(trie, FullRows<Cell>(term, max_dist), cancel, on_hit);
}

template <bool kKeepPath, bool kTree, class OnHit>
void generic_walk(const TrieView& trie, std::u32string_view term, std::uint32_t max_dist, CancelHook* cancel,
                  OnHit&& on_hit) {
  switch (max_dist) {
    case 0:
      return walk_small_band<kKeepPath, kTree, 0>(trie, term, cancel, on_hit);
    case 1:
      return walk_small_band<kKeepPath, kTree, 1>(trie, term, cancel, on_hit);
    case 2:
      return walk_small_band<kKeepPath, kTree, 2>(trie, term, cancel, on_hit);
    case 3:
      return walk_small_band<kKeepPath, kTree, 3>(trie, term, cancel, on_hit);
    default:
      break;
  }
  // Cells hold values up to max_dist + 1.
  if (max_dist <= 0xFFFF - 2)
    walk_large_band<kKeepPath, kTree, std::uint16_t>(trie, term, max_dist, cancel, on_hit);
  else
    walk_large_band<kKeepPath, kTree, std::uint32_t>(trie, term, max_dist, cancel, on_hit);
}

template <bool kKeepPath, class OnHit>
void tree_walk(const TrieView& trie, std::u32string_view term, std::uint32_t max_dist, CancelHook* cancel,
               OnHit&& on_hit) {
  if (term.size() <= matcher::kBitRowsMaxTerm) {
    const matcher::BitWalkTuning tuning;
    switch (max_dist) {
      case 0:
        return matcher::bit_walk<0, kKeepPath>(trie, term, cancel, tuning, on_hit);
      case 1:
        return matcher::bit_walk<1, kKeepPath>(trie, term, cancel, tuning, on_hit);
      case 2:
        return matcher::bit_walk<2, kKeepPath>(trie, term, cancel, tuning, on_hit);
      case 3:
        return matcher::bit_walk<3, kKeepPath>(trie, term, cancel, tuning, on_hit);
      default:
        break;
    }
  }
  generic_walk<kKeepPath, true>(trie, term, max_dist, cancel, on_hit);
}

/// Runs the walk that fits the trie's form, the term and max_dist.
template <bool kKeepPath, class OnHit>
void run_walk(const TrieView& trie, std::u32string_view term, const WalkOptions& options, OnHit&& on_hit) {
  const std::uint32_t max_dist = walk_max_dist(term.size(), options.max_dist, trie.node_count());
  if (trie.tree)
    tree_walk<kKeepPath>(trie, term, max_dist, options.cancel, on_hit);
  else
    generic_walk<kKeepPath, false>(trie, term, max_dist, options.cancel, on_hit);
}

[[nodiscard]] bool limit_reached(std::size_t recorded, const std::optional<std::uint64_t>& limit) noexcept {
  return limit.has_value() && recorded >= *limit;
}

}  // namespace

std::uint32_t walk_max_dist(std::size_t term_length, std::uint32_t max_dist, std::size_t node_count) noexcept {
  if (fits_narrow_cells(term_length, max_dist))
    return max_dist;
  constexpr std::uint64_t kWideMax = std::numeric_limits<std::uint32_t>::max() - 2;
  const auto length = static_cast<std::uint64_t>(term_length);
  const std::uint64_t largest_narrow = length + 2 <= 0xFFFF ? 0xFFFF - 2 - length : 0;
  const std::uint64_t bound = std::max(length + node_count, largest_narrow);
  return static_cast<std::uint32_t>(std::min({static_cast<std::uint64_t>(max_dist), bound, kWideMax}));
}

std::vector<MatchResult> fuzzy_match(const TrieView& trie, std::u32string_view term, const WalkOptions& options) {
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

std::vector<NodeMatch> fuzzy_match_nodes(const TrieView& trie, std::u32string_view term, const WalkOptions& options,
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

std::vector<NodeMatch> fuzzy_match_nodes_terminal_first(const TrieView& trie, std::u32string_view term,
                                                        const WalkOptions& options) {
  // Both searches visit the same nodes; the first reads the terminal flag of
  // every node within distance, in walk order, and so does this one, so an
  // inconsistent trie faults at the same node.
  std::vector<NodeMatch> terminal;
  std::vector<NodeMatch> all;
  run_walk<false>(trie, term, WalkOptions{options.max_dist, std::nullopt, options.cancel},
                  [&](std::size_t c, std::uint32_t distance, char32_t, const std::vector<char32_t>&) {
                    if (trie.terminal(c))
                      terminal.push_back({c, distance});
                    if (terminal.empty())
                      all.push_back({c, distance});  // only needed until a terminal node turns up
                    return false;
                  });
  return terminal.empty() ? std::move(all) : std::move(terminal);
}

}  // namespace quorvatel
