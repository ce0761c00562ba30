#include "lib/records/search.hpp"

#include <array>
#include <limits>
#include <optional>
#include <string>

#include "lib/binding.hpp"
#include "lib/convert.hpp"
#include "lib/index_access.hpp"
#include "lib/messages.hpp"
#include "lib/records/unlocked.hpp"
#include "prefix/complete/search.hpp"

namespace quorvatel::py {
namespace {

constexpr std::array<std::string_view, 6> kCompleteParams{"index", "text", "limit", "max_dist", "prefix_length",
                                                          "transpositions"};
constexpr std::array<std::string_view, 6> kSuggestParams{"index", "term", "limit", "max_dist", "prefix_length",
                                                         "transpositions"};
constexpr Signature kCompleteSignature{"complete()", kCompleteParams, 2};
constexpr Signature kSuggestSignature{"suggest()", kSuggestParams, 2};
/// Parameters after these are keyword-only.
constexpr std::size_t kPositional = 2;
constexpr std::uint64_t kDefaultLimit = 10;

/// The result type: a collections.namedtuple class, made once and kept for
/// the process. Its instances are tuples with another type, so they are
/// made as tuple.__new__ makes them.
PyTypeObject* completion_type = nullptr;

constexpr const char* kCompletionDoc =
    "A result of complete() or suggest(): the stored term, its own count (the total of its records) "
    "and its distance (complete: of its closest prefix) to the text.";

PyResult<PyTypeObject*> make_completion_type() {
  const Ref collections = Ref::steal(PyImport_ImportModule("collections"));
  if (!collections)
    return py_fetch();
  const Ref factory = Ref::steal(PyObject_GetAttrString(collections.get(), "namedtuple"));
  if (!factory)
    return py_fetch();
  const Ref args = Ref::steal(Py_BuildValue("(s(sss))", "Completion", "term", "count", "distance"));
  const Ref kwargs = Ref::steal(Py_BuildValue("{ss}", "module", "quorvatel"));
  if (!args || !kwargs)
    return py_fetch();
  Ref type = Ref::steal(PyObject_Call(factory.get(), args.get(), kwargs.get()));
  if (!type)
    return py_fetch();
  // Only a plain tuple subclass (no slots or dict of its own) can be filled in place.
  auto* cls = reinterpret_cast<PyTypeObject*>(type.get());
  if (!PyType_Check(type.get()) || !PyType_IsSubtype(cls, &PyTuple_Type) ||
      cls->tp_basicsize != PyTuple_Type.tp_basicsize || cls->tp_itemsize != PyTuple_Type.tp_itemsize)
    return py_fail(PyExc_ImportError, messages::kCompletionTypeShape);
  const Ref doc = Ref::steal(PyUnicode_FromString(kCompletionDoc));
  if (!doc || PyObject_SetAttrString(type.get(), "__doc__", doc.get()) < 0)
    return py_fetch();
  return reinterpret_cast<PyTypeObject*>(type.release());
}

}  // namespace

// ------------------------------------------------------------------ conversions

PyResult<std::u32string> search_text(PyObject* object, std::string_view name) {
  if (!PyUnicode_Check(object))
    return py_fail(PyExc_TypeError, messages::not_a_str(name, type_qualname(object)));
  const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(object));
  if (length > complete::kMaxTextLength)
    return py_fail(PyExc_ValueError, messages::text_too_long(name, length, complete::kMaxTextLength));
  const int kind = PyUnicode_KIND(object);
  const void* data = PyUnicode_DATA(object);
  std::u32string out(length, U'\0');
  for (std::size_t i = 0; i < length; ++i)
    out[i] = PyUnicode_READ(kind, data, static_cast<Py_ssize_t>(i));
  return out;
}

namespace {

/// An int of 0 or more (anything with __index__ but bool), saturated at the
/// largest u64; None gives nullopt when `or_none`.
PyResult<std::optional<std::uint64_t>> to_natural(PyObject* object, std::string_view name, bool or_none) {
  if (or_none && object == Py_None)
    return std::optional<std::uint64_t>();
  if (PyBool_Check(object) || !PyIndex_Check(object))
    return py_fail(PyExc_TypeError, messages::not_an_int(name, or_none, type_qualname(object)));
  const Ref value = Ref::steal(PyNumber_Index(object));
  if (!value)
    return py_fetch();  // raised by the object's own __index__
  int overflow = 0;
  const long long small = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
  if (small == -1 && PyErr_Occurred())
    return py_fetch();
  if (overflow > 0)
    return std::optional<std::uint64_t>(std::numeric_limits<std::uint64_t>::max());
  if (overflow < 0 || small < 0) {
    const Ref text = Ref::steal(PyObject_Str(value.get()));
    Py_ssize_t size = 0;
    const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
    if (utf8 == nullptr)
      return py_fetch();
    return py_fail(PyExc_ValueError, messages::negative(name, std::string_view(utf8, static_cast<std::size_t>(size))));
  }
  return std::optional<std::uint64_t>(static_cast<std::uint64_t>(small));
}

/// max_dist: "auto" (nullopt) or an int of 0 or more, saturated at the
/// largest u32 (a search never needs more).
PyResult<std::optional<std::uint32_t>> to_max_dist(PyObject* object, std::string_view name) {
  if (PyUnicode_Check(object)) {
    if (PyUnicode_EqualToUTF8AndSize(object, "auto", 4))
      return std::optional<std::uint32_t>();
    const Ref repr = Ref::steal(PyObject_Repr(object));
    Py_ssize_t size = 0;
    const char* utf8 = repr ? PyUnicode_AsUTF8AndSize(repr.get(), &size) : nullptr;
    if (utf8 == nullptr)
      return py_fetch();
    return py_fail(PyExc_ValueError,
                   messages::not_a_distance(name, std::string_view(utf8, static_cast<std::size_t>(size))));
  }
  if (PyBool_Check(object) || !PyIndex_Check(object))
    return py_fail(PyExc_TypeError, messages::not_a_distance(name, type_qualname(object)));
  QV_TRY_ASSIGN(const std::optional<std::uint64_t> k, to_natural(object, name, false));
  return std::optional<std::uint32_t>(
      static_cast<std::uint32_t>(std::min<std::uint64_t>(*k, std::numeric_limits<std::uint32_t>::max())));
}

PyResult<bool> to_flag(PyObject* object, std::string_view name) {
  if (!PyBool_Check(object))
    return py_fail(PyExc_TypeError, messages::not_a_bool(name, type_qualname(object)));
  return object == Py_True;
}

}  // namespace

PyResult<void> search_options(PyObject* limit, PyObject* max_dist, PyObject* prefix_length, PyObject* transpositions,
                              complete::Request& request) {
  request.limit = kDefaultLimit;
  if (limit != nullptr) {
    QV_TRY_ASSIGN(const std::optional<std::uint64_t> bound, to_natural(limit, "limit", true));
    request.limit = bound.value_or(std::numeric_limits<std::uint64_t>::max());
  }
  if (max_dist != nullptr) {
    QV_TRY_ASSIGN(request.policy.max_dist, to_max_dist(max_dist, "max_dist"));
  }
  if (prefix_length != nullptr) {
    QV_TRY_ASSIGN(const std::optional<std::uint64_t> fixed, to_natural(prefix_length, "prefix_length", false));
    request.policy.prefix_length = *fixed;
  }
  if (transpositions != nullptr) {
    QV_TRY_ASSIGN(request.policy.transpositions, to_flag(transpositions, "transpositions"));
  }
  return {};
}

PyResult<void> check_searchable(const IndexHold& index) {
  if (!index.bounds.usable())
    return py_fail(PyExc_ValueError, messages::index_refused(index.bounds.problem));
  return {};
}

// ------------------------------------------------------------------ results

Ref completion_rows(const std::vector<complete::Completion>& found) {
  Ref list = Ref::steal(api_created(PyList_New(static_cast<Py_ssize_t>(found.size()))));
  for (std::size_t i = 0; i < found.size(); ++i) {
    const complete::Completion& c = found[i];
    Ref row = Ref::steal(api_created(completion_type->tp_alloc(completion_type, 3)));
    PyTuple_SET_ITEM(row.get(), 0,
                     api_created(PyUnicode_FromStringAndSize(c.term.data(), static_cast<Py_ssize_t>(c.term.size()))));
    PyTuple_SET_ITEM(row.get(), 1, api_created(PyLong_FromUnsignedLong(c.count)));
    PyTuple_SET_ITEM(row.get(), 2, api_created(PyLong_FromUnsignedLong(c.distance)));
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), row.release());
  }
  return list;
}

namespace {

// ------------------------------------------------------------------ operation

PyResult<Ref> search_impl(const IndexHold& index, complete::Request request) {
  QV_TRY(check_searchable(index));
  // A long search lets go of the lock (see LockBudget); the error value is
  // made into an exception once the lock is back.
  Result<std::vector<complete::Completion>> found = [&] {
    LockBudget lock;
    request.cancel = &lock;
    return complete::search(index.trie, index.bounds, request);
  }();
  QV_TRY_ASSIGN(const std::vector<complete::Completion> rows, lift(std::move(found)));
  return completion_rows(rows);
}

// ------------------------------------------------------------------ wrappers

PyResult<Ref> search_wrapper(complete::Mode mode, const Signature& signature, PyObject* const* args,
                             Py_ssize_t nargsf, PyObject* kwnames) {
  const auto given = static_cast<std::size_t>(PyVectorcall_NARGS(static_cast<std::size_t>(nargsf)));
  if (given > kPositional)
    return py_fail(PyExc_TypeError,
                   messages::too_many_positional(signature.full_name, kPositional, kPositional, given));
  std::array<PyObject*, 6> slots{};
  QV_TRY(bind(signature, args, nargsf, kwnames, slots));
  QV_TRY_ASSIGN(const IndexHold index, index_of(slots[0], signature.parameters[0]));
  QV_TRY_ASSIGN(const std::u32string text, search_text(slots[1], signature.parameters[1]));
  complete::Request request;
  request.mode = mode;
  request.text = text;
  QV_TRY(search_options(slots[2], slots[3], slots[4], slots[5], request));
  return search_impl(index, request);
}

}  // namespace

PyResult<void> add_completion_type(PyObject* module) {
  if (completion_type == nullptr) {
    QV_TRY_ASSIGN(completion_type, make_completion_type());
  }
  if (PyModule_AddObjectRef(module, "Completion", reinterpret_cast<PyObject*>(completion_type)) < 0)
    return py_fetch();
  return {};
}

PyObject* complete_function(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&] { return search_wrapper(complete::Mode::Complete, kCompleteSignature, args, nargsf, kwnames); });
}

PyObject* suggest_function(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&] { return search_wrapper(complete::Mode::Suggest, kSuggestSignature, args, nargsf, kwnames); });
}

}  // namespace quorvatel::py
