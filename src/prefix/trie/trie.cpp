#include "prefix/trie/trie.hpp"

#include <algorithm>
#include <new>

#include "core/fault.hpp"

namespace quorvatel {

void Trie::propagate(std::uint64_t video_top_n) {
  const std::size_t n = payloads.size();
  // Finished lists, written in processing order (highest node first) into a
  // pool and laid out in node order at the end. A parent reads a child's
  // finished list when the child has the larger number, and its input list
  // otherwise (an edge against the expected numbering sees the child before
  // it is processed). An absent input payload reads as an empty one.
  std::vector<std::uint32_t> count(n);
  std::vector<std::uint32_t> begin(n);
  std::vector<std::uint32_t> length(n);
  // Whether a finished list is ranked (one entry per id, largest total
  // first, equal totals by id): true for every merged node.
  std::vector<std::uint8_t> ranked(n);
  std::vector<VideoEntry> pool;
  pool.reserve(payloads.entry_count());
  std::vector<VideoTotal> totals;
  auto input = [&](std::size_t node) {
    const auto view = payloads.get(node);
    return view ? *view : PayloadView{};
  };
  auto append = [&](std::span<const VideoEntry> list) {
    if (list.size() > kCountMax - pool.size())
      throw std::bad_alloc();
    pool.insert(pool.end(), list.begin(), list.end());
  };

  for (std::size_t i = n; i-- > 0;) {
    const PayloadView own = input(i);
    const EdgeRange range = edge_range(i);
    // The edges are read in order, so a range running past the end of the
    // edges faults at its first missing edge; a fault fails the whole build.
    std::size_t children = 0;
    std::size_t only = 0;
    for (std::size_t e = range.begin; e < range.end; ++e) {
      const std::size_t c = child(e);
      // The builder refuses edge targets at or past the node count; the check
      // keeps a hand-assembled trie from reading outside the work arrays.
      if (c >= n) [[unlikely]]
        index_fault(n, c, std::source_location::current());
      if (c != i) {
        ++children;
        only = c;
      }
    }

    std::uint32_t total = own.count;
    begin[i] = static_cast<std::uint32_t>(pool.size());
    if (children == 0) {
      // Never merged: the list keeps its given order and repeated ids.
      append(own.entries.first(static_cast<std::size_t>(std::min<std::uint64_t>(own.entries.size(), video_top_n))));
      ranked[i] = 0;
    } else if (children == 1 && own.entries.empty() && only > i && ranked[only]) {
      // A chain: merging one ranked, trimmed list into nothing leaves it as it is.
      total = saturating_add(total, count[only]);
      const std::size_t from = begin[only];
      const std::size_t size = length[only];
      if (size > kCountMax - pool.size())
        throw std::bad_alloc();
      pool.resize(pool.size() + size);
      std::copy_n(pool.data() + from, size, pool.data() + begin[i]);
      ranked[i] = 1;
    } else {
      totals.clear();
      for (const VideoEntry& v : own.entries)
        totals.push_back({v.id, v.count});
      for (std::size_t e = range.begin; e < range.end; ++e) {
        const std::size_t c = child_transitions[e];
        if (c == i)
          continue;  // an edge to itself brings nothing
        std::span<const VideoEntry> list;
        if (c > i) {
          total = saturating_add(total, count[c]);
          list = std::span<const VideoEntry>(pool).subspan(begin[c], length[c]);
        } else {
          const PayloadView raw = input(c);
          total = saturating_add(total, raw.count);
          list = raw.entries;
        }
        for (const VideoEntry& v : list)
          totals.push_back({v.id, v.count});
      }
      sum_and_rank(totals);
      const std::size_t keep = static_cast<std::size_t>(std::min<std::uint64_t>(totals.size(), video_top_n));
      if (keep > kCountMax - pool.size())
        throw std::bad_alloc();
      for (std::size_t k = 0; k < keep; ++k)
        pool.push_back({totals[k].id, narrow_total(totals[k].total)});
      ranked[i] = 1;
    }
    count[i] = total;
    length[i] = static_cast<std::uint32_t>(pool.size() - begin[i]);
  }
  payloads = PayloadTable::from_lists(std::move(count), begin, length, pool);
}

std::size_t Trie::memory_bytes() const noexcept {
  return node_shifts.capacity() * sizeof(std::uint32_t) + child_labels.capacity() * sizeof(char32_t) +
         child_transitions.capacity() * sizeof(std::uint32_t) + payloads.memory_bytes() +
         video_uuids.capacity() * sizeof(VideoUuid) + video_int_ids.capacity() * sizeof(std::uint32_t) +
         terminal_flags.capacity();
}

}  // namespace quorvatel
