// Snapshot form of payloads: each node's optional Payload is a tag byte (0
// absent, 1 present), and a present one is followed by its count (u32 varint),
// its video_ids and its video_counts (each a u64 varint length, then u32
// varints). The two lists carry their own lengths and are read as they are.
#pragma once

#include <cstddef>
#include <expected>
#include <string_view>

#include "payload/payload.hpp"
#include "snapshot/decode_error.hpp"
#include "snapshot/reader.hpp"
#include "snapshot/writer.hpp"

namespace quorvatel::snapshot {

/// The type name an invalid payload tag is reported under.
inline constexpr std::string_view kPayloadTypeName = "core::option::Option<quorvatel::payload::Payload>";

/// Bytes of the payloads field of `table`: the slot count, then one optional
/// record per slot.
[[nodiscard]] std::size_t payloads_size(const PayloadTable& table) noexcept;

/// Writes the payloads field. Stops the process rather than write past the
/// end of `out` (a sizing bug in the caller).
void write_payloads(SpanWriter& out, const PayloadTable& table) noexcept;

/// Reads the payloads field (a u64 varint slot count, then the records) into
/// an empty table. Records are written straight into the table's storage.
[[nodiscard]] std::expected<void, DecodeError> decode_payloads(Reader& in, PayloadTable& table);

}  // namespace quorvatel::snapshot
