// Error values at the boundary and their way out to the host.
//
// A PyError holds one Python exception instance: either one the interpreter
// raised during the call (kept as it is, traceback and cause included) or
// one made from a core Error. It is raised only when the method returns.
#pragma once

#include <expected>
#include <string_view>

#include "core/cancel.hpp"
#include "core/capacity.hpp"
#include "core/fault.hpp"
#include "core/result.hpp"
#include "lib/ref.hpp"

namespace quorvatel::py {

class PyError {
 public:
  /// Takes the exception the interpreter has pending (a SystemError if, against
  /// the API's promise, none is).
  [[nodiscard]] static PyError fetch();
  /// A new instance of `type` with `message` as its single argument.
  [[nodiscard]] static PyError make(PyObject* type, std::string_view message);
  [[nodiscard]] static PyError from(const Error& error);

  [[nodiscard]] PyObject* exception() const noexcept { return exception_.get(); }
  [[nodiscard]] bool is_exactly(PyObject* type) const noexcept {
    return reinterpret_cast<PyObject*>(Py_TYPE(exception_.get())) == type;
  }
  /// Sets the exception as the interpreter's pending one.
  void raise() &&;

 private:
  explicit PyError(Ref exception) noexcept : exception_(std::move(exception)) {}
  Ref exception_;
};

template <class T>
using PyResult = std::expected<T, PyError>;

[[nodiscard]] inline std::unexpected<PyError> py_fail(PyObject* type, std::string_view message) {
  return std::unexpected(PyError::make(type, message));
}
[[nodiscard]] inline std::unexpected<PyError> py_fetch() { return std::unexpected(PyError::fetch()); }

/// Re-raises a conversion error of parameter `name`: an exact TypeError
/// becomes TypeError "argument '{name}': {text}" with the original's cause;
/// every other error passes unchanged.
[[nodiscard]] PyError wrap_argument_error(std::string_view name, PyError error);

/// A core result as a boundary result.
template <class T>
[[nodiscard]] PyResult<T> lift(Result<T> result) {
  if (!result)
    return std::unexpected(PyError::from(result.error()));
  if constexpr (std::is_void_v<T>)
    return {};
  else
    return std::move(*result);
}

/// The PanicException type, created on first use.
[[nodiscard]] PyObject* panic_exception_type();

/// Writes the fault report to standard error and raises PanicException.
void raise_internal_fault(std::string_view message, const std::source_location& where);

/// Checks a C API result for failure to create an object: prints the
/// pending error and faults with "Python API call failed".
[[nodiscard]] PyObject* api_created(PyObject* object,
                                    std::source_location where = std::source_location::current());

/// Runs a method body. An error value is raised; an internal fault becomes
/// PanicException; running out of memory becomes MemoryError. Temporaries
/// of the body are released on every path.
template <class Body>
[[nodiscard]] PyObject* guarded(Body&& body) noexcept {
  try {
    PyResult<Ref> result = body();
    if (result)
      return result->release();
    std::move(result).error().raise();
  } catch (const Cancelled&) {
    // The hook stopped the walk because the interpreter raised an exception
    // (a signal handler's); it is pending and ends the call.
    if (!PyErr_Occurred())
      PyErr_SetString(PyExc_SystemError, "walk cancelled without an exception set");
  } catch (const InternalFault& fault) {
    raise_internal_fault(fault.message(), fault.where());
  } catch (const CapacityExceeded& limit) {
    // A size that 32-bit numbering cannot address: MemoryError naming the limit.
    PyErr_SetString(PyExc_MemoryError, limit.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_internal_fault(e.what(), std::source_location::current());
  } catch (...) {
    raise_internal_fault({}, std::source_location::current());
  }
  return nullptr;
}

}  // namespace quorvatel::py

/// QV_TRY_ASSIGN for a conversion of parameter `name`: wraps its error.
#define QV_TRY_ARG(decl, name, expr) \
  QV_TRY_ASSIGN(decl, (expr).transform_error([&](::quorvatel::py::PyError e) { \
    return ::quorvatel::py::wrap_argument_error(name, std::move(e));        \
  }))
