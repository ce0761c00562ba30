#include "core/capacity.hpp"

namespace quorvatel {

const char* CapacityExceeded::what() const noexcept {
  switch (limit_) {
    case Capacity::Nodes:
      return "more than 4294967294 nodes";
    case Capacity::Records:
      return "more than 4294967294 distinct payloads";
    case Capacity::VideoEntries:
      return "more than 4294967295 video entries";
    case Capacity::Terms:
      return "more than 4294967294 terms";
    case Capacity::Videos:
      return "more than 4294967294 videos";
  }
  return "a 32-bit capacity limit";
}

}  // namespace quorvatel
