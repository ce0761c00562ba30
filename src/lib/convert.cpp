#include "lib/convert.hpp"

#include <limits>

namespace quorvatel::py {
namespace {

// Strings of the 2- and 4-byte kinds may hold lone surrogates, which have no
// UTF-8 form: let the interpreter raise its own UnicodeEncodeError for them.
PyResult<void> check_encodable(PyObject* text) {
  const int kind = PyUnicode_KIND(text);
  if (kind == PyUnicode_1BYTE_KIND)
    return {};
  const void* data = PyUnicode_DATA(text);
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  for (Py_ssize_t i = 0; i < length; ++i) {
    const Py_UCS4 c = PyUnicode_READ(kind, data, i);
    if (c >= 0xD800 && c <= 0xDFFF) [[unlikely]] {
      if (PyUnicode_AsUTF8AndSize(text, nullptr) == nullptr)
        return py_fetch();
      return {};
    }
  }
  return {};
}

PyResult<long> to_long(PyObject* object) {
  const long value = PyLong_AsLong(object);
  if (value == -1 && PyErr_Occurred())
    return py_fetch();
  return value;
}

}  // namespace

std::string utf8_or(PyObject* text, std::string_view fallback) {
  Py_ssize_t size = 0;
  const char* utf8 = text == nullptr ? nullptr : PyUnicode_AsUTF8AndSize(text, &size);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return std::string(fallback);
  }
  return std::string(utf8, static_cast<std::size_t>(size));
}

std::string str_or(PyObject* object, std::string_view fallback) {
  const Ref text = Ref::steal(PyObject_Str(object));
  return utf8_or(text.get(), fallback);
}

std::string type_qualname(PyObject* object) {
  const Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(object)));
  return utf8_or(name.get(), messages::kUnknownTypeName);
}

PyError type_mismatch(PyObject* object, std::string_view target) {
  return PyError::make(PyExc_TypeError, messages::cannot_convert(type_qualname(object), target));
}

PyResult<std::u32string> to_code_points(PyObject* object) {
  if (!PyUnicode_Check(object))
    return std::unexpected(type_mismatch(object, "PyString"));
  QV_TRY(check_encodable(object));
  const int kind = PyUnicode_KIND(object);
  const void* data = PyUnicode_DATA(object);
  const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(object));
  std::u32string out(length, U'\0');
  if (kind == PyUnicode_1BYTE_KIND) {
    const auto* chars = static_cast<const Py_UCS1*>(data);
    for (std::size_t i = 0; i < length; ++i)
      out[i] = chars[i];
  } else {
    for (std::size_t i = 0; i < length; ++i)
      out[i] = PyUnicode_READ(kind, data, static_cast<Py_ssize_t>(i));
  }
  return out;
}

PyResult<char32_t> to_label(PyObject* object) {
  if (!PyUnicode_Check(object))
    return std::unexpected(type_mismatch(object, "PyString"));
  QV_TRY(check_encodable(object));
  if (PyUnicode_GET_LENGTH(object) == 0)
    return U'\0';
  return static_cast<char32_t>(PyUnicode_READ_CHAR(object, 0));
}

PyResult<std::uint32_t> to_u32(PyObject* object) {
  QV_TRY_ASSIGN(const long value, to_long(object));
  if (value < 0 || static_cast<unsigned long>(value) > std::numeric_limits<std::uint32_t>::max())
    return py_fail(PyExc_OverflowError, messages::kOutOfRange);
  return static_cast<std::uint32_t>(value);
}

PyResult<std::uint8_t> to_u8(PyObject* object) {
  QV_TRY_ASSIGN(const long value, to_long(object));
  if (value < 0 || value > 255)
    return py_fail(PyExc_OverflowError, messages::kOutOfRange);
  return static_cast<std::uint8_t>(value);
}

PyResult<std::uint64_t> to_u64(PyObject* object) {
  Ref index;
  if (!PyLong_Check(object)) {
    index = Ref::steal(PyNumber_Index(object));
    if (!index)
      return py_fetch();
    object = index.get();
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(object);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred())
    return py_fetch();
  return static_cast<std::uint64_t>(value);
}

PyResult<double> to_double(PyObject* object) {
  if (PyFloat_CheckExact(object))
    return PyFloat_AS_DOUBLE(object);
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred())
    return py_fetch();
  return value;
}

PyResult<bool> to_bool(PyObject* object) {
  if (object == Py_True)
    return true;
  if (object == Py_False)
    return false;
  PyTypeObject* type = Py_TYPE(object);
  const Ref module = Ref::steal(PyType_GetModuleName(type));
  const Ref name = module ? Ref::steal(PyType_GetName(type)) : Ref();
  if (!module || !name) {
    PyErr_Clear();
    return std::unexpected(type_mismatch(object, "PyBool"));
  }
  const bool numpy_bool = PyUnicode_EqualToUTF8AndSize(module.get(), "numpy", 5) &&
                          (PyUnicode_EqualToUTF8AndSize(name.get(), "bool_", 5) ||
                           PyUnicode_EqualToUTF8AndSize(name.get(), "bool", 4));
  if (!numpy_bool)
    return std::unexpected(type_mismatch(object, "PyBool"));
  inquiry truth = type->tp_as_number != nullptr ? type->tp_as_number->nb_bool : nullptr;
  if (truth == nullptr) {
    return py_fail(PyExc_TypeError,
                   messages::no_bool_conversion(str_or(reinterpret_cast<PyObject*>(type), messages::kUnknownTypeName)));
  }
  const int value = truth(object);
  if (value == 0)
    return false;
  if (value == 1)
    return true;
  return py_fetch();
}

PyResult<std::span<const std::uint8_t>> to_bytes_view(PyObject* object) {
  if (!PyBytes_Check(object))
    return std::unexpected(type_mismatch(object, "PyBytes"));
  const auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(object));
  return std::span<const std::uint8_t>(data, static_cast<std::size_t>(PyBytes_GET_SIZE(object)));
}

}  // namespace quorvatel::py
