// The flat arrays of from_internal_data_v2 as plain values: labels, payload
// entries kept as references for the build to examine, and the video index.
#pragma once

#include <cstdint>
#include <vector>

#include "lib/errors.hpp"
#include "payload/payload.hpp"
#include "prefix/trie/builder.hpp"

namespace quorvatel::py {

/// child_labels: each item's first code point, 0 for an empty string.
[[nodiscard]] PyResult<std::vector<char32_t>> to_labels(PyObject* object);

/// payloads: a new reference to every item, null for None. The items are
/// examined by the build (to_payload_table), not here.
[[nodiscard]] PyResult<std::vector<Ref>> to_payload_refs(PyObject* object);

/// video_index: byte strings, each a bytes object or a sequence of 0..255.
[[nodiscard]] PyResult<ByteRows> to_byte_rows(PyObject* object);

/// The payload entries as a table, in node order: each present one a
/// (count, video_ids, video_counts) tuple, each null one absent. These
/// conversions are part of the build, so their errors name no argument.
[[nodiscard]] PyResult<PayloadTable> to_payload_table(const std::vector<Ref>& entries);

}  // namespace quorvatel::py
