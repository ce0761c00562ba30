// Edit-distance rows for the completion search: the row of a node holds the
// distances between its path and every prefix of the text, with the
// transposition step of optimal string alignment when asked for.
//
// Cells hold min(distance, k + 1): every value up to k is exact and every
// larger one reads as k + 1 (the cap), which is all a search bounded by k
// needs. Row minima never decrease from a node to its children (also with
// transpositions: the transposition term d[i-2][j-2] + 1 is never below
// d[i-1][j-1]), so a row whose minimum exceeds k ends its subtree.
//
// Band rows keep only the 2k + 1 columns around the diagonal (depth - k ..
// depth + k; every other cell exceeds k), position p of the row at depth i
// holding column i - k + p. Full rows keep the text's L + 1 columns.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace quorvatel::complete {

/// Equal to no label.
inline constexpr char32_t kNoChar = 0xFFFFFFFF;

struct RowStep {
  std::uint32_t row_min;   ///< capped
  std::uint32_t distance;  ///< to the whole text, capped
};

template <class Cell, bool kBand>
class RowKernel {
 public:
  using CellType = Cell;
  /// The row width when it is fixed at compile time, else 0.
  static constexpr std::size_t kFixedWidth = 0;

  /// The text's characters as the rows read them: column j's at offset(k)
  /// + j (t[j - 1] for j in 1..L), kNoChar around them, far enough for
  /// every column of every depth a search reaches (at most L + k + 1).
  /// Owned by the caller for as long as a kernel reads it.
  [[nodiscard]] static std::vector<char32_t> columns(std::u32string_view text, std::uint32_t k) {
    std::vector<char32_t> chars(text.size() + (kBand ? 3 * static_cast<std::size_t>(k) : 0) + 6, kNoChar);
    for (std::size_t j = 1; j <= text.size(); ++j)
      chars[offset(k) + j] = text[j - 1];
    return chars;
  }

  /// `k` must leave room for k + 2 in a Cell; `columns` is columns(text, k).
  /// A kernel is a few pointers and numbers, cheap to copy.
  RowKernel(std::u32string_view text, std::uint32_t k, bool transpositions, const std::vector<char32_t>& columns)
      : L_(text.size()),
        k_(k),
        cap_(static_cast<Cell>(k + 1)),
        width_(kBand ? 2 * static_cast<std::size_t>(k) + 1 : text.size() + 1),
        transpositions_(transpositions),
        chars_(columns.data() + offset(k)) {}

  [[nodiscard]] std::size_t width() const noexcept { return width_; }
  [[nodiscard]] std::uint32_t cap() const noexcept { return cap_; }

  void copy_row(const Cell* from, Cell* to) const noexcept { std::copy_n(from, width_, to); }

  /// The root's row: column j holds j.
  void first_row(Cell* row) const noexcept {
    for (std::size_t p = 0; p < width_; ++p) {
      const std::ptrdiff_t j = column(0, p);
      row[p] = j >= 0 && static_cast<std::size_t>(j) <= L_ ? capped(static_cast<std::size_t>(j)) : cap_;
    }
  }

  /// The distance of the root's row to the whole text.
  [[nodiscard]] std::uint32_t first_distance() const noexcept { return capped(L_); }

  /// What fill() needs of a child: its label and its parent's.
  struct Probe {
    char32_t x;
    char32_t y;
  };

  /// What the children at a depth of a node labelled y share.
  struct Context {
    char32_t y;
  };
  [[nodiscard]] Context context(std::size_t, char32_t y) const noexcept { return {y}; }

  /// The probe of a child at `depth` labelled x.
  [[nodiscard]] Probe probe(const Context& context, std::size_t, char32_t x) const noexcept {
    return {x, context.y};
  }

  /// Whether the child gets the same row as a child whose label equals no
  /// character of the text: whether x occurs nowhere among the characters
  /// the band of that depth compares (band rows only; full rows never tell).
  [[nodiscard]] bool unmatched(std::size_t depth, const Probe& probe) const noexcept {
    if constexpr (!kBand) {
      return false;
    } else {
      // Columns depth - k .. depth + k compare t[j - 1] (and t[j - 2] for a
      // transposition): chars_ from column depth - k - 1 to depth + k.
      const char32_t* c = chars_ + depth - k_ - 1;
      for (std::size_t p = 0; p <= width_; ++p)
        if (c[p] == probe.x)
          return false;
      return true;
    }
  }

  /// The probe of a label that matches nothing.
  [[nodiscard]] Probe unmatched_probe(std::size_t) const noexcept { return {kNoChar, kNoChar}; }

  /// Fills `cur`, the row of a child at `depth` (>= 1), from its parent's
  /// row `prev`; `grand` is the grandparent's row, read only for a
  /// transposition (depth >= 2).
  RowStep fill(std::size_t depth, const Cell* prev, const Cell* grand, const Probe& probe,
               Cell* cur) const noexcept {
    const char32_t x = probe.x;
    const char32_t y = probe.y;
    const bool swap = transpositions_ && depth >= 2;
    const Cell one = 1;
    Cell row_min = cap_;
    if constexpr (kBand) {
      const std::ptrdiff_t base = column(depth, 0);
      const std::ptrdiff_t w = static_cast<std::ptrdiff_t>(width_);
      const std::ptrdiff_t lo = std::max<std::ptrdiff_t>(0, -base);
      const std::ptrdiff_t hi = std::min<std::ptrdiff_t>(w - 1, static_cast<std::ptrdiff_t>(L_) - base);
      const char32_t* t = chars_ + base;  // t[p]: the character of column base + p
      Cell left = cap_;
      for (std::ptrdiff_t p = 0; p < w; ++p) {
        Cell v = cap_;
        if (p >= lo && p <= hi) {
          if (base + p == 0) {
            v = capped(depth);
          } else {
            const Cell diag = static_cast<Cell>(prev[p] + (t[p] == x ? 0 : 1));
            const Cell up = p + 1 < w ? static_cast<Cell>(prev[p + 1] + one) : cap_;
            v = std::min({diag, up, static_cast<Cell>(left + one), cap_});
            if (swap && base + p >= 2 && t[p - 1] == x && t[p] == y)
              v = std::min(v, static_cast<Cell>(grand[p] + one));
          }
        }
        cur[p] = v;
        left = v;
        row_min = std::min(row_min, v);
      }
      const std::ptrdiff_t end = static_cast<std::ptrdiff_t>(L_) - base;
      return {row_min, end >= 0 && end < w ? cur[end] : cap_};
    } else {
      const char32_t* t = chars_;  // t[j]: the character of column j
      cur[0] = capped(depth);
      row_min = cur[0];
      for (std::size_t j = 1; j <= L_; ++j) {
        const Cell diag = static_cast<Cell>(prev[j - 1] + (t[j] == x ? 0 : 1));
        Cell v = std::min({diag, static_cast<Cell>(prev[j] + one), static_cast<Cell>(cur[j - 1] + one), cap_});
        if (swap && j >= 2 && t[j - 1] == x && t[j] == y)
          v = std::min(v, static_cast<Cell>(grand[j - 2] + one));
        cur[j] = v;
        row_min = std::min(row_min, v);
      }
      return {row_min, cur[L_]};
    }
  }

 private:
  [[nodiscard]] static constexpr std::size_t offset(std::uint32_t k) noexcept {
    return kBand ? static_cast<std::size_t>(k) + 2 : 2;
  }

  /// The column of position p in the row of `depth`.
  [[nodiscard]] std::ptrdiff_t column(std::size_t depth, std::size_t p) const noexcept {
    if constexpr (kBand)
      return static_cast<std::ptrdiff_t>(depth) - static_cast<std::ptrdiff_t>(k_) + static_cast<std::ptrdiff_t>(p);
    else
      return static_cast<std::ptrdiff_t>(p);
  }
  [[nodiscard]] Cell capped(std::size_t v) const noexcept { return v >= cap_ ? cap_ : static_cast<Cell>(v); }

  std::size_t L_;
  std::size_t k_;
  Cell cap_;
  std::size_t width_;
  bool transpositions_;
  const char32_t* chars_;  ///< column 0's character (columns reach below it)
};

}  // namespace quorvatel::complete
