#include "prefix/trie/trie_check.hpp"

#include <algorithm>
#include <format>
#include <vector>

namespace quorvatel {

std::optional<std::string> find_inconsistency(const Trie& trie) {
  const std::size_t n = trie.node_count();
  const std::size_t m = trie.child_transitions.size();
  auto per_node = [n](std::string_view field, std::size_t len) -> std::optional<std::string> {
    if (len != n)
      return std::format("{} has {} entries for {} nodes", field, len, n);
    return std::nullopt;
  };
  if (auto problem = per_node("node_shifts", trie.node_shifts.size()))
    return problem;
  if (auto problem = per_node("payloads", trie.payloads.size()))
    return problem;
  if (auto problem = per_node("terminal_flags", trie.terminal_flags.size()))
    return problem;
  if (n == 0) {
    if (m != 0)
      return std::format("{} edges in a trie without nodes", m);
  } else if (trie.node_shifts[0] != 0) {
    return std::format("node 0's edges start at {}, not 0", trie.node_shifts[0]);
  }

  // The edge ranges must cover the edges in order, each edge must lead to a
  // node numbered after its parent, and no node may be entered twice.
  std::vector<std::uint8_t> entered(n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t begin = trie.node_shifts[i];
    const std::size_t end = i + 1 < n ? trie.node_shifts[i + 1] : m;
    if (end < begin || end > m)
      return std::format("node {}'s edges {}..{} are not a range of the {} edges", i, begin, end, m);
    for (std::size_t e = begin; e < end; ++e) {
      const std::size_t c = trie.child_transitions[e];
      if (c >= n)
        return std::format("edge {} leads to node {}, past the last node {}", e, c, n - 1);
      if (c <= i)
        return std::format("edge {} leads from node {} back to node {}", e, i, c);
      if (entered[c])
        return std::format("node {} is entered by more than one edge", c);
      entered[c] = 1;
    }
  }

  if (trie.id_mode == IdMode::Uuid && !trie.video_int_ids.empty())
    return std::format("id mode uuid with {} integer ids", trie.video_int_ids.size());
  if (trie.id_mode == IdMode::Int32 && !trie.video_uuids.empty())
    return std::format("id mode int32 with {} 16-byte ids", trie.video_uuids.size());
  const std::size_t videos = trie.id_mode == IdMode::Uuid ? trie.video_uuids.size() : trie.video_int_ids.size();
  // A payload shared by many nodes is looked at once, at the first of them.
  const PayloadTableView payloads = trie.payloads.view();
  std::vector<std::uint8_t> seen(payloads.record_count());
  for (std::size_t i = 0; i < n; ++i) {
    if (!payloads.present_unchecked(i))
      return std::format("node {} has no payload", i);
    const std::uint32_t record = payloads.slot_records()[i];
    if (seen[record])
      continue;
    seen[record] = 1;
    const PayloadView payload = payloads.record_view(record);
    if (!payload.consistent())
      return std::format("node {} has {} video ids but {} video counts", i, payload.ids_len, payload.counts_len);
    for (const VideoEntry& v : payload.entries)
      if (v.id >= videos)
        return std::format("node {} names video row {} of {}", i, v.id, videos);
  }
  return std::nullopt;
}

std::size_t terminal_count(const Trie& trie) noexcept {
  return static_cast<std::size_t>(std::ranges::count_if(trie.terminal_flags, [](std::uint8_t f) { return f != 0; }));
}

}  // namespace quorvatel
