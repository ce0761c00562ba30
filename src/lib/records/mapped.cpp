#include "lib/records/mapped.hpp"

#include <array>
#include <cerrno>
#include <new>
#include <string>

#include "lib/binding.hpp"
#include "lib/convert.hpp"
#include "lib/index_access.hpp"
#include "lib/messages.hpp"
#include "lib/queries.hpp"
#include "lib/records/unlocked.hpp"

namespace quorvatel::py {
namespace {

PyTypeObject* mapped_type = nullptr;  // created once, kept for the process

constexpr std::array<std::string_view, 2> kOpenParams{"path", "verify"};
constexpr std::array<std::string_view, 2> kWriteParams{"index", "fd"};
constexpr Signature kOpenSignature{"open_mapped()", kOpenParams, 2};
constexpr Signature kWriteSignature{"write_mapped()", kWriteParams, 2};
constexpr Signature kMatchSignature{"MappedIndex.fuzzy_match()", kMatchParams, 1};
constexpr Signature kVideoSignature{"MappedIndex.fuzzy_match_video()", kVideoParams, 1};

PyResult<TrieView> view_of(PyObject* self) {
  const MappedIndexObject* index = self == nullptr ? nullptr : as_mapped_index(self);
  if (index == nullptr)
    return std::unexpected(type_mismatch(self == nullptr ? Py_None : self, "MappedIndex"));
  return index->view.trie;
}

/// OSError for `error` (an errno value) naming the file `path`.
std::unexpected<PyError> os_error(int error, PyObject* path) {
  errno = error;
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
  return py_fetch();
}

// ------------------------------------------------------------------ operations

PyResult<Ref> open_mapped_impl(const std::string& path, PyObject* path_object, bool verify) {
  std::expected<mapped::FileMapping, int> mapping;
  std::expected<mapped::MappedView, mapped::OpenError> view;
  {
    const WithoutLock unlocked;
    mapping = mapped::FileMapping::open(path);
    if (mapping)
      view = mapped::open(mapping->bytes(), verify);
  }
  if (!mapping)
    return os_error(mapping.error(), path_object);
  if (!view)
    return py_fail(PyExc_ValueError, messages::mapped_problem(view.error().problem, view.error().detail));
  Ref object = Ref::steal(mapped_type->tp_alloc(mapped_type, 0));
  if (!object)
    return py_fetch();  // the mapping is released by this frame
  auto* instance = reinterpret_cast<MappedIndexObject*>(object.get());
  new (&instance->mapping) mapped::FileMapping(std::move(*mapping));
  new (&instance->view) mapped::MappedView(*view);
  instance->searchable = MappedIndexObject::Searchable::Unknown;
  new (&instance->refused) std::string();
  return object;
}

PyResult<Ref> write_mapped_impl(const IndexHold& index, int fd) {
  int error = 0;
  {
    const WithoutLock unlocked;  // the index is immutable and held by `index`
    error = mapped::write_file(fd, index.trie, index.bounds);
  }
  if (error != 0) {
    errno = error;
    PyErr_SetFromErrno(PyExc_OSError);
    return py_fetch();
  }
  return Ref::new_ref(Py_None);
}

// ------------------------------------------------------------------ the type

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
  return guarded([&]() -> PyResult<Ref> { return py_fail(PyExc_TypeError, messages::kMappedNoConstructor); });
}

void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* instance = reinterpret_cast<MappedIndexObject*>(self);
  instance->refused.~basic_string();
  instance->view.~MappedView();
  instance->mapping.~FileMapping();  // unmaps the file
  type->tp_free(self);
  Py_DECREF(type);  // each instance of a heap type holds its type
}

PyObject* fuzzy_match_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&] { return fuzzy_match_call(kMatchSignature, view_of, self, args, nargsf, kwnames); });
}

PyObject* fuzzy_match_video_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&] { return fuzzy_match_video_call(kVideoSignature, view_of, self, args, nargsf, kwnames); });
}

PyObject* to_bytes_method(PyObject* self, PyObject*) {
  return guarded([&]() -> PyResult<Ref> {
    const std::optional<mapped::MappedView> view = self == nullptr ? std::nullopt : mapped_index_view(self);
    if (!view)
      return std::unexpected(type_mismatch(self == nullptr ? Py_None : self, "MappedIndex"));
    const Ref hold = Ref::new_ref(self);
    const bool proved = as_mapped_index(self)->searchable == MappedIndexObject::Searchable::Yes;
    std::vector<char32_t> labels;
    return snapshot_bytes(mapped::snapshot_view(view->trie, proved, labels));
  });
}

PyObject* reduce_method(PyObject*, PyObject*) {
  return guarded([&]() -> PyResult<Ref> { return py_fail(PyExc_TypeError, messages::kMappedNoPickle); });
}

template <class F>
constexpr PyCFunction as_cfunction(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef type_methods[] = {
    {"fuzzy_match", as_cfunction(fuzzy_match_method), METH_FASTCALL | METH_KEYWORDS, kFuzzyMatchDoc},
    {"fuzzy_match_video", as_cfunction(fuzzy_match_video_method), METH_FASTCALL | METH_KEYWORDS,
     kFuzzyMatchVideoDoc},
    {"to_bytes", as_cfunction(to_bytes_method), METH_NOARGS, kToBytesDoc},
    {"__reduce__", as_cfunction(reduce_method), METH_NOARGS, "Refused: a MappedIndex is opened from its file."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot type_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_methods, type_methods},
    {Py_tp_doc, const_cast<char*>("An index read in place from a file mapped into memory (quorvatel.open).")},
    {0, nullptr},
};

PyType_Spec type_spec = {
    .name = "quorvatel.MappedIndex",
    .basicsize = static_cast<int>(sizeof(MappedIndexObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = type_slots,
};

}  // namespace

PyResult<void> add_mapped_index_type(PyObject* module) {
  if (mapped_type == nullptr) {
    PyObject* created = PyType_FromSpec(&type_spec);
    if (created == nullptr)
      return py_fetch();
    mapped_type = reinterpret_cast<PyTypeObject*>(created);
  }
  if (PyModule_AddObjectRef(module, "MappedIndex", reinterpret_cast<PyObject*>(mapped_type)) < 0)
    return py_fetch();
  return {};
}

const MappedIndexObject* as_mapped_index(PyObject* object) noexcept {
  if (mapped_type == nullptr || Py_TYPE(object) != mapped_type)
    return nullptr;
  return reinterpret_cast<const MappedIndexObject*>(object);
}

std::optional<mapped::MappedView> mapped_index_view(PyObject* object) {
  if (mapped_type == nullptr || Py_TYPE(object) != mapped_type)
    return std::nullopt;
  auto* instance = reinterpret_cast<MappedIndexObject*>(object);
  using Searchable = MappedIndexObject::Searchable;
  if (instance->searchable == Searchable::Unknown) {
    // Under the interpreter lock: no other call sees the state half made.
    instance->refused = mapped::searchable_problem(instance->view);
    instance->searchable = instance->refused.empty() ? Searchable::Yes : Searchable::No;
  }
  mapped::MappedView view = instance->view;
  if (instance->searchable == Searchable::No && view.bounds.usable())
    view.bounds = {{}, {}, view.bounds.edges, instance->refused};
  return view;
}

PyObject* open_mapped_function(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyResult<Ref> {
    std::array<PyObject*, 2> slots{};
    QV_TRY(bind(kOpenSignature, args, nargsf, kwnames, slots));
    if (!PyUnicode_Check(slots[0]))
      return std::unexpected(type_mismatch(slots[0], "str"));
    const Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(slots[0]));
    if (!encoded)
      return py_fetch();
    const std::string path(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
    if (path.find('\0') != std::string::npos)
      return py_fail(PyExc_ValueError, messages::kEmbeddedNull);
    QV_TRY_ARG(const bool verify, "verify", to_bool(slots[1]));
    return open_mapped_impl(path, slots[0], verify);
  });
}

PyObject* write_mapped_function(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyResult<Ref> {
    std::array<PyObject*, 2> slots{};
    QV_TRY(bind(kWriteSignature, args, nargsf, kwnames, slots));
    QV_TRY_ASSIGN(const IndexHold index, index_of(slots[0], kWriteParams[0]));
    const int fd = PyObject_AsFileDescriptor(slots[1]);
    if (fd < 0)
      return py_fetch();
    return write_mapped_impl(index, fd);
  });
}

}  // namespace quorvatel::py
