#include "payload/payload.hpp"

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <new>

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
      items[out].total += items[i].total;
    else
      items[++out] = items[i];
  }
  items.resize(out + 1);
  // Ids are unique now, so (total descending, id ascending) is a total order.
  sort_list(items, [](const VideoTotal& a, const VideoTotal& b) {
    return a.total != b.total ? a.total > b.total : a.id < b.id;
  });
}

VideoSums::VideoSums(std::size_t dense_ids) : total_(dense_ids), stamp_(dense_ids) {}

void VideoSums::take_ranked(std::uint64_t keep, std::vector<VideoTotal>& out) {
  out.clear();
  if (sparse_.empty()) {
    // Totals that fit 32 bits rank as one integer each, (total, ~id): the
    // larger key is the larger total, then the smaller id.
    bool narrow = true;
    keys_.clear();
    for (const std::uint32_t id : touched_) {
      narrow = narrow && total_[id] <= kCountMax;
      keys_.push_back((total_[id] << 32) | (~id & 0xFFFFFFFFu));
    }
    if (narrow) {
      touched_.clear();
      if (++round_ == 0) {
        std::ranges::fill(stamp_, 0);
        round_ = 1;
      }
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
      return;
    }
  }
  for (const std::uint32_t id : touched_)
    out.push_back({id, total_[id]});
  if (!sparse_.empty()) {
    sum_and_rank(sparse_);  // unique ids, none of them dense
    out.insert(out.end(), sparse_.begin(), sparse_.end());
    sparse_.clear();
  }
  touched_.clear();
  if (++round_ == 0) {  // the stamps wrapped: forget every old round
    std::ranges::fill(stamp_, 0);
    round_ = 1;
  }
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

std::optional<PayloadView> PayloadTable::get(std::size_t slot, std::source_location where) const {
  if (slot >= counts_.size()) [[unlikely]]
    index_fault(counts_.size(), slot, where);
  if (!present_unchecked(slot))
    return std::nullopt;
  return view_unchecked(slot);
}

PayloadView PayloadTable::view_unchecked(std::size_t slot) const noexcept {
  const std::size_t begin = begins_[slot];
  const std::size_t end = begins_[slot + 1];
  PayloadView view{counts_[slot], std::span(entries_).subspan(begin, end - begin), end - begin, end - begin};
  if (flags_[slot] & kRagged) [[unlikely]] {
    const auto it = std::ranges::lower_bound(ragged_, static_cast<std::uint32_t>(slot), {}, &Ragged::slot);
    view.ids_len = it->ids_len;
    view.counts_len = it->counts_len;
  }
  return view;
}

void PayloadTable::reserve(std::size_t slots, std::size_t entries) {
  counts_.reserve(slots);
  begins_.reserve(slots + 1);
  flags_.reserve(slots);
  entries_.reserve(entries);
}

void PayloadTable::check_entry_room(std::size_t more) const {
  // Offsets are 32-bit to keep the per-node cost low; a table beyond 2^32-1
  // entries (over 32 GiB of videos) cannot be held.
  if (more > kCountMax - entries_.size())
    throw std::bad_alloc();
}

void PayloadTable::push_slot(std::uint32_t count, std::uint8_t flags) {
  if (counts_.size() >= kCountMax)
    throw std::bad_alloc();
  counts_.push_back(count);
  flags_.push_back(flags);
  begins_.push_back(static_cast<std::uint32_t>(entries_.size()));
}

void PayloadTable::push_absent() { push_slot(0, 0); }

void PayloadTable::push(std::uint32_t count, std::span<const VideoEntry> entries) {
  check_entry_room(entries.size());
  entries_.insert(entries_.end(), entries.begin(), entries.end());
  push_slot(count, kPresent);
}

void PayloadTable::push(std::uint32_t count, std::span<const std::uint32_t> ids,
                        std::span<const std::uint32_t> counts) {
  const std::size_t common = std::min(ids.size(), counts.size());
  const std::size_t longest = std::max(ids.size(), counts.size());
  check_entry_room(longest);
  for (std::size_t i = 0; i < common; ++i)
    entries_.push_back({ids[i], counts[i]});
  for (std::size_t i = common; i < ids.size(); ++i)
    entries_.push_back({ids[i], 0});
  for (std::size_t i = common; i < counts.size(); ++i)
    entries_.push_back({0, counts[i]});
  std::uint8_t flags = kPresent;
  if (ids.size() != counts.size()) {
    flags |= kRagged;
    ragged_.push_back({static_cast<std::uint32_t>(counts_.size()), ids.size(), counts.size()});
  }
  push_slot(count, flags);
}

void PayloadTable::push(const std::optional<Payload>& payload) {
  if (payload)
    push(*payload);
  else
    push_absent();
}

PayloadTable PayloadTable::from_parts(std::vector<std::uint32_t> counts, std::vector<std::uint32_t> begins,
                                      std::vector<VideoEntry> entries) {
  PayloadTable table;
  const std::size_t n = counts.size();
  if (n >= kCountMax || entries.size() > kCountMax)
    throw std::bad_alloc();
  table.counts_ = std::move(counts);
  table.flags_.assign(n, kPresent);
  table.begins_ = std::move(begins);
  table.entries_ = std::move(entries);
  return table;
}

std::optional<Payload> PayloadTable::payload(std::size_t slot) const {
  const auto view = get(slot);
  if (!view)
    return std::nullopt;
  return view->to_payload();
}

std::size_t PayloadTable::memory_bytes() const noexcept {
  return counts_.capacity() * sizeof(std::uint32_t) + begins_.capacity() * sizeof(std::uint32_t) +
         flags_.capacity() + entries_.capacity() * sizeof(VideoEntry) + ragged_.capacity() * sizeof(Ragged);
}

PayloadTable::Loader::Loader(PayloadTable& table, std::size_t max_slots, std::size_t expected_entries)
    : table_(table), max_slots_(max_slots) {
  if (max_slots > kCountMax)
    throw std::bad_alloc();
  table_.counts_.reserve(max_slots);
  table_.flags_.reserve(max_slots);
  table_.begins_.reserve(max_slots + 1);
  table_.entries_.reserve(std::min<std::size_t>(expected_entries, kCountMax));
  snapshot::advise_huge_pages(table_.counts_.data(), max_slots * sizeof(std::uint32_t));
  snapshot::advise_huge_pages(table_.begins_.data(), (max_slots + 1) * sizeof(std::uint32_t));
  snapshot::advise_huge_pages(table_.flags_.data(), max_slots);
  base_ = at_ = room_end_ = table_.entries_.data();
}

void PayloadTable::Loader::extend_slots() noexcept {
  // Slots are made ready this many at a time, just ahead of their use; the
  // arrays never grow past what the constructor reserved, so they stay put.
  constexpr std::size_t kAhead = 16384;
  const std::size_t room = std::min(max_slots_, slot_room_ + kAhead);
  if (room == slot_room_)  // more slots than the bound given
    std::abort();
  table_.counts_.resize(room);
  table_.flags_.resize(room);
  table_.begins_.resize(room + 1);
  counts_ = table_.counts_.data();
  flags_ = table_.flags_.data();
  begins_ = table_.begins_.data();
  slot_room_ = room;
}

VideoEntry* PayloadTable::Loader::grow(std::size_t k, std::size_t expected_total) {
  // The zero-filled room runs this far ahead of the entries appended, so the
  // fill stays in cache for the writes that follow it.
  constexpr std::size_t kAhead = 4096;
  const std::size_t used = entries();
  std::vector<VideoEntry>& store = table_.entries_;
  if (k > kCountMax - used)  // offsets are 32-bit, as for push()
    throw std::bad_alloc();
  const std::size_t need = used + k;
  if (need > store.capacity()) {
    // A guess that falls short still grows the storage geometrically.
    const std::size_t grown = store.capacity() + store.capacity() / 4;
    store.reserve(std::min<std::size_t>(std::max({need, expected_total, grown}), kCountMax));
    snapshot::advise_huge_pages(store.data(), store.capacity() * sizeof(VideoEntry));
  }
  store.resize(std::min(store.capacity(), std::max(need, store.size() + kAhead)));
  base_ = store.data();
  at_ = base_ + used;
  room_end_ = base_ + store.size();
  return at_;
}

void PayloadTable::Loader::present_ragged(std::uint32_t count, std::size_t ids_len, std::size_t counts_len) {
  table_.ragged_.push_back({static_cast<std::uint32_t>(slot_), ids_len, counts_len});
  close_slot(count, kPresent | kRagged, std::max(ids_len, counts_len));
}

void PayloadTable::Loader::finish() {
  table_.counts_.resize(slot_);
  table_.flags_.resize(slot_);
  table_.begins_.resize(slot_ + 1);
  const std::size_t used = entries();
  table_.entries_.resize(used);
  if (table_.entries_.capacity() - used > slot_ / 4)
    table_.entries_.shrink_to_fit();
}

}  // namespace quorvatel
