// The walk over a proven tree for terms of at most 63 code points and
// max_dist K of at most 3: rows as bit sets, children found by their labels.
//
// Rows. The row of a node at depth d (distances D[0..L] between its path and
// every prefix of the term) is kept as K + 1 words: bit j of word t is set
// when D[j] <= t. A child with label x gets, for every t,
//   R_t = ((W_t << 1) & match(x)) | W_{t-1} | (W_{t-1} << 1) | (R_{t-1} << 1)
// (a match on the diagonal; a substitution; the path one character longer;
// the term one character longer), with W_{-1} = R_{-1} = 0, where bit j of
// match(x) says that term character j is x. Column 0 comes out right by
// itself (D[0] = d, so bit 0 of W_{t-1} is d + 1 <= t). The row is exact: the
// child is pruned when word K holds no bit of columns 0..L, and its distance
// is the least t whose word holds bit L. Bits above L carry nothing down.
//
// Children. Per parent, the row of a child whose label matches no term
// character is worked out once. When it survives, every child does (more
// matches only add bits); when it is pruned, only a child whose label equals
// a term character at one of the columns j with D[j - 1] <= K (at most
// 2K + 1 of them) can survive, and the node's contiguous edge labels are
// compared with those characters eight at a time.
//
// Subtree heights. A node in the subtree of a child, s levels below it, is at
// least min over j of R[j] + |L - j - s| from the term; when the child's
// subtree is too shallow for any j to bring that within K, the subtree holds
// no hit and is skipped.
//
// Order. Surviving children are pushed on one stack in reverse edge order and
// each is reported when it is taken off, before its own children are pushed:
// hits come in pre-order, siblings in edge order, exactly as the generic walk
// gives them. A child's edge range is read when it is pushed, and its edges
// are fetched then, ahead of its expansion.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/cancel.hpp"
#include "prefix/trie/view.hpp"

namespace quorvatel::matcher {

/// Longest term the bit rows hold: columns 0..L in one 64-bit word.
inline constexpr std::size_t kBitRowsMaxTerm = 63;
/// Largest max_dist the bit walk is instantiated for.
inline constexpr std::uint32_t kBitRowsMaxDist = 3;

/// Per character, the term columns that hold it: bit j (1..L) set when term
/// character j equals it.
class MatchMasks {
 public:
  explicit MatchMasks(std::u32string_view term) {
    for (std::size_t j = 1; j <= term.size(); ++j) {
      const char32_t c = term[j - 1];
      const std::uint64_t bit = std::uint64_t{1} << j;
      if (c < 128) {
        ascii_[c] |= bit;
        continue;
      }
      auto it = std::ranges::find(other_, c, &std::pair<char32_t, std::uint64_t>::first);
      if (it == other_.end())
        other_.emplace_back(c, bit);
      else
        it->second |= bit;
    }
  }

  [[nodiscard]] std::uint64_t of(char32_t x) const noexcept {
    if (x < 128) [[likely]]
      return ascii_[x];
    for (const auto& [c, mask] : other_)
      if (c == x)
        return mask;
    return 0;
  }

 private:
  std::array<std::uint64_t, 128> ascii_{};
  std::vector<std::pair<char32_t, std::uint64_t>> other_;
};

/// Options of the bit walk, for comparing its parts in tests and benchmarks.
struct BitWalkTuning {
  /// Nodes with at most this many children compute every child's row
  /// directly, without the shared no-match row and the label filter.
  std::size_t direct_children = 2;
  /// Skip subtrees too shallow to hold a hit.
  bool use_heights = true;
  /// Fetch a surviving child's edges ahead when it is pushed.
  bool prefetch = true;
};

template <std::size_t K, bool kKeepPath, class OnHit>
void bit_walk(const TrieView& trie, std::u32string_view term, CancelHook* cancel, const BitWalkTuning& tuning,
              OnHit&& on_hit) {
  static_assert(K <= kBitRowsMaxDist);
  using Row = std::array<std::uint64_t, K + 1>;
  const std::size_t n = trie.node_count();
  const std::size_t m = trie.child_transitions.size();
  const std::size_t L = term.size();
  const std::uint32_t* const shifts = trie.node_shifts.data();
  const std::uint32_t* const kids = trie.child_transitions.data();
  const std::uint16_t* const labels = trie.edge_labels.data();
  const std::uint8_t* const heights = trie.edge_heights.data();
  const std::uint64_t live = (std::uint64_t{2} << L) - 1;  // columns 0..L
  const MatchMasks masks(term);
  // The 16-bit form of each term character, as edge labels hold it.
  std::array<std::uint16_t, kBitRowsMaxTerm> term16{};
  for (std::size_t j = 0; j < L; ++j)
    term16[j] = term[j] < kWideLabelEscape ? static_cast<std::uint16_t>(term[j]) : kWideLabelEscape;

  struct Pending {
    Row row;
    std::uint32_t node;
    std::uint32_t depth;
    char32_t label;
    std::uint32_t distance;  // K + 1 when the node is no hit
    std::uint32_t begin;     // the node's edges
    std::uint32_t end;
  };
  std::vector<Pending> stack;
  std::vector<char32_t> path;
  std::size_t until_poll = kCancelPollInterval;

  // Pushes the children of the node with edges [begin, end) (at `depth`,
  // row `w`) that survive, in reverse edge order.
  auto expand = [&](std::size_t begin, std::size_t end, std::uint32_t depth, const Row& w) {
    // In range by the tree test that gave the trie its walk form.
    assert(begin <= end && end <= m);
    if (begin == end)
      return;
    if (end - begin >= until_poll) [[unlikely]] {
      until_poll = kCancelPollInterval;
      if (cancel != nullptr && cancel->should_stop())
        throw Cancelled();
    } else {
      until_poll -= end - begin;
    }
    Row up;    // W_t << 1: the diagonal, before the match
    Row base;  // W_{t-1} | W_{t-1} << 1: substitution and the longer path
    for (std::size_t t = 0; t <= K; ++t) {
      up[t] = w[t] << 1;
      base[t] = t == 0 ? 0 : w[t - 1] | (w[t - 1] << 1);
    }
    const std::size_t before = stack.size();
    auto try_child = [&](std::size_t e, char32_t x, std::uint64_t match) {
      Row r;
      r[0] = up[0] & match;
      for (std::size_t t = 1; t <= K; ++t)
        r[t] = (up[t] & match) | base[t] | (r[t - 1] << 1);
      if ((r[K] & live) == 0)
        return;
      if (tuning.use_heights) {
        // Reachable when some word t holds a column j >= L - h - K + t.
        const std::size_t h = heights[e];
        if (h + K < L) {
          bool reachable = false;
          for (std::size_t t = 0; t <= K; ++t) {
            const std::size_t need = L - h - K + t;
            reachable = reachable || ((r[t] & live) >> need) != 0;
          }
          if (!reachable)
            return;
        }
      }
      std::uint32_t distance = K + 1;
      if ((r[K] >> L) & 1) {
        distance = 0;
        for (std::size_t t = 0; t < K; ++t)
          distance += static_cast<std::uint32_t>(((r[t] >> L) & 1) ^ 1);
      }
      // The child's range is read now, and its edges are fetched ahead of
      // its expansion (right after this node's for its first surviving
      // sibling, after the older siblings' subtrees for the others). A leaf
      // (height 0) has none to read.
      const std::uint32_t c = kids[e];
      assert(c < n);
      std::uint32_t child_begin = 0;
      std::uint32_t child_end = 0;
      if (heights[e] != 0) {
        child_begin = shifts[c];
        child_end = c + 1 < n ? shifts[c + 1] : static_cast<std::uint32_t>(m);
      }
      if (tuning.prefetch && child_begin != child_end) {
        __builtin_prefetch(labels + child_begin);
        __builtin_prefetch(kids + child_begin);
        __builtin_prefetch(heights + child_begin);
      }
      stack.push_back({r, c, depth + 1, x, distance, child_begin, child_end});
    };
    auto label_of = [&](std::size_t e) -> char32_t {
      const std::uint16_t x = labels[e];
      return x != kWideLabelEscape ? x : trie.edge_label(e);
    };

    if (end - begin <= tuning.direct_children) {
      for (std::size_t e = begin; e < end; ++e)
        if (const char32_t x = label_of(e); x != 0)
          try_child(e, x, masks.of(x));
    } else {
      Row none;  // the row of a child whose label matches no term character
      none[0] = 0;
      for (std::size_t t = 1; t <= K; ++t)
        none[t] = base[t] | (none[t - 1] << 1);
      if ((none[K] & live) != 0) {
        for (std::size_t e = begin; e < end; ++e)
          if (const char32_t x = label_of(e); x != 0)
            try_child(e, x, masks.of(x));
      } else {
        // Only labels equal to a term character in the band can survive.
        std::uint64_t band = w[K] & (live >> 1);  // bit j - 1: column j may match
#if defined(__SSE2__)
        struct Lanes {
          __m128i v;
        };
        std::array<Lanes, 2 * K + 1> wanted;
        std::size_t count = 0;
        while (band != 0 && count < 2 * K + 1) {
          const auto j = static_cast<std::size_t>(std::countr_zero(band));
          band &= band - 1;
          wanted[count++].v = _mm_set1_epi16(static_cast<short>(term16[j]));
        }
        const __m128i zero = _mm_setzero_si128();
        for (std::size_t e0 = begin; e0 < end; e0 += kEdgeLabelBlock) {
          const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(labels + e0));
          __m128i equal = zero;
          for (std::size_t i = 0; i < count; ++i)
            equal = _mm_or_si128(equal, _mm_cmpeq_epi16(block, wanted[i].v));
          unsigned hits = static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(equal, zero)));
          if (end - e0 < kEdgeLabelBlock)
            hits &= (1u << (end - e0)) - 1;
          while (hits != 0) {
            const std::size_t e = e0 + static_cast<std::size_t>(std::countr_zero(hits));
            hits &= hits - 1;
            const char32_t x = label_of(e);
            if (x == 0)
              continue;
            if (const std::uint64_t match = masks.of(x); match != 0)
              try_child(e, x, match);
          }
        }
#else
        (void)band;
        for (std::size_t e = begin; e < end; ++e) {
          const char32_t x = label_of(e);
          if (x == 0)
            continue;
          if (const std::uint64_t match = masks.of(x); match != 0)
            try_child(e, x, match);
        }
#endif
      }
    }
    std::reverse(stack.begin() + static_cast<std::ptrdiff_t>(before), stack.end());
  };

  Row root;
  for (std::size_t t = 0; t <= K; ++t)
    root[t] = (std::uint64_t{2} << std::min(t, L)) - 1;
  expand(0, n > 1 ? shifts[1] : m, 0, root);
  while (!stack.empty()) {
    const Pending top = stack.back();
    stack.pop_back();
    if constexpr (kKeepPath)
      path.resize(top.depth - 1);
    if (top.distance <= K && on_hit(static_cast<std::size_t>(top.node), top.distance, top.label, path))
      return;
    if constexpr (kKeepPath)
      path.push_back(top.label);
    expand(top.begin, top.end, top.depth, top.row);
  }
}

}  // namespace quorvatel::matcher
