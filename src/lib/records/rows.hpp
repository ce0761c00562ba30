// Reading host records into a RecordsBuilder: each row a (term, video id,
// count) sequence. A wrong row raises TypeError or ValueError "row {i}: ..."
// whose `row` attribute is the row's index.
#pragma once

#include <cstddef>

#include "lib/errors.hpp"
#include "prefix/trie/records.hpp"

namespace quorvatel::py {

/// Feeds every row of `records` (any iterable) to `builder`, stopping at the
/// first wrong row or at an error raised while iterating.
[[nodiscard]] PyResult<void> read_records(PyObject* records, RecordsBuilder& builder);

}  // namespace quorvatel::py
