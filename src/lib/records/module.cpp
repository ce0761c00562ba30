// _quorvatel_records: the native half of the quorvatel package. It turns
// records into a snapshot that PrefixSearch.from_bytes loads, and reports
// what a snapshot holds; _quorvatel itself is left as it is.
//
// Like _quorvatel's methods, each function is a thin wrapper that binds and
// converts its arguments, then calls an _impl that takes plain values. Both
// _impls do their heavy part without the interpreter lock, on data copied out
// of host objects or held immutable (a bytes object) for the call.
#include <algorithm>
#include <array>
#include <optional>
#include <string>

#include "lib/binding.hpp"
#include "lib/convert.hpp"
#include "lib/messages.hpp"
#include "lib/module_once.hpp"
#include "lib/records/mapped.hpp"
#include "lib/records/batch.hpp"
#include "lib/records/rows.hpp"
#include "lib/records/search.hpp"
#include "lib/records/unlocked.hpp"
#include "prefix/trie/records.hpp"
#include "prefix/trie/trie_check.hpp"
#include "prefix/trie/trie_codec.hpp"
#include "snapshot/decode_error.hpp"

namespace quorvatel::py {
namespace {

constexpr std::array<std::string_view, 2> kBuildParams{"records", "video_top_n"};
constexpr std::array<std::string_view, 1> kInspectParams{"b"};
constexpr Signature kBuildSignature{"build_snapshot()", kBuildParams, 2};
constexpr Signature kInspectSignature{"inspect_snapshot()", kInspectParams, 1};

// ------------------------------------------------------------------ operations

/// The snapshot of `trie` as a new bytes object.
PyResult<Ref> snapshot_bytes(const Trie& trie) {
  std::size_t size = 0;
  {
    const WithoutLock unlocked;
    size = snapshot::encoded_size(trie);
  }
  Ref bytes = Ref::steal(api_created(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size))));
  // No one else holds the new object yet, so it is filled without the lock.
  const std::span out(reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get())), size);
  {
    const WithoutLock unlocked;
    snapshot::encode_into(trie, out);
  }
  return bytes;
}

PyResult<Ref> build_snapshot_impl(RecordsBuilder builder, std::uint64_t video_top_n) {
  Result<Trie> trie = [&] {
    const WithoutLock unlocked;
    return std::move(builder).build(video_top_n);
  }();
  QV_TRY_ASSIGN(const Trie built, lift(std::move(trie)));
  return snapshot_bytes(built);
}

/// Why `bytes` is not exactly the snapshot of `trie`, or nullopt.
std::optional<std::string> non_canonical(const Trie& trie, std::span<const std::uint8_t> bytes) {
  const std::vector<std::uint8_t> again = snapshot::encode(trie);
  const auto [ours, theirs] = std::ranges::mismatch(again, bytes);
  if (ours == again.end() && theirs == bytes.end())
    return std::nullopt;
  if (ours == again.end())
    return messages::bytes_after_snapshot(bytes.end() - theirs);
  return messages::byte_differs(theirs - bytes.begin());
}

/// (nodes, edges, terms, videos, id mode, problem or None), each member
/// created as results are: a failure to create one is an internal fault.
Ref inspection_row(const Trie& trie, const std::optional<std::string>& problem) {
  const std::size_t videos = trie.id_mode == IdMode::Uuid ? trie.video_uuids.size() : trie.video_int_ids.size();
  const std::string_view mode = trie.id_mode == IdMode::Uuid ? "uuid" : "int32";
  Ref row = Ref::steal(api_created(PyTuple_New(6)));
  const std::size_t counts[] = {trie.node_count(), trie.child_transitions.size(), terminal_count(trie), videos};
  for (Py_ssize_t i = 0; i < 4; ++i)
    PyTuple_SET_ITEM(row.get(), i, api_created(PyLong_FromSize_t(counts[i])));
  PyTuple_SET_ITEM(row.get(), 4, api_created(PyUnicode_FromStringAndSize(mode.data(), std::ssize(mode))));
  PyTuple_SET_ITEM(row.get(), 5,
                   problem ? api_created(PyUnicode_FromStringAndSize(problem->data(), std::ssize(*problem)))
                           : Ref::new_ref(Py_None).release());
  return row;
}

PyResult<Ref> inspect_snapshot_impl(std::span<const std::uint8_t> data) {
  std::optional<std::expected<Trie, snapshot::DecodeError>> decoded;
  std::optional<std::string> problem;
  {
    const WithoutLock unlocked;
    decoded.emplace(snapshot::decode(data));
    if (*decoded) {
      problem = find_inconsistency(**decoded);
      if (!problem)
        problem = non_canonical(**decoded, data);
    }
  }
  if (!*decoded)
    return py_fail(PyExc_ValueError, messages::decode_error(snapshot::to_string(decoded->error())));
  return inspection_row(**decoded, problem);
}

// ------------------------------------------------------------------ wrappers

PyObject* build_snapshot(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyResult<Ref> {
    std::array<PyObject*, 2> slots{};
    QV_TRY(bind(kBuildSignature, args, nargsf, kwnames, slots));
    QV_TRY_ARG(const std::uint64_t video_top_n, "video_top_n", to_u64(slots[1]));
    RecordsBuilder builder;
    QV_TRY(read_records(slots[0], builder));  // errors name their row, not the argument
    return build_snapshot_impl(std::move(builder), video_top_n);
  });
}

PyObject* inspect_snapshot(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyResult<Ref> {
    std::array<PyObject*, 1> slots{};
    QV_TRY(bind(kInspectSignature, args, nargsf, kwnames, slots));
    const Ref hold = Ref::new_ref(slots[0]);  // read in place, without the lock
    QV_TRY_ARG(const auto data, "b", to_bytes_view(slots[0]));
    return inspect_snapshot_impl(data);
  });
}

template <class F>
constexpr PyCFunction as_cfunction(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef methods[] = {
    {"build_snapshot", as_cfunction(build_snapshot), METH_FASTCALL | METH_KEYWORDS,
     "build_snapshot(records, video_top_n)\n--\n\n"
     "The snapshot of the trie built from (term, video_id, count) records."},
    {"inspect_snapshot", as_cfunction(inspect_snapshot), METH_FASTCALL | METH_KEYWORDS,
     "inspect_snapshot(b)\n--\n\n"
     "(nodes, edges, terms, videos, id_mode, problem) of a snapshot; problem is None when\n"
     "the snapshot is exactly one a build writes."},
    {"complete", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(complete_function)),
     METH_FASTCALL | METH_KEYWORDS, kCompleteDoc},
    {"suggest", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(suggest_function)),
     METH_FASTCALL | METH_KEYWORDS, kSuggestDoc},
    {"open_mapped", as_cfunction(open_mapped_function), METH_FASTCALL | METH_KEYWORDS, kOpenMappedDoc},
    {"write_mapped", as_cfunction(write_mapped_function), METH_FASTCALL | METH_KEYWORDS, kWriteMappedDoc},
    {"fuzzy_match_many", as_cfunction(fuzzy_match_many_function), METH_FASTCALL | METH_KEYWORDS,
     kFuzzyMatchManyDoc},
    {"fuzzy_match_video_many", as_cfunction(fuzzy_match_video_many_function), METH_FASTCALL | METH_KEYWORDS,
     kFuzzyMatchVideoManyDoc},
    {"complete_many", as_cfunction(complete_many_function), METH_FASTCALL | METH_KEYWORDS, kCompleteManyDoc},
    {nullptr, nullptr, 0, nullptr},
};

ModuleOnce once;

PyResult<void> add_types(PyObject* module) {
  QV_TRY(add_completion_type(module));
  return add_mapped_index_type(module);
}

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_quorvatel_records",
    .m_doc = "Native helpers of the quorvatel package.",
    .m_size = 0,
    .m_methods = methods,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace quorvatel::py

PyMODINIT_FUNC PyInit__quorvatel_records() {
  using namespace quorvatel::py;
  return guarded([] { return init_once(once, module_def, "_quorvatel_records", add_types); });
}
