#include "prefix/matcher/matcher.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/utf8.hpp"

namespace quorvatel {
namespace {

// Rows. The row of a node at depth d holds the edit distances between its
// path and every prefix of the term. Cells hold min(distance, max_dist + 1):
// every value at or below max_dist is exact and every larger one reads as
// max_dist + 1, so prunes, hits and reported distances are those of the
// uncapped table, and a cell type only needs room for max_dist + 2.
//
// A cell more than max_dist off the diagonal (|d - column| > max_dist) is
// always above max_dist, so the band kernels keep only the 2 * max_dist + 1
// columns d - max_dist .. d + max_dist of row d, column d - max_dist + i at
// position i. Then the diagonal, upper and left neighbours of position i are
// positions i, i + 1 and i - 1, and a column outside 0..L reads as the cap.

/// Stands for a term character outside the term: equal to no label.
constexpr char32_t kNoChar = 0xFFFFFFFF;

template <class Cell>
struct RowStep {
  Cell row_min;
  Cell distance;
};

/// The band of 2K + 1 cells around the diagonal; K is the max_dist, fixed at
/// compile time when kFixed >= 0 so that the row loop unrolls.
template <class Cell, int kFixed>
class BandRows {
 public:
  BandRows(std::u32string_view term, std::uint32_t max_dist)
      : L_(term.size()),
        K_(kFixed >= 0 ? static_cast<std::size_t>(kFixed) : max_dist),
        cap_(static_cast<Cell>(K_ + 1)),
        // term character of column j at index j + K; kNoChar around the term
        chars_(term.size() + 3 * K_ + 2, kNoChar) {
    for (std::size_t j = 1; j <= L_; ++j)
      chars_[j + K_] = term[j - 1];
  }

  [[nodiscard]] std::size_t width() const noexcept {
    if constexpr (kFixed >= 0)
      return 2 * static_cast<std::size_t>(kFixed) + 1;
    else
      return 2 * K_ + 1;
  }
  [[nodiscard]] Cell cap() const noexcept { return cap_; }

  void first_row(Cell* row) const noexcept {
    for (std::size_t i = 0; i < width(); ++i) {
      // column i - K: its value where it lies in 0..L
      row[i] = i >= K_ && i - K_ <= L_ ? capped(i - K_) : cap_;
    }
  }

  /// What the rows of depth d share.
  struct Depth {
    const char32_t* chars;  // chars[i]: the term character of column d - K + i
    std::size_t lo;         // positions lo..hi hold columns in 0..L
    std::size_t hi;
    bool any;
  };

  [[nodiscard]] Depth at_depth(std::size_t d) const noexcept {
    const bool any = L_ + K_ >= d;
    // chars_ covers every depth the walk can reach (at most L + K + 1)
    return {chars_.data() + std::min(d, L_ + K_ + 1), K_ > d ? K_ - d : 0, any ? L_ + K_ - d : 0, any};
  }

  RowStep<Cell> fill(const Depth& at, const Cell* prev, Cell* cur, char32_t x) const noexcept {
    const std::size_t w = width();
    const char32_t* chars = at.chars;
    const std::size_t lo = at.lo;
    const std::size_t hi = at.hi;
    const bool any = at.any;
    Cell row_min = cap_;
    Cell left = cap_;
    for (std::size_t i = 0; i < w; ++i) {
      const Cell diag = static_cast<Cell>(prev[i] + (chars[i] == x ? 0 : 1));
      const Cell up = i + 1 < w ? static_cast<Cell>(prev[i + 1] + 1) : cap_;
      Cell v = std::min(std::min(diag, up), std::min(static_cast<Cell>(left + 1), cap_));
      v = any && i >= lo && i <= hi ? v : cap_;
      cur[i] = v;
      left = v;
      row_min = std::min(row_min, v);
    }
    const Cell distance = any && hi < w ? cur[hi] : cap_;  // column L sits at L + K - d
    return {row_min, distance};
  }

 private:
  [[nodiscard]] Cell capped(std::size_t v) const noexcept { return v >= cap_ ? cap_ : static_cast<Cell>(v); }

  std::size_t L_;
  std::size_t K_;
  Cell cap_;
  std::vector<char32_t> chars_;
};

/// Whole rows, columns 0..L: for a max_dist so large that the band would
/// be wider than the term.
template <class Cell>
class FullRows {
 public:
  FullRows(std::u32string_view term, std::uint32_t max_dist) : term_(term), cap_(static_cast<Cell>(max_dist + 1)) {}

  [[nodiscard]] std::size_t width() const noexcept { return term_.size() + 1; }
  [[nodiscard]] Cell cap() const noexcept { return cap_; }

  void first_row(Cell* row) const noexcept {
    for (std::size_t j = 0; j <= term_.size(); ++j)
      row[j] = capped(j);
  }

  struct Depth {
    std::size_t d;
  };
  [[nodiscard]] Depth at_depth(std::size_t d) const noexcept { return {d}; }

  RowStep<Cell> fill(const Depth& at, const Cell* prev, Cell* cur, char32_t x) const noexcept {
    cur[0] = capped(at.d);
    Cell row_min = cur[0];
    for (std::size_t j = 1; j <= term_.size(); ++j) {
      const Cell diag = static_cast<Cell>(prev[j - 1] + (term_[j - 1] == x ? 0 : 1));
      const Cell v = std::min(std::min(diag, static_cast<Cell>(prev[j] + 1)), std::min(static_cast<Cell>(cur[j - 1] + 1), cap_));
      cur[j] = v;
      row_min = std::min(row_min, v);
    }
    return {row_min, cur[term_.size()]};
  }

 private:
  [[nodiscard]] Cell capped(std::size_t v) const noexcept { return v >= cap_ ? cap_ : static_cast<Cell>(v); }

  std::u32string_view term_;
  Cell cap_;
};

#if defined(__SSE2__)
/// The band for max_dist K <= 3 in one SSE2 register: 16 lanes of 8 bits,
/// lanes 0..2K holding the band and the rest at the cap. A child's row takes
/// a handful of vector instructions: which band columns hold the child's
/// character comes from a per-query bit mask of the term's positions per
/// character, and the dependency on the left neighbour is resolved by a
/// prefix minimum in three shifted steps (cur[i] = min over s of t[i-s] + s).
template <int K>
class SimdBandRows {
 public:
  using Cell = std::uint8_t;
  static constexpr std::size_t kWidth = 2 * K + 1;
  /// Padded term positions that fit the two 64-bit halves of a mask.
  static constexpr std::size_t kMaxPositions = 128;

  [[nodiscard]] static constexpr bool fits(std::size_t term_length) noexcept {
    return term_length + 3 * K + 2 <= kMaxPositions;
  }

  explicit SimdBandRows(std::u32string_view term) : L_(term.size()) {
    // Position p = column + K holds the term character of that column.
    for (std::size_t j = 1; j <= L_; ++j) {
      const std::size_t p = j + K;
      const char32_t c = term[j - 1];
      Mask* mask = nullptr;
      if (c < 128) {
        mask = &ascii_[c];
      } else {
        for (auto& [ch, m] : other_)
          if (ch == c)
            mask = &m;
        if (mask == nullptr)
          mask = &other_.emplace_back(c, Mask{}).second;
      }
      mask->bytes[p >> 3] = static_cast<std::uint8_t>(mask->bytes[p >> 3] | (1u << (p & 7)));
    }
    // What the rows of each depth share; one entry past the deepest depth
    // the walk can reach (L + K + 1) stands for every depth beyond.
    depths_.resize(L_ + K + 3);
    for (std::size_t d = 0; d < depths_.size(); ++d) {
      alignas(16) std::uint8_t lanes[16];
      for (std::size_t i = 0; i < 16; ++i) {
        const std::ptrdiff_t column = static_cast<std::ptrdiff_t>(d + i) - K;
        const bool inside = i < kWidth && column >= 0 && column <= static_cast<std::ptrdiff_t>(L_);
        lanes[i] = inside ? 0 : cap();
      }
      const std::size_t position = std::min<std::size_t>(d, kMaxPositions);
      depths_[d].outside = _mm_load_si128(reinterpret_cast<const __m128i*>(lanes));
      depths_[d].byte = position >> 3;
      depths_[d].shift = static_cast<unsigned>(position & 7);
      depths_[d].end = L_ + K >= d && L_ + K - d < kWidth ? L_ + K - d : kWidth;
    }
  }

  [[nodiscard]] static constexpr std::size_t width() noexcept { return 16; }
  [[nodiscard]] static constexpr Cell cap() noexcept { return K + 1; }
  static constexpr bool kHasMatchBits = true;

  void first_row(Cell* row) const noexcept {
    for (std::size_t i = 0; i < 16; ++i)
      row[i] = i < kWidth && i >= K && i - K <= L_ && i - K < cap() ? static_cast<Cell>(i - K) : cap();
  }

  struct Depth {
    __m128i outside;    // the cap in lanes whose column lies outside 0..L, 0 elsewhere
    std::size_t byte;   // lane 0's column is term position d = 8 * byte + shift
    unsigned shift;
    std::size_t end;    // the lane of column L, or kWidth when outside the band
  };

  /// Precomputed: a walk's pushes and pops only switch between entries.
  [[nodiscard]] const Depth* at_depth(std::size_t d) const noexcept {
    return &depths_[std::min(d, depths_.size() - 1)];
  }

  /// Which lanes of depth `at` hold character x: the rows of two children
  /// with the same bits are the same, and bits 0 is the row of any
  /// character outside the band.
  [[nodiscard]] unsigned bits_of(const Depth* at, char32_t x) const noexcept {
    const Mask* mask = mask_of(x);
    if (mask == nullptr)
      return 0;
    std::uint64_t word;
    std::memcpy(&word, mask->bytes.data() + at->byte, sizeof word);
    return static_cast<unsigned>((word >> at->shift) & ((1u << kWidth) - 1));
  }


  RowStep<Cell> fill_bits(const Depth* at, const Cell* prev_row, Cell* cur_row, unsigned bits) const noexcept {
    const __m128i cap_v = _mm_set1_epi8(static_cast<char>(cap()));
    const __m128i one = _mm_set1_epi8(1);
    const __m128i prev = _mm_loadu_si128(reinterpret_cast<const __m128i*>(prev_row));
    const __m128i equal = kMatchLanes[bits].v;
    const __m128i diag = _mm_sub_epi8(_mm_add_epi8(prev, one), equal);
    const __m128i up = _mm_adds_epu8(_mm_srli_si128(prev, 1), one);
    // Every lane is capped, then lanes outside the table are raised to the cap.
    __m128i t = _mm_max_epu8(_mm_min_epu8(_mm_min_epu8(diag, up), cap_v), at->outside);
    // Shifted-in lanes read as 255, so nothing flows in from the left edge.
    const __m128i edge1 = _mm_set_epi8(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, -1);
    const __m128i edge2 = _mm_set_epi8(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, -1, -1);
    const __m128i edge4 = _mm_set_epi8(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, -1, -1, -1, -1);
    t = _mm_min_epu8(t, _mm_adds_epu8(_mm_or_si128(_mm_slli_si128(t, 1), edge1), one));
    if constexpr (K >= 1)
      t = _mm_min_epu8(t, _mm_adds_epu8(_mm_or_si128(_mm_slli_si128(t, 2), edge2), _mm_set1_epi8(2)));
    if constexpr (K >= 2)
      t = _mm_min_epu8(t, _mm_adds_epu8(_mm_or_si128(_mm_slli_si128(t, 4), edge4), _mm_set1_epi8(4)));
    t = _mm_max_epu8(_mm_min_epu8(t, cap_v), at->outside);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(cur_row), t);
    const int alive = _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(t, _mm_set1_epi8(K)), t));
    const Cell distance = at->end < kWidth ? cur_row[at->end] : cap();
    return {alive != 0 ? Cell{0} : cap(), distance};
  }

  /// Bit p: the term position p holds the character. Padded so that an
  /// 8-byte read at any position's byte stays inside.
  struct Mask {
    std::array<std::uint8_t, kMaxPositions / 8 + 8> bytes{};
  };

  [[nodiscard]] const Mask* mask_of(char32_t x) const noexcept {
    if (x < 128)
      return &ascii_[x];
    for (const auto& [ch, m] : other_)
      if (ch == x)
        return &m;
    return nullptr;
  }

  /// A register's worth of lanes; wrapped so that containers keep its alignment.
  struct Lanes {
    __m128i v;
  };

  /// Lane i is 1 where bit i of the index is set.
  static inline const std::array<Lanes, 128> kMatchLanes = [] {
    std::array<Lanes, 128> table{};
    for (unsigned bits = 0; bits < 128; ++bits) {
      alignas(16) std::uint8_t lanes[16] = {};
      for (unsigned i = 0; i < 7; ++i)
        lanes[i] = (bits >> i) & 1;
      table[bits].v = _mm_load_si128(reinterpret_cast<const __m128i*>(lanes));
    }
    return table;
  }();

  std::size_t L_;
  std::array<Mask, 128> ascii_{};
  std::vector<std::pair<char32_t, Mask>> other_;
  std::vector<Depth> depths_;
};
#endif

/// The walk, with an explicit stack so that its depth never touches the C
/// stack. `on_hit(child, distance, label, path)` is called for every child
/// whose distance is within max_dist and returns true to stop the walk.
/// Every read by index is checked, in the order the recursive definition
/// makes them, so an inconsistent trie faults where and only where that
/// definition would.
template <bool kKeepPath, class Kernel, class OnHit>
void walk(const Trie& trie, const Kernel& kernel, CancelHook* cancel, OnHit&& on_hit) {
  using Cell = decltype(kernel.cap());
  const std::size_t n = trie.child_labels.size();
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
  std::vector<Cursor> stack;
  std::vector<char32_t> path;
  Cursor at = cursor_of(trie.edge_range(0));
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
    const std::size_t c = edges[at.next++];
    if (c >= n) [[unlikely]]
      index_fault(n, c, std::source_location::current());
    const char32_t x = labels[c];
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

    const EdgeRange range = trie.edge_range(c);
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

template <bool kKeepPath, class Cell, class OnHit>
void walk_with_cells(const Trie& trie, std::u32string_view term, std::uint32_t max_dist, CancelHook* cancel,
                     OnHit&& on_hit) {
#if defined(__SSE2__)
  switch (max_dist) {
    case 0:
      if (SimdBandRows<0>::fits(term.size()))
        return walk<kKeepPath>(trie, SimdBandRows<0>(term), cancel, on_hit);
      break;
    case 1:
      if (SimdBandRows<1>::fits(term.size()))
        return walk<kKeepPath>(trie, SimdBandRows<1>(term), cancel, on_hit);
      break;
    case 2:
      if (SimdBandRows<2>::fits(term.size()))
        return walk<kKeepPath>(trie, SimdBandRows<2>(term), cancel, on_hit);
      break;
    case 3:
      if (SimdBandRows<3>::fits(term.size()))
        return walk<kKeepPath>(trie, SimdBandRows<3>(term), cancel, on_hit);
      break;
    default:
      break;
  }
#endif
  switch (max_dist) {
    case 0:
      return walk<kKeepPath>(trie, BandRows<Cell, 0>(term, 0), cancel, on_hit);
    case 1:
      return walk<kKeepPath>(trie, BandRows<Cell, 1>(term, 1), cancel, on_hit);
    case 2:
      return walk<kKeepPath>(trie, BandRows<Cell, 2>(term, 2), cancel, on_hit);
    case 3:
      return walk<kKeepPath>(trie, BandRows<Cell, 3>(term, 3), cancel, on_hit);
    default:
      break;
  }
  if (2 * static_cast<std::uint64_t>(max_dist) + 1 < term.size() + 1)
    walk<kKeepPath>(trie, BandRows<Cell, -1>(term, max_dist), cancel, on_hit);
  else
    walk<kKeepPath>(trie, FullRows<Cell>(term, max_dist), cancel, on_hit);
}

/// Runs the walk with the cell type max_dist needs (room for max_dist + 2).
template <bool kKeepPath, class OnHit>
void run_walk(const Trie& trie, std::u32string_view term, const WalkOptions& options, OnHit&& on_hit) {
  std::uint32_t effective = options.max_dist;
  if (!fits_narrow_cells(term.size(), effective)) {
    constexpr std::uint64_t kWideMax = std::numeric_limits<std::uint32_t>::max() - 2;
    const std::uint64_t bound = static_cast<std::uint64_t>(term.size()) + trie.node_count();
    effective = static_cast<std::uint32_t>(std::min({static_cast<std::uint64_t>(effective), bound, kWideMax}));
  }
  if (effective <= 0xFFFF - 2)
    walk_with_cells<kKeepPath, std::uint16_t>(trie, term, effective, options.cancel, on_hit);
  else
    walk_with_cells<kKeepPath, std::uint32_t>(trie, term, effective, options.cancel, on_hit);
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

std::vector<NodeMatch> fuzzy_match_nodes_terminal_first(const Trie& trie, std::u32string_view term,
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
