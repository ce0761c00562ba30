// Snapshot form of payloads: each node's optional Payload is a tag byte (0
// absent, 1 present), and a present one is followed by its count (u32 varint),
// its video_ids and its video_counts (each a u64 varint length, then u32
// varints). The two lists carry their own lengths and are read as they are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string_view>

#include "payload/payload.hpp"
#include "snapshot/decode_error.hpp"
#include "snapshot/reader.hpp"
#include "snapshot/writer.hpp"

namespace quorvatel::snapshot {

/// The type name an invalid payload tag is reported under.
inline constexpr std::string_view kPayloadTypeName = "core::option::Option<quorvatel::payload::Payload>";

/// Bytes of the payloads field of `table`: the slot count, then one optional
/// record per slot (a payload shared by several slots is written for each).
[[nodiscard]] std::size_t payloads_size(const PayloadTableView& table) noexcept;

/// Writes the payloads field. A slot that holds the same record as its
/// parent, when the parent's only edge leads to it, copies the bytes just
/// written for the parent; the edges may be anything a snapshot holds, the
/// bytes are the same. Stops the process rather than write past the end
/// of `out` (a sizing bug in the caller).
void write_payloads(SpanWriter& out, const PayloadTableView& table, std::span<const std::uint32_t> node_shifts,
                    std::span<const std::uint32_t> child_transitions) noexcept;

/// Reads the payloads field (a u64 varint slot count, then the records) into
/// an empty table. Records are written straight into the table's storage. The
/// trie's edges, read before the payloads, say which nodes are their
/// parent's only child: such a node whose record repeats its parent's bytes
/// shares the parent's stored payload instead of a copy. The edges may be
/// anything a snapshot holds; they only decide what is compared.
[[nodiscard]] std::expected<void, DecodeError> decode_payloads(Reader& in, PayloadTable& table,
                                                               std::span<const std::uint32_t> node_shifts,
                                                               std::span<const std::uint32_t> child_transitions);

}  // namespace quorvatel::snapshot
