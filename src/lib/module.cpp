// Module initialisation: single-phase, one interpreter per process.
#include <format>
#include <string>

#include "lib/convert.hpp"
#include "lib/errors.hpp"
#include "lib/messages.hpp"
#include "lib/module_once.hpp"
#include "lib/prefix_search.hpp"

namespace quorvatel::py {
namespace {

ModuleOnce once;

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

/// "TypeName: text" of an exception, or the type name alone.
std::string describe(PyObject* exception) {
  const std::string text = str_or(exception, "");
  return text.empty() ? type_qualname(exception) : std::format("{}: {}", type_qualname(exception), text);
}

/// The module body: adds the class under its name and to __all__.
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

}  // namespace
}  // namespace quorvatel::py

PyMODINIT_FUNC PyInit__quorvatel() {
  using namespace quorvatel::py;
  return guarded([] { return init_once(once, module_def, "_quorvatel", add_class); });
}
