// DecodeError: why a snapshot could not be read, and its printed form (the
// text that follows "decode error: " in the ValueError of from_bytes).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quorvatel::snapshot {

/// The integer width a varint marker announces.
enum class IntegerType : std::uint8_t {
  U32,
  U64,
  U128,      ///< marker 254; never written
  Reserved,  ///< marker 255; never written
};

enum class DecodeErrorKind : std::uint8_t {
  UnexpectedEnd,        ///< the input ended inside an item; `additional` bytes were missing
  InvalidIntegerType,   ///< a varint marker announced a width (`found`) the read (`expected`) does not allow
  UnexpectedVariant,    ///< an option tag or enum index (`variant`) of `type_name` was neither 0 nor 1
  InvalidCharEncoding,  ///< a character's bytes (`bytes`, zero-filled) were not one well-formed UTF-8 sequence
  InvalidBooleanValue,  ///< a boolean byte (`byte`) was neither 0 nor 1
};

/// Only the fields of `kind` are meaningful; the others stay zero, so two
/// errors compare equal exactly when they print the same.
struct DecodeError {
  DecodeErrorKind kind = DecodeErrorKind::UnexpectedEnd;
  std::size_t additional = 0;
  IntegerType expected = IntegerType::U32;
  IntegerType found = IntegerType::U32;
  std::string_view type_name;  // always a string literal
  std::uint32_t variant = 0;
  std::array<std::uint8_t, 4> bytes{};
  std::uint8_t byte = 0;

  [[nodiscard]] static constexpr DecodeError unexpected_end(std::size_t additional) noexcept {
    DecodeError e;
    e.additional = additional;
    return e;
  }
  [[nodiscard]] static constexpr DecodeError invalid_integer_type(IntegerType expected, IntegerType found) noexcept {
    DecodeError e;
    e.kind = DecodeErrorKind::InvalidIntegerType;
    e.expected = expected;
    e.found = found;
    return e;
  }
  [[nodiscard]] static constexpr DecodeError unexpected_variant(std::string_view type_name,
                                                                std::uint32_t found) noexcept {
    DecodeError e;
    e.kind = DecodeErrorKind::UnexpectedVariant;
    e.type_name = type_name;
    e.variant = found;
    return e;
  }
  [[nodiscard]] static constexpr DecodeError invalid_char_encoding(std::array<std::uint8_t, 4> bytes) noexcept {
    DecodeError e;
    e.kind = DecodeErrorKind::InvalidCharEncoding;
    e.bytes = bytes;
    return e;
  }
  [[nodiscard]] static constexpr DecodeError invalid_boolean_value(std::uint8_t byte) noexcept {
    DecodeError e;
    e.kind = DecodeErrorKind::InvalidBooleanValue;
    e.byte = byte;
    return e;
  }

  friend bool operator==(const DecodeError&, const DecodeError&) = default;
};

/// The printed form, e.g. `UnexpectedEnd { additional: 1 }` or
/// `InvalidCharEncoding([237, 160, 128, 0])`.
[[nodiscard]] std::string to_string(const DecodeError& error);

}  // namespace quorvatel::snapshot
