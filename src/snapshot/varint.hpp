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
#include <span>
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

/// Decodes one varint of width T (std::uint32_t or std::uint64_t) at `p`,
/// behind which the longest form of the width (5 or 9 bytes) must be
/// readable. Returns the bytes it takes, or 0 when the marker cannot start a
/// varint of the width (detail::invalid_marker gives the error).
template <VarintWidth T>
[[nodiscard]] inline std::size_t decode_varint_at(const std::uint8_t* p, T& value) noexcept {
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
  if constexpr (std::same_as<T, std::uint64_t>) {
    if (marker == kMarkerU64) {
      value = detail::load_le<std::uint64_t>(p + 1);
      return 9;
    }
  }
  return 0;
}

[[nodiscard]] inline std::size_t decode_u32_at(const std::uint8_t* p, std::uint32_t& value) noexcept {
  return decode_varint_at(p, value);
}
[[nodiscard]] inline std::size_t decode_u64_at(const std::uint8_t* p, std::uint64_t& value) noexcept {
  return decode_varint_at(p, value);
}

/// Reads one varint of width T. While the longest form of the width still
/// fits in the input no length check is needed per form; closer to the end
/// the byte-by-byte route gives the same values and errors.
template <VarintWidth T>
[[nodiscard]] inline std::expected<T, DecodeError> read_varint(Reader& in) noexcept {
  constexpr bool kWide = std::same_as<T, std::uint64_t>;
  constexpr std::size_t kLongest = kWide ? 9 : 5;
  if (in.remaining() < kLongest) [[unlikely]]
    return detail::read_varint_tail<T>(in);
  T value = 0;
  const std::size_t used = decode_varint_at(in.current(), value);
  if (used == 0) [[unlikely]]
    return std::unexpected(detail::invalid_marker(kWide ? IntegerType::U64 : IntegerType::U32, in.current()[0]));
  in.skip(used);
  return value;
}

[[nodiscard]] inline std::expected<std::uint32_t, DecodeError> read_u32(Reader& in) noexcept {
  return read_varint<std::uint32_t>(in);
}

/// Reads a 64-bit varint: the form of every vector length.
[[nodiscard]] inline std::expected<std::uint64_t, DecodeError> read_u64(Reader& in) noexcept {
  return read_varint<std::uint64_t>(in);
}

/// Bytes that decode_u32s_unchecked may read for `n` values: each takes at
/// most 5, and the one-byte route looks 8 bytes ahead.
[[nodiscard]] constexpr std::size_t u32s_read_bound(std::size_t n) noexcept { return 5 * n + 3; }

/// Whether all eight bytes of `word` are one-byte varints (at most 250): a
/// byte of 251 or more has its top bit set and its low seven bits plus 5
/// carry into the top bit.
[[nodiscard]] constexpr bool all_single_bytes(std::uint64_t word) noexcept {
  constexpr std::uint64_t kLow7 = 0x7F7F'7F7F'7F7F'7F7Full;
  constexpr std::uint64_t kFives = 0x0505'0505'0505'0505ull;
  constexpr std::uint64_t kTops = 0x8080'8080'8080'8080ull;
  return (word & ((word & kLow7) + kFives) & kTops) == 0;
}

/// Decodes `n` u32 varints at `p`, handing the i-th to `put(i, value)`. The
/// caller guarantees u32s_read_bound(n) readable bytes from `p`, so no value
/// is checked against the end. Returns the position after the last value, or
/// nullptr at the first marker a u32 cannot have (the caller re-reads from a
/// position it kept, on a checked route, for the error). With `kRuns`, eight
/// one-byte values in a row are taken in one step.
///
/// Each form has a branch of its own rather than a select: the position of
/// the next value then follows from the predicted branch instead of waiting
/// for the marker to load, and lists mostly repeat one form.
template <bool kRuns = false, class Put>
[[nodiscard]] inline const std::uint8_t* decode_u32s_unchecked(const std::uint8_t* p, std::size_t n,
                                                              Put&& put) noexcept {
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t marker = *p;
    if (marker <= kMaxSingleByte) {
      if constexpr (kRuns) {
        if (n - i >= 8) {
          const std::uint64_t word = detail::load_le<std::uint64_t>(p);
          if (all_single_bytes(word)) {
            for (std::size_t k = 0; k < 8; ++k)
              put(i + k, static_cast<std::uint32_t>((word >> (8 * k)) & 0xFF));
            p += 8;
            i += 7;
            continue;
          }
        }
      }
      put(i, marker);
      p += 1;
    } else if (marker == kMarkerU16) {
      put(i, detail::load_le<std::uint16_t>(p + 1));
      p += 3;
    } else if (marker == kMarkerU32) [[likely]] {
      put(i, detail::load_le<std::uint32_t>(p + 1));
      p += 5;
    } else {
      return nullptr;
    }
  }
  return p;
}

// ------------------------------------------------------------ fast writing

/// Bytes of the shortest form of a u32 beyond its marker: 0, 2 or 4.
[[nodiscard]] constexpr std::uint32_t u32_extra_bytes(std::uint32_t value) noexcept {
  return 2 * static_cast<std::uint32_t>(value > kMaxSingleByte) + 2 * static_cast<std::uint32_t>(value > 0xFFFF);
}

/// Sum of the shortest forms of `values`.
[[nodiscard]] inline std::size_t u32s_size(std::span<const std::uint32_t> values) noexcept {
  std::size_t extra = 0;
  for (const std::uint32_t v : values)
    extra += u32_extra_bytes(v);
  return values.size() + extra;
}

/// Writes the shortest form of `value` at `p` and returns the bytes it
/// takes. Always stores 8 bytes, so 8 must be writable at `p`; the bytes
/// past the form are overwritten by whatever is written next.
[[nodiscard]] inline std::size_t put_u32_unchecked(std::uint8_t* p, std::uint32_t value) noexcept {
  // Selects rather than branches: small and large values alternate in count
  // lists, and nothing here waits on the result but the store.
  const std::uint64_t v = value;
  const std::uint64_t marker = kMarkerU16 + static_cast<std::uint64_t>(value > 0xFFFF);
  const std::uint64_t long_form = (v << 8) | marker;
  std::uint64_t word = value > kMaxSingleByte ? long_form : v;
  if constexpr (std::endian::native == std::endian::big)
    word = std::byteswap(word);
  std::memcpy(p, &word, sizeof word);
  return 1 + u32_extra_bytes(value);
}

/// As put_u32_unchecked for a 64-bit length; 9 bytes must be writable.
[[nodiscard]] inline std::size_t put_u64_unchecked(std::uint8_t* p, std::uint64_t value) noexcept {
  if (value <= 0xFFFF'FFFF)
    return put_u32_unchecked(p, static_cast<std::uint32_t>(value));
  p[0] = kMarkerU64;
  if constexpr (std::endian::native == std::endian::big)
    value = std::byteswap(value);
  std::memcpy(p + 1, &value, sizeof value);
  return 9;
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
