#include "payload/payload_codec.hpp"

#include <algorithm>
#include <cstdint>
#include <new>
#include <span>
#include <vector>

#include "core/result.hpp"
#include "snapshot/varint.hpp"

namespace quorvatel::snapshot {
namespace {

// ---------------------------------------------------------------- sizing

/// Bytes of a present record beyond its entries' values: tag, count and the
/// two lengths.
std::size_t record_head_size(std::uint32_t count, std::size_t ids_len, std::size_t counts_len) noexcept {
  return 1 + varint_size(count) + varint_size(ids_len) + varint_size(counts_len);
}

// ---------------------------------------------------------------- writing

/// Most bytes a present record with lists of `ids` and `counts` values can
/// take, with the 8-byte stores of put_u32_unchecked: tag, count, two
/// lengths, the values, and the slack of the last store.
constexpr std::size_t record_write_bound(std::size_t ids, std::size_t counts) noexcept {
  return 1 + 5 + 9 + 9 + 5 * (ids + counts) + 8;
}

/// Writes one present record at `p`, which has room for record_write_bound().
std::uint8_t* put_record(std::uint8_t* p, std::uint32_t count, std::span<const VideoEntry> entries,
                         std::size_t ids_len, std::size_t counts_len) noexcept {
  *p++ = 1;
  p += put_u32_unchecked(p, count);
  p += put_u64_unchecked(p, ids_len);
  for (std::size_t i = 0; i < ids_len; ++i)
    p += put_u32_unchecked(p, entries[i].id);
  p += put_u64_unchecked(p, counts_len);
  for (std::size_t i = 0; i < counts_len; ++i)
    p += put_u32_unchecked(p, entries[i].count);
  return p;
}

/// The same record through the checked writer, for the last bytes of the
/// output.
void write_record_checked(SpanWriter& out, std::uint32_t count, std::span<const VideoEntry> entries,
                          std::size_t ids_len, std::size_t counts_len) noexcept {
  out.put(std::uint8_t{1});
  write_varint(out, count);
  write_varint(out, ids_len);
  for (std::size_t i = 0; i < ids_len; ++i)
    write_varint(out, entries[i].id);
  write_varint(out, counts_len);
  for (std::size_t i = 0; i < counts_len; ++i)
    write_varint(out, entries[i].count);
}

// ---------------------------------------------------------------- reading

/// Bytes from a record's tag that the unchecked route may read for a
/// consistent record of `n` entries: tag, count (5) and ids length (9), the
/// ids, the counts length (9) right behind the last id, and the counts with
/// the look-ahead of the last one.
constexpr std::size_t kRecordFixed = 1 + 5 + 9 + 9 + 3;
constexpr std::size_t kRecordPerEntry = 10;

/// A first guess of the entries, before any record is read: small, so that
/// growing past it early costs little; later guesses extrapolate from the
/// records read.
constexpr std::size_t kFirstGuess = std::size_t{1} << 16;

/// Ids and counts of a record read on the checked route.
struct Scratch {
  std::vector<std::uint32_t> ids;
  std::vector<std::uint32_t> counts;
};

/// Reads up to `count` u32 varints into `out`, growing it only as values
/// arrive, with the values and error of reading them one by one.
std::expected<void, DecodeError> read_list_checked(Reader& in, std::uint64_t count, std::vector<std::uint32_t>& out) {
  out.clear();
  return read_u32_run(
      in, count,
      [&out](std::size_t k) {
        const std::size_t at = out.size();
        out.resize(at + k);
        return out.data() + at;
      },
      [](std::uint32_t& slot, std::uint32_t value) { slot = value; });
}

/// Reads one record with every item checked against the end of the input,
/// giving the errors of the format. Appends it to `loader` unless that is
/// null (a record that is read but cannot be held).
template <class Guess>
std::expected<void, DecodeError> read_record_checked(Reader& in, PayloadTable::Loader* loader, Scratch& scratch,
                                                     Guess&& guess) {
  QV_TRY_ASSIGN(const std::uint8_t tag, in.read_byte());
  if (tag == 0) {
    if (loader != nullptr)
      loader->absent();
    return {};
  }
  if (tag != 1) [[unlikely]]
    return std::unexpected(DecodeError::unexpected_variant(kPayloadTypeName, tag));
  QV_TRY_ASSIGN(const std::uint32_t count, read_u32(in));
  QV_TRY_ASSIGN(const std::uint64_t ids_len, read_u64(in));
  QV_TRY(read_list_checked(in, ids_len, scratch.ids));
  QV_TRY_ASSIGN(const std::uint64_t counts_len, read_u64(in));
  QV_TRY(read_list_checked(in, counts_len, scratch.counts));
  if (loader == nullptr)
    return {};
  // Both lists were read in full, so their lengths are those declared.
  const std::size_t ids = scratch.ids.size();
  const std::size_t counts = scratch.counts.size();
  const std::size_t longest = std::max(ids, counts);
  VideoEntry* room = loader->room(longest);
  if (room == nullptr)
    room = loader->grow(longest, guess(longest, in.current()));
  for (std::size_t i = 0; i < longest; ++i)
    room[i] = {i < ids ? scratch.ids[i] : 0, i < counts ? scratch.counts[i] : 0};
  if (ids == counts)
    loader->present(count, longest);
  else
    loader->present_ragged(count, ids, counts);
  return {};
}

/// Reads one record at `pos` without end checks; `end - pos` must be at
/// least kRecordFixed. Handles absent records and present ones whose two
/// lists have the same length and fit, unchecked, in the input. Anything else
/// (a ragged record, a list too long for the bytes left, a marker or tag the
/// format refuses) returns false with `pos` unchanged, for the checked route
/// to read again from the tag; entries it wrote into the loader's room by
/// then are rewritten by that route.
template <class Guess>
[[nodiscard]] inline bool read_record_fast(const std::uint8_t*& pos, const std::uint8_t* end,
                                           PayloadTable::Loader& loader, Guess&& guess) {
  const std::uint8_t* p = pos;
  const std::uint8_t tag = p[0];
  if (tag != 1) {
    if (tag != 0) [[unlikely]]
      return false;
    loader.absent();
    pos = p + 1;
    return true;
  }
  std::uint32_t count;
  std::uint64_t n;
  if (p[1] <= kMaxSingleByte && p[2] <= kMaxSingleByte) [[likely]] {
    // The usual head: a small count and a short list.
    count = p[1];
    n = p[2];
    p += 3;
  } else {
    std::size_t used = decode_u32_at(p + 1, count);
    if (used == 0) [[unlikely]]
      return false;
    p += 1 + used;
    used = decode_u64_at(p, n);
    if (used == 0) [[unlikely]]
      return false;
    p += used;
  }
  if (n > (static_cast<std::size_t>(end - pos) - kRecordFixed) / kRecordPerEntry) [[unlikely]]
    return false;
  const auto len = static_cast<std::size_t>(n);
  VideoEntry* room = loader.room(len);
  if (room == nullptr) [[unlikely]]
    room = loader.grow(len, guess(len, p));
  p = decode_u32s_unchecked(p, len, [room](std::size_t i, std::uint32_t v) { room[i].id = v; });
  if (p == nullptr) [[unlikely]]
    return false;
  if (n <= kMaxSingleByte && *p == n) [[likely]] {
    ++p;  // the counts length, in the one-byte form of the ids length
  } else {
    std::uint64_t m;
    const std::size_t used = decode_u64_at(p, m);
    if (used == 0 || m != n) [[unlikely]]
      return false;
    p += used;
  }
  p = decode_u32s_unchecked(p, len, [room](std::size_t i, std::uint32_t v) { room[i].count = v; });
  if (p == nullptr) [[unlikely]]
    return false;
  loader.present(count, len);
  pos = p;
  return true;
}

}  // namespace

std::size_t payloads_size(const PayloadTable& table) noexcept {
  const std::size_t slots = table.size();
  const auto counts = table.slot_counts();
  const auto offsets = table.entry_offsets();
  const auto entries = table.all_entries();

  // Every stored entry is written as its id and its count, except the zero
  // padding of the shorter list of a ragged slot (taken off below).
  std::size_t size = varint_size(slots) + slots;  // the length, and one tag per slot
  std::size_t extra = 0;
  for (std::size_t e = offsets[0]; e < offsets[slots]; ++e)
    extra += u32_extra_bytes(entries[e].id) + u32_extra_bytes(entries[e].count);
  size += 2 * static_cast<std::size_t>(offsets[slots] - offsets[0]) + extra;

  // Per present slot: count and two lengths (the tag is counted above).
  std::size_t heads = 0;
  for (std::size_t s = 0; s < slots; ++s) {
    const std::uint32_t length = offsets[s + 1] - offsets[s];
    const std::size_t present = table.present_unchecked(s) ? 1 : 0;
    heads += present * (3 + u32_extra_bytes(counts[s]) + 2 * u32_extra_bytes(length));
  }
  size += heads;

  if (table.ragged_slot_count() != 0) [[unlikely]] {
    for (std::size_t s = 0; s < slots; ++s) {
      if (!table.present_unchecked(s) || !table.ragged_unchecked(s))
        continue;
      const PayloadView view = table.view_unchecked(s);
      const std::size_t longest = view.entries.size();
      size -= record_head_size(view.count, longest, longest);
      size += record_head_size(view.count, view.ids_len, view.counts_len);
      for (std::size_t i = view.ids_len; i < longest; ++i)
        size -= varint_size(view.entries[i].id);
      for (std::size_t i = view.counts_len; i < longest; ++i)
        size -= varint_size(view.entries[i].count);
    }
  }
  return size;
}

void write_payloads(SpanWriter& out, const PayloadTable& table) noexcept {
  const std::size_t slots = table.size();
  const auto counts = table.slot_counts();
  const auto offsets = table.entry_offsets();
  const auto entries = table.all_entries();
  write_varint(out, slots);
  for (std::size_t s = 0; s < slots; ++s) {
    if (!table.present_unchecked(s)) {
      out.put(std::uint8_t{0});
      continue;
    }
    std::size_t ids_len = offsets[s + 1] - offsets[s];
    std::size_t counts_len = ids_len;
    if (table.ragged_unchecked(s)) [[unlikely]] {
      const PayloadView view = table.view_unchecked(s);
      ids_len = view.ids_len;
      counts_len = view.counts_len;
    }
    const auto own = entries.subspan(offsets[s], offsets[s + 1] - offsets[s]);
    if (out.remaining() >= record_write_bound(ids_len, counts_len)) [[likely]] {
      std::uint8_t* const at = out.cursor();
      out.advance(static_cast<std::size_t>(put_record(at, counts[s], own, ids_len, counts_len) - at));
    } else {
      write_record_checked(out, counts[s], own, ids_len, counts_len);
    }
  }
}

std::expected<void, DecodeError> decode_payloads(Reader& in, PayloadTable& table) {
  QV_TRY_ASSIGN(const std::uint64_t slots, read_u64(in));
  // Every record takes at least its tag byte; offsets and slot numbers are
  // 32-bit, so no more slots than that can be held.
  const std::size_t max_slots = std::min<std::size_t>(in.reservation(slots, 1), kCountMax);
  const std::uint8_t* const start = in.current();
  const std::uint8_t* const end = start + in.remaining();
  PayloadTable::Loader loader(table, max_slots, std::min(kFirstGuess, in.remaining() / 2));

  // The entries still to come are guessed from the entries per byte so far,
  // applied to the bytes left less the terminal flags that follow (one byte
  // per slot in a trie as built). On a trie numbered breadth-first, whose
  // first nodes carry the longest lists, the guess runs a few percent high,
  // a margin Loader::finish() keeps; one that falls short costs a copy of
  // the entries read so far, one far too high a copy at the end.
  const auto guess = [&loader, start, end, max_slots](std::size_t k, const std::uint8_t* at) -> std::size_t {
    const std::size_t so_far = loader.entries() + k;
    const auto read = static_cast<double>(at - start);
    const auto left = static_cast<double>(end - at) - static_cast<double>(max_slots);
    if (read <= 0 || left <= 0)
      return so_far;
    return so_far + static_cast<std::size_t>(static_cast<double>(so_far) * left / read);
  };

  Scratch scratch;
  const std::uint8_t* p = start;
  for (std::size_t i = 0; i < max_slots; ++i) {
    if (static_cast<std::size_t>(end - p) >= kRecordFixed && read_record_fast(p, end, loader, guess)) [[likely]]
      continue;
    in.skip(static_cast<std::size_t>(p - in.current()));
    QV_TRY(read_record_checked(in, &loader, scratch, guess));
    p = in.current();
  }
  in.skip(static_cast<std::size_t>(p - in.current()));
  if (slots > max_slots) {
    // Either the input is used up (the next tag is missing), or one more slot
    // than the offsets can number follows: it is read, then refused.
    QV_TRY(read_record_checked(in, nullptr, scratch, guess));
    throw std::bad_alloc();
  }
  loader.finish();
  return {};
}

}  // namespace quorvatel::snapshot
