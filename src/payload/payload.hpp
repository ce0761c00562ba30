// Payload: the aggregate a trie node carries (a count and its videos), and
// PayloadTable, the storage of every node's payload.
//
// Storage. Most nodes of a trie have one child and end no term, so their
// aggregate is exactly their child's. Payloads are therefore stored once per
// distinct aggregate, as records, and every node (slot) names the record it
// holds:
//   slot_records  per slot: its record, or kNoRecord for an absent payload,
//                 packed in the fewest bytes (1 to 4) that number every record
//                 and the absent mark;
//   records       per record: its count and the first of its entries, then
//                 one closing record whose `begin` is the number of entries
//                 (a record's entries end where the next record's begin);
//   entries       every record's (video row, count) pairs, record after
//                 record, packed: each row and each count in the fewest bytes
//                 (1 to 4) that hold the table's largest one;
//   ragged        the records whose id and count lists differ in length (only
//                 snapshots hold such records), ordered by record.
// Readers see the table through PayloadTableView, spans over those arrays,
// whoever owns the memory; PayloadTable owns vectors and hands out a view.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <limits>
#include <optional>
#include <source_location>
#include <span>
#include <string>
#include <vector>

#include "payload/packing.hpp"
#include "snapshot/memory.hpp"

namespace quorvatel {

inline constexpr std::uint32_t kCountMax = std::numeric_limits<std::uint32_t>::max();

/// Adds two counts, saturating at 2^32-1.
[[nodiscard]] constexpr std::uint32_t saturating_add(std::uint32_t a, std::uint32_t b) noexcept {
  const std::uint32_t sum = a + b;
  return sum < a ? kCountMax : sum;
}

/// Adds two 64-bit totals, saturating at 2^64-1 (reached only by more than
/// 2^32 contributions of 2^32-1 each).
[[nodiscard]] constexpr std::uint64_t saturating_add64(std::uint64_t a, std::uint64_t b) noexcept {
  const std::uint64_t sum = a + b;
  return sum < a ? std::numeric_limits<std::uint64_t>::max() : sum;
}

/// Narrows a 64-bit per-video total into a 32-bit count, saturating like the
/// node counts do.
[[nodiscard]] constexpr std::uint32_t narrow_total(std::uint64_t total) noexcept {
  return total > kCountMax ? kCountMax : static_cast<std::uint32_t>(total);
}

/// One (video row, total) pair while videos are being summed.
struct VideoTotal {
  std::uint32_t id;
  std::uint64_t total;
};

/// Sums `items` by id (saturating at 2^64-1) and orders the result by total,
/// largest first; equal totals are ordered by id, smallest first, so the
/// result is reproducible. Leaves exactly one entry per distinct id.
void sum_and_rank(std::vector<VideoTotal>& items);

/// Sums video counts by id over many lists, as sum_and_rank does for one
/// list, for reuse across the nodes of a trie: an open-addressing table
/// whose slots belong to the current round (no clearing between rounds),
/// small enough for the first-level cache while a round sums few ids, and
/// keyed by a random seed so that no choice of ids makes them collide.
class VideoSums {
 public:
  VideoSums();

  void add(std::uint32_t id, std::uint64_t count) {
    std::size_t at = home(id);
    for (;; at = (at + 1) & mask_) {
      Slot& slot = slots_[at];
      if (slot.round != round_) {
        slot = {id, round_, count};
        touched_.push_back(static_cast<std::uint32_t>(at));
        if (2 * touched_.size() > slots_.size()) [[unlikely]]
          grow();
        return;
      }
      if (slot.id == id) {
        slot.total = saturating_add64(slot.total, count);
        return;
      }
    }
  }
  /// The sums so far, largest total first, equal totals by id, cut to the
  /// first `keep`; then starts over empty.
  void take_ranked(std::uint64_t keep, std::vector<VideoTotal>& out);

 private:
  struct Slot {
    std::uint32_t id = 0;
    std::uint32_t round = 0;  // the slot is in use when this is the current round
    std::uint64_t total = 0;
  };
  static constexpr std::size_t kFirstSlots = 512;

  [[nodiscard]] std::size_t home(std::uint32_t id) const noexcept {
    std::uint64_t x = id ^ seed_;
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    return static_cast<std::size_t>(x) & mask_;
  }
  void grow();
  void next_round();

  std::vector<Slot> slots_;
  std::size_t mask_;
  std::uint64_t seed_;
  std::uint32_t round_ = 1;
  std::vector<std::uint32_t> touched_;  // slots in use this round, in the order filled
  std::vector<std::uint64_t> keys_;
};

struct Payload {
  std::uint32_t count = 0;
  std::vector<std::uint32_t> video_ids;
  std::vector<std::uint32_t> video_counts;

  /// Folds `other` into this payload: counts add (saturating), videos are
  /// summed by id and ordered by total, largest first. Both payloads must
  /// have video_ids and video_counts of equal length.
  void merge_from(const Payload& other);

  friend bool operator==(const Payload&, const Payload&) = default;
};

/// Whether `entries` is ordered by count, largest first, equal counts by id,
/// smallest first, with no id twice in a row of equal counts.
[[nodiscard]] bool ranked_order(std::span<const VideoEntry> entries) noexcept;
[[nodiscard]] bool ranked_order(const EntryList& entries) noexcept;

/// Whether `entries` is in the order a merge leaves a list in: ranked_order
/// and one entry per id. Merging such a list into an empty payload gives it
/// back unchanged.
[[nodiscard]] bool merged_order(const EntryList& entries);

/// One stored payload: its count and where its entries begin. Records are
/// one array; each record's entries end where the next record's begin. A
/// field that every record needs (for example a figure about the node's
/// subtree) goes here.
struct PayloadRecord {
  std::uint32_t count;
  std::uint32_t begin;

  friend bool operator==(const PayloadRecord&, const PayloadRecord&) = default;
};

/// A record whose id and count lists differ in length. Its entries span the
/// longer list; the shorter side's missing values read as 0 in storage.
struct RaggedRecord {
  std::uint32_t record;
  std::uint64_t ids_len;
  std::uint64_t counts_len;

  friend bool operator==(const RaggedRecord&, const RaggedRecord&) = default;
};

/// Read-only view of one present payload.
///
/// A payload read from a snapshot may hold more video_ids than video_counts
/// or the reverse, so the two lengths are kept apart: `entries` spans the
/// longer of the two, and the checked accessors refuse the shorter side's
/// missing values.
struct PayloadView {
  std::uint32_t count = 0;
  EntryList entries;
  std::size_t ids_len = 0;
  std::size_t counts_len = 0;

  [[nodiscard]] bool consistent() const noexcept { return ids_len == counts_len; }

  [[nodiscard]] std::uint32_t video_id(std::size_t i,
                                       std::source_location where = std::source_location::current()) const;
  [[nodiscard]] std::uint32_t video_count(std::size_t i,
                                          std::source_location where = std::source_location::current()) const;

  [[nodiscard]] Payload to_payload() const;
};

/// The arrays of a payload table held elsewhere (a mapped file), as they are
/// stored: see PayloadTableView::adopt.
struct PayloadTableParts {
  std::span<const std::uint8_t> slot_bytes;  ///< slots * slot_width bytes, then SlotRecords::kSlack
  std::size_t slots = 0;
  std::uint8_t slot_width = 1;
  std::span<const PayloadRecord> records;    ///< the closing record last
  std::span<const std::uint8_t> entry_bytes;  ///< entry_count * stride bytes, then kEntrySlack
  std::size_t entry_count = 0;
  EntryPacking packing;
  std::span<const RaggedRecord> ragged;
};

/// The payloads of all nodes as spans over storage owned elsewhere (see the
/// top of this file). A view made by a PayloadTable always satisfies the
/// table's invariants: every slot names kNoRecord or a record before the
/// closing one, records begin in non-decreasing order, the closing record
/// begins at the number of entries, and `ragged` is ordered by record.
class PayloadTableView {
 public:
  PayloadTableView() = default;

  /// Number of payload slots (one per node in a built trie).
  [[nodiscard]] std::size_t size() const noexcept { return slot_records_.size(); }
  [[nodiscard]] bool empty() const noexcept { return slot_records_.empty(); }
  /// Number of distinct stored payloads.
  [[nodiscard]] std::size_t record_count() const noexcept { return records_.size() - 1; }
  /// Number of stored video entries (a shared payload's counted once).
  [[nodiscard]] std::size_t entry_count() const noexcept { return entry_count_; }

  /// The payload of `slot`, or nullopt when the slot holds none. Faults when
  /// `slot` is outside the table.
  [[nodiscard]] std::optional<PayloadView> get(std::size_t slot,
                                               std::source_location where = std::source_location::current()) const;

  /// Like get() for a slot known to be inside the table and present.
  [[nodiscard]] PayloadView view_unchecked(std::size_t slot) const noexcept { return record_view(slot_records_[slot]); }
  [[nodiscard]] bool present_unchecked(std::size_t slot) const noexcept { return slot_records_[slot] != kNoRecord; }
  /// The count of a slot known to be inside the table; 0 when it holds no
  /// payload. Reads the slot and its record only, not the entries.
  [[nodiscard]] std::uint32_t count_unchecked(std::size_t slot) const noexcept {
    const std::uint32_t record = slot_records_[slot];
    return record == kNoRecord ? 0 : records_[record].count;
  }

  /// The payload stored as record `record` (below record_count()).
  [[nodiscard]] PayloadView record_view(std::size_t record) const noexcept;
  /// Whether record `record` holds id and count lists of different lengths.
  [[nodiscard]] bool ragged_record(std::size_t record) const noexcept;

  /// Materialises one slot (for tests and tools; queries use views).
  [[nodiscard]] std::optional<Payload> payload(std::size_t slot) const;

  // The arrays themselves, for bulk readers (the snapshot encoder).
  [[nodiscard]] SlotRecords slot_records() const noexcept { return slot_records_; }
  /// The packed slots: size() times their width, and SlotRecords::kSlack
  /// bytes more.
  [[nodiscard]] std::span<const std::uint8_t> slot_bytes() const noexcept { return slot_bytes_; }
  /// record_count() + 1 records, the last one closing.
  [[nodiscard]] std::span<const PayloadRecord> records() const noexcept { return records_; }
  /// Every stored entry, record after record.
  [[nodiscard]] EntryList entries() const noexcept { return {entry_bytes_.data(), entry_count_, packing_}; }
  /// The packed entries: entry_count() times the packing's stride, and
  /// kEntrySlack bytes more.
  [[nodiscard]] std::span<const std::uint8_t> entry_bytes() const noexcept { return entry_bytes_; }
  [[nodiscard]] EntryPacking packing() const noexcept { return packing_; }
  [[nodiscard]] std::span<const RaggedRecord> ragged() const noexcept { return ragged_; }

  /// A view of `parts` once they are proved to keep the invariants above
  /// (and every length to agree with the counts), else what breaks them:
  /// O(slots + records + ragged), sequential. Reads through the view are
  /// then as safe as through a table's own view.
  [[nodiscard]] static std::expected<PayloadTableView, std::string> adopt(const PayloadTableParts& parts);

  /// Whether the two tables hold the same payloads in every slot, however
  /// they share storage.
  [[nodiscard]] bool same_payloads(const PayloadTableView& other) const noexcept;

 private:
  friend class PayloadTable;
  PayloadTableView(std::span<const std::uint8_t> slot_bytes, std::size_t slots, std::uint8_t slot_width,
                   std::span<const PayloadRecord> records, std::span<const std::uint8_t> entry_bytes,
                   std::size_t entry_count, EntryPacking packing, std::span<const RaggedRecord> ragged) noexcept
      : slot_bytes_(slot_bytes),
        slot_records_(slot_bytes.data(), slots, slot_width),
        records_(records),
        entry_bytes_(entry_bytes),
        entry_count_(entry_count),
        packing_(packing),
        ragged_(ragged) {}

  static constexpr PayloadRecord kClosingOnly[1] = {{0, 0}};
  static constexpr std::uint8_t kSlackOnly[kEntrySlack] = {};
  std::span<const std::uint8_t> slot_bytes_ = std::span(kSlackOnly).first(SlotRecords::kSlack);
  SlotRecords slot_records_{kSlackOnly, 0, 1};
  std::span<const PayloadRecord> records_ = kClosingOnly;
  std::span<const std::uint8_t> entry_bytes_ = kSlackOnly;
  std::size_t entry_count_ = 0;
  EntryPacking packing_;
  std::span<const RaggedRecord> ragged_;
};

/// Owned payload storage: the four arrays as vectors, read through view().
class PayloadTable {
 public:
  [[nodiscard]] PayloadTableView view() const noexcept {
    return PayloadTableView(slot_bytes_, slot_count_, slot_width_, records_, entry_bytes_, entry_count_, packing_,
                            ragged_);
  }

  // Shorthands for the view's reads.
  [[nodiscard]] std::size_t size() const noexcept { return slot_count_; }
  [[nodiscard]] bool empty() const noexcept { return slot_count_ == 0; }
  [[nodiscard]] std::size_t record_count() const noexcept { return records_.size() - 1; }
  [[nodiscard]] std::size_t entry_count() const noexcept { return entry_count_; }
  [[nodiscard]] std::optional<PayloadView> get(std::size_t slot,
                                               std::source_location where = std::source_location::current()) const {
    return view().get(slot, where);
  }
  [[nodiscard]] std::optional<Payload> payload(std::size_t slot) const { return view().payload(slot); }

  /// Bytes of heap storage the table holds.
  [[nodiscard]] std::size_t memory_bytes() const noexcept;

  /// Equal when every slot holds the same payload (storage may differ).
  friend bool operator==(const PayloadTable& a, const PayloadTable& b) noexcept {
    return a.view().same_payloads(b.view());
  }

  // Filling a table slot after slot, each present payload its own record.

  void reserve(std::size_t slots, std::size_t entries);
  void push_absent();
  /// Appends a present payload whose id and count lists have the same length.
  void push(std::uint32_t count, std::span<const VideoEntry> entries);
  /// Appends a present payload with independent list lengths.
  void push(std::uint32_t count, std::span<const std::uint32_t> ids, std::span<const std::uint32_t> counts);
  void push(const Payload& payload) { push(payload.count, payload.video_ids, payload.video_counts); }
  void push(const std::optional<Payload>& payload);

  /// A table of present payloads whose id and count lists agree, one record
  /// per slot: slot i holds counts[i] and the entries begins[i] ..
  /// begins[i + 1] (begins has one more element than counts, non-decreasing,
  /// ending at the number of entries).
  [[nodiscard]] static PayloadTable from_lists(const std::vector<std::uint32_t>& counts,
                                               const std::vector<std::uint32_t>& begins,
                                               std::vector<VideoEntry> entries);

  /// Builds a table from records made elsewhere (propagation), consistent
  /// lists only: `records` without the closing record, each record's
  /// entries up to the next one's begin (the last one's up to the end of
  /// `entries`); every slot names a record or kNoRecord. Faults when the
  /// parts break these rules. The entries are packed; `entries` is released.
  [[nodiscard]] static PayloadTable from_records(std::vector<std::uint32_t> slot_records,
                                                 std::vector<PayloadRecord> records, std::vector<VideoEntry> entries);

  /// Fills an empty table in place, slot after slot, for a reader that knows
  /// an upper bound of the slots to come but not how many entries they hold:
  /// the slot array is reserved once for the bound (and filled as slots
  /// arrive, so a bound far above the slots that come costs no memory), and
  /// entries are written through room() into an array of the loader's, then
  /// packed by finish(). A slot may also take a record appended earlier
  /// (alias()). finish() trims everything to what was appended; a Loader
  /// dropped without finish() leaves the table fit only to be destroyed.
  class Loader {
   public:
    /// `max_slots` bounds the slots to be appended (more are not checked
    /// for; beyond capacity_of(Capacity::Nodes) it throws); `expected_entries`
    /// is a first guess of the entries.
    Loader(PayloadTable& table, std::size_t max_slots, std::size_t expected_entries);

    /// Space for `k` entries after those appended so far (not cleared: the
    /// reader writes both values of every entry it appends), or nullptr
    /// when grow() must make it first.
    [[nodiscard]] VideoEntry* room(std::size_t k) noexcept {
      return k <= static_cast<std::size_t>(room_end_ - at_) ? at_ : nullptr;
    }
    /// Makes room for `k` entries, expecting `expected_total` entries in all
    /// (a guess: more or fewer may come), and returns room(k). Entries
    /// written earlier by room() and not yet appended are kept.
    VideoEntry* grow(std::size_t k, std::size_t expected_total);

    /// Appends an absent slot.
    void absent() noexcept { close_slot(kNoRecord); }
    /// Appends a slot holding a new record, whose `length` entries were
    /// written at room().
    void present(std::uint32_t count, std::size_t length) {
      at_ += length;
      close_slot(new_record(count));
    }
    /// Appends a slot holding a new record whose lists differ in length; the
    /// longer list's worth of entries was written at room(), the shorter
    /// side written as zero beyond its end.
    void present_ragged(std::uint32_t count, std::size_t ids_len, std::size_t counts_len);
    /// Appends a slot holding `record`, which an earlier slot holds already.
    void alias(std::uint32_t record) noexcept { close_slot(record); }

    /// Slots appended so far.
    [[nodiscard]] std::size_t slots() const noexcept { return slot_; }
    /// The record of an appended slot (kNoRecord when absent).
    [[nodiscard]] std::uint32_t record_of(std::size_t slot) const noexcept {
      return SlotRecords(slots_, slot_, width_)[slot];
    }
    /// Records appended so far.
    [[nodiscard]] std::size_t records() const noexcept { return table_.records_.size(); }
    /// Entries appended so far.
    [[nodiscard]] std::size_t entries() const noexcept { return static_cast<std::size_t>(at_ - base_); }

    /// Trims the arrays to the appended slots and records, and packs the
    /// entries into the table.
    void finish();

   private:
    void close_slot(std::uint32_t record) noexcept {
      if (slot_ == slot_room_) [[unlikely]]
        extend_slots();
      // Four bytes at once: those past the width are the next slot's, or
      // slack, and are written again.
      std::uint32_t v = record;
      if constexpr (std::endian::native == std::endian::big)
        v = std::byteswap(v);
      std::memcpy(slots_ + slot_ * width_, &v, sizeof v);
      ++slot_;
    }
    std::uint32_t new_record(std::uint32_t count);

    /// Sizes the slot array for more slots, within the reserved bound.
    void extend_slots() noexcept;

    PayloadTable& table_;
    std::uint8_t* slots_ = nullptr;  // the table's slot bytes
    std::uint8_t width_ = 1;
    std::size_t slot_ = 0;
    std::size_t slot_room_ = 0;  // slots the array is sized for
    std::size_t max_slots_;
    snapshot::RawArray<VideoEntry> entries_;  // as read, until finish() packs them
    VideoEntry* base_ = nullptr;              // entries_.data()
    VideoEntry* at_ = nullptr;                // end of the appended entries
    VideoEntry* room_end_ = nullptr;          // end of entries_' room
  };

 private:
  /// Appends `entries` to the packed entries, widening the packing first
  /// when a value needs more bytes.
  template <class Entries>
  void append_entries(const Entries& entries);
  /// Appends a record holding the entries appended since the last record.
  std::uint32_t append_record(std::uint32_t count);
  /// Replaces the packed entries by `entries`, packed as tightly as they allow.
  void pack(std::span<const VideoEntry> entries);
  /// Replaces the slots by `slots`, each a record below record_count() or
  /// kNoRecord, packed as tightly as the record count allows.
  void pack_slots(std::span<const std::uint32_t> slots);
  /// Appends one slot, widening the packing first when the record count
  /// needs it.
  void append_slot(std::uint32_t record);

  std::vector<std::uint8_t> slot_bytes_ = std::vector<std::uint8_t>(SlotRecords::kSlack);
  std::size_t slot_count_ = 0;
  std::uint8_t slot_width_ = 1;
  std::vector<PayloadRecord> records_{PayloadRecord{0, 0}};  // the closing record last
  std::vector<std::uint8_t> entry_bytes_ = std::vector<std::uint8_t>(kEntrySlack);
  std::size_t entry_count_ = 0;
  EntryPacking packing_;
  std::vector<RaggedRecord> ragged_;  // ordered by record
};

}  // namespace quorvatel
