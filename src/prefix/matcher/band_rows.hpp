// Row kernels of the generic walk: each fills the edit-distance row of a
// child from its parent's row. Used for trees and plain tries alike when the
// term or max_dist is too large for the bit-parallel rows (bit_walk.hpp), and
// for every query on a trie that is not a proven tree.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quorvatel::matcher {

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

}  // namespace quorvatel::matcher
