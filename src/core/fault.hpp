// Internal faults: an operation met a state it cannot continue from, such as
// an index outside an array that an inconsistent snapshot leads to. A fault
// unwinds (releasing the call's temporaries) to the boundary's fault guard,
// which reports it and raises PanicException. Nothing else catches it.
#pragma once

#include <cstddef>
#include <exception>
#include <source_location>
#include <string>

namespace quorvatel {

class InternalFault : public std::exception {
 public:
  explicit InternalFault(std::string message,
                         std::source_location where = std::source_location::current());

  [[nodiscard]] const char* what() const noexcept override { return message_.c_str(); }
  [[nodiscard]] const std::string& message() const noexcept { return message_; }
  [[nodiscard]] const std::source_location& where() const noexcept { return where_; }

 private:
  std::string message_;
  std::source_location where_;
};

/// Throws the fault "index out of bounds: the len is {len} but the index is {index}".
[[noreturn]] void index_fault(std::size_t len, std::size_t index, std::source_location where);

/// Reads `items[index]`, faulting when the index is outside the container.
/// The check stays in every build type.
template <class Container>
[[nodiscard]] inline decltype(auto) checked_at(
    Container& items, std::size_t index,
    std::source_location where = std::source_location::current()) {
  if (index >= items.size()) [[unlikely]]
    index_fault(items.size(), index, where);
  return items[index];
}

}  // namespace quorvatel
