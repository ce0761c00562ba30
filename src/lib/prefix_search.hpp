// The PrefixSearch type: an object header followed by the trie it owns and
// what the package's ranked completion derives from the trie.
//
// The package's private module reads instances through this definition too
// (lib/index_access.hpp), guarded by the type's basic size.
#pragma once

#include <optional>

#include "lib/errors.hpp"
#include "prefix/complete/subtree_bounds.hpp"
#include "prefix/trie/trie.hpp"

namespace quorvatel::py {

struct PrefixSearchObject {
  PyObject_HEAD
  Trie trie;
  /// Derived from `trie` by the first search that needs them (under the
  /// interpreter lock, before any work without it), then never changed: an
  /// index that is never searched this way neither pays for nor holds them.
  std::optional<complete::SubtreeBounds> bounds;
};

/// The type object, created on first use from its PyType_Spec and kept for the
/// process. Faults when the interpreter cannot create it.
[[nodiscard]] PyTypeObject* prefix_search_type();

/// A new instance owning `trie` (its subtree bounds not derived yet); MemoryError
/// when it cannot be allocated.
[[nodiscard]] PyResult<Ref> new_prefix_search(Trie&& trie);

/// The trie of `self`, or TypeError when `self` is not a PrefixSearch.
[[nodiscard]] PyResult<const Trie*> trie_of(PyObject* self);

/// The method table (defined with the methods).
extern PyMethodDef prefix_search_methods[];

}  // namespace quorvatel::py
