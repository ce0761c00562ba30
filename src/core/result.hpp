// Error values of the core. Operations return Result<T>: the value, or an
// Error naming the Python exception kind it becomes at the boundary.
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <utility>

namespace quorvatel {

enum class ErrorKind : unsigned char {
  Value,     ///< well-typed but invalid data; raised as ValueError
  Type,      ///< a value of the wrong type; raised as TypeError
  Overflow,  ///< an integer outside the range of its target; raised as OverflowError
  Memory,    ///< a size no allocation can satisfy; raised as MemoryError
};

struct Error {
  ErrorKind kind;
  std::string message;

  friend bool operator==(const Error&, const Error&) = default;
};

template <class T>
using Result = std::expected<T, Error>;

[[nodiscard]] inline std::unexpected<Error> fail(ErrorKind kind, std::string message) {
  return std::unexpected(Error{kind, std::move(message)});
}

}  // namespace quorvatel

#define QV_CONCAT_INNER(a, b) a##b
#define QV_CONCAT(a, b) QV_CONCAT_INNER(a, b)

/// Evaluates `expr`, an std::expected; on error returns that error from the
/// enclosing function (which must return an std::expected with the same error type).
#define QV_TRY(expr) QV_TRY_IMPL(QV_CONCAT(qv_try_, __LINE__), expr)
#define QV_TRY_IMPL(tmp, expr)                        \
  do {                                                \
    auto&& tmp = (expr);                              \
    if (!tmp) [[unlikely]]                            \
      return std::unexpected(std::move(tmp).error()); \
  } while (false)

/// As QV_TRY, and on success moves the value into the declaration `decl`.
#define QV_TRY_ASSIGN(decl, expr) QV_TRY_ASSIGN_IMPL(QV_CONCAT(qv_try_, __LINE__), decl, expr)
#define QV_TRY_ASSIGN_IMPL(tmp, decl, expr)         \
  auto&& tmp = (expr);                              \
  if (!tmp) [[unlikely]]                            \
    return std::unexpected(std::move(tmp).error()); \
  decl = std::move(*tmp)
