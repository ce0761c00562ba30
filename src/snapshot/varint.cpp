#include "snapshot/varint.hpp"

namespace quorvatel::snapshot::detail {

DecodeError invalid_marker(IntegerType expected, std::uint8_t marker) noexcept {
  IntegerType found = IntegerType::Reserved;
  if (marker == kMarkerU64)
    found = IntegerType::U64;
  else if (marker == kMarkerU128)
    found = IntegerType::U128;
  return DecodeError::invalid_integer_type(expected, found);
}

template <VarintWidth T>
std::expected<T, DecodeError> read_varint_tail(Reader& in) noexcept {
  constexpr bool kWide = std::same_as<T, std::uint64_t>;
  // r counts the marker: a form of 1 + body bytes misses (1 + body) - r.
  const std::size_t r = in.remaining();
  if (r == 0)
    return std::unexpected(DecodeError::unexpected_end(1));
  const std::uint8_t marker = in.take_byte();
  std::size_t body;
  switch (marker) {
    case kMarkerU16:
      body = 2;
      break;
    case kMarkerU32:
      body = 4;
      break;
    case kMarkerU64:
      if (!kWide)
        return std::unexpected(invalid_marker(IntegerType::U32, marker));
      body = 8;
      break;
    case kMarkerU128:
    case kMarkerReserved:
      return std::unexpected(invalid_marker(kWide ? IntegerType::U64 : IntegerType::U32, marker));
    default:
      return marker;
  }
  if (r < 1 + body)
    return std::unexpected(DecodeError::unexpected_end(1 + body - r));
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < body; ++i)
    value |= std::uint64_t{in.take_byte()} << (8 * i);
  return static_cast<T>(value);
}

template std::expected<std::uint32_t, DecodeError> read_varint_tail<std::uint32_t>(Reader&) noexcept;
template std::expected<std::uint64_t, DecodeError> read_varint_tail<std::uint64_t>(Reader&) noexcept;

}  // namespace quorvatel::snapshot::detail
