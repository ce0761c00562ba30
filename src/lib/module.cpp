// Module initialisation: single-phase, one interpreter per process.
#include <atomic>
#include <cstdint>
#include <format>
#include <string>

#include "lib/convert.hpp"
#include "lib/errors.hpp"
#include "lib/messages.hpp"
#include "lib/prefix_search.hpp"

namespace quorvatel::py {
namespace {

// The interpreter that first initialised the module; -1 until then.
std::atomic<std::int64_t> initialising_interpreter{-1};

// The module object of the first successful initialisation.
PyObject* module_object = nullptr;

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_quorvatel",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

std::string describe(PyObject* exception) {
  const Ref text = Ref::steal(PyObject_Str(exception));
  Py_ssize_t size = 0;
  const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    return type_qualname(exception);
  }
  return std::format("{}: {}", type_qualname(exception), std::string_view(utf8, static_cast<std::size_t>(size)));
}

/// Adds the class under its name and to __all__.
PyResult<void> add_class(PyObject* module) {
  PyTypeObject* type = prefix_search_type();
  const Ref name = Ref::steal(PyUnicode_FromString("PrefixSearch"));
  if (!name)
    return py_fetch();
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
      return py_fetch();
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0)
      return py_fetch();
  }
  if (!PyList_Check(all.get()))
    return std::unexpected(type_mismatch(all.get(), "PyList"));
  if (PyList_Append(all.get(), name.get()) < 0) {
    const PyError error = PyError::fetch();
    throw InternalFault(std::format("{}: {}", messages::kAllAppendFailed, describe(error.exception())));
  }
  if (PyObject_SetAttr(module, name.get(), reinterpret_cast<PyObject*>(type)) < 0)
    return py_fetch();
  return {};
}

PyResult<Ref> init_module() {
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  const std::int64_t id = PyInterpreterState_GetID(interpreter);
  if (id == -1)
    return py_fetch();
  std::int64_t expected = -1;
  if (!initialising_interpreter.compare_exchange_strong(expected, id) && expected != id)
    return py_fail(PyExc_ImportError, messages::kSubInterpreter);
  if (module_object != nullptr)
    return Ref::new_ref(module_object);
  Ref module = Ref::steal(PyModule_Create2(&module_def, 1013));
  if (!module)
    return py_fetch();
  QV_TRY(add_class(module.get()));
  module_object = Ref::new_ref(module.get()).release();  // kept for the process
  return module;
}

}  // namespace
}  // namespace quorvatel::py

PyMODINIT_FUNC PyInit__quorvatel() {
  return quorvatel::py::guarded([] { return quorvatel::py::init_module(); });
}
