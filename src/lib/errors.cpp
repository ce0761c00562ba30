#include "lib/errors.hpp"

#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "lib/messages.hpp"

namespace quorvatel::py {
namespace {

PyObject* exception_type(ErrorKind kind) noexcept {
  switch (kind) {
    case ErrorKind::Value:
      return PyExc_ValueError;
    case ErrorKind::Type:
      return PyExc_TypeError;
    case ErrorKind::Overflow:
      return PyExc_OverflowError;
    case ErrorKind::Memory:
      return PyExc_MemoryError;
  }
  return PyExc_ValueError;
}

std::string thread_name() {
  if (gettid() == getpid())
    return "main";
  char name[64] = {};
  if (pthread_getname_np(pthread_self(), name, sizeof name) == 0 && name[0] != '\0')
    return name;
  return "<unnamed>";
}

// Source paths are reported from the project's src/ folder down.
std::string_view short_path(std::string_view path) {
  const auto at = path.rfind("/src/");
  return at == std::string_view::npos ? path : path.substr(at + 1);
}

}  // namespace

PyError PyError::fetch() {
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr) {
    PyErr_SetString(PyExc_SystemError, "error return without exception set");
    raised = PyErr_GetRaisedException();
  }
  return PyError(Ref::steal(raised));
}

PyError PyError::make(PyObject* type, std::string_view message) {
  Ref text = Ref::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!text)
    return fetch();
  Ref exception = Ref::steal(PyObject_CallOneArg(type, text.get()));
  if (!exception)
    return fetch();
  return PyError(std::move(exception));
}

PyError PyError::from(const Error& error) { return make(exception_type(error.kind), error.message); }

void PyError::raise() && { PyErr_SetRaisedException(exception_.release()); }

PyError wrap_argument_error(std::string_view name, PyError error) {
  if (!error.is_exactly(PyExc_TypeError))
    return error;
  Ref text = Ref::steal(PyObject_Str(error.exception()));
  if (!text)
    return PyError::fetch();
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (utf8 == nullptr)
    return PyError::fetch();
  PyError wrapped = PyError::make(
      PyExc_TypeError, messages::argument_error(name, std::string_view(utf8, static_cast<std::size_t>(size))));
  if (PyObject* cause = PyException_GetCause(error.exception()))
    PyException_SetCause(wrapped.exception(), cause);  // steals the new reference
  return wrapped;
}

PyObject* panic_exception_type() {
  // Created once under the interpreter lock and kept for the process; a
  // failed creation leaves the cell empty so that a later fault tries again.
  static PyObject* type = nullptr;
  if (type == nullptr)
    type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", messages::kPanicDoc, PyExc_BaseException,
                                     nullptr);
  return type;
}

void raise_internal_fault(std::string_view message, const std::source_location& where) {
  if (message.empty())
    message = messages::kGenericFault;
  std::fprintf(stderr, "thread '%s' panicked at %.*s:%u:%u:\n%.*s\n", thread_name().c_str(),
               static_cast<int>(short_path(where.file_name()).size()), short_path(where.file_name()).data(),
               static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()),
               static_cast<int>(message.size()), message.data());
  std::fflush(stderr);
  PyObject* type = panic_exception_type();
  if (type == nullptr)
    return;  // creating the type failed; its error is pending
  Ref text = Ref::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!text)
    return;
  PyErr_SetObject(type, text.get());
}

PyObject* api_created(PyObject* object, std::source_location where) {
  if (object == nullptr) [[unlikely]] {
    PyErr_Print();
    throw InternalFault(std::string(messages::kApiCallFailed), where);
  }
  return object;
}

}  // namespace quorvatel::py
