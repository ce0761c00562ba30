#include "lib/index_access.hpp"

#include "lib/convert.hpp"
#include "lib/messages.hpp"
#include "lib/prefix_search.hpp"
#include "lib/records/mapped.hpp"

namespace quorvatel::py {
namespace {

/// _quorvatel.PrefixSearch, looked up once per interpreter (_quorvatel runs
/// in one only) and kept. Its instances must have the layout this build
/// reads: a _quorvatel from another build fails here, not by misreading.
PyResult<PyTypeObject*> prefix_search_class() {
  static std::int64_t cached_for = -1;
  static PyTypeObject* cached = nullptr;
  const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (cached != nullptr && cached_for == interpreter)
    return cached;
  const Ref module = Ref::steal(PyImport_ImportModule("_quorvatel"));
  if (!module)
    return py_fetch();
  Ref type = Ref::steal(PyObject_GetAttrString(module.get(), "PrefixSearch"));
  if (!type)
    return py_fetch();
  if (!PyType_Check(type.get()))
    return py_fail(PyExc_RuntimeError, messages::index_class_mismatch(messages::not_a_class(type_qualname(type.get()))));
  auto* cls = reinterpret_cast<PyTypeObject*>(type.get());
  const std::string_view name = cls->tp_name;
  if (cls->tp_basicsize != static_cast<Py_ssize_t>(sizeof(PrefixSearchObject)) || cls->tp_itemsize != 0 ||
      name != "builtins.PrefixSearch")
    return py_fail(PyExc_RuntimeError,
                   messages::index_class_mismatch(messages::instance_layout(
                       name, static_cast<std::size_t>(cls->tp_basicsize), sizeof(PrefixSearchObject))));
  cached = reinterpret_cast<PyTypeObject*>(type.release());  // kept for the process
  cached_for = interpreter;
  return cached;
}

}  // namespace

PyResult<IndexHold> index_of(PyObject* object, std::string_view name) {
  if (const std::optional<mapped::MappedView> view = mapped_index_view(object))
    return IndexHold{Ref::new_ref(object), view->trie, view->bounds};
  QV_TRY_ASSIGN(PyTypeObject* const cls, prefix_search_class());
  if (Py_TYPE(object) != cls)
    return py_fail(PyExc_TypeError, messages::not_an_index(name, type_qualname(object)));
  auto* instance = reinterpret_cast<PrefixSearchObject*>(object);
  if (!instance->bounds)
    instance->bounds.emplace(complete::SubtreeBounds::derive(instance->trie));
  return IndexHold{Ref::new_ref(object), TrieView(instance->trie), instance->bounds->view()};
}

}  // namespace quorvatel::py
