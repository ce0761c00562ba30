#include "lib/prefix_search.hpp"

#include <new>
#include <string>

#include "lib/convert.hpp"
#include "lib/messages.hpp"

namespace quorvatel::py {
namespace {

// The creation slot: instances come only from the two static constructors.
PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
  return guarded([&]() -> PyResult<Ref> {
    const Ref name = Ref::steal(PyType_GetName(type));
    const std::string text = utf8_or(name.get(), messages::kUnknownName);
    PyErr_Clear();
    return py_fail(PyExc_TypeError, messages::no_constructor(text));
  });
}

void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<PrefixSearchObject*>(self)->bounds.~optional();
  reinterpret_cast<PrefixSearchObject*>(self)->trie.~Trie();
  type->tp_free(self);
  Py_DECREF(type);  // each instance of a heap type holds its type
}

PyType_Slot type_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_methods, prefix_search_methods},
    {0, nullptr},
};

PyType_Spec type_spec = {
    .name = "builtins.PrefixSearch",
    .basicsize = static_cast<int>(sizeof(PrefixSearchObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = type_slots,
};

}  // namespace

PyTypeObject* prefix_search_type() {
  // Filled once under the interpreter lock; a failed creation leaves it empty.
  static PyTypeObject* type = nullptr;
  if (type == nullptr) {
    PyObject* created = PyType_FromSpec(&type_spec);
    if (created == nullptr) {
      PyErr_Print();
      throw InternalFault(std::string(messages::kTypeCreationFailed));
    }
    type = reinterpret_cast<PyTypeObject*>(created);
  }
  return type;
}

PyResult<Ref> new_prefix_search(Trie&& trie) {
  PyTypeObject* type = prefix_search_type();
  Ref object = Ref::steal(type->tp_alloc(type, 0));
  if (!object)
    return py_fetch();  // the trie is released by the caller's frame
  auto* instance = reinterpret_cast<PrefixSearchObject*>(object.get());
  new (&instance->trie) Trie(std::move(trie));
  new (&instance->bounds) std::optional<complete::SubtreeBounds>();
  return object;
}

PyResult<const Trie*> trie_of(PyObject* self) {
  PyTypeObject* type = prefix_search_type();
  if (self == nullptr || !PyType_IsSubtype(Py_TYPE(self), type))
    return std::unexpected(type_mismatch(self == nullptr ? Py_None : self, "PrefixSearch"));
  return &reinterpret_cast<const PrefixSearchObject*>(self)->trie;
}

}  // namespace quorvatel::py
