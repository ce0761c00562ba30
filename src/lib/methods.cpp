// The five methods of PrefixSearch. Each is a thin wrapper that binds and
// converts its arguments, then calls an _impl that takes plain values; the
// query methods and to_bytes are shared with every index class (queries.hpp).
#include <array>
#include <optional>

#include "lib/arrays.hpp"
#include "lib/binding.hpp"
#include "lib/convert.hpp"
#include "lib/prefix_search.hpp"
#include "lib/queries.hpp"
#include "prefix/trie/builder.hpp"
#include "prefix/trie/trie_codec.hpp"
#include "snapshot/decode_error.hpp"

namespace quorvatel::py {
namespace {

// ------------------------------------------------------------------ signatures

constexpr std::array<std::string_view, 6> kBuildParams{"node_shifts",       "child_labels", "payloads",
                                                       "child_transitions", "video_index",  "video_top_n"};
constexpr std::array<std::string_view, 1> kFromBytesParams{"b"};

constexpr Signature kBuildSignature{"PrefixSearch.from_internal_data_v2()", kBuildParams, 6};
constexpr Signature kFromBytesSignature{"PrefixSearch.from_bytes()", kFromBytesParams, 1};
constexpr Signature kMatchSignature{"PrefixSearch.fuzzy_match()", kMatchParams, 1};
constexpr Signature kVideoSignature{"PrefixSearch.fuzzy_match_video()", kVideoParams, 1};

// ------------------------------------------------------------------ operations

PyResult<Ref> from_internal_data_v2_impl(std::vector<std::uint32_t> node_shifts, std::vector<char32_t> child_labels,
                                         std::vector<Ref> payloads, std::vector<std::uint32_t> child_transitions,
                                         const ByteRows& video_index, std::uint64_t video_top_n) {
  QV_TRY(lift(check_arrays(node_shifts.size(), child_labels.size(), payloads.size(), child_transitions)));
  std::vector<std::uint8_t> terminal_flags(payloads.size());
  for (std::size_t i = 0; i < payloads.size(); ++i)
    terminal_flags[i] = payloads[i] ? 1 : 0;
  QV_TRY_ASSIGN(PayloadTable table, to_payload_table(payloads));
  payloads.clear();  // the host objects are no longer needed
  QV_TRY_ASSIGN(VideoTable videos, lift(choose_video_table(video_index)));
  Trie trie = assemble_trie(std::move(node_shifts), std::move(child_labels), std::move(child_transitions),
                            std::move(table), std::move(terminal_flags), std::move(videos), video_top_n);
  return new_prefix_search(std::move(trie));
}

PyResult<Ref> from_bytes_impl(std::span<const std::uint8_t> data) {
  auto trie = snapshot::decode(data);
  if (!trie)
    return py_fail(PyExc_ValueError, messages::decode_error(snapshot::to_string(trie.error())));
  return new_prefix_search(std::move(*trie));
}

// ------------------------------------------------------------------ wrappers

PyResult<TrieView> view_of(PyObject* self) {
  QV_TRY_ASSIGN(const Trie* trie, trie_of(self));
  return TrieView(*trie);
}

PyObject* from_internal_data_v2(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyResult<Ref> {
    std::array<PyObject*, 6> slots{};
    QV_TRY(bind(kBuildSignature, args, nargsf, kwnames, slots));
    QV_TRY_ARG(auto node_shifts, "node_shifts", to_u32_vector(slots[0]));
    QV_TRY_ARG(auto child_labels, "child_labels", to_labels(slots[1]));
    QV_TRY_ARG(auto payloads, "payloads", to_payload_refs(slots[2]));
    QV_TRY_ARG(auto child_transitions, "child_transitions", to_u32_vector(slots[3]));
    QV_TRY_ARG(const ByteRows video_index, "video_index", to_byte_rows(slots[4]));
    QV_TRY_ARG(const std::uint64_t video_top_n, "video_top_n", to_u64(slots[5]));
    return from_internal_data_v2_impl(std::move(node_shifts), std::move(child_labels), std::move(payloads),
                                      std::move(child_transitions), video_index, video_top_n);
  });
}

PyObject* to_bytes(PyObject* self, PyObject*) {
  return guarded([&] { return to_bytes_call(view_of, self); });
}

PyObject* from_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyResult<Ref> {
    std::array<PyObject*, 1> slots{};
    QV_TRY(bind(kFromBytesSignature, args, nargsf, kwnames, slots));
    const Ref hold = Ref::new_ref(slots[0]);  // the buffer is read in place
    QV_TRY_ARG(const auto data, "b", to_bytes_view(slots[0]));
    return from_bytes_impl(data);
  });
}

PyObject* fuzzy_match_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&] { return fuzzy_match_call(kMatchSignature, view_of, self, args, nargsf, kwnames); });
}

PyObject* fuzzy_match_video_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&] { return fuzzy_match_video_call(kVideoSignature, view_of, self, args, nargsf, kwnames); });
}

template <class F>
constexpr PyCFunction as_cfunction(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace

PyMethodDef prefix_search_methods[] = {
    {"from_internal_data_v2", as_cfunction(from_internal_data_v2), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_internal_data_v2(node_shifts, child_labels, payloads, child_transitions, video_index, video_top_n)\n--\n\n"},
    {"to_bytes", as_cfunction(to_bytes), METH_NOARGS, kToBytesDoc},
    {"from_bytes", as_cfunction(from_bytes), METH_FASTCALL | METH_KEYWORDS | METH_STATIC, "from_bytes(b)\n--\n\n"},
    {"fuzzy_match", as_cfunction(fuzzy_match_method), METH_FASTCALL | METH_KEYWORDS, kFuzzyMatchDoc},
    {"fuzzy_match_video", as_cfunction(fuzzy_match_video_method), METH_FASTCALL | METH_KEYWORDS,
     kFuzzyMatchVideoDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace quorvatel::py
