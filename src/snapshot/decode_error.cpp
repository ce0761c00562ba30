#include "snapshot/decode_error.hpp"

#include <format>

namespace quorvatel::snapshot {
namespace {

std::string_view integer_type_name(IntegerType type) noexcept {
  switch (type) {
    case IntegerType::U32:
      return "U32";
    case IntegerType::U64:
      return "U64";
    case IntegerType::U128:
      return "U128";
    case IntegerType::Reserved:
      return "Reserved";
  }
  return "?";
}

}  // namespace

std::string to_string(const DecodeError& error) {
  switch (error.kind) {
    case DecodeErrorKind::UnexpectedEnd:
      return std::format("UnexpectedEnd {{ additional: {} }}", error.additional);
    case DecodeErrorKind::InvalidIntegerType:
      return std::format("InvalidIntegerType {{ expected: {}, found: {} }}", integer_type_name(error.expected),
                         integer_type_name(error.found));
    case DecodeErrorKind::UnexpectedVariant:
      // Only tags and indices of two-variant types are read, so the allowed
      // range is always 0..=1.
      return std::format("UnexpectedVariant {{ type_name: \"{}\", allowed: Range {{ min: 0, max: 1 }}, found: {} }}",
                         error.type_name, error.variant);
    case DecodeErrorKind::InvalidCharEncoding:
      return std::format("InvalidCharEncoding([{}, {}, {}, {}])", error.bytes[0], error.bytes[1], error.bytes[2],
                         error.bytes[3]);
    case DecodeErrorKind::InvalidBooleanValue:
      return std::format("InvalidBooleanValue({})", error.byte);
  }
  return "unknown decode error";
}

}  // namespace quorvatel::snapshot
