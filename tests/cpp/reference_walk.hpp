// A plain reference of the walk, written the simplest way: a recursive
// depth-first search over a full table of 16-bit rows, on the per-node labels
// of either form of the trie, every read checked. The fast walks must give
// the same hits in the same order. `visited` counts the children whose row
// it fills (benchmarks divide their time by it).
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/utf8.hpp"
#include "prefix/matcher/matcher.hpp"

namespace quorvatel::testing {

class ReferenceWalk {
 public:
  ReferenceWalk(const Trie& trie, std::u32string_view term, std::uint32_t max_dist,
                std::optional<std::uint64_t> limit, bool want_terms, bool terminal_only)
      : trie_(trie), labels_(trie.labels()), term_(term), max_dist_(static_cast<std::uint16_t>(max_dist)),
        limit_(limit), terms_(want_terms), terminal_only_(terminal_only),
        rows_(term.size() + max_dist + 2, std::vector<std::uint16_t>(term.size() + 1, 0)) {
    for (std::size_t j = 0; j <= term.size(); ++j)
      rows_[0][j] = static_cast<std::uint16_t>(j);
  }

  void run() {
    if (trie_.node_count() != 0)
      dfs(0, 0);
  }

  std::vector<MatchResult> terms;
  std::vector<NodeMatch> nodes;
  std::size_t visited = 0;

 private:
  bool dfs(std::size_t node, std::size_t depth) {
    const EdgeRange r = trie_.edge_range(node);
    for (std::size_t e = r.begin; e < r.end; ++e) {
      const std::size_t c = trie_.child(e);
      const char32_t x = checked_at(labels_, c);
      if (x == 0)
        continue;
      ++visited;
      auto& prev = rows_[depth];
      auto& cur = rows_[depth + 1];
      cur[0] = static_cast<std::uint16_t>(depth + 1);
      std::uint16_t mn = cur[0];
      for (std::size_t j = 1; j <= term_.size(); ++j) {
        const auto sub = static_cast<std::uint16_t>(prev[j - 1] + (term_[j - 1] == x ? 0 : 1));
        const auto del = static_cast<std::uint16_t>(prev[j] + 1);
        const auto ins = static_cast<std::uint16_t>(cur[j - 1] + 1);
        cur[j] = std::min({sub, del, ins});
        mn = std::min(mn, cur[j]);
      }
      if (mn > max_dist_)
        continue;
      const std::uint16_t d = cur[term_.size()];
      if (d <= max_dist_) {
        bool hit = false;
        if (terms_ && trie_.terminal(c)) {
          std::u32string text = path_;
          text.push_back(x);
          this->terms.push_back({encode_utf8(text), c, d});
          hit = true;
        } else if (!terms_ && (!terminal_only_ || trie_.terminal(c))) {
          nodes.push_back({c, d});
          hit = true;
        }
        const std::size_t n = terms_ ? this->terms.size() : nodes.size();
        if (hit && limit_ && n >= *limit_)
          return true;
      }
      path_.push_back(x);
      const bool stop = dfs(c, depth + 1);
      path_.pop_back();
      if (stop)
        return true;
    }
    return false;
  }

  const Trie& trie_;
  std::vector<char32_t> labels_;
  std::u32string_view term_;
  std::uint16_t max_dist_;
  std::optional<std::uint64_t> limit_;
  bool terms_;
  bool terminal_only_;
  std::vector<std::vector<std::uint16_t>> rows_;
  std::u32string path_;
};

inline std::vector<MatchResult> reference_fuzzy_match(const Trie& t, std::u32string_view term, std::uint32_t d,
                                                      std::optional<std::uint64_t> limit = {}) {
  ReferenceWalk w(t, term, d, limit, true, false);
  w.run();
  return w.terms;
}

inline std::vector<NodeMatch> reference_fuzzy_match_nodes(const Trie& t, std::u32string_view term, std::uint32_t d,
                                                          bool terminal_only,
                                                          std::optional<std::uint64_t> limit = {}) {
  ReferenceWalk w(t, term, d, limit, false, terminal_only);
  w.run();
  return w.nodes;
}

}  // namespace quorvatel::testing
