// The indexes the package's functions accept, as the core reads them: a
// _quorvatel.PrefixSearch or a MappedIndex, each seen through the same
// read-only views, whoever owns the memory behind them.
#pragma once

#include "lib/errors.hpp"
#include "prefix/complete/subtree_bounds.hpp"
#include "prefix/trie/view.hpp"

namespace quorvatel::py {

/// An index held for the duration of a call.
struct IndexHold {
  Ref hold;  ///< keeps the index object (and the memory below) alive
  TrieView trie;
  complete::SubtreeBoundsView bounds;
};

/// The index `object`: a MappedIndex, or exactly a _quorvatel.PrefixSearch
/// (the extension of the same build; another build's is refused rather than
/// misread), else TypeError naming the parameter `name`.
[[nodiscard]] PyResult<IndexHold> index_of(PyObject* object, std::string_view name);

}  // namespace quorvatel::py
