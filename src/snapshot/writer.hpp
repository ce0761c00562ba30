// Snapshot writers. A snapshot is sized first (CountingWriter, or the sizing
// functions of the codecs), then written into a SpanWriter over storage of
// exactly that length (a fresh Python bytes object, or a vector), so the
// output is allocated once and never copied. Writing never fails.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

namespace quorvatel::snapshot {

template <class W>
concept ByteWriter = requires(W& w, std::uint8_t byte, std::span<const std::uint8_t> bytes) {
  w.put(byte);
  w.put(bytes);
  { w.size() } -> std::same_as<std::size_t>;
};

/// Adds up the bytes that would be written.
class CountingWriter {
 public:
  void put(std::uint8_t) noexcept { ++size_; }
  void put(std::span<const std::uint8_t> bytes) noexcept { size_ += bytes.size(); }
  [[nodiscard]] std::size_t size() const noexcept { return size_; }

 private:
  std::size_t size_ = 0;
};

/// Writes into a caller-provided span sized by a CountingWriter pass over the
/// same value. Running past its end would be a sizing bug in the caller; the
/// process is stopped rather than writing outside the span.
class SpanWriter {
 public:
  explicit SpanWriter(std::span<std::uint8_t> out) noexcept
      : begin_(out.data()), pos_(out.data()), end_(out.data() + out.size()) {}

  void put(std::uint8_t byte) noexcept {
    if (pos_ == end_) [[unlikely]]
      std::abort();
    *pos_++ = byte;
  }
  void put(std::span<const std::uint8_t> bytes) noexcept {
    if (bytes.size() > static_cast<std::size_t>(end_ - pos_)) [[unlikely]]
      std::abort();
    if (!bytes.empty())
      std::memcpy(pos_, bytes.data(), bytes.size());
    pos_ += bytes.size();
  }
  /// Bytes written so far.
  [[nodiscard]] std::size_t size() const noexcept { return static_cast<std::size_t>(pos_ - begin_); }
  [[nodiscard]] std::size_t remaining() const noexcept { return static_cast<std::size_t>(end_ - pos_); }

  // Raw writing, for encoders that write many items at once: they test
  // remaining() against a bound of what they are about to write, write
  // through cursor() and then account for the bytes with advance().
  [[nodiscard]] std::uint8_t* cursor() const noexcept { return pos_; }
  void advance(std::size_t n) noexcept {
    if (n > remaining()) [[unlikely]]
      std::abort();
    pos_ += n;
  }

 private:
  std::uint8_t* begin_;
  std::uint8_t* pos_;
  std::uint8_t* end_;
};

}  // namespace quorvatel::snapshot
