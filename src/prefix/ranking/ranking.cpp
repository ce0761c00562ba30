#include "prefix/ranking/ranking.hpp"

#include <algorithm>
#include <bit>
#include <random>

#include "prefix/matcher/matcher.hpp"

namespace quorvatel {
namespace {

/// Raw scores by video row: open addressing in one flat array, grown by
/// doubling at half full. Each row's score is the sum of its contributions in
/// the order they are added, whatever the table's layout; the layout only
/// decides the order in which for_each() yields rows. Rows are mixed with a
/// key drawn once per thread, so rows chosen to collide (a snapshot names any
/// rows it likes) cannot make a query quadratic.
class ScoreMap {
 public:
  ScoreMap() : slots_(kInitial) {}

  double& operator[](std::uint32_t row) {
    if (2 * (used_ + 1) > slots_.size())
      grow();
    Slot& slot = find(slots_, row);
    if (!slot.used) {
      slot = {row, true, 0.0};
      ++used_;
    }
    return slot.score;
  }

  [[nodiscard]] std::size_t size() const noexcept { return used_; }

  template <class F>
  void for_each(F&& f) const {
    for (const Slot& slot : slots_)
      if (slot.used)
        f(slot.row, slot.score);
  }

 private:
  struct Slot {
    std::uint32_t row = 0;
    bool used = false;
    double score = 0.0;
  };
  static constexpr std::size_t kInitial = 64;

  static std::uint64_t key() {
    thread_local const std::uint64_t k = [] {
      std::random_device source;
      return (std::uint64_t{source()} << 32) ^ source();
    }();
    return k;
  }

  static Slot& find(std::vector<Slot>& slots, std::uint32_t row) noexcept {
    std::uint64_t h = (row ^ key()) * 0x9E3779B97F4A7C15ull;
    h ^= h >> 29;
    const std::size_t mask = slots.size() - 1;
    for (std::size_t i = static_cast<std::size_t>(h) & mask;; i = (i + 1) & mask)
      if (!slots[i].used || slots[i].row == row)
        return slots[i];
  }

  void grow() {
    std::vector<Slot> bigger(2 * slots_.size());
    for (const Slot& slot : slots_)
      if (slot.used)
        find(bigger, slot.row) = slot;
    slots_.swap(bigger);
  }

  std::vector<Slot> slots_;
  std::size_t used_ = 0;
};

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

[[nodiscard]] std::vector<NodeMatch> gather_nodes(const TrieView& trie, std::u32string_view term,
                                                  const VideoQuery& query) {
  const WalkOptions options{query.max_dist, std::nullopt, query.cancel};
  if (query.include_prefix_nodes.has_value())
    return fuzzy_match_nodes(trie, term, options, !*query.include_prefix_nodes);
  return fuzzy_match_nodes_terminal_first(trie, term, options);
}

[[nodiscard]] std::optional<std::string> id_text(const TrieView& trie, std::uint32_t row) {
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

std::vector<VideoScore> fuzzy_match_video(const TrieView& trie, std::u32string_view term, const VideoQuery& query) {
  const std::vector<NodeMatch> nodes = gather_nodes(trie, term, query);
  const std::size_t n = term.size();

  double total = 0.0;
  ScoreMap raw;
  for (const NodeMatch& m : nodes) {
    double w = distance_weight(m.distance, n);
    if (w <= 0.0)
      continue;
    if (!trie.terminal(m.node))
      w = w * kNonTerminalFactor;
    const auto payload = trie.payload(m.node);
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
  raw.for_each([&](std::uint32_t row, double value) {
    const double score = value / total;
    if (score >= threshold)
      candidates.push_back({row, score});
  });
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
