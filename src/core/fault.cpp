#include "core/fault.hpp"

#include <format>
#include <utility>

namespace quorvatel {

InternalFault::InternalFault(std::string message, std::source_location where)
    : message_(std::move(message)), where_(where) {}

void index_fault(std::size_t len, std::size_t index, std::source_location where) {
  throw InternalFault(std::format("index out of bounds: the len is {} but the index is {}", len, index),
                      where);
}

}  // namespace quorvatel
