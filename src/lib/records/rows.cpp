#include "lib/records/rows.hpp"

#include <array>
#include <cstring>
#include <string>

#include "lib/convert.hpp"
#include "lib/messages.hpp"

namespace quorvatel::py {
namespace {

/// TypeError or ValueError "row {row}: {problem}" with a `row` attribute.
PyError row_error(PyObject* type, std::size_t row, std::string_view problem) {
  PyError error = PyError::make(type, messages::row_problem(row, problem));
  const Ref index = Ref::steal(PyLong_FromSize_t(row));
  if (!index || PyObject_SetAttrString(error.exception(), "row", index.get()) < 0)
    return PyError::fetch();
  return error;
}

/// The uuid.UUID class, imported on first use and kept for the process, and
/// where its instances keep their `int`: the class stores it in a slot, so a
/// plain UUID's value is read straight from the object instead of through an
/// attribute lookup per row. Subclasses, which may redefine `int`, and a
/// class without that slot go through the lookup.
struct UuidClass {
  PyTypeObject* type = nullptr;
  Py_ssize_t int_offset = -1;
  PyObject* int_name = nullptr;

  /// The `int` of a UUID as a borrowed reference, or null when the fast
  /// way does not apply.
  [[nodiscard]] PyObject* slot_value(PyObject* uuid) const noexcept {
    if (int_offset < 0 || Py_TYPE(uuid) != type)
      return nullptr;
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(uuid) + int_offset);
  }
};

PyResult<const UuidClass*> uuid_class() {
  static UuidClass cls;
  if (cls.type == nullptr) {
    const Ref module = Ref::steal(PyImport_ImportModule("uuid"));
    if (!module)
      return py_fetch();
    Ref found = Ref::steal(PyObject_GetAttrString(module.get(), "UUID"));
    if (!found)
      return py_fetch();
    if (!PyType_Check(found.get()))
      return py_fail(PyExc_TypeError, messages::kUuidNotAClass);
    Ref name = Ref::steal(PyUnicode_InternFromString("int"));
    if (!name)
      return py_fetch();
    Py_ssize_t offset = -1;
    if (PyObject* descriptor = PyDict_GetItemWithError(reinterpret_cast<PyTypeObject*>(found.get())->tp_dict,
                                                       name.get());
        descriptor != nullptr && Py_IS_TYPE(descriptor, &PyMemberDescr_Type)) {
      const PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(descriptor)->d_member;
      if (member->type == Py_T_OBJECT_EX)
        offset = member->offset;
    }
    if (PyErr_Occurred())
      return py_fetch();
    cls.int_offset = offset;
    cls.int_name = name.release();
    cls.type = reinterpret_cast<PyTypeObject*>(found.release());  // both kept for the process
  }
  return &cls;
}

/// UUID.bytes: the 128-bit `int` in big-endian order. False for anything
/// else, with no error pending.
bool uuid_bytes(PyObject* value, VideoUuid& out) noexcept {
  if (!PyLong_Check(value))
    return false;
  const Py_ssize_t needed =
      PyLong_AsNativeBytes(value, out.data(), 16,
                           Py_ASNATIVEBYTES_BIG_ENDIAN | Py_ASNATIVEBYTES_UNSIGNED_BUFFER |
                               Py_ASNATIVEBYTES_REJECT_NEGATIVE);
  if (needed < 0 || needed > 16) {
    PyErr_Clear();
    return false;
  }
  return true;
}

enum class IdKind : std::uint8_t { None, Int, Uuid };

class RowReader {
 public:
  RowReader(RecordsBuilder& builder, const UuidClass& uuid) : builder_(builder), uuid_(uuid) {}

  PyResult<void> read(std::size_t row, PyObject* record) {
    std::array<Ref, 3> items;
    QV_TRY(unpack(row, record, items));
    QV_TRY_ASSIGN(const std::uint32_t term, term_of(row, items[0].get()));
    QV_TRY_ASSIGN(const std::uint32_t video, video_of(row, items[1].get()));
    QV_TRY_ASSIGN(const std::uint32_t count, count_of(row, items[2].get()));
    builder_.add(term, video, count);
    return {};
  }

 private:
  PyResult<void> unpack(std::size_t row, PyObject* record, std::array<Ref, 3>& items) {
    if (PyTuple_CheckExact(record) || PyList_CheckExact(record)) {
      const Py_ssize_t size = Py_SIZE(record);
      if (size != 3)
        return std::unexpected(row_error(PyExc_ValueError, row, messages::record_size(size)));
      PyObject** array = PySequence_Fast_ITEMS(record);
      // Converting an item may run host code that changes a list; each item
      // is held for the row.
      for (std::size_t k = 0; k < 3; ++k)
        items[k] = Ref::new_ref(array[k]);
      return {};
    }
    if (PyUnicode_Check(record) || PyBytes_Check(record) || PyByteArray_Check(record) || !PySequence_Check(record))
      return std::unexpected(row_error(PyExc_TypeError, row, messages::record_not_a_sequence(type_qualname(record))));
    const Py_ssize_t size = PySequence_Size(record);
    if (size < 0)
      return py_fetch();
    if (size != 3)
      return std::unexpected(row_error(PyExc_ValueError, row, messages::record_size(size)));
    for (std::size_t k = 0; k < 3; ++k) {
      items[k] = Ref::steal(PySequence_GetItem(record, static_cast<Py_ssize_t>(k)));
      if (!items[k])
        return py_fetch();
    }
    return {};
  }

  PyResult<std::uint32_t> term_of(std::size_t row, PyObject* term) {
    // Rows of one term often share its str object; holding the last one
    // keeps its address from being reused by another string meanwhile.
    if (term == last_term_.get())
      return last_term_id_;
    if (!PyUnicode_Check(term))
      return std::unexpected(row_error(PyExc_TypeError, row, messages::term_not_str(type_qualname(term))));
    // A subclass may hash differently; its text is hashed as a plain str.
    Ref exact;
    PyObject* text = term;
    if (!PyUnicode_CheckExact(term)) {
      exact = Ref::steal(PyUnicode_FromObject(term));
      if (!exact)
        return py_fetch();
      text = exact.get();
    }
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    if (length == 0)
      return std::unexpected(row_error(PyExc_ValueError, row, messages::kEmptyTerm));
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    if (kind == PyUnicode_1BYTE_KIND) {
      // Only U+0000 can be wrong in a one-byte string.
      if (const void* zero = std::memchr(data, 0, static_cast<std::size_t>(length)))
        return std::unexpected(nul_error(row, static_cast<const char*>(zero) - static_cast<const char*>(data)));
    } else {
      for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c == 0)
          return std::unexpected(nul_error(row, i));
        if (c >= 0xD800 && c <= 0xDFFF) [[unlikely]]
          return std::unexpected(row_error(PyExc_ValueError, row, messages::term_has_surrogate(c, i)));
      }
    }
    const Py_hash_t hash = PyObject_Hash(text);
    if (hash == -1)
      return py_fetch();
    const auto size = static_cast<std::size_t>(length);
    const auto key = static_cast<std::uint64_t>(hash);
    std::uint32_t id = 0;
    switch (kind) {
      case PyUnicode_1BYTE_KIND:
        id = builder_.term(key, std::span(static_cast<const std::uint8_t*>(data), size));
        break;
      case PyUnicode_2BYTE_KIND:
        id = builder_.term(key, std::span(static_cast<const std::uint16_t*>(data), size));
        break;
      default:
        id = builder_.term(key, std::span(static_cast<const std::uint32_t*>(data), size));
        break;
    }
    last_term_ = Ref::new_ref(term);
    last_term_id_ = id;
    return id;
  }

  static PyError nul_error(std::size_t row, std::ptrdiff_t at) {
    return row_error(PyExc_ValueError, row, messages::term_has_nul(at));
  }

  PyResult<void> check_kind(std::size_t row, IdKind kind) {
    if (kind_ == IdKind::None) {
      kind_ = kind;
    } else if (kind != kind_) {
      return std::unexpected(row_error(PyExc_ValueError, row, messages::video_kinds_mixed(kind == IdKind::Int)));
    }
    return {};
  }

  PyResult<std::uint32_t> video_of(std::size_t row, PyObject* id) {
    if (id == Py_None)
      return kNoVideo;
    if (PyBool_Check(id))
      return std::unexpected(row_error(PyExc_TypeError, row, messages::video_id_type("bool")));
    if (PyBytes_Check(id)) {
      if (PyBytes_GET_SIZE(id) != 16)
        return std::unexpected(row_error(PyExc_ValueError, row, messages::video_bytes_length(PyBytes_GET_SIZE(id))));
      QV_TRY(check_kind(row, IdKind::Uuid));
      VideoUuid uuid;
      std::memcpy(uuid.data(), PyBytes_AS_STRING(id), 16);
      return builder_.uuid_video(uuid);
    }
    if (PyObject_TypeCheck(id, uuid_.type)) {
      QV_TRY(check_kind(row, IdKind::Uuid));
      Ref held;
      PyObject* value = uuid_.slot_value(id);
      if (value == nullptr) {
        held = Ref::steal(PyObject_GetAttr(id, uuid_.int_name));
        if (!held)
          return py_fetch();
        value = held.get();
      }
      VideoUuid uuid{};
      if (!uuid_bytes(value, uuid))
        return std::unexpected(row_error(PyExc_ValueError, row, messages::kUuidIntWidth));
      return builder_.uuid_video(uuid);
    }
    if (PyLong_Check(id) || PyIndex_Check(id)) {
      QV_TRY_ASSIGN(const std::uint32_t value, u32_of(row, id, "video id"));
      QV_TRY(check_kind(row, IdKind::Int));
      return builder_.int_video(value);
    }
    return std::unexpected(row_error(PyExc_TypeError, row, messages::video_id_type(type_qualname(id))));
  }

  PyResult<std::uint32_t> count_of(std::size_t row, PyObject* count) {
    if (PyBool_Check(count) || !(PyLong_Check(count) || PyIndex_Check(count)))
      return std::unexpected(row_error(PyExc_TypeError, row, messages::count_type(type_qualname(count))));
    return u32_of(row, count, "count");
  }

  /// An int (or an object with __index__) in 0..2^32-1.
  static PyResult<std::uint32_t> u32_of(std::size_t row, PyObject* object, std::string_view what) {
    const Ref index = Ref::steal(PyNumber_Index(object));
    if (!index)
      return py_fetch();
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (value == -1 && PyErr_Occurred())
      return py_fetch();
    if (overflow != 0 || value < 0 || value > static_cast<long long>(kCountMax))
      return std::unexpected(row_error(PyExc_ValueError, row, messages::outside_u32(what, str_or(index.get(), "?"))));
    return static_cast<std::uint32_t>(value);
  }

  RecordsBuilder& builder_;
  const UuidClass& uuid_;
  IdKind kind_ = IdKind::None;
  Ref last_term_;
  std::uint32_t last_term_id_ = 0;
};

/// Fetches the objects of the rows a few steps ahead of the one being read,
/// one level per stage: the row, then its items, then what they point to (a
/// UUID's int) and the slots their term and video will be looked up in. Rows
/// lie wherever the host allocated them, so reading them in order would wait
/// on memory at every step. Only exact tuples, str, bytes, ints and UUIDs are
/// looked into, whose reading runs no host code, and the container is read
/// afresh each time, since host code run by a conversion may change a list.
void prefetch_ahead(PyObject* records, Py_ssize_t i, const RecordsBuilder& builder, const UuidClass& uuid) {
  constexpr Py_ssize_t kStage = 4;
  const Py_ssize_t n = Py_SIZE(records);
  PyObject** rows = PySequence_Fast_ITEMS(records);
  auto items_of = [&](Py_ssize_t ahead) -> PyObject** {
    if (i + ahead >= n)
      return nullptr;
    PyObject* row = rows[i + ahead];
    return PyTuple_CheckExact(row) && PyTuple_GET_SIZE(row) == 3 ? PySequence_Fast_ITEMS(row) : nullptr;
  };
  if (i + 4 * kStage < n)
    __builtin_prefetch(rows[i + 4 * kStage]);
  if (PyObject** items = items_of(3 * kStage)) {
    __builtin_prefetch(items[0]);
    __builtin_prefetch(reinterpret_cast<const char*>(items[0]) + 64);
    __builtin_prefetch(items[1]);
    __builtin_prefetch(items[2]);
  }
  if (PyObject** items = items_of(2 * kStage)) {
    if (PyUnicode_CheckExact(items[0]))
      builder.prefetch_term(static_cast<std::uint64_t>(PyObject_Hash(items[0])));  // then cached in the str
    PyObject* video = items[1];
    if (PyBytes_CheckExact(video) && PyBytes_GET_SIZE(video) == 16) {
      VideoUuid id;
      std::memcpy(id.data(), PyBytes_AS_STRING(video), 16);
      builder.prefetch_uuid_video(id);
    } else if (PyLong_CheckExact(video)) {
      int overflow = 0;
      const long value = PyLong_AsLongAndOverflow(video, &overflow);
      if (overflow == 0 && value >= 0 && value <= static_cast<long>(kCountMax))
        builder.prefetch_int_video(static_cast<std::uint32_t>(value));
    } else if (PyObject* value = uuid.slot_value(video)) {
      __builtin_prefetch(value);
    }
  }
  if (PyObject** items = items_of(kStage)) {
    VideoUuid id;
    if (PyObject* value = uuid.slot_value(items[1]); value != nullptr && uuid_bytes(value, id))
      builder.prefetch_uuid_video(id);
  }
}

}  // namespace

PyResult<void> read_records(PyObject* records, RecordsBuilder& builder) {
  QV_TRY_ASSIGN(const UuidClass* const uuid, uuid_class());
  RowReader reader(builder, *uuid);
  // Long inputs give Ctrl-C a chance now and then.
  auto signals = [](std::size_t row) -> PyResult<void> {
    if ((row & 0xFFFF) == 0xFFFF && PyErr_CheckSignals() < 0)
      return py_fetch();
    return {};
  };
  if (PyList_CheckExact(records) || PyTuple_CheckExact(records)) {
    // A list's live size is read at each step: host code run by a conversion
    // may change it.
    for (Py_ssize_t i = 0; i < Py_SIZE(records); ++i) {
      prefetch_ahead(records, i, builder, *uuid);
      const Ref record = Ref::new_ref(PyList_CheckExact(records) ? PyList_GET_ITEM(records, i)
                                                                 : PyTuple_GET_ITEM(records, i));
      QV_TRY(reader.read(static_cast<std::size_t>(i), record.get()));
      QV_TRY(signals(static_cast<std::size_t>(i)));
    }
    return {};
  }
  const Ref iterator = Ref::steal(PyObject_GetIter(records));
  if (!iterator)
    return py_fetch();
  for (std::size_t row = 0;; ++row) {
    const Ref record = Ref::steal(PyIter_Next(iterator.get()));
    if (!record)
      break;
    QV_TRY(reader.read(row, record.get()));
    QV_TRY(signals(row));
  }
  if (PyErr_Occurred())
    return py_fetch();
  return {};
}

}  // namespace quorvatel::py
