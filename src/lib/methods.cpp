// The five methods of PrefixSearch. Each is a thin wrapper that binds and
// converts its arguments, then calls an _impl that takes plain values.
#include <array>
#include <optional>

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

// ------------------------------------------------------------------ conversions

/// R8: an empty slot or None is absent; anything else goes through `convert`.
template <class Convert>
auto optional_of(PyObject* slot, Convert&& convert)
    -> PyResult<std::optional<typename std::invoke_result_t<Convert, PyObject*>::value_type>> {
  using T = typename std::invoke_result_t<Convert, PyObject*>::value_type;
  if (slot == nullptr || slot == Py_None)
    return std::optional<T>();
  QV_TRY_ASSIGN(T value, convert(slot));
  return std::optional<T>(std::move(value));
}

PyResult<std::vector<char32_t>> to_labels(PyObject* object) { return to_vector<char32_t>(object, to_label); }

/// Payload entries are kept as references (null for None) for the build to examine.
PyResult<std::vector<Ref>> to_payload_refs(PyObject* object) {
  std::vector<Ref> out;
  if (PyList_CheckExact(object)) {
    // Taking a reference runs no host code, so the list cannot change meanwhile.
    const Py_ssize_t size = PyList_GET_SIZE(object);
    snapshot::reserve_advised(out, static_cast<std::size_t>(size));
    out.resize(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i)
      if (PyObject* item = PyList_GET_ITEM(object, i); item != Py_None)
        out[static_cast<std::size_t>(i)] = Ref::new_ref(item);
    return out;
  }
  QV_TRY(for_each_item(
      object, [&](std::size_t n) { out.reserve(n); },
      [&](PyObject* item) -> PyResult<void> {
        out.push_back(item == Py_None ? Ref() : Ref::new_ref(item));
        return {};
      }));
  return out;
}

/// video_index: byte strings, each a bytes object or a sequence of 0..255.
PyResult<ByteRows> to_byte_rows(PyObject* object) {
  ByteRows rows;
  QV_TRY(for_each_item(
      object, [&](std::size_t n) { rows.reserve(n, 16 * n); },
      [&](PyObject* item) -> PyResult<void> {
        if (PyBytes_CheckExact(item)) {
          rows.push_row(std::span(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(item)),
                                  static_cast<std::size_t>(PyBytes_GET_SIZE(item))));
          return {};
        }
        QV_TRY(for_each_item(
            item, [](std::size_t) {},
            [&](PyObject* byte) -> PyResult<void> {
              QV_TRY_ASSIGN(const std::uint8_t value, to_u8(byte));
              rows.push_byte(value);
              return {};
            }));
        rows.end_row();
        return {};
      }));
  return rows;
}

/// One payload tuple (count, video_ids, video_counts). These conversions are
/// part of the build, so their errors name no argument.
PyResult<void> push_payload(PyObject* entry, PayloadTable& table, std::vector<std::uint32_t>& ids,
                            std::vector<std::uint32_t>& counts) {
  if (!PyTuple_Check(entry))
    return std::unexpected(type_mismatch(entry, "PyTuple"));
  if (PyTuple_GET_SIZE(entry) != 3)
    return py_fail(PyExc_ValueError, messages::kPayloadTupleSize);
  QV_TRY_ASSIGN(const std::uint32_t count, to_u32(PyTuple_GET_ITEM(entry, 0)));
  auto fill = [](PyObject* seq, std::vector<std::uint32_t>& out) {
    out.clear();
    return for_each_item(
        seq, [&](std::size_t n) { out.reserve(n); },
        [&](PyObject* item) -> PyResult<void> {
          QV_TRY_ASSIGN(const std::uint32_t value, to_u32(item));
          out.push_back(value);
          return {};
        });
  };
  QV_TRY(fill(PyTuple_GET_ITEM(entry, 1), ids));
  QV_TRY(fill(PyTuple_GET_ITEM(entry, 2), counts));
  if (ids.size() != counts.size())
    return std::unexpected(PyError::from(payload_length_mismatch()));
  table.push(count, ids, counts);
  return {};
}

// ------------------------------------------------------------------ prefetching

/// The payload tuples, their lists and the ints in them lie wherever the
/// host allocated them, which is rarely node order, so reading them in node
/// order waits on memory at every step. These hints fetch an entry's objects
/// a few entries ahead, one level per stage: the tuple, then its members,
/// then each list's item array, then the items. Every stage reads only
/// objects alive at that moment (the entries hold the tuples, the tuples their
/// members) and re-reads the pointers it follows, so host code run by a
/// conversion in between can make a hint useless but never unsafe.
///
/// Most nodes of a trie carry no payload, so the distance ahead is counted
/// in payloads present (`present` lists their nodes), not in nodes.
class PayloadPrefetch {
 public:
  PayloadPrefetch(const std::vector<Ref>& entries, const std::vector<std::size_t>& present)
      : entries_(entries), present_(present) {}

  /// Called before converting the k-th payload present.
  void ahead_of(std::size_t k) const noexcept {
    // Each stage needs the previous one's line to have arrived: a memory
    // round trip is several entries' worth of work.
    hint(at(k + 4 * kStage));
    members(at(k + 3 * kStage));
    list_arrays(at(k + 2 * kStage));
    list_items(at(k + kStage));
  }

 private:
  static void hint(const void* p) noexcept {
    if (p != nullptr)
      __builtin_prefetch(p);
  }
  static PyObject* member(PyObject* entry, Py_ssize_t k) noexcept {
    return entry != nullptr && PyTuple_CheckExact(entry) && PyTuple_GET_SIZE(entry) == 3 ? PyTuple_GET_ITEM(entry, k)
                                                                                          : nullptr;
  }
  static void members(PyObject* entry) noexcept {
    for (Py_ssize_t k = 0; k < 3; ++k)
      hint(member(entry, k));
  }
  static void list_arrays(PyObject* entry) noexcept {
    for (Py_ssize_t k = 1; k < 3; ++k)
      if (PyObject* list = member(entry, k); list != nullptr && PyList_CheckExact(list))
        hint(reinterpret_cast<PyListObject*>(list)->ob_item);
  }
  static void list_items(PyObject* entry) noexcept {
    for (Py_ssize_t k = 1; k < 3; ++k) {
      PyObject* list = member(entry, k);
      if (list == nullptr || !PyList_CheckExact(list))
        continue;
      const Py_ssize_t size = std::min<Py_ssize_t>(PyList_GET_SIZE(list), 8);
      for (Py_ssize_t j = 0; j < size; ++j)
        hint(PyList_GET_ITEM(list, j));
    }
  }

  [[nodiscard]] PyObject* at(std::size_t k) const noexcept {
    return k < present_.size() ? entries_[present_[k]].get() : nullptr;
  }

  static constexpr std::size_t kStage = 10;
  const std::vector<Ref>& entries_;
  const std::vector<std::size_t>& present_;
};

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
  std::vector<std::size_t> present;  // the nodes with a payload
  for (std::size_t i = 0; i < payloads.size(); ++i) {
    terminal_flags[i] = payloads[i] ? 1 : 0;
    if (payloads[i])
      present.push_back(i);
  }
  PayloadTable table;
  table.reserve(payloads.size(), 0);
  std::vector<std::uint32_t> ids;
  std::vector<std::uint32_t> counts;
  const PayloadPrefetch prefetch(payloads, present);
  std::size_t converted = 0;
  for (std::size_t i = 0; i < payloads.size(); ++i) {
    if (PyObject* entry = payloads[i].get()) {
      prefetch.ahead_of(converted++);
      QV_TRY(push_payload(entry, table, ids, counts));
    } else {
      table.push_absent();
    }
  }
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

PyResult<Ref> fuzzy_match_impl(const Trie& trie, std::u32string_view term, std::uint32_t max_dist,
                               std::optional<std::uint64_t> limit) {
  SignalCheck signals;
  const std::vector<MatchResult> matches = fuzzy_match(trie, term, WalkOptions{max_dist, limit, &signals});
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
    std::uint32_t max_dist = 1;
    if (slots[1] != nullptr) {
      QV_TRY_ARG(max_dist, "max_dist", to_u32(slots[1]));
    }
    QV_TRY_ARG(const auto limit, "limit", optional_of(slots[2], to_u64));
    return fuzzy_match_impl(*trie, term, max_dist, limit);
  });
}

PyObject* fuzzy_match_video_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyResult<Ref> {
    std::array<PyObject*, 5> slots{};
    QV_TRY(bind(kVideoSignature, args, nargsf, kwnames, slots));
    QV_TRY_ASSIGN(const Trie* trie, trie_of(self));
    const Ref hold = Ref::new_ref(self);
    QV_TRY_ARG(const std::u32string term, "term", to_code_points(slots[0]));
    VideoQuery query;
    if (slots[1] != nullptr) {
      QV_TRY_ARG(query.max_dist, "max_dist", to_u32(slots[1]));
    }
    QV_TRY_ARG(query.limit, "limit", optional_of(slots[2], to_u64));
    QV_TRY_ARG(query.include_prefix_nodes, "include_prefix_nodes", optional_of(slots[3], to_bool));
    QV_TRY_ARG(query.min_score, "min_score", optional_of(slots[4], to_double));
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
