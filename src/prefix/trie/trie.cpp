#include "prefix/trie/trie.hpp"

#include <algorithm>
#include <new>

#include "core/fault.hpp"

namespace quorvatel {

void Trie::propagate(std::uint64_t video_top_n) {
  const std::size_t n = payloads.size();
  auto input = [&](std::size_t node) {  // node < n: a child number is checked before it is read
    // an absent payload reads as an empty one
    return payloads.present_unchecked(node) ? payloads.view_unchecked(node) : PayloadView{};
  };

  // First pass, highest node first: an upper bound on every finished list
  // (its own entries plus its children's, at most video_top_n once merged),
  // so that each list is written in place, in node order, and never moved
  // twice. It also counts each node's children (up to 2; `only` is the child
  // when there is one) and finds the largest video id. Edges to the node
  // itself bring nothing. The edges are read in order, so a range running
  // past the end of the edges faults at its first missing edge; a fault
  // fails the whole build.
  std::vector<std::uint32_t> length(n);  // the bound now, the true length later
  std::vector<std::uint64_t> offset(n + 1);
  std::vector<std::uint32_t> only(n);
  std::vector<std::uint8_t> children(n);
  std::uint32_t max_id = 0;
  for (std::size_t i = n; i-- > 0;) {
    const PayloadView own = input(i);
    for (const VideoEntry& v : own.entries)
      max_id = std::max(max_id, v.id);
    std::uint64_t merged = own.entries.size();
    std::uint8_t seen = 0;
    const EdgeRange range = edge_range(i);
    for (std::size_t e = range.begin; e < range.end; ++e) {
      const std::size_t c = child(e);
      // The builder refuses edge targets at or past the node count; the check
      // keeps a hand-assembled trie from reading outside the work arrays.
      if (c >= n) [[unlikely]]
        index_fault(n, c, std::source_location::current());
      if (c == i)
        continue;
      seen = static_cast<std::uint8_t>(std::min(seen + 1, 2));
      only[i] = static_cast<std::uint32_t>(c);
      merged += c > i ? length[c] : input(c).entries.size();
    }
    children[i] = seen;
    length[i] = static_cast<std::uint32_t>(std::min(merged, video_top_n));
  }
  for (std::size_t i = 0; i < n; ++i)
    offset[i + 1] = offset[i] + length[i];
  if (offset[n] > kCountMax)
    throw std::bad_alloc();
  std::vector<VideoEntry> entries(static_cast<std::size_t>(offset[n]));

  // Second pass, highest node first. A parent reads a child's finished list
  // when the child has the larger number, and its input list otherwise (an
  // edge against the expected numbering sees the child before it is
  // processed).
  std::vector<std::uint32_t> count(n);
  // Whether a finished list is ranked (one entry per id, largest total
  // first, equal totals by id): true for every merged node.
  std::vector<std::uint8_t> ranked(n);
  std::vector<VideoTotal> totals;
  // Ids are rows of the video table, so a table indexed by id is small; an id
  // far beyond the entries (possible, never checked) is summed sparsely.
  VideoSums sums(std::min<std::size_t>(static_cast<std::size_t>(max_id) + 1, 4 * payloads.entry_count() + 65536));

  for (std::size_t i = n; i-- > 0;) {
    const PayloadView own = input(i);
    VideoEntry* out = entries.data() + offset[i];
    const std::size_t single = only[i];
    std::uint32_t total = own.count;
    std::size_t written = 0;
    if (children[i] == 0) {
      // Never merged: the list keeps its given order and repeated ids.
      written = std::min<std::size_t>(own.entries.size(), length[i]);
      std::copy_n(own.entries.data(), written, out);
      ranked[i] = 0;
    } else if (children[i] == 1 && own.entries.empty() && single > i && ranked[single]) {
      // A chain: merging one ranked, trimmed list into nothing leaves it as it is.
      total = saturating_add(total, count[single]);
      written = length[single];
      std::copy_n(entries.data() + offset[single], written, out);
      ranked[i] = 1;
    } else {
      for (const VideoEntry& v : own.entries)
        sums.add(v.id, v.count);
      const EdgeRange range = edge_range(i);  // checked by the first pass
      for (std::size_t e = range.begin; e < range.end; ++e) {
        const std::size_t c = child_transitions[e];
        if (c == i)
          continue;
        std::span<const VideoEntry> list;
        if (c > i) {
          total = saturating_add(total, count[c]);
          list = std::span<const VideoEntry>(entries).subspan(offset[c], length[c]);
        } else {
          const PayloadView raw = input(c);
          total = saturating_add(total, raw.count);
          list = raw.entries;
        }
        for (const VideoEntry& v : list)
          sums.add(v.id, v.count);
      }
      sums.take_ranked(video_top_n, totals);
      written = totals.size();  // within the bound: at most the entries summed, and video_top_n
      for (std::size_t k = 0; k < written; ++k)
        out[k] = {totals[k].id, narrow_total(totals[k].total)};
      ranked[i] = 1;
    }
    count[i] = total;
    length[i] = static_cast<std::uint32_t>(written);
  }

  // Close the gaps that repeated ids left below their bounds.
  std::vector<std::uint32_t> begins(n + 1);
  std::size_t at = 0;
  for (std::size_t i = 0; i < n; ++i) {
    begins[i] = static_cast<std::uint32_t>(at);
    if (at != offset[i])
      std::copy_n(entries.data() + offset[i], length[i], entries.data() + at);
    at += length[i];
  }
  begins[n] = static_cast<std::uint32_t>(at);
  entries.resize(at);
  payloads = PayloadTable::from_parts(std::move(count), std::move(begins), std::move(entries));
}

std::size_t Trie::memory_bytes() const noexcept {
  return node_shifts.capacity() * sizeof(std::uint32_t) + child_labels.capacity() * sizeof(char32_t) +
         child_transitions.capacity() * sizeof(std::uint32_t) + payloads.memory_bytes() +
         video_uuids.capacity() * sizeof(VideoUuid) + video_int_ids.capacity() * sizeof(std::uint32_t) +
         terminal_flags.capacity() + layout_memory_bytes();
}

std::size_t Trie::layout_memory_bytes() const noexcept {
  if (!layout)
    return 0;
  return layout->edge_labels.capacity() * sizeof(std::uint16_t) +
         layout->wide_labels.capacity() * sizeof(WideLabel) + layout->edge_heights.capacity();
}

}  // namespace quorvatel
