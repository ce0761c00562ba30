// Band rows for k = 1, 2 or 3 in one SSE2 register: 16 lanes of 8 bits,
// lanes 0 .. 2k holding the band (lane p: column depth - k + p) and the rest
// at the cap, with the transposition step of optimal string alignment.
// Gives exactly the rows of RowKernel<std::uint8_t, true>.
//
// Which lanes hold a child's label comes from a per-query bit mask of the
// text's columns per character, so a child costs a few vector instructions;
// the left neighbour's dependency is resolved by a prefix minimum in three
// shifted steps (cur[p] = min over s of t[p - s] + s).
#pragma once

#if defined(__SSE2__)

#include <emmintrin.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "prefix/complete/rows.hpp"

namespace quorvatel::complete {

template <int K>
class SimdRowKernel {
  static_assert(K >= 1 && K <= 3);

 public:
  using CellType = std::uint8_t;
  static constexpr std::size_t kFixedWidth = 16;
  static constexpr std::size_t kWidth = 2 * K + 1;
  /// Texts up to this long fit the masks.
  static constexpr std::size_t kMaxText = 128;

  /// Bits of the columns per character; padded so that an 8-byte read at
  /// any bit a search asks for stays inside.
  struct Mask {
    std::array<std::uint8_t, 32> bytes{};
  };
  static_assert((kMaxText + K + 2) / 8 + 8 <= sizeof(Mask));

  struct Depth {
    __m128i outside;  ///< the cap in lanes whose column lies outside 0..L, 0 elsewhere
    std::size_t end;  ///< the lane of column L, or 16 when outside the band
  };

  /// What a kernel reads, built once per text; owned by the caller for as
  /// long as a kernel reads it.
  struct Tables {
    std::array<Mask, 128> ascii{};  ///< per ASCII character; empty for one the text lacks
    std::vector<char32_t> wide;     ///< the other characters of the text
    std::vector<Mask> wide_masks;
    Mask none{};
    std::vector<Depth> depths;  ///< per depth; the last stands for all deeper ones

    explicit Tables(std::u32string_view text) {
      const std::size_t L = text.size();
      // Bit b = column + K + 1 of a character's mask: column j holds it (t[j - 1]).
      for (std::size_t j = 1; j <= L; ++j) {
        const char32_t c = text[j - 1];
        Mask* mask = nullptr;
        if (c < 128) {
          mask = &ascii[c];
        } else {
          for (std::size_t i = 0; i < wide.size(); ++i)
            if (wide[i] == c)
              mask = &wide_masks[i];
          if (mask == nullptr) {
            wide.push_back(c);
            mask = &wide_masks.emplace_back();
          }
        }
        const std::size_t b = j + K + 1;
        mask->bytes[b >> 3] = static_cast<std::uint8_t>(mask->bytes[b >> 3] | (1u << (b & 7)));
      }
      // The deepest depth a search reaches is L + K + 1.
      depths.resize(L + K + 3);
      for (std::size_t d = 0; d < depths.size(); ++d) {
        alignas(16) std::uint8_t lanes[16];
        for (std::size_t p = 0; p < 16; ++p) {
          const std::ptrdiff_t column = static_cast<std::ptrdiff_t>(d + p) - K;
          const bool inside = p < kWidth && column >= 0 && column <= static_cast<std::ptrdiff_t>(L);
          lanes[p] = inside ? 0 : kCap;
        }
        depths[d].outside = _mm_load_si128(reinterpret_cast<const __m128i*>(lanes));
        const std::ptrdiff_t end = static_cast<std::ptrdiff_t>(L) + K - static_cast<std::ptrdiff_t>(d);
        depths[d].end = end >= 0 && end < static_cast<std::ptrdiff_t>(kWidth) ? static_cast<std::size_t>(end) : 16;
      }
    }
  };

  /// A kernel over `tables`, built from `text` (at most kMaxText long). A
  /// kernel is a few pointers and numbers, cheap to copy.
  SimdRowKernel(std::u32string_view text, bool transpositions, const Tables& tables)
      : L_(text.size()),
        transpositions_(transpositions),
        ascii_(tables.ascii.data()),
        wide_(tables.wide.data()),
        wide_masks_(tables.wide_masks.data()),
        wide_count_(tables.wide.size()),
        none_(&tables.none),
        depths_(tables.depths.data()),
        last_depth_(tables.depths.size() - 1) {}

  [[nodiscard]] static constexpr std::size_t width() noexcept { return 16; }
  [[nodiscard]] static constexpr std::uint32_t cap() noexcept { return kCap; }

  static void copy_row(const std::uint8_t* from, std::uint8_t* to) noexcept { std::memcpy(to, from, 16); }

  void first_row(std::uint8_t* row) const noexcept {
    for (std::size_t p = 0; p < 16; ++p)
      row[p] = p < kWidth && p >= K && p - K <= L_ ? static_cast<std::uint8_t>(std::min<std::size_t>(p - K, kCap))
                                                   : kCap;
  }
  [[nodiscard]] std::uint32_t first_distance() const noexcept {
    return static_cast<std::uint32_t>(std::min<std::size_t>(L_, kCap));
  }

  static constexpr std::uint8_t kCap = K + 1;

  /// Lanes of the band where the child's label equals the column's
  /// character, and lanes where a transposition applies.
  struct Probe {
    unsigned equal;
    unsigned swapped;
  };

  /// What the children at `depth` of a node labelled y share: the lanes
  /// whose column holds y (a transposition needs t[j - 1] == y).
  struct Context {
    unsigned parent;
  };
  [[nodiscard]] Context context(std::size_t depth, char32_t y) const noexcept {
    if (!transpositions_ || depth < 2)
      return {0};
    return {bits(mask_of(y), depth + 1)};
  }

  [[nodiscard, gnu::always_inline]] Probe probe(const Context& context, std::size_t depth,
                                                char32_t x) const noexcept {
    // One read of x's bits from column depth - K - 1 on: lane p of the band
    // holds t[j - 1] == x at bit p + 1 (column j = depth - K + p), and
    // t[j - 2] == x, half of a transposition, at bit p.
    const std::uint64_t window = bits_from(mask_of(x), depth);
    constexpr std::uint64_t kLanesMask = (1u << kWidth) - 1;
    return {static_cast<unsigned>((window >> 1) & kLanesMask),
            context.parent & static_cast<unsigned>(window & kLanesMask)};
  }

  [[nodiscard]] static bool unmatched(std::size_t, const Probe& p) noexcept { return (p.equal | p.swapped) == 0; }
  [[nodiscard]] static Probe unmatched_probe(std::size_t) noexcept { return {0, 0}; }

  [[gnu::always_inline]] RowStep fill(std::size_t depth, const std::uint8_t* prev_row, const std::uint8_t* grand_row, const Probe& probe,
               std::uint8_t* cur_row) const noexcept {
    const Depth& at = depths_[std::min(depth, last_depth_)];
    const __m128i cap_v = _mm_set1_epi8(static_cast<char>(kCap));
    const __m128i one = _mm_set1_epi8(1);
    const __m128i prev = _mm_loadu_si128(reinterpret_cast<const __m128i*>(prev_row));
    const __m128i diag = _mm_sub_epi8(_mm_add_epi8(prev, one), kLanes[probe.equal].ones);
    const __m128i up = _mm_adds_epu8(_mm_srli_si128(prev, 1), one);
    __m128i t = _mm_min_epu8(diag, up);
    if (probe.swapped != 0) {
      const __m128i grand = _mm_adds_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(grand_row)), one);
      // 255 outside the swapped lanes
      t = _mm_min_epu8(t, _mm_or_si128(grand, _mm_xor_si128(kLanes[probe.swapped].all, _mm_set1_epi8(-1))));
    }
    t = _mm_max_epu8(_mm_min_epu8(t, cap_v), at.outside);
    // Shifted-in lanes read as 255, so nothing flows in from the left edge.
    const __m128i edge1 = _mm_set_epi8(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, -1);
    const __m128i edge2 = _mm_set_epi8(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, -1, -1);
    const __m128i edge4 = _mm_set_epi8(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, -1, -1, -1, -1);
    t = _mm_min_epu8(t, _mm_adds_epu8(_mm_or_si128(_mm_slli_si128(t, 1), edge1), one));
    t = _mm_min_epu8(t, _mm_adds_epu8(_mm_or_si128(_mm_slli_si128(t, 2), edge2), _mm_set1_epi8(2)));
    if constexpr (K >= 2)
      t = _mm_min_epu8(t, _mm_adds_epu8(_mm_or_si128(_mm_slli_si128(t, 4), edge4), _mm_set1_epi8(4)));
    t = _mm_max_epu8(_mm_min_epu8(t, cap_v), at.outside);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(cur_row), t);
    __m128i m = _mm_min_epu8(t, _mm_srli_si128(t, 8));
    m = _mm_min_epu8(m, _mm_srli_si128(m, 4));
    m = _mm_min_epu8(m, _mm_srli_si128(m, 2));
    m = _mm_min_epu8(m, _mm_srli_si128(m, 1));
    const auto row_min = static_cast<std::uint32_t>(_mm_cvtsi128_si32(m) & 0xFF);
    return {row_min, at.end < 16 ? cur_row[at.end] : kCap};
  }

 private:
  struct LaneSet {
    __m128i ones;  ///< 1 in the lanes of the index's bits
    __m128i all;   ///< 255 in the lanes of the index's bits
  };

  /// At least 57 bits of a mask from bit b on.
  [[nodiscard, gnu::always_inline]] static std::uint64_t bits_from(const Mask& mask, std::size_t b) noexcept {
    std::uint64_t word;
    std::memcpy(&word, mask.bytes.data() + (b >> 3), sizeof word);
    return word >> (b & 7);
  }
  /// The bits b .. b + 2K of a mask: lane p from column b - K - 1 + p.
  [[nodiscard]] static unsigned bits(const Mask& mask, std::size_t b) noexcept {
    return static_cast<unsigned>(bits_from(mask, b) & ((1u << kWidth) - 1));
  }

  [[nodiscard, gnu::always_inline]] const Mask& mask_of(char32_t c) const noexcept {
    if (c < 128) [[likely]]
      return ascii_[c];
    return wide_mask(c);
  }
  [[nodiscard]] const Mask& wide_mask(char32_t c) const noexcept {
    for (std::size_t i = 0; i < wide_count_; ++i)
      if (wide_[i] == c)
        return wide_masks_[i];
    return *none_;
  }

  static inline const std::array<LaneSet, 1u << kWidth> kLanes = [] {
    std::array<LaneSet, 1u << kWidth> table{};
    for (unsigned b = 0; b < (1u << kWidth); ++b) {
      alignas(16) std::uint8_t ones[16] = {};
      alignas(16) std::uint8_t all[16] = {};
      for (unsigned p = 0; p < kWidth; ++p) {
        ones[p] = (b >> p) & 1;
        all[p] = ones[p] != 0 ? 0xFF : 0;
      }
      table[b].ones = _mm_load_si128(reinterpret_cast<const __m128i*>(ones));
      table[b].all = _mm_load_si128(reinterpret_cast<const __m128i*>(all));
    }
    return table;
  }();

  std::size_t L_;
  bool transpositions_;
  const Mask* ascii_;
  const char32_t* wide_;
  const Mask* wide_masks_;
  std::size_t wide_count_;
  const Mask* none_;
  const Depth* depths_;
  std::size_t last_depth_;
};

}  // namespace quorvatel::complete

#endif
