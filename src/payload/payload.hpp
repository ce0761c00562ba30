// Payload: the aggregate a trie node carries (a count and its videos), and
// PayloadTable, the flat storage of every node's payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <source_location>
#include <span>
#include <vector>

namespace quorvatel {

inline constexpr std::uint32_t kCountMax = std::numeric_limits<std::uint32_t>::max();

/// Adds two counts, saturating at 2^32-1.
[[nodiscard]] constexpr std::uint32_t saturating_add(std::uint32_t a, std::uint32_t b) noexcept {
  const std::uint32_t sum = a + b;
  return sum < a ? kCountMax : sum;
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

/// Sums `items` by id and orders the result by total, largest first; equal
/// totals are ordered by id, smallest first, so the result is reproducible.
/// Leaves exactly one entry per distinct id in `items`.
void sum_and_rank(std::vector<VideoTotal>& items);

/// Sums video counts by id over many lists, as sum_and_rank does for one
/// list, for reuse across the nodes of a trie. Ids below `dense_ids` are
/// summed in a table indexed by id (no sorting by id needed); larger ids go
/// through sum_and_rank.
class VideoSums {
 public:
  explicit VideoSums(std::size_t dense_ids);

  void add(std::uint32_t id, std::uint64_t count) {
    if (id < stamp_.size()) {
      if (stamp_[id] != round_) {
        stamp_[id] = round_;
        total_[id] = count;
        touched_.push_back(id);
      } else {
        total_[id] += count;
      }
    } else {
      sparse_.push_back({id, count});
    }
  }
  /// The sums so far, largest total first, equal totals by id, cut to the
  /// first `keep`; then starts over empty.
  void take_ranked(std::uint64_t keep, std::vector<VideoTotal>& out);

 private:
  std::vector<std::uint64_t> total_;
  std::vector<std::uint32_t> stamp_;  // total_[id] belongs to this round when stamp_[id] == round_
  std::uint32_t round_ = 1;
  std::vector<std::uint32_t> touched_;
  std::vector<VideoTotal> sparse_;
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

/// One stored video of a payload: its row in the video table and its count.
struct VideoEntry {
  std::uint32_t id;
  std::uint32_t count;

  friend bool operator==(const VideoEntry&, const VideoEntry&) = default;
};

/// Read-only view of one present payload inside a PayloadTable.
///
/// A payload read from a snapshot may hold more video_ids than video_counts
/// or the reverse, so the two lengths are kept apart: `entries` spans the
/// longer of the two, and the shorter side's missing values read as 0 in
/// storage but are refused by the checked accessors.
struct PayloadView {
  std::uint32_t count = 0;
  std::span<const VideoEntry> entries;
  std::size_t ids_len = 0;
  std::size_t counts_len = 0;

  [[nodiscard]] bool consistent() const noexcept { return ids_len == counts_len; }

  [[nodiscard]] std::uint32_t video_id(
      std::size_t i, std::source_location where = std::source_location::current()) const;
  [[nodiscard]] std::uint32_t video_count(
      std::size_t i, std::source_location where = std::source_location::current()) const;

  [[nodiscard]] Payload to_payload() const;
};

/// The payloads of all nodes in shared flat arrays: per slot a count, an
/// offset into one entry array and a flag byte; no heap object per node.
class PayloadTable {
 public:
  /// Number of payload slots (one per node in a built trie).
  [[nodiscard]] std::size_t size() const noexcept { return counts_.size(); }
  [[nodiscard]] bool empty() const noexcept { return counts_.empty(); }
  /// Total number of stored video entries.
  [[nodiscard]] std::size_t entry_count() const noexcept { return entries_.size(); }

  /// The payload of `slot`, or nullopt when the slot holds none. Faults when
  /// `slot` is outside the table.
  [[nodiscard]] std::optional<PayloadView> get(
      std::size_t slot, std::source_location where = std::source_location::current()) const;

  /// Like get() for a slot known to be inside the table and present.
  [[nodiscard]] PayloadView view_unchecked(std::size_t slot) const noexcept;
  [[nodiscard]] bool present_unchecked(std::size_t slot) const noexcept {
    return (flags_[slot] & kPresent) != 0;
  }

  void reserve(std::size_t slots, std::size_t entries);
  void push_absent();
  /// Appends a present payload whose id and count lists have the same length.
  void push(std::uint32_t count, std::span<const VideoEntry> entries);
  /// Appends a present payload with independent list lengths.
  void push(std::uint32_t count, std::span<const std::uint32_t> ids,
            std::span<const std::uint32_t> counts);
  void push(const Payload& payload) { push(payload.count, payload.video_ids, payload.video_counts); }
  void push(const std::optional<Payload>& payload);

  /// A table of present payloads whose id and count lists agree: slot i
  /// holds counts[i] and the entries begins[i] .. begins[i + 1].
  [[nodiscard]] static PayloadTable from_parts(std::vector<std::uint32_t> counts, std::vector<std::uint32_t> begins,
                                               std::vector<VideoEntry> entries);

  /// Materialises one slot (for tests and tools; queries use views).
  [[nodiscard]] std::optional<Payload> payload(std::size_t slot) const;

  /// Bytes of heap storage the table holds.
  [[nodiscard]] std::size_t memory_bytes() const noexcept;

  friend bool operator==(const PayloadTable&, const PayloadTable&) = default;

  // Bulk access for the snapshot codec.

  /// Whether `slot` (inside the table and present) holds id and count lists
  /// of different lengths; view_unchecked() gives the two lengths.
  [[nodiscard]] bool ragged_unchecked(std::size_t slot) const noexcept { return (flags_[slot] & kRagged) != 0; }
  /// Number of slots whose id and count lists differ in length.
  [[nodiscard]] std::size_t ragged_slot_count() const noexcept { return ragged_.size(); }
  /// Per slot, its count (0 for an absent slot).
  [[nodiscard]] std::span<const std::uint32_t> slot_counts() const noexcept { return counts_; }
  /// size() + 1 non-decreasing offsets: slot i owns the entries
  /// all_entries()[offsets[i] .. offsets[i + 1]), the longer of its two lists
  /// (none for an absent slot).
  [[nodiscard]] std::span<const std::uint32_t> entry_offsets() const noexcept { return begins_; }
  /// Every stored entry, slot after slot.
  [[nodiscard]] std::span<const VideoEntry> all_entries() const noexcept { return entries_; }

  /// Fills an empty table in place, slot after slot, for a reader that knows
  /// an upper bound of the slots to come but not how many entries they hold:
  /// the slot arrays are reserved once for the bound (and filled as slots
  /// arrive, so a bound far above the slots that come costs no memory), and
  /// entries are written straight into the table's entry array through
  /// room(). finish() trims everything to what was appended; a Loader dropped
  /// without finish() leaves the table fit only to be destroyed.
  class Loader {
   public:
    /// `max_slots` bounds the slots to be appended (at most 2^32 - 1; more
    /// are not checked for); `expected_entries` is a first guess of the
    /// entries.
    Loader(PayloadTable& table, std::size_t max_slots, std::size_t expected_entries);

    /// Space for `k` entries after those appended so far, zero-filled, or
    /// nullptr when grow() must make it first.
    [[nodiscard]] VideoEntry* room(std::size_t k) noexcept {
      return k <= static_cast<std::size_t>(room_end_ - at_) ? at_ : nullptr;
    }
    /// Makes room for `k` entries, expecting `expected_total` entries in all
    /// (a guess: more or fewer may come), and returns room(k). Entries
    /// written earlier by room() and not yet appended are kept.
    VideoEntry* grow(std::size_t k, std::size_t expected_total);

    /// Appends an absent slot.
    void absent() noexcept { close_slot(0, 0, 0); }
    /// Appends a present slot whose `length` entries were written at room().
    void present(std::uint32_t count, std::size_t length) noexcept { close_slot(count, kPresent, length); }
    /// Appends a present slot whose lists differ in length; the longer list's
    /// worth of entries was written at room(), the shorter side zero beyond
    /// its end.
    void present_ragged(std::uint32_t count, std::size_t ids_len, std::size_t counts_len);

    /// Entries appended so far.
    [[nodiscard]] std::size_t entries() const noexcept { return static_cast<std::size_t>(at_ - base_); }

    /// Trims the arrays to the appended slots and entries. Entry storage
    /// that a high guess left over is kept up to a quarter entry (2 bytes)
    /// per slot, and given back beyond that.
    void finish();

   private:
    void close_slot(std::uint32_t count, std::uint8_t flags, std::size_t length) noexcept {
      if (slot_ == slot_room_) [[unlikely]]
        extend_slots();
      at_ += length;
      counts_[slot_] = count;
      flags_[slot_] = flags;
      begins_[slot_ + 1] = static_cast<std::uint32_t>(at_ - base_);
      ++slot_;
    }

    /// Sizes the slot arrays for more slots, within the reserved bound.
    void extend_slots() noexcept;

    PayloadTable& table_;
    std::uint32_t* counts_ = nullptr;
    std::uint32_t* begins_ = nullptr;
    std::uint8_t* flags_ = nullptr;
    std::size_t slot_ = 0;
    std::size_t slot_room_ = 0;  // slots the arrays are sized for
    std::size_t max_slots_;
    VideoEntry* base_ = nullptr;      // entries_.data()
    VideoEntry* at_ = nullptr;        // end of the appended entries
    VideoEntry* room_end_ = nullptr;  // end of entries_: zero-filled, not yet appended
  };

 private:
  static constexpr std::uint8_t kPresent = 1;
  static constexpr std::uint8_t kRagged = 2;

  /// Lengths of a slot whose id and count lists differ.
  struct Ragged {
    std::uint32_t slot;
    std::size_t ids_len;
    std::size_t counts_len;
    friend bool operator==(const Ragged&, const Ragged&) = default;
  };

  void push_slot(std::uint32_t count, std::uint8_t flags);
  void check_entry_room(std::size_t more) const;

  std::vector<std::uint32_t> counts_;
  std::vector<std::uint32_t> begins_{0};  // size() + 1 offsets into entries_
  std::vector<std::uint8_t> flags_;
  std::vector<VideoEntry> entries_;
  std::vector<Ragged> ragged_;  // ordered by slot
};

}  // namespace quorvatel
