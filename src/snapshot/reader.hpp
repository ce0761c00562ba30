// Reader: a cursor over a borrowed snapshot. It never copies the input; the
// bytes must outlive the reader.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>

#include "snapshot/decode_error.hpp"

namespace quorvatel::snapshot {

class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> input) noexcept
      : begin_(input.data()), pos_(input.data()), end_(input.data() + input.size()) {}

  /// Bytes consumed so far.
  [[nodiscard]] std::size_t position() const noexcept { return static_cast<std::size_t>(pos_ - begin_); }
  /// Bytes not yet consumed.
  [[nodiscard]] std::size_t remaining() const noexcept { return static_cast<std::size_t>(end_ - pos_); }
  /// The next unread byte; only meaningful while remaining() > 0.
  [[nodiscard]] const std::uint8_t* current() const noexcept { return pos_; }

  // The unchecked steps below expect the caller to have tested remaining().
  std::uint8_t take_byte() noexcept { return *pos_++; }
  void skip(std::size_t n) noexcept { pos_ += n; }
  [[nodiscard]] std::span<const std::uint8_t> take(std::size_t n) noexcept {
    const std::span<const std::uint8_t> bytes(pos_, n);
    pos_ += n;
    return bytes;
  }

  /// One byte, or UnexpectedEnd when the input is used up.
  [[nodiscard]] std::expected<std::uint8_t, DecodeError> read_byte() noexcept {
    if (pos_ == end_) [[unlikely]]
      return std::unexpected(DecodeError::unexpected_end(1));
    return *pos_++;
  }

  /// How many elements to reserve for a vector that declares `count` elements
  /// of at least `min_element_bytes` each. A declared count is believed only
  /// as far as the rest of the input could hold it: no more than this many
  /// elements can be read successfully, and a larger count ends in the error
  /// of the first element that finds the input used up.
  [[nodiscard]] std::size_t reservation(std::uint64_t count, std::size_t min_element_bytes) const noexcept {
    const std::uint64_t fit = remaining() / min_element_bytes;
    return static_cast<std::size_t>(std::min<std::uint64_t>(count, fit));
  }

 private:
  const std::uint8_t* begin_;
  const std::uint8_t* pos_;
  const std::uint8_t* end_;
};

}  // namespace quorvatel::snapshot
