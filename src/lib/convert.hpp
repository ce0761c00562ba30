// Conversion of host objects into plain values, one function per rule.
// Errors raised by host code during conversion are carried as they are.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "lib/errors.hpp"
#include "lib/messages.hpp"
#include "snapshot/memory.hpp"

namespace quorvatel::py {

/// The UTF-8 text of a str, or `fallback` when it has none (the error
/// that reading it raised is cleared).
[[nodiscard]] std::string utf8_or(PyObject* text, std::string_view fallback);
/// str(object) as UTF-8, or `fallback` when that fails (the error is cleared).
[[nodiscard]] std::string str_or(PyObject* object, std::string_view fallback);

/// `__qualname__` of the object's type, or "<failed to extract type name>".
[[nodiscard]] std::string type_qualname(PyObject* object);

/// TypeError "'{qualname}' object cannot be converted to '{target}'".
[[nodiscard]] PyError type_mismatch(PyObject* object, std::string_view target);

/// Text as code points; lone surrogates raise the interpreter's UnicodeEncodeError.
[[nodiscard]] PyResult<std::u32string> to_code_points(PyObject* object);
/// The first code point of a label string, 0 for the empty string.
[[nodiscard]] PyResult<char32_t> to_label(PyObject* object);
[[nodiscard]] PyResult<std::uint32_t> to_u32(PyObject* object);
[[nodiscard]] PyResult<std::uint8_t> to_u8(PyObject* object);
[[nodiscard]] PyResult<std::uint64_t> to_u64(PyObject* object);
[[nodiscard]] PyResult<double> to_double(PyObject* object);
/// True/False, or a NumPy boolean through its type's truth-value slot.
[[nodiscard]] PyResult<bool> to_bool(PyObject* object);
/// The buffer of a bytes object, borrowed for the call.
[[nodiscard]] PyResult<std::span<const std::uint8_t>> to_bytes_view(PyObject* object);

/// A declared length is believed only this far before items arrive: a
/// sequence's __len__ may claim far more items than it yields.
inline constexpr Py_ssize_t kUntrustedReserve = 4096;

/// Walks the items of a sequence argument: refuses str and non-sequences,
/// calls `reserve(n)` once with the (bounded) expected count, then
/// `on_item(item)` for every item in iteration order, stopping at the first
/// error. Exact lists and tuples are read directly, with the same result.
template <class Reserve, class OnItem>
[[nodiscard]] PyResult<void> for_each_item(PyObject* object, Reserve&& reserve, OnItem&& on_item) {
  if (PyUnicode_Check(object))
    return py_fail(PyExc_TypeError, messages::kStrToVec);
  if (PyTuple_CheckExact(object)) {
    // The tuple is immutable and kept alive by the caller for the call.
    const Py_ssize_t size = PyTuple_GET_SIZE(object);
    reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i)
      QV_TRY(on_item(PyTuple_GET_ITEM(object, i)));
    return {};
  }
  if (PyList_CheckExact(object)) {
    reserve(static_cast<std::size_t>(PyList_GET_SIZE(object)));
    // Host code run by a conversion may change the list: read its live size
    // each step, as its iterator does, and hold each item while converting it.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(object); ++i) {
      PyObject* borrowed = PyList_GET_ITEM(object, i);
      if (PyLong_CheckExact(borrowed) || PyUnicode_CheckExact(borrowed) || PyBytes_CheckExact(borrowed)) {
        QV_TRY(on_item(borrowed));  // converting these runs no host code
      } else {
        const Ref item = Ref::new_ref(borrowed);
        QV_TRY(on_item(item.get()));
      }
    }
    return {};
  }
  if (!PySequence_Check(object))
    return std::unexpected(type_mismatch(object, "Sequence"));
  Py_ssize_t size = PySequence_Size(object);
  if (size < 0) {
    PyErr_Clear();
    size = 0;
  }
  reserve(static_cast<std::size_t>(std::min(size, kUntrustedReserve)));
  const Ref iterator = Ref::steal(PyObject_GetIter(object));
  if (!iterator)
    return py_fetch();
  while (true) {
    const Ref item = Ref::steal(PyIter_Next(iterator.get()));
    if (!item)
      break;
    QV_TRY(on_item(item.get()));
  }
  if (PyErr_Occurred())
    return py_fetch();
  return {};
}

/// A sequence argument as a vector, each item converted by `convert`.
template <class T, class Convert>
[[nodiscard]] PyResult<std::vector<T>> to_vector(PyObject* object, Convert&& convert) {
  std::vector<T> out;
  QV_TRY(for_each_item(
      object, [&](std::size_t n) { snapshot::reserve_advised(out, n); },
      [&](PyObject* item) -> PyResult<void> {
        QV_TRY_ASSIGN(T value, convert(item));
        out.push_back(std::move(value));
        return {};
      }));
  return out;
}

[[nodiscard]] inline PyResult<std::vector<std::uint32_t>> to_u32_vector(PyObject* object) {
  return to_vector<std::uint32_t>(object, to_u32);
}

/// An optional argument: omitted (a null slot) or None is absent; anything
/// else goes through `convert`.
template <class Convert>
[[nodiscard]] auto to_optional(PyObject* slot, Convert&& convert)
    -> PyResult<std::optional<typename std::invoke_result_t<Convert, PyObject*>::value_type>> {
  using T = typename std::invoke_result_t<Convert, PyObject*>::value_type;
  if (slot == nullptr || slot == Py_None)
    return std::optional<T>();
  QV_TRY_ASSIGN(T value, convert(slot));
  return std::optional<T>(std::move(value));
}

}  // namespace quorvatel::py
