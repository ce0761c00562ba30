#include "prefix/trie/trie.hpp"

#include <algorithm>
#include <functional>
#include <limits>
#include <span>

#include "core/capacity.hpp"
#include "core/fault.hpp"
#include "snapshot/memory.hpp"

namespace quorvatel {

namespace {

/// `count` taken `times` times, saturating at 2^64-1.
[[nodiscard]] std::uint64_t scaled(std::uint64_t count, std::uint64_t times) noexcept {
  if (times == 1)
    return count;
  std::uint64_t product;
  return __builtin_mul_overflow(count, times, &product) ? std::numeric_limits<std::uint64_t>::max() : product;
}

/// A node's child and the number of edges that lead to it.
struct ChildEdges {
  std::uint32_t node;
  std::uint64_t edges;
};

}  // namespace

void Trie::propagate(std::uint64_t video_top_n) {
  const PayloadTableView input = payloads.view();
  const std::size_t n = input.size();
  auto own_of = [&](std::size_t node) {  // node < n; an absent payload reads as an empty one
    return input.present_unchecked(node) ? input.view_unchecked(node) : PayloadView{};
  };

  // The result is built in one pass, highest node first, each list appended
  // as it is produced. A node reached along several edges from one parent
  // contributes once per edge: its list and count are taken that many times
  // (in 64 bits, so any number of paths sums exactly). A node whose result
  // is its only child's list unchanged shares that child's record; the
  // entries are packed once all are made.
  //
  // Per node, once processed: its record, its count, and whether its list is
  // in merged order, so that merging it into an empty payload gives it back
  // unchanged. Kept per node so that a parent reads its children's, which
  // lie close together, rather than their records, which need not.
  std::vector<std::uint32_t> record_of;
  std::vector<std::uint32_t> count_of;
  std::vector<std::uint8_t> ordered;
  std::vector<PayloadRecord> records;
  std::vector<VideoEntry> entries;
  // Every node may need a record of its own: room for that costs address
  // space only until records arrive.
  snapshot::reserve_advised(record_of, n);
  snapshot::reserve_advised(count_of, n);
  snapshot::reserve_advised(ordered, n);
  record_of.resize(n);
  count_of.resize(n);
  ordered.resize(n);
  snapshot::reserve_advised(records, n);
  snapshot::reserve_advised(entries, 2 * input.entry_count() + 1024);

  VideoSums sums;
  std::vector<VideoTotal> totals;
  std::vector<ChildEdges> children;

  auto add_record = [&](std::uint32_t count, const auto& list) {
    check_capacity(Capacity::Records, records.size(), 1);
    check_capacity(Capacity::VideoEntries, entries.size(), list.size());
    snapshot::grow_advised(entries, entries.size() + list.size());
    records.push_back({count, static_cast<std::uint32_t>(entries.size())});
    for (const VideoEntry v : list)
      entries.push_back(v);
    return static_cast<std::uint32_t>(records.size() - 1);
  };
  auto record_list = [&](std::uint32_t r) {
    const std::size_t begin = records[r].begin;
    const std::size_t end = r + 1 < records.size() ? records[r + 1].begin : entries.size();
    return std::span<const VideoEntry>(entries).subspan(begin, end - begin);
  };

  // A merge reads its children's lists, which lie wherever their records
  // were made (for a chain, at its far end). They are fetched ahead, in two
  // steps a few nodes apart: a child's record, then the start of its list.
  // Only nodes that will merge (more than one edge, or a list of their own)
  // are looked at, and only their first few edges; nothing here changes a
  // result, and every read stays inside the arrays.
  const std::size_t m = child_transitions.size();
  auto fetch_ahead = [&](std::size_t i, std::size_t ahead, bool lists) {
    if (i < ahead)
      return;
    const std::size_t j = i - ahead;
    if (j + 1 >= node_shifts.size())
      return;
    const std::size_t begin = node_shifts[j];
    const std::size_t end = std::min<std::size_t>(node_shifts[j + 1], m);
    if (begin >= end || (end - begin == 1 && !input.present_unchecked(j)))
      return;
    for (std::size_t e = begin; e < std::min(end, begin + 4); ++e) {
      const std::size_t c = child_transitions[e];
      if (c <= i || c >= n)
        continue;  // not finished yet, or no node
      const std::uint32_t r = record_of[c];
      if (!lists)
        __builtin_prefetch(&records[r]);
      else
        __builtin_prefetch(entries.data() + records[r].begin);
    }
  };
  constexpr std::size_t kRecordsAhead = 16;
  constexpr std::size_t kListsAhead = 8;

  for (std::size_t i = n; i-- > 0;) {
    fetch_ahead(i, kRecordsAhead, false);
    fetch_ahead(i, kListsAhead, true);
    const PayloadView own = own_of(i);

    // The children, each with its number of edges. Edges to the node itself
    // bring nothing. The edges are read in order, so a range running past
    // the end of the edges faults at its first missing edge, and a fault
    // fails the whole build.
    children.clear();
    const EdgeRange range = edge_range(i);
    auto target = [&](std::size_t e) {
      const std::size_t c = child(e);
      // The builder refuses edge targets at or past the node count; the check
      // keeps a hand-assembled trie from reading outside the work arrays.
      if (c >= n) [[unlikely]]
        index_fault(n, c, std::source_location::current());
      return static_cast<std::uint32_t>(c);
    };
    if (range.end == range.begin + 1) {  // most nodes: one edge
      if (const std::uint32_t c = target(range.begin); c != i)
        children.push_back({c, 1});
    } else if (range.begin < range.end) {
      // Runs of one target are counted as they come; children out of order
      // (or one child in several runs) are then sorted and merged.
      for (std::size_t e = range.begin; e < range.end; ++e) {
        const std::uint32_t c = target(e);
        if (c == i)
          continue;
        if (!children.empty() && children.back().node == c)
          ++children.back().edges;
        else
          children.push_back({c, 1});
      }
      const auto by_node = [](const ChildEdges& a, const ChildEdges& b) { return a.node < b.node; };
      if (std::ranges::adjacent_find(children, std::not_fn(by_node)) != children.end()) {
        std::ranges::sort(children, by_node);
        std::size_t out = 0;
        for (std::size_t k = 1; k < children.size(); ++k) {
          if (children[k].node == children[out].node)
            children[out].edges += children[k].edges;
          else
            children[++out] = children[k];
        }
        children.resize(out + 1);
      }
    }

    // The count: the node's own plus each child's, once per edge. A child
    // with the larger number is finished; one with a smaller number (an edge
    // against the expected numbering) brings its input payload.
    std::uint32_t count = own.count;
    for (const ChildEdges& ch : children) {
      const std::uint32_t child_count = ch.node > i ? count_of[ch.node] : own_of(ch.node).count;
      count = narrow_total(saturating_add64(count, scaled(child_count, ch.edges)));
    }

    count_of[i] = count;
    if (children.empty()) {
      // Never merged: the list keeps its given order and repeated ids.
      const std::size_t keep = static_cast<std::size_t>(std::min<std::uint64_t>(own.entries.size(), video_top_n));
      const auto list = own.entries.first(keep);
      record_of[i] = add_record(count, list);
      ordered[i] = merged_order(list) ? 1 : 0;
      continue;
    }
    if (const std::uint32_t c = children[0].node;
        children.size() == 1 && children[0].edges == 1 && own.entries.empty() && c > i && ordered[c]) {
      // One path to one finished list in merged order, and nothing of its
      // own: merging gives the child's list as it is, already trimmed.
      record_of[i] = count == count_of[c] ? record_of[c] : add_record(count, record_list(record_of[c]));
      ordered[i] = 1;
      continue;
    }
    for (const VideoEntry v : own.entries)
      sums.add(v.id, v.count);
    const auto add_list = [&](const auto& list, std::uint64_t edges) {
      if (edges == 1) {
        for (const VideoEntry v : list)
          sums.add(v.id, v.count);
      } else {
        for (const VideoEntry v : list)
          sums.add(v.id, scaled(v.count, edges));
      }
    };
    for (const ChildEdges& ch : children) {
      if (ch.node > i)
        add_list(record_list(record_of[ch.node]), ch.edges);
      else
        add_list(own_of(ch.node).entries, ch.edges);
    }
    sums.take_ranked(video_top_n, totals);
    check_capacity(Capacity::Records, records.size(), 1);
    check_capacity(Capacity::VideoEntries, entries.size(), totals.size());
    snapshot::grow_advised(entries, entries.size() + totals.size());
    records.push_back({count, static_cast<std::uint32_t>(entries.size())});
    for (const VideoTotal& t : totals)
      entries.push_back({t.id, narrow_total(t.total)});
    record_of[i] = static_cast<std::uint32_t>(records.size() - 1);
    // One entry per id, ranked by the full totals: only saturated totals can
    // leave equal counts out of id order.
    ordered[i] = ranked_order(record_list(record_of[i])) ? 1 : 0;
  }

  snapshot::trim_advised(records, records.size() / 8);
  payloads = PayloadTable::from_records(std::move(record_of), std::move(records), std::move(entries));
}

std::size_t Trie::layout_memory_bytes() const noexcept {
  if (!layout)
    return 0;
  return layout->edge_labels.capacity() * sizeof(std::uint16_t) +
         layout->wide_labels.capacity() * sizeof(WideLabel) + layout->edge_heights.capacity();
}

}  // namespace quorvatel
