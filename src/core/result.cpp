#include "core/result.hpp"

namespace quorvatel {

std::string_view error_kind_name(ErrorKind kind) noexcept {
  switch (kind) {
    case ErrorKind::Value:
      return "ValueError";
    case ErrorKind::Type:
      return "TypeError";
    case ErrorKind::Overflow:
      return "OverflowError";
    case ErrorKind::Memory:
      return "MemoryError";
  }
  return "ValueError";
}

}  // namespace quorvatel
