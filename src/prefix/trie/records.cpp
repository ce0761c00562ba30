#include "prefix/trie/records.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <format>
#include <random>
#include <utility>

#include "core/capacity.hpp"
#include "prefix/trie/builder.hpp"

namespace quorvatel {
namespace {

constexpr std::uint64_t mix64(std::uint64_t x) noexcept {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ULL;
  x ^= x >> 33;
  return x;
}

// Node numbers are 32-bit and the payload table holds fewer than 2^32-1 slots.
constexpr std::size_t kMaxNodes = std::numeric_limits<std::uint32_t>::max() - 1;

constexpr std::uint32_t kCodePointBits = 21;  // U+10FFFF fits
constexpr std::uint64_t kCodePointMask = (std::uint64_t{1} << kCodePointBits) - 1;

bool scalar_value(char32_t c) noexcept { return c != 0 && c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF); }

class Terms {
 public:
  Terms(const std::vector<char32_t>& chars, const std::vector<std::size_t>& ends) : chars_(chars), ends_(ends) {}
  [[nodiscard]] std::size_t size() const noexcept { return ends_.size(); }
  [[nodiscard]] std::span<const char32_t> operator[](std::size_t t) const noexcept {
    const std::size_t begin = t == 0 ? 0 : ends_[t - 1];
    return std::span(chars_).subspan(begin, ends_[t] - begin);
  }

 private:
  const std::vector<char32_t>& chars_;
  const std::vector<std::size_t>& ends_;
};

/// Term ids in code-point order. A multikey sort: the terms are sorted by
/// their next three code points packed into one integer (0 past the end, so a
/// term sorts before its extensions), and each run of equal keys that may go
/// on is sorted again three code points further down.
std::vector<std::uint32_t> code_point_order(const Terms& terms) {
  struct Keyed {
    std::uint64_t key;
    std::uint32_t term;
  };
  struct Run {
    std::size_t begin;
    std::size_t end;
    std::size_t depth;
  };
  std::vector<Keyed> items(terms.size());
  for (std::size_t t = 0; t < items.size(); ++t)
    items[t].term = static_cast<std::uint32_t>(t);
  std::vector<Run> runs;
  if (items.size() > 1)
    runs.push_back({0, items.size(), 0});
  while (!runs.empty()) {
    const Run run = runs.back();
    runs.pop_back();
    for (std::size_t i = run.begin; i < run.end; ++i) {
      const auto text = terms[items[i].term];
      std::uint64_t key = 0;
      for (std::size_t j = run.depth; j < run.depth + 3; ++j)
        key = key << kCodePointBits | (j < text.size() ? text[j] : 0);
      items[i].key = key;
    }
    std::sort(items.begin() + static_cast<std::ptrdiff_t>(run.begin),
              items.begin() + static_cast<std::ptrdiff_t>(run.end),
              [](const Keyed& a, const Keyed& b) { return a.key < b.key; });
    for (std::size_t i = run.begin; i < run.end;) {
      std::size_t j = i + 1;
      while (j < run.end && items[j].key == items[i].key)
        ++j;
      // Equal keys that end in a 0 would be equal terms, which are merged
      // already; only runs whose three code points are all present go on.
      if (j - i > 1 && (items[i].key & kCodePointMask) != 0)
        runs.push_back({i, j, run.depth + 3});
      i = j;
    }
  }
  std::vector<std::uint32_t> order(items.size());
  for (std::size_t i = 0; i < items.size(); ++i)
    order[i] = items[i].term;
  return order;
}

}  // namespace

RecordsBuilder::RecordsBuilder() : term_slots_(1024), int_slots_(1024), uuid_slots_(1024) {
  std::random_device source;
  video_seed_ = (static_cast<std::uint64_t>(source()) << 32) ^ source();
}

void RecordsBuilder::prefetch_term(std::uint64_t hash) const noexcept {
  __builtin_prefetch(&term_slots_[static_cast<std::size_t>(mix64(hash)) & (term_slots_.size() - 1)]);
}

std::uint64_t RecordsBuilder::int_hash(std::uint32_t id) const noexcept { return mix64(id ^ video_seed_); }

std::uint64_t RecordsBuilder::uuid_hash(const VideoUuid& id) const noexcept {
  std::uint64_t lo = 0;
  std::uint64_t hi = 0;
  std::memcpy(&lo, id.data(), 8);
  std::memcpy(&hi, id.data() + 8, 8);
  return mix64(lo ^ video_seed_) ^ mix64(hi + video_seed_);
}

void RecordsBuilder::prefetch_int_video(std::uint32_t id) const noexcept {
  __builtin_prefetch(&int_slots_[static_cast<std::size_t>(int_hash(id)) & (int_slots_.size() - 1)]);
}

void RecordsBuilder::prefetch_uuid_video(const VideoUuid& id) const noexcept {
  __builtin_prefetch(&uuid_slots_[static_cast<std::size_t>(uuid_hash(id)) & (uuid_slots_.size() - 1)]);
}

template <class Unit>
std::uint32_t RecordsBuilder::term(std::uint64_t hash, std::span<const Unit> text) {
  const std::uint64_t mixed = mix64(hash);
  const std::uint64_t tag = mixed & 0xFFFFFFFF00000000ULL;
  const std::size_t mask = term_slots_.size() - 1;
  std::size_t slot = static_cast<std::size_t>(mixed) & mask;
  for (; term_slots_[slot] != 0; slot = (slot + 1) & mask) {
    const std::uint64_t entry = term_slots_[slot];
    if ((entry & 0xFFFFFFFF00000000ULL) != tag)
      continue;
    const auto id = static_cast<std::uint32_t>(entry) - 1;
    const std::size_t begin = id == 0 ? 0 : ends_[id - 1];
    if (ends_[id] - begin == text.size() &&
        std::equal(text.begin(), text.end(), chars_.begin() + static_cast<std::ptrdiff_t>(begin),
                   [](Unit a, char32_t b) { return static_cast<char32_t>(a) == b; }))
      return id;
  }
  check_capacity(Capacity::Terms, term_hashes_.size(), 1);  // build() could not lay out more
  const auto id = static_cast<std::uint32_t>(term_hashes_.size());
  chars_.insert(chars_.end(), text.begin(), text.end());
  ends_.push_back(chars_.size());
  term_hashes_.push_back(hash);
  term_slots_[slot] = tag | (id + 1);
  if (2 * term_hashes_.size() > term_slots_.size())
    grow_terms();
  return id;
}

template std::uint32_t RecordsBuilder::term(std::uint64_t, std::span<const std::uint8_t>);
template std::uint32_t RecordsBuilder::term(std::uint64_t, std::span<const std::uint16_t>);
template std::uint32_t RecordsBuilder::term(std::uint64_t, std::span<const std::uint32_t>);

void RecordsBuilder::grow_terms() {
  std::vector<std::uint64_t> slots(2 * term_slots_.size());
  const std::size_t mask = slots.size() - 1;
  for (std::size_t id = 0; id < term_hashes_.size(); ++id) {
    const std::uint64_t mixed = mix64(term_hashes_[id]);
    std::size_t slot = static_cast<std::size_t>(mixed) & mask;
    while (slots[slot] != 0)
      slot = (slot + 1) & mask;
    slots[slot] = (mixed & 0xFFFFFFFF00000000ULL) | (id + 1);
  }
  term_slots_ = std::move(slots);
}

template <class Slot, class Key, class Hash>
std::uint32_t RecordsBuilder::video_row(std::vector<Slot>& slots, std::vector<Key>& keys, const Key& key, Hash hash) {
  std::size_t mask = slots.size() - 1;
  std::size_t slot = static_cast<std::size_t>(hash(key)) & mask;
  for (; slots[slot].row != 0; slot = (slot + 1) & mask)
    if (slots[slot].key == key)
      return slots[slot].row - 1;
  check_capacity(Capacity::Videos, keys.size(), 1);  // video rows are 32-bit, kNoVideo excluded
  const auto row = static_cast<std::uint32_t>(keys.size());
  keys.push_back(key);
  slots[slot] = {key, row + 1};
  if (2 * keys.size() > slots.size()) {
    std::vector<Slot> grown(2 * slots.size());
    mask = grown.size() - 1;
    for (std::size_t r = 0; r < keys.size(); ++r) {
      std::size_t s = static_cast<std::size_t>(hash(keys[r])) & mask;
      while (grown[s].row != 0)
        s = (s + 1) & mask;
      grown[s] = {keys[r], static_cast<std::uint32_t>(r + 1)};
    }
    slots = std::move(grown);
  }
  return row;
}

std::uint32_t RecordsBuilder::int_video(std::uint32_t id) {
  return video_row(int_slots_, int_ids_, id, [this](std::uint32_t k) { return int_hash(k); });
}

std::uint32_t RecordsBuilder::uuid_video(const VideoUuid& id) {
  return video_row(uuid_slots_, uuids_, id, [this](const VideoUuid& k) { return uuid_hash(k); });
}

void RecordsBuilder::add(std::uint32_t term, std::uint32_t video, std::uint32_t count) {
  rows_.push_back({term, video, count});
}

Result<Trie> RecordsBuilder::build(std::uint64_t video_top_n) && {
  if (!int_ids_.empty() && !uuids_.empty())
    return fail(ErrorKind::Value, "records mix 16-byte and integer video ids");
  const Terms terms(chars_, ends_);
  const std::size_t term_total = terms.size();
  const std::size_t video_total = video_count();
  for (std::size_t t = 0; t < term_total; ++t) {
    const auto text = terms[t];
    if (text.empty())
      return fail(ErrorKind::Value, "an empty term cannot be stored: the root of the trie ends no term");
    if (!std::ranges::all_of(text, scalar_value))
      return fail(ErrorKind::Value, std::format("term {} holds U+0000 or a value that is no Unicode scalar", t));
  }
  for (const Row& row : rows_)
    if (row.term >= term_total || (row.video != kNoVideo && row.video >= video_total))
      return fail(ErrorKind::Value, "a record names a term or video the builder never issued");

  // Lay out the trie: walking the terms in code-point order and adding the
  // nodes below each one's common prefix with the one before creates the
  // nodes in pre-order, each parent's children in code-point order.
  const std::vector<std::uint32_t> order = code_point_order(terms);
  std::vector<char32_t> labels{0};
  std::vector<std::uint32_t> parent{0};
  std::vector<std::uint32_t> node_of_rank(term_total);  // the node of the i-th term in code-point order
  std::vector<std::uint32_t> path{0};
  std::span<const char32_t> previous;
  constexpr std::size_t kAhead = 8;  // the terms lie in arrival order: fetch them a few steps ahead
  for (std::size_t i = 0; i < term_total; ++i) {
    if (i + 2 * kAhead < term_total)
      __builtin_prefetch(&ends_[order[i + 2 * kAhead]]);
    if (i + kAhead < term_total)
      __builtin_prefetch(terms[order[i + kAhead]].data());
    const auto text = terms[order[i]];
    const auto common = static_cast<std::size_t>(std::ranges::mismatch(previous, text).in2 - text.begin());
    // Distinct terms in order: none is a prefix of the one before it.
    if (common == text.size())
      return fail(ErrorKind::Value, std::format("term {} is given twice", order[i]));
    path.resize(common + 1);
    if (text.size() - common > kMaxNodes - labels.size())
      return fail(ErrorKind::Value, std::format("the terms need more than {} trie nodes", kMaxNodes));
    for (std::size_t k = common; k < text.size(); ++k) {
      const auto node = static_cast<std::uint32_t>(labels.size());
      labels.push_back(text[k]);
      parent.push_back(path.back());
      path.push_back(node);
    }
    node_of_rank[i] = path.back();
    previous = text;
  }
  const std::size_t n = labels.size();
  std::vector<std::uint32_t>().swap(path);

  // Edges: each node's children, in node order, which is code-point order.
  std::vector<std::uint32_t> node_shifts(n);
  for (std::size_t c = 1; c < n; ++c)
    ++node_shifts[parent[c]];
  std::uint32_t running = 0;
  for (std::uint32_t& shift : node_shifts)
    running += std::exchange(shift, running);
  std::vector<std::uint32_t> child_transitions(n - 1);
  {
    std::vector<std::uint32_t> cursor = node_shifts;
    for (std::size_t c = 1; c < n; ++c)
      child_transitions[cursor[parent[c]]++] = static_cast<std::uint32_t>(c);
  }
  std::vector<std::uint32_t>().swap(parent);

  // The records of each term together, in record order, the terms in
  // code-point order.
  std::vector<std::uint32_t> rank(term_total);
  for (std::size_t i = 0; i < term_total; ++i)
    rank[order[i]] = static_cast<std::uint32_t>(i);
  std::vector<std::size_t> row_begin(term_total + 1);
  for (Row& row : rows_) {
    row.term = rank[row.term];
    ++row_begin[row.term + 1];
  }
  for (std::size_t r = 0; r < term_total; ++r)
    row_begin[r + 1] += row_begin[r];
  std::vector<Row> grouped(rows_.size());
  {
    std::vector<std::size_t> cursor(row_begin.begin(), row_begin.end() - 1);
    for (const Row& row : rows_)
      grouped[cursor[row.term]++] = row;
  }
  std::vector<Row>().swap(rows_);
  std::vector<std::uint32_t>().swap(rank);
  std::vector<char32_t>().swap(chars_);
  std::vector<std::size_t>().swap(ends_);

  // Payloads: each term's node gets its summed count and its videos summed
  // and ranked; every other node an empty payload, as propagation would give
  // it. Term nodes come in node order when the terms are taken in code-point
  // order.
  std::vector<std::uint8_t> terminal_flags(n);
  std::vector<std::uint32_t> counts(n);
  std::vector<std::uint32_t> begins(n + 1);
  std::vector<VideoEntry> entries;
  entries.reserve(grouped.size());
  VideoSums sums;
  std::vector<VideoTotal> ranked;
  std::size_t next = 0;
  for (std::size_t r = 0; r < term_total; ++r) {
    const std::uint32_t node = node_of_rank[r];
    while (next <= node)
      begins[next++] = static_cast<std::uint32_t>(entries.size());
    terminal_flags[node] = 1;
    std::uint64_t total = 0;
    for (std::size_t k = row_begin[r]; k < row_begin[r + 1]; ++k) {
      const Row& row = grouped[k];
      total += row.count;
      if (row.video != kNoVideo)
        sums.add(row.video, row.count);
    }
    counts[node] = narrow_total(total);
    sums.take_ranked(std::numeric_limits<std::uint64_t>::max(), ranked);
    check_capacity(Capacity::VideoEntries, entries.size(), ranked.size());  // offsets are 32-bit
    for (const VideoTotal& v : ranked)
      entries.push_back({v.id, narrow_total(v.total)});
  }
  while (next <= n)
    begins[next++] = static_cast<std::uint32_t>(entries.size());
  std::vector<Row>().swap(grouped);

  VideoTable videos;
  if (!int_ids_.empty()) {
    videos.id_mode = IdMode::Int32;
    videos.int_ids = std::move(int_ids_);
  } else {
    videos.uuids = std::move(uuids_);
  }
  QV_TRY(check_arrays(node_shifts.size(), labels.size(), counts.size(), child_transitions));
  return assemble_trie(std::move(node_shifts), std::move(labels), std::move(child_transitions),
                       PayloadTable::from_lists(counts, begins, std::move(entries)),
                       std::move(terminal_flags), std::move(videos), video_top_n);
}

}  // namespace quorvatel
