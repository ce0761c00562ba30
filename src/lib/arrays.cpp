#include "lib/arrays.hpp"

#include <algorithm>

#include "lib/convert.hpp"
#include "lib/messages.hpp"

namespace quorvatel::py {
namespace {

/// One payload tuple (count, video_ids, video_counts) appended to `table`;
/// `ids` and `counts` are scratch space reused from entry to entry.
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

}  // namespace

PyResult<std::vector<char32_t>> to_labels(PyObject* object) { return to_vector<char32_t>(object, to_label); }

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

PyResult<PayloadTable> to_payload_table(const std::vector<Ref>& entries) {
  std::vector<std::size_t> present;  // the nodes with a payload
  for (std::size_t i = 0; i < entries.size(); ++i)
    if (entries[i])
      present.push_back(i);
  PayloadTable table;
  table.reserve(entries.size(), 0);
  std::vector<std::uint32_t> ids;
  std::vector<std::uint32_t> counts;
  const PayloadPrefetch prefetch(entries, present);
  std::size_t converted = 0;
  for (const Ref& entry : entries) {
    if (entry) {
      prefetch.ahead_of(converted++);
      QV_TRY(push_payload(entry.get(), table, ids, counts));
    } else {
      table.push_absent();
    }
  }
  return table;
}

}  // namespace quorvatel::py
