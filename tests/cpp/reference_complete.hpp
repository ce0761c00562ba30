// A plain reference of completion and suggestion, written the simplest way:
// every stored term of the trie, its distance by a full table, a filter and a
// sort. The best-first search must give the same list.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "core/utf8.hpp"
#include "prefix/complete/search.hpp"

namespace quorvatel::testing {

/// Edit distances between every prefix of `a` and all of `b`: entry i is the
/// distance of a[0..i) to b (optimal string alignment when `transpositions`).
inline std::vector<std::uint64_t> prefix_distances(std::u32string_view a, std::u32string_view b,
                                                   bool transpositions) {
  const std::size_t n = a.size();
  const std::size_t m = b.size();
  std::vector<std::vector<std::uint64_t>> d(n + 1, std::vector<std::uint64_t>(m + 1));
  for (std::size_t j = 0; j <= m; ++j)
    d[0][j] = j;
  for (std::size_t i = 1; i <= n; ++i) {
    d[i][0] = i;
    for (std::size_t j = 1; j <= m; ++j) {
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
      if (transpositions && i >= 2 && j >= 2 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  std::vector<std::uint64_t> out(n + 1);
  for (std::size_t i = 0; i <= n; ++i)
    out[i] = d[i][m];
  return out;
}

/// (term, own count, distance) of every result, in rank order.
using Row = std::tuple<std::string, std::uint32_t, std::uint32_t>;

inline std::vector<Row> rows_of(const std::vector<complete::Completion>& results) {
  std::vector<Row> out;
  for (const auto& r : results)
    out.emplace_back(r.term, r.count, r.distance);
  return out;
}

/// The reference: a trie that is a tree of edges to higher numbers.
inline std::vector<Row> reference_search(const Trie& trie, const complete::Request& request) {
  struct Term {
    std::u32string text;
    std::uint32_t count;
  };
  std::vector<Term> terms;
  // Every node entered from the root through non-zero labels, with its path.
  std::vector<std::pair<std::uint32_t, std::u32string>> stack;
  const std::vector<char32_t> labels = trie.labels();
  if (trie.node_count() != 0)
    stack.emplace_back(0, U"");
  const auto count_of = [&](std::size_t node) -> std::uint32_t {
    const auto payload = trie.payloads.get(node);
    return payload ? payload->count : 0;
  };
  while (!stack.empty()) {
    auto [node, path] = stack.back();
    stack.pop_back();
    const EdgeRange r = trie.edge_range(node);
    std::uint64_t below = 0;
    for (std::size_t e = r.begin; e < r.end; ++e) {
      const std::uint32_t c = trie.child(e);
      below += count_of(c);
      if (labels.at(c) != 0)
        stack.emplace_back(c, path + labels.at(c));
    }
    if (node != 0 && trie.terminal(node)) {
      const std::uint32_t count = count_of(node);
      terms.push_back({path, count > below ? static_cast<std::uint32_t>(count - below) : 0});
    }
  }
  const std::u32string_view text = request.text;
  const std::uint64_t k = request.policy.max_dist.value_or(complete::auto_max_dist(text.size()));
  const std::size_t fixed = static_cast<std::size_t>(std::min<std::uint64_t>(request.policy.prefix_length, text.size()));
  std::vector<std::tuple<std::uint64_t, std::int64_t, std::u32string, std::uint32_t>> found;
  for (const Term& t : terms) {
    if (t.text.size() < fixed || t.text.compare(0, fixed, text.substr(0, fixed)) != 0)
      continue;
    const auto d = prefix_distances(t.text, text, request.policy.transpositions);
    const std::uint64_t distance =
        request.mode == complete::Mode::Suggest ? d.back() : *std::ranges::min_element(d);
    if (distance <= k)
      found.emplace_back(distance, -static_cast<std::int64_t>(t.count), t.text, t.count);
  }
  std::ranges::sort(found);
  std::vector<Row> out;
  for (const auto& [distance, minus_count, text_of, count] : found) {
    if (out.size() >= request.limit)
      break;
    out.emplace_back(encode_utf8(text_of), count, static_cast<std::uint32_t>(distance));
  }
  return out;
}

}  // namespace quorvatel::testing
