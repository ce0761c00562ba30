#include "prefix/trie/builder.hpp"

#include <format>

namespace quorvatel {

Result<void> check_arrays(std::size_t node_shifts_len, std::size_t label_count, std::size_t payloads_len,
                          std::span<const std::uint32_t> child_transitions) {
  if (node_shifts_len != label_count)
    return fail(ErrorKind::Value, std::format("node_shifts len {} != child_labels len {}", node_shifts_len, label_count));
  if (payloads_len != label_count)
    return fail(ErrorKind::Value, std::format("payloads len {} != child_labels len {}", payloads_len, label_count));
  for (std::size_t e = 0; e < child_transitions.size(); ++e) {
    if (child_transitions[e] >= label_count) [[unlikely]]
      return fail(ErrorKind::Value, std::format("child_transitions[{}] = {} out of range [0..{})", e,
                                                child_transitions[e], label_count));
  }
  return {};
}

Error payload_length_mismatch() { return {ErrorKind::Value, "video_ids and video_counts length mismatch"}; }

Result<VideoTable> choose_video_table(const ByteRows& video_index) {
  VideoTable table;
  const std::size_t k = video_index.size();
  if (k == 0)
    return table;
  auto all_of_length = [&](std::size_t len) {
    for (std::size_t i = 0; i < k; ++i)
      if (video_index.row(i).size() != len)
        return false;
    return true;
  };
  if (all_of_length(16)) {
    table.id_mode = IdMode::Uuid;
    table.uuids.resize(k);
    for (std::size_t i = 0; i < k; ++i)
      std::ranges::copy(video_index.row(i), table.uuids[i].begin());
    return table;
  }
  if (all_of_length(4)) {
    table.id_mode = IdMode::Int32;
    table.int_ids.resize(k);
    for (std::size_t i = 0; i < k; ++i) {
      const auto r = video_index.row(i);
      table.int_ids[i] = static_cast<std::uint32_t>(r[0]) | (static_cast<std::uint32_t>(r[1]) << 8) |
                         (static_cast<std::uint32_t>(r[2]) << 16) | (static_cast<std::uint32_t>(r[3]) << 24);
    }
    return table;
  }
  return fail(ErrorKind::Value, "video_index entries must be all 16 bytes (UUID) or all 4 bytes (int32)");
}

Trie assemble_trie(std::vector<std::uint32_t> node_shifts, std::vector<char32_t> child_labels,
                   std::vector<std::uint32_t> child_transitions, PayloadTable payloads,
                   std::vector<std::uint8_t> terminal_flags, VideoTable videos, std::uint64_t video_top_n) {
  Trie trie;
  trie.node_shifts = std::move(node_shifts);
  trie.child_labels = std::move(child_labels);
  trie.child_transitions = std::move(child_transitions);
  trie.payloads = std::move(payloads);
  trie.video_uuids = std::move(videos.uuids);
  trie.video_int_ids = std::move(videos.int_ids);
  trie.id_mode = videos.id_mode;
  trie.terminal_flags = std::move(terminal_flags);
  trie.propagate(video_top_n);
  trie.derive_layout();
  return trie;
}

Result<Trie> build_trie(std::vector<std::uint32_t> node_shifts, std::vector<char32_t> child_labels,
                        const std::vector<std::optional<Payload>>& payloads,
                        std::vector<std::uint32_t> child_transitions, const ByteRows& video_index,
                        std::uint64_t video_top_n) {
  QV_TRY(check_arrays(node_shifts.size(), child_labels.size(), payloads.size(), child_transitions));
  std::vector<std::uint8_t> terminal_flags;
  terminal_flags.reserve(payloads.size());
  PayloadTable table;
  table.reserve(payloads.size(), 0);
  for (const auto& p : payloads) {
    terminal_flags.push_back(p.has_value() ? 1 : 0);
    if (p && p->video_ids.size() != p->video_counts.size())
      return std::unexpected(payload_length_mismatch());
    table.push(p);
  }
  QV_TRY_ASSIGN(VideoTable videos, choose_video_table(video_index));
  return assemble_trie(std::move(node_shifts), std::move(child_labels), std::move(child_transitions),
                       std::move(table), std::move(terminal_flags), std::move(videos), video_top_n);
}

}  // namespace quorvatel
