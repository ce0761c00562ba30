#include <gtest/gtest.h>

#include "core/fault.hpp"
#include "core/utf8.hpp"
#include "prefix/matcher/matcher.hpp"
#include "random_trie.hpp"
#include "reference_walk.hpp"
#include "test_support.hpp"

namespace quorvatel {

inline void PrintTo(const MatchResult& m, std::ostream* os) {
  *os << "(" << m.text << ", node " << m.node << ", d " << m.distance << ")";
}
inline void PrintTo(const NodeMatch& m, std::ostream* os) { *os << "(node " << m.node << ", d " << m.distance << ")"; }

namespace {

using testing::ab_ac_trie;
using testing::payload;

/// A chain of `labels` from the root, every node terminal.
Trie chain(std::u32string_view labels) {
  const std::size_t n = labels.size() + 1;
  std::vector<std::uint32_t> shifts(n);
  std::vector<std::uint32_t> edges;
  std::vector<char32_t> chars{0};
  for (std::size_t i = 0; i + 1 < n; ++i) {
    shifts[i] = static_cast<std::uint32_t>(i);
    edges.push_back(static_cast<std::uint32_t>(i + 1));
    chars.push_back(labels[i]);
  }
  shifts[n - 1] = static_cast<std::uint32_t>(edges.size());
  std::vector<std::optional<Payload>> payloads(n, payload(1, {}, {}));
  return std::move(*build_trie(std::move(shifts), std::move(chars), payloads, std::move(edges), {}, 1));
}

TEST(FuzzyMatch, WorkedExampleKeepsPreOrderNotDistanceOrder) {
  const Trie t = ab_ac_trie();
  EXPECT_EQ(fuzzy_match(t, U"ab", {1, {}}),
            (std::vector<MatchResult>{{"ab", 2, 0}, {"ac", 3, 1}}));
  EXPECT_EQ(fuzzy_match(t, U"ac", {1, {}}),
            (std::vector<MatchResult>{{"ab", 2, 1}, {"ac", 3, 0}}));
  // node 1 ("a") is within distance but not terminal; prefix nodes include it
  EXPECT_EQ(fuzzy_match_nodes(t, U"ab", {1, {}}, false),
            (std::vector<NodeMatch>{{1, 1}, {2, 0}, {3, 1}}));
}

struct LimitCase {
  std::optional<std::uint64_t> limit;
  std::size_t expected;
};
class FuzzyMatchLimit : public ::testing::TestWithParam<LimitCase> {};
TEST_P(FuzzyMatchLimit, StopsRightAfterTheLimit) {
  const Trie t = ab_ac_trie();
  const auto hits = fuzzy_match(t, U"ab", {1, GetParam().limit});
  ASSERT_EQ(hits.size(), GetParam().expected);
  if (!hits.empty()) {
    EXPECT_EQ(hits[0].text, "ab");
  }
}
INSTANTIATE_TEST_SUITE_P(Limits, FuzzyMatchLimit,
                         ::testing::Values(LimitCase{0, 1}, LimitCase{1, 1}, LimitCase{2, 2}, LimitCase{99, 2},
                                           LimitCase{std::nullopt, 2}));

TEST(FuzzyMatch, EmptyTermReportsDepthOneToMaxDist) {
  const Trie t = chain(U"abc");
  EXPECT_EQ(fuzzy_match(t, U"", {1, {}}), (std::vector<MatchResult>{{"a", 1, 1}}));
  EXPECT_EQ(fuzzy_match(t, U"", {2, {}}), (std::vector<MatchResult>{{"a", 1, 1}, {"ab", 2, 2}}));
  EXPECT_TRUE(fuzzy_match(t, U"", {0, {}}).empty());  // the root is never a hit
}

TEST(FuzzyMatch, DeepestRowIsExaminedWithoutFault) {
  // term "ab", stored "abcd": "abc" is entered at distance 1, "abcd" is examined in the last row
  const Trie t = chain(U"abcd");
  EXPECT_EQ(fuzzy_match(t, U"ab", {1, {}}), (std::vector<MatchResult>{{"a", 1, 1}, {"ab", 2, 0}, {"abc", 3, 1}}));
}

TEST(FuzzyMatch, EditCosts) {
  const Trie t = chain(U"ba");
  EXPECT_EQ(fuzzy_match(t, U"ab", {2, {}}).back(), (MatchResult{"ba", 2, 2}));  // no transposition
  EXPECT_EQ(fuzzy_match(chain(U"A"), U"a", {1, {}}).back().distance, 1u);      // case matters
  EXPECT_EQ(fuzzy_match(chain(U"\U0001F600"), U"x", {1, {}}).back(), (MatchResult{"\xF0\x9F\x98\x80", 1, 1}));
}

TEST(FuzzyMatch, TrieWithoutNodesFindsNothing) {
  const Trie t;
  EXPECT_TRUE(fuzzy_match(t, U"a", {3, {}}).empty());
  EXPECT_TRUE(fuzzy_match_nodes(t, U"", {3, {}}, false).empty());
}

TEST(FuzzyMatch, ZeroLabelIsNeverEntered) {
  Trie t = chain(U"ab");
  t.drop_layout();
  t.child_labels[1] = 0;
  EXPECT_TRUE(fuzzy_match(t, U"ab", {5, {}}).empty());
  t.derive_layout();
  ASSERT_TRUE(t.layout);
  EXPECT_TRUE(fuzzy_match(t, U"ab", {5, {}}).empty());
  EXPECT_TRUE(fuzzy_match(t, U"ab", {1, {}}).empty());
}

TEST(FuzzyMatch, DeepChainUsesNoCallStack) {
  const std::u32string term(200000, U'a');
  const Trie t = chain(term);
  const auto hits = fuzzy_match(t, term, {0, {}});
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].node, term.size());
  EXPECT_EQ(hits[0].distance, 0u);
}

TEST(FuzzyMatch, HugeMaxDistFindsEveryTermWithExactDistance) {
  const Trie t = ab_ac_trie();
  for (const std::uint32_t d : {65530u, 65533u, 65534u, 65535u, 65536u, 4294967295u}) {
    EXPECT_EQ(fuzzy_match(t, U"xyz", {d, {}}), (std::vector<MatchResult>{{"ab", 2, 3}, {"ac", 3, 3}})) << d;
  }
}

TEST(FuzzyMatch, TermBeyondSixteenBitsIsExact) {
  // 70,000 code points: far past the 16-bit cells; distances stay exact
  std::u32string term(70000, U'b');
  const Trie t = ab_ac_trie();
  EXPECT_TRUE(fuzzy_match(t, term, {1, {}}).empty());
  EXPECT_EQ(fuzzy_match(t, term, {69999, {}}), (std::vector<MatchResult>{{"ab", 2, 69999}}));
  EXPECT_EQ(fuzzy_match(t, term, {70000, {}}), (std::vector<MatchResult>{{"ab", 2, 69999}, {"ac", 3, 70000}}));
}

TEST(FuzzyMatch, CycleIsWalkedOncePerPathUpToTheDepthBound) {
  // root -> 1, and 1 -> 1: node 1 is reached at every depth
  auto t = build_trie({0, 1}, {0, U'a'}, {std::nullopt, payload(1, {}, {})}, {1, 1}, {}, 1);
  ASSERT_TRUE(t);
  const auto hits = fuzzy_match(*t, U"", {4, {}});
  ASSERT_EQ(hits.size(), 4u);
  for (std::uint32_t d = 1; d <= 4; ++d)
    EXPECT_EQ(hits[d - 1], (MatchResult{std::string(d, 'a'), 1, d}));
}

TEST(FuzzyMatch, InconsistentTriesFaultOnTheirFirstBadRead) {
  auto fault_message = [](const Trie& t, std::u32string_view term, bool nodes) {
    try {
      if (nodes)
        (void)fuzzy_match_nodes(t, term, {1, {}}, false);
      else
        (void)fuzzy_match(t, term, {1, {}});
    } catch (const InternalFault& f) {
      return std::string(f.what());
    }
    return std::string("no fault");
  };
  // Each is edited in its plain form, and stays plain: it is no tree.
  auto plain = [](Trie t) {
    t.drop_layout();
    return t;
  };
  Trie child_past_labels = plain(ab_ac_trie());
  child_past_labels.child_transitions[0] = 9;
  EXPECT_EQ(fault_message(child_past_labels, U"ab", false), "index out of bounds: the len is 4 but the index is 9");

  Trie short_flags = plain(ab_ac_trie());
  short_flags.terminal_flags.resize(3);
  EXPECT_EQ(fault_message(short_flags, U"ab", false), "index out of bounds: the len is 3 but the index is 3");
  // prefix nodes never read the flags
  EXPECT_EQ(fault_message(short_flags, U"ab", true), "no fault");

  Trie short_shifts = plain(ab_ac_trie());
  short_shifts.node_shifts.resize(2);  // node 1's range now ends at the last edge
  EXPECT_EQ(fault_message(short_shifts, U"ab", false), "index out of bounds: the len is 2 but the index is 2");

  Trie range_past_edges = plain(ab_ac_trie());
  range_past_edges.node_shifts[2] = 7;  // node 1's range is [1, 7) over 3 edges
  EXPECT_EQ(fault_message(range_past_edges, U"ab", false), "index out of bounds: the len is 3 but the index is 3");

  for (Trie* t : {&child_past_labels, &short_flags, &short_shifts, &range_past_edges}) {
    t->derive_layout();
    EXPECT_FALSE(t->layout);
  }
}

/// The fast walk against the plain recursive one, on random tries.
TEST(FuzzyMatchDifferential, MatchesReferenceWalk) {
  std::mt19937 rng(20261208);
  for (int round = 0; round < 3000; ++round) {
    testing::RandomTrieOptions options;
    options.allow_back_edges = round % 4 == 3;
    options.max_nodes = options.allow_back_edges ? 12 : 40;
    const Trie t = testing::random_trie(rng, options);
    const std::u32string term = testing::random_term(rng);
    const auto d = std::uniform_int_distribution<std::uint32_t>(0, options.allow_back_edges ? 2 : 3)(rng);
    std::optional<std::uint64_t> limit;
    if (round % 3 == 0)
      limit = std::uniform_int_distribution<std::uint64_t>(0, 4)(rng);
    SCOPED_TRACE(::testing::Message() << "round " << round << " d " << d);
    EXPECT_EQ(fuzzy_match(t, term, {d, limit}), testing::reference_fuzzy_match(t, term, d, limit));
    for (const bool terminal_only : {true, false})
      EXPECT_EQ(fuzzy_match_nodes(t, term, {d, limit}, terminal_only),
                testing::reference_fuzzy_match_nodes(t, term, d, terminal_only, limit));
  }
}

}  // namespace
}  // namespace quorvatel

namespace quorvatel {
namespace {

/// A trie of `terms` (nodes numbered in insertion order, parents first).
Trie trie_of_terms(const std::vector<std::u32string>& terms) {
  std::vector<std::vector<std::uint32_t>> kids(1);
  std::vector<char32_t> labels{0};
  std::vector<bool> terminal{false};
  for (const auto& t : terms) {
    std::uint32_t node = 0;
    for (char32_t ch : t) {
      std::uint32_t next = 0;
      for (std::uint32_t k : kids[node])
        if (labels[k] == ch)
          next = k;
      if (next == 0) {
        next = static_cast<std::uint32_t>(labels.size());
        labels.push_back(ch);
        kids.emplace_back();
        terminal.push_back(false);
        kids[node].push_back(next);
      }
      node = next;
    }
    terminal[node] = true;
  }
  std::vector<std::uint32_t> shifts, edges;
  std::vector<std::optional<Payload>> payloads;
  for (std::size_t i = 0; i < labels.size(); ++i) {
    shifts.push_back(static_cast<std::uint32_t>(edges.size()));
    edges.insert(edges.end(), kids[i].begin(), kids[i].end());
    payloads.push_back(terminal[i] ? std::optional<Payload>(Payload{1, {}, {}}) : std::nullopt);
  }
  return std::move(*build_trie(std::move(shifts), std::move(labels), payloads, std::move(edges), {}, 1));
}

/// Long terms over a small alphabet reach every depth of the band, past the
/// lengths the vector kernels hold in one mask and into the scalar ones.
TEST(FuzzyMatchDifferential, LongTermsMatchReferenceWalk) {
  std::mt19937 rng(7);
  for (int round = 0; round < 60; ++round) {
    std::vector<std::u32string> terms;
    const std::size_t base_len = std::uniform_int_distribution<std::size_t>(90, 135)(rng);
    std::u32string base = testing::random_term(rng, 0, U"ab");
    for (std::size_t i = 0; i < base_len; ++i)
      base.push_back(rng() % 2 ? U'a' : U'b');
    for (int t = 0; t < 8; ++t) {
      std::u32string v = base.substr(0, std::uniform_int_distribution<std::size_t>(base_len - 20, base_len)(rng));
      for (int e = 0; e < 3; ++e)
        v[rng() % v.size()] = U"abé"[rng() % 3];
      terms.push_back(v);
    }
    const Trie t = trie_of_terms(terms);
    for (int q = 0; q < 6; ++q) {
      std::u32string term = terms[rng() % terms.size()];
      for (int e = 0; e < 2; ++e)
        term[rng() % term.size()] = U"abc"[rng() % 3];
      if (q % 2)
        term.erase(0, rng() % 3);
      for (std::uint32_t d = 0; d <= 5; ++d) {
        SCOPED_TRACE(::testing::Message() << "round " << round << " len " << term.size() << " d " << d);
        EXPECT_EQ(fuzzy_match(t, term, {d, {}}), testing::reference_fuzzy_match(t, term, d));
      }
    }
  }
}

}  // namespace
}  // namespace quorvatel

namespace quorvatel {
namespace {

TEST(FuzzyMatchDifferential, TerminalFirstEqualsTwoSearches) {
  std::mt19937 rng(11);
  for (int round = 0; round < 2000; ++round) {
    const Trie t = testing::random_trie(rng);
    const std::u32string term = testing::random_term(rng);
    const WalkOptions options{static_cast<std::uint32_t>(rng() % 3), {}};
    auto expected = fuzzy_match_nodes(t, term, options, true);
    if (expected.empty())
      expected = fuzzy_match_nodes(t, term, options, false);
    ASSERT_EQ(fuzzy_match_nodes_terminal_first(t, term, options), expected) << round;
  }
}

}  // namespace
}  // namespace quorvatel
