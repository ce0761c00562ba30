#include "prefix/trie/trie.hpp"

#include <algorithm>
#include <new>

#include "core/fault.hpp"

namespace quorvatel {

void Trie::propagate(std::uint64_t video_top_n) {
  const std::size_t n = payloads.size();
  // Absent payloads become empty ones: count 0, no videos.
  PayloadTable input;
  input.reserve(n, payloads.entry_count());
  for (std::size_t i = 0; i < n; ++i) {
    if (auto view = payloads.get(i))
      input.push(view->count, view->entries);
    else
      input.push(0, std::span<const VideoEntry>{});
  }
  if (n == 0) {
    payloads = std::move(input);
    return;
  }

  // Finished lists, written in processing order (highest node first) and laid
  // out in node order at the end. A parent reads a child's finished list when
  // the child has the larger number, and its input list otherwise (an edge
  // against the expected numbering sees the child before it is processed).
  std::vector<std::uint32_t> done_count(n);
  std::vector<std::uint32_t> done_begin(n);
  std::vector<std::uint32_t> done_len(n);
  std::vector<VideoEntry> done;
  done.reserve(input.entry_count());
  std::vector<VideoTotal> totals;

  for (std::size_t i = n; i-- > 0;) {
    const PayloadView own = input.view_unchecked(i);
    std::uint32_t count = own.count;
    bool merged = false;
    totals.clear();
    const EdgeRange range = edge_range(i);
    for (std::size_t e = range.begin; e < range.end; ++e) {
      const std::size_t c = child(e);
      if (c == i)
        continue;  // an edge to itself brings nothing
      if (!merged) {
        merged = true;
        for (const VideoEntry& v : own.entries)
          totals.push_back({v.id, v.count});
      }
      // The builder refuses edge targets at or past the node count; the check
      // keeps a hand-assembled trie from reading outside the work arrays.
      if (c >= n) [[unlikely]]
        index_fault(n, c, std::source_location::current());
      if (c > i) {
        count = saturating_add(count, done_count[c]);
        const auto* first = done.data() + done_begin[c];
        for (const VideoEntry* v = first; v != first + done_len[c]; ++v)
          totals.push_back({v->id, v->count});
      } else {
        const PayloadView raw = input.view_unchecked(c);
        count = saturating_add(count, raw.count);
        for (const VideoEntry& v : raw.entries)
          totals.push_back({v.id, v.count});
      }
    }
    if (done.size() > kCountMax - totals.size() - own.entries.size())
      throw std::bad_alloc();
    done_count[i] = count;
    done_begin[i] = static_cast<std::uint32_t>(done.size());
    if (merged) {
      sum_and_rank(totals);
      const std::size_t keep = std::min<std::uint64_t>(totals.size(), video_top_n);
      for (std::size_t k = 0; k < keep; ++k)
        done.push_back({totals[k].id, narrow_total(totals[k].total)});
      done_len[i] = static_cast<std::uint32_t>(keep);
    } else {
      // Never merged: the list keeps its given order and repeated ids.
      const std::size_t keep = std::min<std::uint64_t>(own.entries.size(), video_top_n);
      done.insert(done.end(), own.entries.begin(), own.entries.begin() + static_cast<std::ptrdiff_t>(keep));
      done_len[i] = static_cast<std::uint32_t>(keep);
    }
  }

  PayloadTable out;
  out.reserve(n, done.size());
  for (std::size_t i = 0; i < n; ++i)
    out.push(done_count[i], std::span(done).subspan(done_begin[i], done_len[i]));
  payloads = std::move(out);
}

std::size_t Trie::memory_bytes() const noexcept {
  return node_shifts.capacity() * sizeof(std::uint32_t) + child_labels.capacity() * sizeof(char32_t) +
         child_transitions.capacity() * sizeof(std::uint32_t) + payloads.memory_bytes() +
         video_uuids.capacity() * sizeof(VideoUuid) + video_int_ids.capacity() * sizeof(std::uint32_t) +
         terminal_flags.capacity();
}

}  // namespace quorvatel
