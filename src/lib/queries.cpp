#include "lib/queries.hpp"

#include <array>
#include <string>

#include "lib/convert.hpp"
#include "lib/results.hpp"
#include "prefix/matcher/matcher.hpp"
#include "prefix/ranking/ranking.hpp"
#include "prefix/trie/trie_codec.hpp"

namespace quorvatel::py {
namespace {

/// Lets the interpreter run its signal handlers during long walks, so that
/// Ctrl-C stops a query on a hostile snapshot; the handler's exception (such
/// as KeyboardInterrupt) ends the call.
class SignalCheck final : public CancelHook {
 public:
  [[nodiscard]] bool should_stop() override { return PyErr_CheckSignals() < 0; }
};

PyResult<Ref> fuzzy_match_impl(const TrieView& trie, std::u32string_view term, WalkOptions options) {
  SignalCheck signals;
  options.cancel = &signals;
  const std::vector<MatchResult> matches = fuzzy_match(trie, term, options);
  return term_rows(trie, matches);
}

PyResult<Ref> fuzzy_match_video_impl(const TrieView& trie, std::u32string_view term, VideoQuery query) {
  SignalCheck signals;
  query.cancel = &signals;
  const std::vector<VideoScore> videos = fuzzy_match_video(trie, term, query);
  return video_rows(videos);
}

}  // namespace

PyResult<Ref> snapshot_bytes(const TrieView& trie) {
  const std::size_t size = snapshot::encoded_size(trie);
  Ref bytes = Ref::steal(api_created(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size))));
  snapshot::encode_into(trie, std::span(reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get())), size));
  return bytes;
}

PyResult<WalkOptions> match_options(PyObject* max_dist, PyObject* limit) {
  WalkOptions options;  // its max_dist is the default
  if (max_dist != nullptr) {
    QV_TRY_ARG(options.max_dist, "max_dist", to_u32(max_dist));
  }
  QV_TRY_ARG(options.limit, "limit", to_optional(limit, to_u64));
  return options;
}

PyResult<VideoQuery> video_options(PyObject* max_dist, PyObject* limit, PyObject* include_prefix_nodes,
                                   PyObject* min_score) {
  VideoQuery query;  // its max_dist is the default
  if (max_dist != nullptr) {
    QV_TRY_ARG(query.max_dist, "max_dist", to_u32(max_dist));
  }
  QV_TRY_ARG(query.limit, "limit", to_optional(limit, to_u64));
  QV_TRY_ARG(query.include_prefix_nodes, "include_prefix_nodes", to_optional(include_prefix_nodes, to_bool));
  QV_TRY_ARG(query.min_score, "min_score", to_optional(min_score, to_double));
  return query;
}

PyResult<Ref> fuzzy_match_call(const Signature& signature, ViewOf view_of, PyObject* self, PyObject* const* args,
                               Py_ssize_t nargsf, PyObject* kwnames) {
  std::array<PyObject*, 3> slots{};
  QV_TRY(bind(signature, args, nargsf, kwnames, slots));
  QV_TRY_ASSIGN(const TrieView trie, view_of(self));
  const Ref hold = Ref::new_ref(self);
  QV_TRY_ARG(const std::u32string term, "term", to_code_points(slots[0]));
  QV_TRY_ASSIGN(const WalkOptions options, match_options(slots[1], slots[2]));
  return fuzzy_match_impl(trie, term, options);
}

PyResult<Ref> fuzzy_match_video_call(const Signature& signature, ViewOf view_of, PyObject* self,
                                     PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  std::array<PyObject*, 5> slots{};
  QV_TRY(bind(signature, args, nargsf, kwnames, slots));
  QV_TRY_ASSIGN(const TrieView trie, view_of(self));
  const Ref hold = Ref::new_ref(self);
  QV_TRY_ARG(const std::u32string term, "term", to_code_points(slots[0]));
  QV_TRY_ASSIGN(const VideoQuery query, video_options(slots[1], slots[2], slots[3], slots[4]));
  return fuzzy_match_video_impl(trie, term, query);
}

PyResult<Ref> to_bytes_call(ViewOf view_of, PyObject* self) {
  QV_TRY_ASSIGN(const TrieView trie, view_of(self));
  const Ref hold = Ref::new_ref(self);
  return snapshot_bytes(trie);
}

}  // namespace quorvatel::py
