// The indexes the package's search functions accept, as the core reads them.
// Today that is a _quorvatel.PrefixSearch; another kind of index (a mapped
// file) is one more case here.
#pragma once

#include "lib/errors.hpp"
#include "prefix/complete/subtree_bounds.hpp"
#include "prefix/trie/trie.hpp"

namespace quorvatel::py {

/// An index held for the duration of a call.
struct IndexHold {
  Ref hold;  ///< keeps the index object (and the memory below) alive
  const Trie* trie;
  const complete::SubtreeBounds* bounds;
};

/// The index `object`: exactly a _quorvatel.PrefixSearch (the extension of
/// the same build; another build's is refused rather than misread), else
/// TypeError naming the parameter `name`.
[[nodiscard]] PyResult<IndexHold> index_of(PyObject* object, std::string_view name);

}  // namespace quorvatel::py
