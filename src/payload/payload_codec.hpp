// Snapshot form of payloads: each node's optional Payload is a tag byte (0
// absent, 1 present), and a present one is followed by its count (u32 varint),
// its video_ids and its video_counts (each a u64 varint length, then u32
// varints). The two lists carry their own lengths and are read as they are.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "payload/payload.hpp"
#include "snapshot/decode_error.hpp"
#include "snapshot/reader.hpp"
#include "snapshot/varint.hpp"
#include "snapshot/writer.hpp"

namespace quorvatel::snapshot {

/// The type name an invalid payload tag is reported under.
inline constexpr std::string_view kPayloadTypeName = "core::option::Option<quorvatel::payload::Payload>";

template <ByteWriter W>
void encode_payload(W& out, const std::optional<PayloadView>& payload) noexcept {
  if (!payload) {
    out.put(std::uint8_t{0});
    return;
  }
  out.put(std::uint8_t{1});
  write_varint(out, payload->count);
  write_varint(out, payload->ids_len);
  for (std::size_t i = 0; i < payload->ids_len; ++i)
    write_varint(out, payload->entries[i].id);
  write_varint(out, payload->counts_len);
  for (std::size_t i = 0; i < payload->counts_len; ++i)
    write_varint(out, payload->entries[i].count);
}

/// The payloads field: the slot count, then one optional record per slot.
template <ByteWriter W>
void encode_payloads(W& out, const PayloadTable& table) noexcept {
  write_varint(out, table.size());
  for (std::size_t slot = 0; slot < table.size(); ++slot) {
    if (table.present_unchecked(slot))
      encode_payload(out, table.view_unchecked(slot));
    else
      encode_payload(out, std::nullopt);
  }
}

/// Reads optional payload records and appends each to a table. A record's
/// ids and counts are read into the two halves of one scratch entry list that
/// is kept from one record to the next, so a table is read without an
/// allocation per node and a consistent record is appended in one copy.
class PayloadDecoder {
 public:
  /// Reads one record and appends it (absent or present) to `table`.
  [[nodiscard]] std::expected<void, DecodeError> decode_into(Reader& in, PayloadTable& table);

 private:
  /// Appends a record whose lists have different lengths.
  void push_ragged(PayloadTable& table, std::uint32_t count, std::size_t ids_len, std::size_t counts_len);

  std::vector<VideoEntry> scratch_;
  std::vector<std::uint32_t> ragged_ids_;
  std::vector<std::uint32_t> ragged_counts_;
};

/// Reads the payloads field (a u64 varint slot count, then the records).
[[nodiscard]] std::expected<void, DecodeError> decode_payloads(Reader& in, PayloadTable& table);

}  // namespace quorvatel::snapshot
