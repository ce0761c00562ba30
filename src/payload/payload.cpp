#include "payload/payload.hpp"

#include <algorithm>
#include <cstdlib>
#include <format>
#include <functional>
#include <random>
#include <ranges>

#include "core/capacity.hpp"
#include "core/fault.hpp"
#include "snapshot/memory.hpp"

namespace quorvatel {

namespace {

// Lists at a node are short (a few children's trimmed lists), where an
// insertion sort beats the general sort's setup.
constexpr std::size_t kShortList = 24;

template <class Less>
void sort_list(std::vector<VideoTotal>& items, Less less) {
  if (items.size() > kShortList) {
    std::ranges::sort(items, less);
    return;
  }
  for (std::size_t i = 1; i < items.size(); ++i) {
    const VideoTotal v = items[i];
    std::size_t j = i;
    for (; j > 0 && less(v, items[j - 1]); --j)
      items[j] = items[j - 1];
    items[j] = v;
  }
}

}  // namespace

void sum_and_rank(std::vector<VideoTotal>& items) {
  if (items.size() <= 1)
    return;
  sort_list(items, [](const VideoTotal& a, const VideoTotal& b) { return a.id < b.id; });
  std::size_t out = 0;
  for (std::size_t i = 1; i < items.size(); ++i) {
    if (items[i].id == items[out].id)
      items[out].total = saturating_add64(items[out].total, items[i].total);
    else
      items[++out] = items[i];
  }
  items.resize(out + 1);
  // Ids are unique now, so (total descending, id ascending) is a total order.
  sort_list(items, [](const VideoTotal& a, const VideoTotal& b) {
    return a.total != b.total ? a.total > b.total : a.id < b.id;
  });
}

VideoSums::VideoSums() : slots_(kFirstSlots), mask_(kFirstSlots - 1) {
  std::random_device source;
  seed_ = (static_cast<std::uint64_t>(source()) << 32) ^ source();
}

void VideoSums::grow() {
  // Twice the slots; the ids of this round move over, older rounds are gone.
  std::vector<Slot> old(2 * slots_.size());
  old.swap(slots_);
  mask_ = slots_.size() - 1;
  std::vector<std::uint32_t> moved;
  moved.swap(touched_);
  touched_.reserve(moved.size());
  for (const std::uint32_t s : moved) {
    const Slot& from = old[s];
    std::size_t at = home(from.id);
    while (slots_[at].round == round_)
      at = (at + 1) & mask_;
    slots_[at] = from;
    touched_.push_back(static_cast<std::uint32_t>(at));
  }
}

void VideoSums::next_round() {
  touched_.clear();
  if (++round_ == 0) {  // the rounds wrapped: forget every old one
    std::ranges::fill(slots_, Slot{});
    round_ = 1;
  }
}

void VideoSums::take_ranked(std::uint64_t keep, std::vector<VideoTotal>& out) {
  out.clear();
  // Totals that fit 32 bits rank as one integer each, (total, ~id): the
  // larger key is the larger total, then the smaller id.
  bool narrow = true;
  keys_.clear();
  for (const std::uint32_t s : touched_) {
    const Slot& slot = slots_[s];
    narrow = narrow && slot.total <= kCountMax;
    keys_.push_back((slot.total << 32) | (~slot.id & 0xFFFFFFFFu));
  }
  if (narrow) {
    const std::size_t size = keys_.size();
    const std::size_t wanted = keep < size ? static_cast<std::size_t>(keep) : size;
    if (size > kShortList) {
      const auto cut = keys_.begin() + static_cast<std::ptrdiff_t>(wanted);
      std::ranges::nth_element(keys_, cut, std::greater<>());
      std::sort(keys_.begin(), cut, std::greater<>());
    } else {
      for (std::size_t i = 1; i < size; ++i) {
        const std::uint64_t v = keys_[i];
        std::size_t j = i;
        for (; j > 0 && keys_[j - 1] < v; --j)
          keys_[j] = keys_[j - 1];
        keys_[j] = v;
      }
    }
    for (std::size_t i = 0; i < wanted; ++i)
      out.push_back({~static_cast<std::uint32_t>(keys_[i]), keys_[i] >> 32});
    next_round();
    return;
  }
  for (const std::uint32_t s : touched_)
    out.push_back({slots_[s].id, slots_[s].total});
  next_round();
  const auto better = [](const VideoTotal& a, const VideoTotal& b) {
    return a.total != b.total ? a.total > b.total : a.id < b.id;
  };
  // A total order, so selecting the best `keep` first gives the same list.
  if (keep < out.size() && out.size() > kShortList) {
    const auto cut = out.begin() + static_cast<std::ptrdiff_t>(keep);
    std::ranges::nth_element(out, cut, better);
    out.erase(cut, out.end());
  }
  sort_list(out, better);
  if (keep < out.size())
    out.resize(static_cast<std::size_t>(keep));
}

void Payload::merge_from(const Payload& other) {
  count = saturating_add(count, other.count);
  std::vector<VideoTotal> totals;
  totals.reserve(video_ids.size() + other.video_ids.size());
  for (std::size_t k = 0; k < video_ids.size(); ++k)
    totals.push_back({video_ids[k], checked_at(video_counts, k)});
  for (std::size_t k = 0; k < other.video_ids.size(); ++k)
    totals.push_back({other.video_ids[k], checked_at(other.video_counts, k)});
  sum_and_rank(totals);
  video_ids.resize(totals.size());
  video_counts.resize(totals.size());
  for (std::size_t k = 0; k < totals.size(); ++k) {
    video_ids[k] = totals[k].id;
    video_counts[k] = narrow_total(totals[k].total);
  }
}

namespace {

template <class Entries>
bool ranked_list(const Entries& entries) noexcept {
  for (std::size_t i = 1; i < entries.size(); ++i) {
    const VideoEntry a = entries[i - 1];
    const VideoEntry b = entries[i];
    if (a.count < b.count || (a.count == b.count && a.id >= b.id))
      return false;
  }
  return true;
}

/// The packing that holds every value of `entries`.
template <class Entries>
EntryPacking packing_for(const Entries& entries) noexcept {
  std::uint32_t ids = 0;
  std::uint32_t counts = 0;
  for (const VideoEntry e : entries) {
    ids |= e.id;
    counts |= e.count;
  }
  return {EntryPacking::bytes_for(ids), EntryPacking::bytes_for(counts)};
}

/// The same for an array, in one sweep the compiler vectorises.
EntryPacking packing_for(std::span<const VideoEntry> entries) noexcept {
  std::uint64_t bits = 0;
  for (const VideoEntry e : entries)
    bits |= std::uint64_t{e.id} | (std::uint64_t{e.count} << 32);
  return {EntryPacking::bytes_for(static_cast<std::uint32_t>(bits)),
          EntryPacking::bytes_for(static_cast<std::uint32_t>(bits >> 32))};
}

}  // namespace

bool ranked_order(std::span<const VideoEntry> entries) noexcept { return ranked_list(entries); }
bool ranked_order(const EntryList& entries) noexcept { return ranked_list(entries); }

bool merged_order(const EntryList& entries) {
  if (!ranked_order(entries))
    return false;
  // Larger counts come first, so a repeated id may lie anywhere in the list.
  constexpr std::size_t kShort = 16;
  if (entries.size() <= kShort) {
    for (std::size_t i = 1; i < entries.size(); ++i)
      for (std::size_t j = 0; j < i; ++j)
        if (entries[i].id == entries[j].id)
          return false;
    return true;
  }
  std::vector<std::uint32_t> ids;
  ids.reserve(entries.size());
  for (const VideoEntry e : entries)
    ids.push_back(e.id);
  std::ranges::sort(ids);
  return std::ranges::adjacent_find(ids) == ids.end();
}

std::uint32_t PayloadView::video_id(std::size_t i, std::source_location where) const {
  if (i >= ids_len) [[unlikely]]
    index_fault(ids_len, i, where);
  return entries[i].id;
}

std::uint32_t PayloadView::video_count(std::size_t i, std::source_location where) const {
  if (i >= counts_len) [[unlikely]]
    index_fault(counts_len, i, where);
  return entries[i].count;
}

Payload PayloadView::to_payload() const {
  Payload p;
  p.count = count;
  p.video_ids.reserve(ids_len);
  p.video_counts.reserve(counts_len);
  for (std::size_t i = 0; i < ids_len; ++i)
    p.video_ids.push_back(entries[i].id);
  for (std::size_t i = 0; i < counts_len; ++i)
    p.video_counts.push_back(entries[i].count);
  return p;
}

// ---------------------------------------------------------------- the view

std::optional<PayloadView> PayloadTableView::get(std::size_t slot, std::source_location where) const {
  if (slot >= slot_records_.size()) [[unlikely]]
    index_fault(slot_records_.size(), slot, where);
  if (!present_unchecked(slot))
    return std::nullopt;
  return view_unchecked(slot);
}

PayloadView PayloadTableView::record_view(std::size_t record) const noexcept {
  const std::size_t begin = records_[record].begin;
  const std::size_t end = records_[record + 1].begin;
  const EntryList entries(entry_bytes_.data() + begin * packing_.stride(), end - begin, packing_);
  PayloadView view{records_[record].count, entries, end - begin, end - begin};
  if (!ragged_.empty()) [[unlikely]] {
    const auto it = std::ranges::lower_bound(ragged_, static_cast<std::uint32_t>(record), {}, &RaggedRecord::record);
    if (it != ragged_.end() && it->record == record) {
      view.ids_len = static_cast<std::size_t>(it->ids_len);
      view.counts_len = static_cast<std::size_t>(it->counts_len);
    }
  }
  return view;
}

bool PayloadTableView::ragged_record(std::size_t record) const noexcept {
  return std::ranges::binary_search(ragged_, static_cast<std::uint32_t>(record), {}, &RaggedRecord::record);
}

std::optional<Payload> PayloadTableView::payload(std::size_t slot) const {
  const auto view = get(slot);
  if (!view)
    return std::nullopt;
  return view->to_payload();
}

std::expected<PayloadTableView, std::string> PayloadTableView::adopt(const PayloadTableParts& parts) {
  using std::format;
  const std::uint8_t w = parts.slot_width;
  if (w < 1 || w > 4)
    return std::unexpected(format("slot width {} is not 1 to 4", w));
  if (parts.slots > capacity_of(Capacity::Nodes) || parts.slot_bytes.size() != parts.slots * w + SlotRecords::kSlack)
    return std::unexpected(format("{} slot bytes for {} slots of {} bytes", parts.slot_bytes.size(), parts.slots, w));
  const EntryPacking packing = parts.packing;
  if (packing.id_bytes < 1 || packing.id_bytes > 4 || packing.count_bytes < 1 || packing.count_bytes > 4)
    return std::unexpected(format("entry packing {}+{} is not 1 to 4 bytes each", packing.id_bytes, packing.count_bytes));
  if (parts.entry_count > capacity_of(Capacity::VideoEntries) ||
      parts.entry_bytes.size() != parts.entry_count * packing.stride() + kEntrySlack)
    return std::unexpected(
        format("{} entry bytes for {} entries of {} bytes", parts.entry_bytes.size(), parts.entry_count, packing.stride()));
  const std::span<const PayloadRecord> records = parts.records;
  if (records.empty() || records.size() - 1 > capacity_of(Capacity::Records))
    return std::unexpected(format("{} records, without the closing one", records.size()));
  for (std::size_t r = 1; r < records.size(); ++r)
    if (records[r].begin < records[r - 1].begin)
      return std::unexpected(format("record {} begins at entry {}, before record {}", r, records[r].begin, r - 1));
  if (records.front().begin != 0 || records.back().begin != parts.entry_count)
    return std::unexpected(format("the records cover entries {}..{}, not the {} entries", records.front().begin,
                                  records.back().begin, parts.entry_count));
  const std::size_t record_count = records.size() - 1;
  const SlotRecords slots(parts.slot_bytes.data(), parts.slots, w);
  // The largest record named, in one sweep (the absent mark reads as kNoRecord).
  std::uint32_t worst = 0;
  std::size_t at = 0;
  for (std::size_t i = 0; i < parts.slots; ++i) {
    const std::uint32_t r = slots[i];
    const std::uint32_t named = r == kNoRecord ? 0 : r + 1;
    if (named > worst) {
      worst = named;
      at = i;
    }
  }
  if (worst > record_count)
    return std::unexpected(format("slot {} names record {} of {}", at, worst - 1, record_count));
  const std::span<const RaggedRecord> ragged = parts.ragged;
  for (std::size_t i = 0; i < ragged.size(); ++i) {
    const RaggedRecord& g = ragged[i];
    if (g.record >= record_count || (i > 0 && g.record <= ragged[i - 1].record))
      return std::unexpected(format("uneven record {} is out of order or past the {} records", g.record, record_count));
    const std::uint64_t length = records[g.record + 1].begin - records[g.record].begin;
    if (std::max(g.ids_len, g.counts_len) != length)
      return std::unexpected(format("uneven record {} claims {} and {} values for {} entries", g.record, g.ids_len,
                                    g.counts_len, length));
  }
  return PayloadTableView(parts.slot_bytes, parts.slots, w, records, parts.entry_bytes, parts.entry_count, packing,
                          ragged);
}

bool PayloadTableView::same_payloads(const PayloadTableView& other) const noexcept {
  if (size() != other.size())
    return false;
  for (std::size_t s = 0; s < size(); ++s) {
    const bool present = present_unchecked(s);
    if (present != other.present_unchecked(s))
      return false;
    if (!present)
      continue;
    const PayloadView a = view_unchecked(s);
    const PayloadView b = other.view_unchecked(s);
    if (a.count != b.count || a.ids_len != b.ids_len || a.counts_len != b.counts_len)
      return false;
    // Beyond the shorter list, storage holds zeros that are not part of the
    // payload; compare only the values the lists hold.
    for (std::size_t i = 0; i < a.entries.size(); ++i) {
      const VideoEntry x = a.entries[i];
      const VideoEntry y = b.entries[i];
      if (i < a.ids_len && x.id != y.id)
        return false;
      if (i < a.counts_len && x.count != y.count)
        return false;
    }
  }
  return true;
}

// ---------------------------------------------------------------- the table

std::size_t PayloadTable::memory_bytes() const noexcept {
  return slot_bytes_.capacity() + records_.capacity() * sizeof(PayloadRecord) +
         entry_bytes_.capacity() + ragged_.capacity() * sizeof(RaggedRecord);
}

void PayloadTable::reserve(std::size_t slots, std::size_t entries) {
  snapshot::reserve_advised(slot_bytes_, slots * SlotRecords::width_for(slots) + SlotRecords::kSlack);
  snapshot::reserve_advised(records_, slots + 1);
  snapshot::reserve_advised(entry_bytes_, entries * packing_.stride() + kEntrySlack);
}

template <class Entries>
void PayloadTable::append_entries(const Entries& entries) {
  check_capacity(Capacity::VideoEntries, entry_count_, entries.size());
  const EntryPacking needed = packing_.widest(packing_for(entries));
  if (needed != packing_) {
    // Every entry so far moves to the wider packing (at most six times in
    // a table's life: each width only grows).
    std::vector<std::uint8_t> wider(entry_count_ * needed.stride() + kEntrySlack);
    const std::size_t from = packing_.stride();
    for (std::size_t i = 0; i < entry_count_; ++i)
      needed.write(wider.data() + i * needed.stride(), packing_.read(entry_bytes_.data() + i * from));
    entry_bytes_.swap(wider);
    packing_ = needed;
  }
  const std::size_t stride = packing_.stride();
  std::size_t at = entry_count_ * stride;
  entry_bytes_.resize(at + entries.size() * stride + kEntrySlack);
  for (const VideoEntry e : entries) {
    packing_.write(entry_bytes_.data() + at, e);
    at += stride;
  }
  entry_count_ += entries.size();
}

void PayloadTable::pack(std::span<const VideoEntry> entries) {
  check_capacity(Capacity::VideoEntries, 0, entries.size());
  packing_ = packing_for(entries);
  const std::size_t stride = packing_.stride();
  std::vector<std::uint8_t> bytes;
  snapshot::reserve_advised(bytes, entries.size() * stride + kEntrySlack);
  bytes.resize(entries.size() * stride + kEntrySlack);
  std::uint8_t* at = bytes.data();
  for (const VideoEntry e : entries) {
    packing_.write(at, e);
    at += stride;
  }
  entry_bytes_.swap(bytes);
  entry_count_ = entries.size();
}

std::uint32_t PayloadTable::append_record(std::uint32_t count) {
  // The closing record holds the begin of the entries appended since the
  // record before it; it becomes their record, and a new one closes.
  const std::size_t record = records_.size() - 1;
  check_capacity(Capacity::Records, record, 1);
  records_.back().count = count;
  records_.push_back({0, static_cast<std::uint32_t>(entry_count_)});
  return static_cast<std::uint32_t>(record);
}

void PayloadTable::append_slot(std::uint32_t record) {
  const std::uint8_t width = SlotRecords::width_for(record_count());
  if (width > slot_width_) {
    // Every slot so far moves to the wider packing (at most three times in a
    // table's life).
    const SlotRecords old(slot_bytes_.data(), slot_count_, slot_width_);
    std::vector<std::uint8_t> wider(slot_count_ * width + SlotRecords::kSlack);
    for (std::size_t i = 0; i < slot_count_; ++i)
      SlotRecords::store(wider.data() + i * width, old[i], width);
    slot_bytes_.swap(wider);
    slot_width_ = width;
  }
  slot_bytes_.resize((slot_count_ + 1) * slot_width_ + SlotRecords::kSlack);
  SlotRecords::store(slot_bytes_.data() + slot_count_ * slot_width_, record, slot_width_);
  ++slot_count_;
}

void PayloadTable::pack_slots(std::span<const std::uint32_t> slots) {
  check_capacity(Capacity::Nodes, 0, slots.size());
  const std::uint8_t width = SlotRecords::width_for(record_count());
  std::vector<std::uint8_t> bytes;
  snapshot::reserve_advised(bytes, slots.size() * width + SlotRecords::kSlack);
  bytes.resize(slots.size() * width + SlotRecords::kSlack);
  for (std::size_t i = 0; i < slots.size(); ++i)
    SlotRecords::store(bytes.data() + i * width, slots[i], width);
  slot_bytes_.swap(bytes);
  slot_count_ = slots.size();
  slot_width_ = width;
}

void PayloadTable::push_absent() {
  check_capacity(Capacity::Nodes, slot_count_, 1);
  append_slot(kNoRecord);
}

void PayloadTable::push(std::uint32_t count, std::span<const VideoEntry> entries) {
  check_capacity(Capacity::Nodes, slot_count_, 1);
  append_entries(entries);
  append_slot(append_record(count));
}

namespace {

/// Two lists of different lengths as one list of entries: the longer one's
/// worth, the shorter side 0 beyond its end.
struct PairedLists {
  std::span<const std::uint32_t> ids;
  std::span<const std::uint32_t> counts;

  [[nodiscard]] std::size_t size() const noexcept { return std::max(ids.size(), counts.size()); }
  [[nodiscard]] VideoEntry operator[](std::size_t i) const noexcept {
    return {i < ids.size() ? ids[i] : 0, i < counts.size() ? counts[i] : 0};
  }
  struct iterator {
    const PairedLists* lists;
    std::size_t i;
    VideoEntry operator*() const noexcept { return (*lists)[i]; }
    iterator& operator++() noexcept {
      ++i;
      return *this;
    }
    bool operator==(const iterator&) const = default;
  };
  [[nodiscard]] iterator begin() const noexcept { return {this, 0}; }
  [[nodiscard]] iterator end() const noexcept { return {this, size()}; }
};

}  // namespace

void PayloadTable::push(std::uint32_t count, std::span<const std::uint32_t> ids,
                        std::span<const std::uint32_t> counts) {
  check_capacity(Capacity::Nodes, slot_count_, 1);
  append_entries(PairedLists{ids, counts});
  const std::uint32_t record = append_record(count);
  if (ids.size() != counts.size())
    ragged_.push_back({record, ids.size(), counts.size()});
  append_slot(record);
}

void PayloadTable::push(const std::optional<Payload>& payload) {
  if (payload)
    push(*payload);
  else
    push_absent();
}

PayloadTable PayloadTable::from_lists(const std::vector<std::uint32_t>& counts,
                                      const std::vector<std::uint32_t>& begins, std::vector<VideoEntry> entries) {
  const std::size_t n = counts.size();
  check_capacity(Capacity::Nodes, 0, n);
  check_capacity(Capacity::VideoEntries, 0, entries.size());
  if (begins.size() != n + 1 || begins[n] != entries.size()) [[unlikely]]
    index_fault(entries.size(), begins.empty() ? 0 : begins.back(), std::source_location::current());
  PayloadTable table;
  table.records_.resize(n + 1);
  std::vector<std::uint32_t> slots(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (begins[i] > begins[i + 1]) [[unlikely]]
      index_fault(begins[i + 1], begins[i], std::source_location::current());
    slots[i] = static_cast<std::uint32_t>(i);
    table.records_[i] = {counts[i], begins[i]};
  }
  table.records_[n] = {0, begins[n]};
  table.pack_slots(slots);
  table.pack(entries);
  return table;
}

PayloadTable PayloadTable::from_records(std::vector<std::uint32_t> slot_records, std::vector<PayloadRecord> records,
                                        std::vector<VideoEntry> entries) {
  check_capacity(Capacity::Nodes, 0, slot_records.size());
  check_capacity(Capacity::Records, 0, records.size());
  check_capacity(Capacity::VideoEntries, 0, entries.size());
  const auto where = std::source_location::current();
  for (std::size_t r = 0; r < records.size(); ++r) {
    const std::size_t end = r + 1 < records.size() ? records[r + 1].begin : entries.size();
    if (records[r].begin > end) [[unlikely]]
      index_fault(end, records[r].begin, where);
  }
  for (const std::uint32_t r : slot_records)
    if (r != kNoRecord && r >= records.size()) [[unlikely]]
      index_fault(records.size(), r, where);
  PayloadTable table;
  records.push_back({0, static_cast<std::uint32_t>(entries.size())});
  table.records_ = std::move(records);
  table.pack_slots(slot_records);
  table.pack(entries);
  return table;
}

// ---------------------------------------------------------------- loading

PayloadTable::Loader::Loader(PayloadTable& table, std::size_t max_slots, std::size_t expected_entries)
    : table_(table), max_slots_(max_slots) {
  check_capacity(Capacity::Nodes, 0, max_slots);
  // Every slot may hold a record of its own: the slots are packed for that
  // many records, and room for that many records costs address space only
  // until records arrive.
  width_ = SlotRecords::width_for(max_slots);
  snapshot::reserve_advised(table_.slot_bytes_, max_slots * width_ + SlotRecords::kSlack);
  snapshot::reserve_advised(table_.records_, max_slots + 1);
  entries_.reserve(std::min<std::size_t>(expected_entries, capacity_of(Capacity::VideoEntries)));
  base_ = at_ = entries_.data();
  room_end_ = base_ + entries_.capacity();
}

void PayloadTable::Loader::extend_slots() noexcept {
  // Slots are made ready this many at a time, just ahead of their use; the
  // array never grows past what the constructor reserved, so it stays put.
  constexpr std::size_t kAhead = 16384;
  const std::size_t room = std::min(max_slots_, slot_room_ + kAhead);
  if (room == slot_room_)  // more slots than the bound given
    std::abort();
  table_.slot_bytes_.resize(room * width_ + SlotRecords::kSlack);
  slots_ = table_.slot_bytes_.data();
  slot_room_ = room;
}

std::uint32_t PayloadTable::Loader::new_record(std::uint32_t count) {
  std::vector<PayloadRecord>& records = table_.records_;
  const std::size_t record = records.size() - 1;
  check_capacity(Capacity::Records, record, 1);
  records.back().count = count;
  records.push_back({0, static_cast<std::uint32_t>(entries())});
  return static_cast<std::uint32_t>(record);
}

VideoEntry* PayloadTable::Loader::grow(std::size_t k, std::size_t expected_total) {
  const std::size_t used = entries();
  check_capacity(Capacity::VideoEntries, used, k);
  const std::size_t need = used + k;
  // A guess that falls short still grows the storage geometrically.
  const std::size_t grown = entries_.capacity() + entries_.capacity() / 4;
  entries_.reserve(std::min<std::size_t>(std::max({need, expected_total, grown}), capacity_of(Capacity::VideoEntries)));
  base_ = entries_.data();
  at_ = base_ + used;
  room_end_ = base_ + entries_.capacity();
  return at_;
}

void PayloadTable::Loader::present_ragged(std::uint32_t count, std::size_t ids_len, std::size_t counts_len) {
  at_ += std::max(ids_len, counts_len);
  const std::uint32_t record = new_record(count);
  table_.ragged_.push_back({record, ids_len, counts_len});
  close_slot(record);
}

void PayloadTable::Loader::finish() {
  table_.slot_bytes_.resize(slot_ * width_ + SlotRecords::kSlack);
  std::fill(table_.slot_bytes_.end() - SlotRecords::kSlack, table_.slot_bytes_.end(), std::uint8_t{0});
  table_.slot_count_ = slot_;
  table_.slot_width_ = width_;
  snapshot::trim_advised(table_.records_, table_.records_.size() / 8);
  table_.pack(std::span<const VideoEntry>(base_, entries()));
  entries_.clear();
}

}  // namespace quorvatel
