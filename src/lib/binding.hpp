// Binding vectorcall arguments (positional array plus keyword names) to the
// parameter slots of a method.
#pragma once

#include <span>
#include <string_view>

#include "lib/errors.hpp"

namespace quorvatel::py {

struct Signature {
  std::string_view full_name;  ///< "PrefixSearch.fuzzy_match()"
  std::span<const std::string_view> parameters;
  std::size_t required;  ///< the first `required` parameters have no default
};

/// Fills `slots` (one per parameter, initially null) with borrowed references.
[[nodiscard]] PyResult<void> bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf,
                                  PyObject* kwnames, std::span<PyObject*> slots);

}  // namespace quorvatel::py
