#include "payload/payload_codec.hpp"

#include "core/result.hpp"

namespace quorvatel::snapshot {

std::expected<void, DecodeError> PayloadDecoder::decode_into(Reader& in, PayloadTable& table) {
  QV_TRY_ASSIGN(const std::uint8_t tag, in.read_byte());
  if (tag == 0) {
    table.push_absent();
    return {};
  }
  if (tag != 1) [[unlikely]]
    return std::unexpected(DecodeError::unexpected_variant(kPayloadTypeName, tag));
  QV_TRY_ASSIGN(const std::uint32_t count, read_u32(in));

  // Both lists fill the scratch from its start: ids into the id halves, then
  // counts into the count halves. The scratch only grows, as values arrive.
  std::size_t filled = 0;
  const auto grow = [this, &filled](std::size_t k) {
    if (scratch_.size() < filled + k)
      scratch_.resize(filled + k);
    VideoEntry* slots = scratch_.data() + filled;
    filled += k;
    return slots;
  };
  QV_TRY_ASSIGN(const std::uint64_t ids_len, read_u64(in));
  QV_TRY(read_u32_run(in, ids_len, grow, [](VideoEntry& e, std::uint32_t v) { e.id = v; }));
  filled = 0;
  QV_TRY_ASSIGN(const std::uint64_t counts_len, read_u64(in));
  QV_TRY(read_u32_run(in, counts_len, grow, [](VideoEntry& e, std::uint32_t v) { e.count = v; }));

  // Both lengths were read in full, so each is at most the input's size.
  if (ids_len == counts_len) [[likely]]
    table.push(count, std::span<const VideoEntry>(scratch_.data(), static_cast<std::size_t>(ids_len)));
  else
    push_ragged(table, count, static_cast<std::size_t>(ids_len), static_cast<std::size_t>(counts_len));
  return {};
}

void PayloadDecoder::push_ragged(PayloadTable& table, std::uint32_t count, std::size_t ids_len,
                                 std::size_t counts_len) {
  ragged_ids_.resize(ids_len);
  ragged_counts_.resize(counts_len);
  for (std::size_t i = 0; i < ids_len; ++i)
    ragged_ids_[i] = scratch_[i].id;
  for (std::size_t i = 0; i < counts_len; ++i)
    ragged_counts_[i] = scratch_[i].count;
  table.push(count, ragged_ids_, ragged_counts_);
}

std::expected<void, DecodeError> decode_payloads(Reader& in, PayloadTable& table) {
  QV_TRY_ASSIGN(const std::uint64_t slots, read_u64(in));
  // Every record takes at least its tag byte. Video entries are not reserved
  // ahead: their number is known only once the records are read.
  table.reserve(in.reservation(slots, 1), 0);
  PayloadDecoder decoder;
  for (std::uint64_t i = 0; i < slots; ++i)
    QV_TRY(decoder.decode_into(in, table));
  return {};
}

}  // namespace quorvatel::snapshot
