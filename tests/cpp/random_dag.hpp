// Random tries whose nodes are reached along many paths, and propagation
// written the plain way, for differential tests of Trie::propagate.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <vector>

#include "payload/payload.hpp"
#include "prefix/trie/trie.hpp"

namespace quorvatel::testing {

/// The flat arrays of a trie before propagation.
struct DagArrays {
  std::vector<std::uint32_t> node_shifts;
  std::vector<std::uint32_t> edges;
  std::vector<std::optional<Payload>> payloads;
  std::uint64_t video_top_n = 0;
};

struct RandomDagOptions {
  std::size_t max_nodes = 24;
  /// Edges may lead to the node itself or to a smaller number.
  bool back_edges = true;
  /// Most edges one node may have to one child.
  std::uint32_t max_repeat = 64;
  /// Most videos in one given payload.
  std::size_t max_videos = 2000;
  /// Bound on edges x videos summed over the nodes, which the plain
  /// reference pays for.
  std::size_t work = 200'000;
};

/// A random directed graph in the trie's arrays: chains of one-child nodes,
/// nodes shared by several parents, edges repeated up to max_repeat times,
/// payloads from empty to thousands of videos (repeated ids now and then),
/// counts from 0 to 2^32-1, and a video_top_n from 0 to 2^64-1.
inline DagArrays random_dag(std::mt19937_64& rng, const RandomDagOptions& o = {}) {
  auto below = [&](std::uint64_t n) { return std::uniform_int_distribution<std::uint64_t>(0, n - 1)(rng); };
  auto chance = [&](double p) { return std::bernoulli_distribution(p)(rng); };
  DagArrays a;
  const std::size_t n = 1 + below(o.max_nodes);
  const bool huge_counts = chance(0.3);
  const std::uint64_t id_space = chance(0.2) ? std::numeric_limits<std::uint32_t>::max() : 1 + below(3000);
  auto count = [&]() -> std::uint32_t {
    if (huge_counts && chance(0.5))
      return std::numeric_limits<std::uint32_t>::max() - static_cast<std::uint32_t>(below(3));
    return static_cast<std::uint32_t>(below(chance(0.5) ? 10 : 100000));
  };
  // Videos given per node, spent from the work budget by the edges into it.
  std::size_t budget = o.work;
  for (std::size_t i = 0; i < n; ++i) {
    a.node_shifts.push_back(static_cast<std::uint32_t>(a.edges.size()));
    const int shape = static_cast<int>(below(4));
    const std::size_t kids = shape == 0 ? 0 : shape == 1 ? 1 : below(5);
    for (std::size_t k = 0; k < kids; ++k) {
      std::uint32_t c;
      if (o.back_edges && chance(0.1))
        c = static_cast<std::uint32_t>(below(i + 1));  // itself or an earlier node
      else if (i + 1 < n)
        c = static_cast<std::uint32_t>(i + 1 + below(std::min<std::size_t>(n - i - 1, chance(0.5) ? 2 : n)));
      else
        continue;
      const std::uint64_t repeat = chance(0.3) ? 1 + below(o.max_repeat) : 1;
      for (std::uint64_t r = 0; r < repeat; ++r)
        a.edges.push_back(c);
    }
    if (chance(0.45)) {
      a.payloads.emplace_back(std::nullopt);
      continue;
    }
    Payload p;
    p.count = count();
    const std::size_t cap = std::min<std::size_t>(o.max_videos, budget / (4 * n) + 1);
    const std::size_t videos = chance(0.3)   ? 0
                               : chance(0.1) ? below(cap + 1)
                                             : below(std::min<std::size_t>(cap, 12) + 1);
    budget -= std::min(budget, videos * 4);
    for (std::size_t v = 0; v < videos; ++v) {
      p.video_ids.push_back(chance(0.05) && v > 0 ? p.video_ids[below(v)]
                                                  : static_cast<std::uint32_t>(below(id_space)));
      p.video_counts.push_back(count());
    }
    a.payloads.emplace_back(std::move(p));
  }
  static constexpr std::uint64_t kTopN[] = {
      0, 1, 2, 3, 10, 100, 5000, (std::uint64_t{1} << 32) + 5, std::numeric_limits<std::uint64_t>::max()};
  a.video_top_n = kTopN[below(std::size(kTopN))];
  return a;
}

/// A node's payload with 64-bit totals, as merging sums them.
struct WidePayload {
  std::uint32_t count = 0;
  std::vector<std::pair<std::uint32_t, std::uint64_t>> videos;  // (id, total)
};

/// Propagation the plain way: per node, highest number first, its own list
/// and then each child's list once per edge, in edge order (a finished
/// child's result, or the input of a child numbered lower), summed by id in
/// 64 bits; then ranked by total, largest first, equal totals by id, stored
/// saturated at 2^32-1 and cut to video_top_n. A node without children
/// other than itself keeps its given list, cut. Counts add saturating.
///
/// `saturated`, when given, is set when some total passed 2^32-1.
inline std::vector<Payload> reference_propagation(const DagArrays& a, bool* saturated = nullptr) {
  const std::size_t n = a.payloads.size();
  const std::size_t m = a.edges.size();
  std::vector<Payload> input(n);
  for (std::size_t i = 0; i < n; ++i)
    if (a.payloads[i])
      input[i] = *a.payloads[i];
  std::vector<Payload> done(n);
  for (std::size_t i = n; i-- > 0;) {
    const std::size_t begin = a.node_shifts[i];
    const std::size_t end = i + 1 < n ? a.node_shifts[i + 1] : m;
    Payload result = input[i];
    bool merged = false;
    std::map<std::uint32_t, std::uint64_t> sums;
    for (std::size_t k = 0; k < result.video_ids.size(); ++k) {
      std::uint64_t& total = sums[result.video_ids[k]];
      total = saturating_add64(total, result.video_counts[k]);
    }
    for (std::size_t e = begin; e < end; ++e) {
      const std::size_t c = a.edges[e];
      if (c == i)
        continue;
      merged = true;
      const Payload& from = c > i ? done[c] : input[c];
      result.count = saturating_add(result.count, from.count);
      for (std::size_t k = 0; k < from.video_ids.size(); ++k) {
        std::uint64_t& total = sums[from.video_ids[k]];
        total = saturating_add64(total, from.video_counts[k]);
      }
    }
    if (merged) {
      std::vector<std::pair<std::uint32_t, std::uint64_t>> ranked(sums.begin(), sums.end());
      if (saturated != nullptr)
        for (const auto& [id, total] : ranked)
          *saturated = *saturated || total > kCountMax;
      std::ranges::stable_sort(ranked, [](const auto& x, const auto& y) { return x.second > y.second; });
      result.video_ids.clear();
      result.video_counts.clear();
      for (const auto& [id, total] : ranked) {
        result.video_ids.push_back(id);
        result.video_counts.push_back(narrow_total(total));
      }
    }
    if (result.video_ids.size() > a.video_top_n) {
      result.video_ids.resize(static_cast<std::size_t>(a.video_top_n));
      result.video_counts.resize(static_cast<std::size_t>(a.video_top_n));
    }
    done[i] = std::move(result);
  }
  return done;
}

/// The same with Payload::merge_from, once per edge in edge order, then the
/// cut: it narrows each merge's totals to 32 bits, so it ranks as the 64-bit
/// sums do only while no total passes 2^32-1.
inline std::vector<Payload> merge_from_propagation(const DagArrays& a) {
  const std::size_t n = a.payloads.size();
  const std::size_t m = a.edges.size();
  std::vector<Payload> p(n);
  for (std::size_t i = 0; i < n; ++i)
    if (a.payloads[i])
      p[i] = *a.payloads[i];
  for (std::size_t i = n; i-- > 0;) {
    Payload own = p[i];
    const std::size_t end = i + 1 < n ? a.node_shifts[i + 1] : m;
    for (std::size_t e = a.node_shifts[i]; e < end; ++e)
      if (a.edges[e] != i)
        own.merge_from(p[a.edges[e]]);  // a finished child, or the input of a lower one
    if (own.video_ids.size() > a.video_top_n) {
      own.video_ids.resize(static_cast<std::size_t>(a.video_top_n));
      own.video_counts.resize(static_cast<std::size_t>(a.video_top_n));
    }
    p[i] = std::move(own);
  }
  return p;
}

}  // namespace quorvatel::testing
