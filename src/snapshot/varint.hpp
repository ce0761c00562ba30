// Unsigned varints: one marker byte, then (for markers 251 to 253) a 16-, 32-
// or 64-bit little-endian body. The writer always picks the shortest form;
// the reader accepts every form its width can hold, shortest or not.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <type_traits>

#include "core/result.hpp"
#include "snapshot/decode_error.hpp"
#include "snapshot/reader.hpp"
#include "snapshot/writer.hpp"

namespace quorvatel::snapshot {

inline constexpr std::uint8_t kMaxSingleByte = 250;
inline constexpr std::uint8_t kMarkerU16 = 251;
inline constexpr std::uint8_t kMarkerU32 = 252;
inline constexpr std::uint8_t kMarkerU64 = 253;
inline constexpr std::uint8_t kMarkerU128 = 254;
inline constexpr std::uint8_t kMarkerReserved = 255;

template <class T>
concept VarintWidth = std::same_as<T, std::uint32_t> || std::same_as<T, std::uint64_t>;

/// Bytes of the shortest form of `value`: 1, 3, 5 or 9.
[[nodiscard]] constexpr std::size_t varint_size(std::uint64_t value) noexcept {
  if (value <= kMaxSingleByte)
    return 1;
  if (value <= 0xFFFF)
    return 3;
  if (value <= 0xFFFF'FFFF)
    return 5;
  return 9;
}

template <ByteWriter W>
inline void write_varint(W& out, std::uint64_t value) noexcept {
  if (value <= kMaxSingleByte) {
    out.put(static_cast<std::uint8_t>(value));
    return;
  }
  std::array<std::uint8_t, 9> bytes{};
  std::size_t body;
  if (value <= 0xFFFF) {
    bytes[0] = kMarkerU16;
    body = 2;
  } else if (value <= 0xFFFF'FFFF) {
    bytes[0] = kMarkerU32;
    body = 4;
  } else {
    bytes[0] = kMarkerU64;
    body = 8;
  }
  for (std::size_t i = 0; i < body; ++i)
    bytes[1 + i] = static_cast<std::uint8_t>(value >> (8 * i));
  out.put(std::span<const std::uint8_t>(bytes.data(), 1 + body));
}

namespace detail {

template <class T>
[[nodiscard]] inline T load_le(const std::uint8_t* p) noexcept {
  T value;
  std::memcpy(&value, p, sizeof value);
  if constexpr (std::endian::native == std::endian::big)
    value = std::byteswap(value);
  return value;
}

/// The error for a marker that the width `T` cannot read (253 for 32 bits,
/// 254 and 255 always). Decided by the marker alone.
[[nodiscard]] DecodeError invalid_marker(IntegerType expected, std::uint8_t marker) noexcept;

/// The byte-by-byte route, for reads near the end of the input.
template <VarintWidth T>
[[nodiscard]] std::expected<T, DecodeError> read_varint_tail(Reader& in) noexcept;

extern template std::expected<std::uint32_t, DecodeError> read_varint_tail<std::uint32_t>(Reader&) noexcept;
extern template std::expected<std::uint64_t, DecodeError> read_varint_tail<std::uint64_t>(Reader&) noexcept;

}  // namespace detail

/// Reads one varint of width T (std::uint32_t or std::uint64_t). While the
/// longest form of the width still fits in the input (5 or 9 bytes) no
/// length check is needed per form; closer to the end the byte-by-byte route
/// gives the same values and errors.
template <VarintWidth T>
[[nodiscard]] inline std::expected<T, DecodeError> read_varint(Reader& in) noexcept {
  constexpr bool kWide = std::same_as<T, std::uint64_t>;
  constexpr std::size_t kLongest = kWide ? 9 : 5;
  if (in.remaining() < kLongest) [[unlikely]]
    return detail::read_varint_tail<T>(in);
  const std::uint8_t* p = in.current();
  const std::uint8_t marker = p[0];
  if (marker <= kMaxSingleByte) [[likely]] {
    in.skip(1);
    return marker;
  }
  if (marker == kMarkerU16) {
    in.skip(3);
    return detail::load_le<std::uint16_t>(p + 1);
  }
  if (marker == kMarkerU32) {
    in.skip(5);
    return detail::load_le<std::uint32_t>(p + 1);
  }
  if constexpr (kWide) {
    if (marker == kMarkerU64) {
      in.skip(9);
      return detail::load_le<std::uint64_t>(p + 1);
    }
  }
  return std::unexpected(detail::invalid_marker(kWide ? IntegerType::U64 : IntegerType::U32, marker));
}

[[nodiscard]] inline std::expected<std::uint32_t, DecodeError> read_u32(Reader& in) noexcept {
  return read_varint<std::uint32_t>(in);
}

/// Reads a 64-bit varint: the form of every vector length.
[[nodiscard]] inline std::expected<std::uint64_t, DecodeError> read_u64(Reader& in) noexcept {
  return read_varint<std::uint64_t>(in);
}

/// Decodes one u32 varint at `p`, behind which at least 5 bytes must be
/// readable. Returns the bytes it takes, or 0 when the marker cannot start a
/// u32 (detail::invalid_marker gives the error).
[[nodiscard]] inline std::size_t decode_u32_at(const std::uint8_t* p, std::uint32_t& value) noexcept {
  const std::uint8_t marker = p[0];
  if (marker <= kMaxSingleByte) [[likely]] {
    value = marker;
    return 1;
  }
  if (marker == kMarkerU16) {
    value = detail::load_le<std::uint16_t>(p + 1);
    return 3;
  }
  if (marker == kMarkerU32) {
    value = detail::load_le<std::uint32_t>(p + 1);
    return 5;
  }
  return 0;
}

/// Reads `count` u32 varints, with the values and the error that read_u32
/// called `count` times would give. `grow(k)` makes room for k more values
/// and returns a pointer to the first of their slots; `put(slot, value)`
/// stores one value. The input is taken in runs of as many values as are
/// sure to fit in it in their longest form, so inside a run no value needs an
/// end check; only the last few bytes are read value by value. Room is made
/// run by run, so a declared count larger than the input costs no more than
/// the values that actually arrive.
template <class Grow, class Put>
[[nodiscard]] std::expected<void, DecodeError> read_u32_run(Reader& in, std::uint64_t count, Grow&& grow, Put&& put) {
  std::uint64_t left = count;
  while (left != 0) {
    const std::size_t run = in.reservation(left, 5);
    if (run == 0)
      break;
    auto* slot = grow(run);
    const std::uint8_t* const start = in.current();
    const std::uint8_t* p = start;
    for (std::size_t i = 0; i < run; ++i) {
      std::uint32_t value;
      const std::size_t used = decode_u32_at(p, value);
      if (used == 0) [[unlikely]]
        return std::unexpected(detail::invalid_marker(IntegerType::U32, *p));
      put(slot[i], value);
      p += used;
    }
    in.skip(static_cast<std::size_t>(p - start));
    left -= run;
  }
  // Fewer than 5 bytes remain: each value is checked against the end.
  for (; left != 0; --left) {
    QV_TRY_ASSIGN(const std::uint32_t value, read_u32(in));
    put(*grow(1), value);
  }
  return {};
}

}  // namespace quorvatel::snapshot
