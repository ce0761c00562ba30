#include "payload/payload_codec.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <vector>

#include "core/capacity.hpp"
#include "core/result.hpp"
#include "snapshot/memory.hpp"
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
std::uint8_t* put_record(std::uint8_t* p, std::uint32_t count, const EntryList& entries,
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
void write_record_checked(SpanWriter& out, std::uint32_t count, const EntryList& entries,
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

/// Bytes of the snapshot record of a present payload: tag, count, the two
/// lengths and the values.
std::size_t record_size(const PayloadView& p) noexcept {
  std::size_t size = record_head_size(p.count, p.ids_len, p.counts_len) + p.ids_len + p.counts_len;
  for (std::size_t i = 0; i < p.ids_len; ++i)
    size += u32_extra_bytes(p.entries[i].id);
  for (std::size_t i = 0; i < p.counts_len; ++i)
    size += u32_extra_bytes(p.entries[i].count);
  return size;
}

/// Whether the `n` bytes at `a` and at `b` are equal. Records are short, so
/// words are compared inline, the last one overlapping the one before.
[[nodiscard]] inline bool same_bytes(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) noexcept {
  if (n < 8) {
    for (std::size_t i = 0; i < n; ++i)
      if (a[i] != b[i])
        return false;
    return true;
  }
  std::uint64_t x;
  std::uint64_t y;
  for (std::size_t i = 0; i + 8 < n; i += 8) {
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    if (x != y)
      return false;
  }
  std::memcpy(&x, a + n - 8, 8);
  std::memcpy(&y, b + n - 8, 8);
  return x == y;
}

/// Writes into `parent` (zero-filled, at least `slots` elements), for each
/// node c below `slots`, p + 1 when node p, numbered before c, has exactly
/// one edge and it leads to c. Returns whether it wrote any. Such a node's
/// payload is most often its parent's (the parent aggregates this one child
/// only). The edges may be anything a snapshot holds; when several parents
/// qualify, the last one counts.
template <class Index>
bool find_only_child_parents(std::span<const std::uint32_t> node_shifts,
                             std::span<const std::uint32_t> child_transitions, std::size_t slots, Index* parent) {
  bool found = false;
  const std::size_t nodes = std::min(node_shifts.size(), slots);
  const std::size_t edges = child_transitions.size();
  for (std::size_t p = 0; p < nodes; ++p) {
    const std::size_t begin = node_shifts[p];
    const std::size_t end = p + 1 < node_shifts.size() ? node_shifts[p + 1] : edges;
    if (end != begin + 1 || begin >= edges)
      continue;
    const std::size_t c = child_transitions[begin];
    if (c <= p || c >= slots)
      continue;
    parent[c] = static_cast<Index>(p + 1);
    found = true;
  }
  return found;
}

}  // namespace

std::size_t payloads_size(const PayloadTableView& table) noexcept {
  const auto slot_records = table.slot_records();
  const std::size_t slots = slot_records.size();
  std::size_t size = varint_size(slots);
  // Each record is sized once, in record order, however many slots hold it;
  // then each slot adds its record's size. Without memory for the sizes,
  // each slot sizes its record.
  ZeroedArray<std::uint64_t> sizes(table.record_count());
  if (sizes.empty()) {
    for (const std::uint32_t r : slot_records)
      size += r == kNoRecord ? 1 : record_size(table.record_view(r));
    return size;
  }
  for (std::size_t r = 0; r < sizes.size(); ++r)
    sizes[r] = record_size(table.record_view(r));
  for (const std::uint32_t r : slot_records)
    size += r == kNoRecord ? 1 : sizes[r];
  return size;
}

// Writing takes a slot that repeats its only-edge parent's record from the
// parent: the bytes just written for it. On a trie numbered breadth-first the
// parent lies one level up, so these reads run in order, where the record
// itself (made at the far end of a chain) may lie anywhere. Without memory
// for the per-slot array, every record is written from the table.
void write_payloads(SpanWriter& out, const PayloadTableView& table, std::span<const std::uint32_t> node_shifts,
                    std::span<const std::uint32_t> child_transitions) noexcept {
  const auto slot_records = table.slot_records();
  const std::size_t slots = slot_records.size();
  write_varint(out, slots);
  const std::uint8_t* const start = out.cursor();
  auto write_record = [&](std::uint32_t r) {
    if (r == kNoRecord) {
      out.put(std::uint8_t{0});
      return;
    }
    const PayloadView p = table.record_view(r);
    if (out.remaining() >= record_write_bound(p.ids_len, p.counts_len)) [[likely]] {
      std::uint8_t* const at = out.cursor();
      out.advance(static_cast<std::size_t>(put_record(at, p.count, p.entries, p.ids_len, p.counts_len) - at));
    } else {
      write_record_checked(out, p.count, p.entries, p.ids_len, p.counts_len);
    }
  };
  // Per slot, its parent (p + 1, or 0) until written, then where its bytes
  // begin, from `start`, in the narrowest type that holds every offset.
  const auto write_all = [&]<class Offset>(Offset*) {
    ZeroedArray<Offset> at(slots + 1);
    if (at.empty() || !find_only_child_parents(node_shifts, child_transitions, slots, &at[0])) {
      for (const std::uint32_t r : slot_records)
        write_record(r);
      return;
    }
    for (std::size_t s = 0; s < slots; ++s) {
      const std::size_t up = at[s];
      at[s] = static_cast<Offset>(out.cursor() - start);
      const std::uint32_t r = slot_records[s];
      if (up != 0 && r != kNoRecord && slot_records[up - 1] == r) {
        const std::size_t from = at[up - 1];
        out.put(std::span<const std::uint8_t>(start + from, static_cast<std::size_t>(at[up]) - from));
      } else {
        write_record(r);
      }
    }
  };
  if (out.remaining() <= std::numeric_limits<std::uint32_t>::max())
    write_all(static_cast<std::uint32_t*>(nullptr));
  else
    write_all(static_cast<std::uint64_t*>(nullptr));
}

std::expected<void, DecodeError> decode_payloads(Reader& in, PayloadTable& table,
                                                 std::span<const std::uint32_t> node_shifts,
                                                 std::span<const std::uint32_t> child_transitions) {
  QV_TRY_ASSIGN(const std::uint64_t slots, read_u64(in));
  // Every record takes at least its tag byte; slot numbers are 32-bit, so no
  // more slots than that can be held.
  const std::size_t max_slots = std::min<std::size_t>(in.reservation(slots, 1), capacity_of(Capacity::Nodes));
  const std::uint8_t* const start = in.current();
  const std::uint8_t* const end = start + in.remaining();
  PayloadTable::Loader loader(table, max_slots, std::min(kFirstGuess, in.remaining() / 2));

  // The entries still to come are guessed from the entries per byte so far,
  // applied to the bytes left less the terminal flags that follow (one byte
  // per slot in a trie as built). One that falls short costs a copy of the
  // entries read so far, one too high a copy at the end. Whatever the guess,
  // no more entries can follow than the bytes left could hold (an id and a
  // count take a byte each at least), so a long first list, which would
  // make the ratio so far huge, reserves no more than the input could fill.
  const auto guess = [&loader, start, end, max_slots](std::size_t k, const std::uint8_t* at) -> std::size_t {
    const std::size_t so_far = loader.entries() + k;
    const std::size_t most = so_far + static_cast<std::size_t>(end - at) / 2;
    const auto read = static_cast<double>(at - start);
    const auto left = static_cast<double>(end - at) - static_cast<double>(max_slots);
    if (read <= 0 || left <= 0)
      return so_far;
    const double estimate = static_cast<double>(so_far) + static_cast<double>(so_far) * left / read;
    return estimate < static_cast<double>(most) ? static_cast<std::size_t>(estimate) : most;
  };

  // A node that is its parent's only child usually carries its parent's
  // payload, byte for byte (the encoding delimits itself, so equal bytes are
  // an equal record): such a slot takes the parent's record instead of
  // decoding a copy of it. Each slot's bytes are compared with the parent
  // slot's own bytes, which on a trie numbered breadth-first lie one level
  // up and are read in order, level after level. `at` holds where each
  // slot's bytes begin, from `start`, in the narrowest type that can.
  //
  // One array serves both: slot i's entry holds its parent (p + 1, or 0)
  // until the slot is read, then where the slot's bytes begin.
  Scratch scratch;
  const std::uint8_t* p = start;
  const auto read_slots = [&]<class Offset>(Offset*) -> std::expected<void, DecodeError> {
    // Without memory for it, slots are decoded without comparing.
    ZeroedArray<Offset> at(max_slots + 1);
    const bool compare =
        !at.empty() && find_only_child_parents(node_shifts, child_transitions, max_slots, &at[0]);
    // How many slots ahead the parent's bytes are fetched.
    constexpr std::size_t kAhead = 16;
    for (std::size_t i = 0; i < max_slots; ++i) {
      if (compare) {
        if (i + kAhead < max_slots) {
          const std::size_t ahead = at[i + kAhead];
          if (ahead != 0 && ahead - 1 < i)
            __builtin_prefetch(start + at[ahead - 1]);
        }
        const std::size_t up = at[i];
        at[i] = static_cast<Offset>(p - start);
        if (up != 0) {
          // The parent (slot up - 1) and the slot after it are read already.
          const std::uint32_t r = loader.record_of(up - 1);
          const std::size_t from = at[up - 1];
          const std::size_t length = at[up] - from;
          if (r != kNoRecord && length <= static_cast<std::size_t>(end - p) && same_bytes(p, start + from, length)) {
            loader.alias(r);
            p += length;
            continue;
          }
        }
      }
      if (static_cast<std::size_t>(end - p) >= kRecordFixed && read_record_fast(p, end, loader, guess)) [[likely]]
        continue;
      in.skip(static_cast<std::size_t>(p - in.current()));
      QV_TRY(read_record_checked(in, &loader, scratch, guess));
      p = in.current();
    }
    return {};
  };
  // Offsets from `start` in the narrowest type that holds them all.
  if (in.remaining() <= std::numeric_limits<std::uint32_t>::max()) {
    QV_TRY(read_slots(static_cast<std::uint32_t*>(nullptr)));
  } else {
    QV_TRY(read_slots(static_cast<std::uint64_t*>(nullptr)));
  }
  in.skip(static_cast<std::size_t>(p - in.current()));
  if (slots > max_slots) {
    // Either the input is used up (the next tag is missing), or one more slot
    // than can be numbered follows: it is read, then refused.
    QV_TRY(read_record_checked(in, nullptr, scratch, guess));
    throw CapacityExceeded(Capacity::Nodes);
  }
  loader.finish();
  return {};
}

}  // namespace quorvatel::snapshot
