// MappedIndex: an index read in place from a mapped file (see
// prefix/mapped/mapped_format.hpp). It owns its mapping, which it unmaps
// when collected, and is immutable; every call holds a reference to it, so
// the mapping outlives the call. It answers fuzzy_match, fuzzy_match_video
// and to_bytes through the same code as PrefixSearch, and the package's
// search functions accept it (lib/index_access.hpp).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "lib/errors.hpp"
#include "prefix/mapped/file_mapping.hpp"
#include "prefix/mapped/mapped_format.hpp"

namespace quorvatel::py {

struct MappedIndexObject {
  PyObject_HEAD
  mapped::FileMapping mapping;
  /// Views over `mapping`, set when the instance is made.
  mapped::MappedView view;
  /// Whether the ranked search may read the view, proved on its first call
  /// (mapped::searchable_problem) and kept: unknown, yes, or no, with
  /// `refused` saying why.
  enum class Searchable : std::uint8_t { Unknown, Yes, No } searchable;
  std::string refused;
};

/// Creates the type (once per process) and adds it to `module` as "MappedIndex".
[[nodiscard]] PyResult<void> add_mapped_index_type(PyObject* module);

/// The instance `object` when it is a MappedIndex, else null.
[[nodiscard]] const MappedIndexObject* as_mapped_index(PyObject* object) noexcept;

/// The views of `object` when it is a MappedIndex, else nullopt. Its bounds
/// carry the reason as their problem when the ranked search may not read
/// the view (proved on the first call, with the interpreter lock held).
[[nodiscard]] std::optional<mapped::MappedView> mapped_index_view(PyObject* object);

/// open_mapped(path, verify): the MappedIndex of the file at `path`.
PyObject* open_mapped_function(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
/// write_mapped(index, fd): writes the mapped file of a PrefixSearch or a
/// MappedIndex to the open file descriptor `fd`.
PyObject* write_mapped_function(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

inline constexpr const char* kOpenMappedDoc =
    "open_mapped(path, verify)\n--\n\n"
    "The MappedIndex of the mapped file at path; with verify, its checksum is checked too.";
inline constexpr const char* kWriteMappedDoc =
    "write_mapped(index, fd)\n--\n\n"
    "Writes the mapped file of index (a PrefixSearch or a MappedIndex) to the file descriptor fd.";

}  // namespace quorvatel::py
