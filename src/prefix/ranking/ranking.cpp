#include "prefix/ranking/ranking.hpp"

#include <algorithm>
#include <unordered_map>

#include "prefix/matcher/matcher.hpp"

namespace quorvatel {
namespace {

struct Candidate {
  std::uint32_t row;
  double score;
};

/// Best first; equal scores by row so that results are reproducible.
[[nodiscard]] bool better(const Candidate& a, const Candidate& b) noexcept {
  if (a.score != b.score)
    return a.score > b.score;
  return a.row < b.row;
}

[[nodiscard]] std::vector<NodeMatch> gather_nodes(const Trie& trie, std::u32string_view term,
                                                  const VideoQuery& query) {
  const WalkOptions options{query.max_dist, std::nullopt, query.cancel};
  if (query.include_prefix_nodes.has_value())
    return fuzzy_match_nodes(trie, term, options, !*query.include_prefix_nodes);
  return fuzzy_match_nodes_terminal_first(trie, term, options);
}

[[nodiscard]] std::optional<std::string> id_text(const Trie& trie, std::uint32_t row) {
  if (trie.id_mode == IdMode::Int32) {
    if (row >= trie.video_int_ids.size())
      return std::nullopt;
    return std::to_string(trie.video_int_ids[row]);
  }
  if (row >= trie.video_uuids.size())
    return std::nullopt;
  return uuid_text(trie.video_uuids[row]);
}

}  // namespace

double distance_weight(std::uint32_t distance, std::size_t term_length) noexcept {
  if (distance == 0)
    return kExactWeight;
  if (term_length == 0)
    return 0.0;
  return kFuzzyFactor * (1.0 - static_cast<double>(distance) / static_cast<double>(term_length));
}

std::vector<VideoScore> fuzzy_match_video(const Trie& trie, std::u32string_view term, const VideoQuery& query) {
  const std::vector<NodeMatch> nodes = gather_nodes(trie, term, query);
  const std::size_t n = term.size();

  const PayloadTableView payloads = trie.payloads.view();
  double total = 0.0;
  std::unordered_map<std::uint32_t, double> raw;
  raw.reserve(16 * nodes.size());
  for (const NodeMatch& m : nodes) {
    double w = distance_weight(m.distance, n);
    if (w <= 0.0)
      continue;
    if (!trie.terminal(m.node))
      w = w * kNonTerminalFactor;
    const auto payload = payloads.get(m.node);
    if (!payload)
      continue;
    total = total + static_cast<double>(payload->count) * w;
    for (std::size_t i = 0; i < payload->ids_len; ++i) {
      const std::uint32_t id = payload->video_id(i);
      const double contribution = static_cast<double>(payload->video_count(i)) * w;
      double& score = raw[id];
      score = score + contribution;
    }
  }
  if (!(total > 0.0))
    return {};

  const double threshold = query.min_score.value_or(kDefaultMinScore);
  std::vector<Candidate> candidates;
  candidates.reserve(raw.size());
  for (const auto& [row, value] : raw) {
    const double score = value / total;
    if (score >= threshold)
      candidates.push_back({row, score});
  }
  if (query.limit.has_value() && *query.limit < candidates.size()) {
    const auto keep = static_cast<std::ptrdiff_t>(*query.limit);
    std::ranges::nth_element(candidates, candidates.begin() + keep, better);
    candidates.resize(static_cast<std::size_t>(keep));
  }
  std::ranges::sort(candidates, better);

  std::vector<VideoScore> out;
  out.reserve(candidates.size());
  for (const Candidate& c : candidates) {
    if (auto text = id_text(trie, c.row))
      out.push_back({std::move(*text), c.score});
  }
  return out;
}

std::string uuid_text(const VideoUuid& id) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(36);
  for (std::size_t i = 0; i < id.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10)
      out.push_back('-');
    out.push_back(kHex[id[i] >> 4]);
    out.push_back(kHex[id[i] & 0xF]);
  }
  return out;
}

}  // namespace quorvatel
