// The five methods of PrefixSearch. Each is a thin wrapper that binds and
// converts its arguments, then calls an _impl that takes plain values.
#include <array>
#include <optional>

#include "lib/arrays.hpp"
#include "lib/binding.hpp"
#include "lib/convert.hpp"
#include "lib/prefix_search.hpp"
#include "lib/results.hpp"
#include "prefix/matcher/matcher.hpp"
#include "prefix/ranking/ranking.hpp"
#include "prefix/trie/builder.hpp"
#include "prefix/trie/trie_codec.hpp"
#include "snapshot/decode_error.hpp"

namespace quorvatel::py {
namespace {

// ------------------------------------------------------------------ signatures

constexpr std::array<std::string_view, 6> kBuildParams{"node_shifts",       "child_labels", "payloads",
                                                       "child_transitions", "video_index",  "video_top_n"};
constexpr std::array<std::string_view, 1> kFromBytesParams{"b"};
constexpr std::array<std::string_view, 3> kMatchParams{"term", "max_dist", "limit"};
constexpr std::array<std::string_view, 5> kVideoParams{"term", "max_dist", "limit", "include_prefix_nodes",
                                                       "min_score"};

constexpr Signature kBuildSignature{"PrefixSearch.from_internal_data_v2()", kBuildParams, 6};
constexpr Signature kFromBytesSignature{"PrefixSearch.from_bytes()", kFromBytesParams, 1};
constexpr Signature kMatchSignature{"PrefixSearch.fuzzy_match()", kMatchParams, 1};
constexpr Signature kVideoSignature{"PrefixSearch.fuzzy_match_video()", kVideoParams, 1};

// ------------------------------------------------------------------ operations

/// Lets the interpreter run its signal handlers during long walks, so that
/// Ctrl-C stops a query on a hostile snapshot; the handler's exception (such
/// as KeyboardInterrupt) ends the call.
class SignalCheck final : public CancelHook {
 public:
  [[nodiscard]] bool should_stop() override { return PyErr_CheckSignals() < 0; }
};

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

PyResult<Ref> to_bytes_impl(const Trie& trie) {
  const std::size_t size = snapshot::encoded_size(trie);
  Ref bytes = Ref::steal(api_created(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size))));
  snapshot::encode_into(trie, std::span(reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get())), size));
  return bytes;
}

PyResult<Ref> from_bytes_impl(std::span<const std::uint8_t> data) {
  auto trie = snapshot::decode(data);
  if (!trie)
    return py_fail(PyExc_ValueError, messages::decode_error(snapshot::to_string(trie.error())));
  return new_prefix_search(std::move(*trie));
}

PyResult<Ref> fuzzy_match_impl(const Trie& trie, std::u32string_view term, WalkOptions options) {
  SignalCheck signals;
  options.cancel = &signals;
  const std::vector<MatchResult> matches = fuzzy_match(trie, term, options);
  return term_rows(trie, matches);
}

PyResult<Ref> fuzzy_match_video_impl(const Trie& trie, std::u32string_view term, VideoQuery query) {
  SignalCheck signals;
  query.cancel = &signals;
  const std::vector<VideoScore> videos = fuzzy_match_video(trie, term, query);
  return video_rows(videos);
}

// ------------------------------------------------------------------ wrappers

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
  return guarded([&]() -> PyResult<Ref> {
    QV_TRY_ASSIGN(const Trie* trie, trie_of(self));
    const Ref hold = Ref::new_ref(self);
    return to_bytes_impl(*trie);
  });
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
  return guarded([&]() -> PyResult<Ref> {
    std::array<PyObject*, 3> slots{};
    QV_TRY(bind(kMatchSignature, args, nargsf, kwnames, slots));
    QV_TRY_ASSIGN(const Trie* trie, trie_of(self));
    const Ref hold = Ref::new_ref(self);
    QV_TRY_ARG(const std::u32string term, "term", to_code_points(slots[0]));
    WalkOptions options;  // its max_dist is the default
    if (slots[1] != nullptr) {
      QV_TRY_ARG(options.max_dist, "max_dist", to_u32(slots[1]));
    }
    QV_TRY_ARG(options.limit, "limit", to_optional(slots[2], to_u64));
    return fuzzy_match_impl(*trie, term, options);
  });
}

PyObject* fuzzy_match_video_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyResult<Ref> {
    std::array<PyObject*, 5> slots{};
    QV_TRY(bind(kVideoSignature, args, nargsf, kwnames, slots));
    QV_TRY_ASSIGN(const Trie* trie, trie_of(self));
    const Ref hold = Ref::new_ref(self);
    QV_TRY_ARG(const std::u32string term, "term", to_code_points(slots[0]));
    VideoQuery query;  // its max_dist is the default
    if (slots[1] != nullptr) {
      QV_TRY_ARG(query.max_dist, "max_dist", to_u32(slots[1]));
    }
    QV_TRY_ARG(query.limit, "limit", to_optional(slots[2], to_u64));
    QV_TRY_ARG(query.include_prefix_nodes, "include_prefix_nodes", to_optional(slots[3], to_bool));
    QV_TRY_ARG(query.min_score, "min_score", to_optional(slots[4], to_double));
    return fuzzy_match_video_impl(*trie, term, query);
  });
}

template <class F>
constexpr PyCFunction as_cfunction(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace

PyMethodDef prefix_search_methods[] = {
    {"from_internal_data_v2", as_cfunction(from_internal_data_v2), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_internal_data_v2(node_shifts, child_labels, payloads, child_transitions, video_index, video_top_n)\n--\n\n"},
    {"to_bytes", as_cfunction(to_bytes), METH_NOARGS, "to_bytes($self)\n--\n\n"},
    {"from_bytes", as_cfunction(from_bytes), METH_FASTCALL | METH_KEYWORDS | METH_STATIC, "from_bytes(b)\n--\n\n"},
    {"fuzzy_match", as_cfunction(fuzzy_match_method), METH_FASTCALL | METH_KEYWORDS,
     "fuzzy_match(term, max_dist=1, limit=None)\n--\n\n"},
    {"fuzzy_match_video", as_cfunction(fuzzy_match_video_method), METH_FASTCALL | METH_KEYWORDS,
     "fuzzy_match_video(term, max_dist=1, limit=None, include_prefix_nodes=None, min_score=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace quorvatel::py
