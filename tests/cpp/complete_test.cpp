#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "core/utf8.hpp"
#include "prefix/complete/search.hpp"
#include "prefix/matcher/matcher.hpp"
#include "prefix/trie/records.hpp"
#include "reference_complete.hpp"
#include "test_support.hpp"

namespace quorvatel {
namespace {

using complete::Mode;
using complete::Request;
using complete::SubtreeBounds;
using complete::TypoPolicy;
using testing::payload;
using testing::reference_search;
using testing::rows_of;

/// A random tree: each node's parent is numbered before it (edges in order of
/// the children's numbers, so siblings are not in label order); labels from
/// `alphabet` (repeats among siblings included), now and then 0 or an astral
/// character; counts small, so that ties are common.
Trie random_tree(std::mt19937& rng, std::size_t max_nodes, std::u32string_view alphabet) {
  const std::size_t n = std::uniform_int_distribution<std::size_t>(1, max_nodes)(rng);
  std::vector<std::vector<std::uint32_t>> children(n);
  for (std::size_t i = 1; i < n; ++i) {
    // mostly recent parents, for depth
    const std::size_t lo = i > 6 && std::bernoulli_distribution(0.7)(rng) ? i - 6 : 0;
    children[std::uniform_int_distribution<std::size_t>(lo, i - 1)(rng)].push_back(static_cast<std::uint32_t>(i));
  }
  std::vector<std::uint32_t> shifts;
  std::vector<std::uint32_t> edges;
  std::vector<char32_t> labels;
  std::vector<std::optional<Payload>> payloads;
  for (std::size_t i = 0; i < n; ++i) {
    shifts.push_back(static_cast<std::uint32_t>(edges.size()));
    edges.insert(edges.end(), children[i].begin(), children[i].end());
    char32_t label = alphabet[std::uniform_int_distribution<std::size_t>(0, alphabet.size() - 1)(rng)];
    if (std::bernoulli_distribution(0.03)(rng))
      label = 0;
    else if (std::bernoulli_distribution(0.03)(rng))
      label = U'\U0001F600';
    labels.push_back(i == 0 ? 0 : label);
    if (std::bernoulli_distribution(0.5)(rng))
      payloads.emplace_back(payload(std::uniform_int_distribution<std::uint32_t>(0, 4)(rng), {}, {}));
    else
      payloads.emplace_back(std::nullopt);
  }
  return std::move(*build_trie(std::move(shifts), std::move(labels), payloads, std::move(edges), {}, 1));
}

/// The trie quorvatel.build makes from `terms`, each with its count.
Trie trie_of_terms(const std::vector<std::pair<std::u32string, std::uint32_t>>& terms) {
  RecordsBuilder builder;
  for (const auto& [text, count] : terms) {
    const std::span<const std::uint32_t> units(reinterpret_cast<const std::uint32_t*>(text.data()), text.size());
    builder.add(builder.term(std::hash<std::u32string>()(text), units), kNoVideo, count);
  }
  return std::move(*std::move(builder).build(1));
}

std::vector<testing::Row> run(const Trie& trie, const Request& request) {
  const SubtreeBounds bounds = SubtreeBounds::derive(trie);
  auto found = complete::search(trie, bounds, request);
  EXPECT_TRUE(found.has_value()) << (found ? "" : found.error().message);
  return found ? rows_of(*found) : std::vector<testing::Row>{};
}

Request request(Mode mode, std::u32string_view text, TypoPolicy policy = {}, std::uint64_t limit = 10) {
  return Request{mode, text, limit, policy, nullptr};
}

std::u32string random_text(std::mt19937& rng, std::size_t max_len, std::u32string_view alphabet) {
  std::u32string t(std::uniform_int_distribution<std::size_t>(0, max_len)(rng), U'a');
  for (char32_t& c : t)
    c = alphabet[std::uniform_int_distribution<std::size_t>(0, alphabet.size() - 1)(rng)];
  return t;
}

std::string describe(const Request& r) {
  return std::format("{} '{}' k={} prefix={} swaps={} limit={}", r.mode == Mode::Complete ? "complete" : "suggest",
                     encode_utf8(r.text), r.policy.max_dist ? std::to_string(*r.policy.max_dist) : "auto",
                     r.policy.prefix_length, r.policy.transpositions, r.limit);
}

// The search against the reference over random trees and random texts, in
// both modes and every typo policy, with limits 0, 1, a few and all.
TEST(Complete, MatchesTheReferenceOnRandomTries) {
  std::mt19937 rng(13);
  const std::u32string alphabet = U"abcd";
  const std::u32string text_alphabet = U"abcde\U0001F600";
  const std::vector<std::optional<std::uint32_t>> dists{std::nullopt, 0, 1, 2, 3, 40};
  for (int round = 0; round < 300; ++round) {
    const Trie trie = round % 3 == 2 ? trie_of_terms([&] {
      std::vector<std::pair<std::u32string, std::uint32_t>> terms;
      for (int i = std::uniform_int_distribution<int>(1, 40)(rng); i > 0; --i) {
        std::u32string t = random_text(rng, 7, alphabet);
        if (!t.empty())
          terms.emplace_back(t, std::uniform_int_distribution<std::uint32_t>(0, 3)(rng));
      }
      if (terms.empty())
        terms.emplace_back(U"a", 1);
      return terms;
    }())
                                     : random_tree(rng, 60, alphabet);
    const SubtreeBounds bounds = SubtreeBounds::derive(trie);
    ASSERT_TRUE(bounds.usable()) << bounds.problem();
    for (int q = 0; q < 12; ++q) {
      const std::u32string text = random_text(rng, 7, text_alphabet);
      Request r;
      r.mode = q % 2 == 0 ? Mode::Complete : Mode::Suggest;
      r.text = text;
      r.policy.max_dist = dists[std::uniform_int_distribution<std::size_t>(0, dists.size() - 1)(rng)];
      r.policy.prefix_length = std::uniform_int_distribution<std::uint64_t>(0, 3)(rng);
      r.policy.transpositions = std::bernoulli_distribution(0.5)(rng);
      const std::uint64_t limits[] = {0, 1, 3, 1000};
      r.limit = limits[std::uniform_int_distribution<std::size_t>(0, 3)(rng)];
      auto found = complete::search(trie, bounds, r);
      ASSERT_TRUE(found.has_value());
      ASSERT_EQ(rows_of(*found), reference_search(trie, r)) << describe(r) << " round " << round;
    }
  }
}

// Long texts and large distances take full rows and wide cells.
TEST(Complete, MatchesTheReferenceWithWideRows) {
  std::mt19937 rng(14);
  for (int round = 0; round < 40; ++round) {
    const Trie trie = random_tree(rng, 200, U"ab");
    for (const std::uint32_t k : {5u, 300u}) {
      for (const Mode mode : {Mode::Complete, Mode::Suggest}) {
        const std::u32string text = random_text(rng, 30, U"abc");
        const Request r = request(mode, text, {k, 1, true}, 50);
        ASSERT_EQ(run(trie, r), reference_search(trie, r)) << describe(r);
      }
    }
  }
}

// Without transpositions a suggestion is a term fuzzy_match finds, at the
// same distance, and every term it finds is one.
TEST(Complete, SuggestWithoutTranspositionsFindsWhatFuzzyMatchFinds) {
  std::mt19937 rng(15);
  for (int round = 0; round < 200; ++round) {
    const Trie trie = random_tree(rng, 80, U"abc");
    const std::u32string text = random_text(rng, 6, U"abcd");
    const std::uint32_t k = std::uniform_int_distribution<std::uint32_t>(0, 3)(rng);
    std::vector<std::pair<std::string, std::uint32_t>> walked;
    for (const MatchResult& m : fuzzy_match(trie, text, WalkOptions{k, std::nullopt, nullptr}))
      walked.emplace_back(m.text, m.distance);
    std::vector<std::pair<std::string, std::uint32_t>> suggested;
    for (const auto& [term, count, distance] : run(trie, request(Mode::Suggest, text, {k, 0, false}, 1u << 20)))
      suggested.emplace_back(term, distance);
    std::ranges::sort(walked);
    std::ranges::sort(suggested);
    ASSERT_EQ(suggested, walked);
  }
}

TEST(Complete, RanksByDistanceThenOwnCountThenText) {
  const Trie trie = trie_of_terms({{U"ab", 2}, {U"abc", 3}, {U"abd", 3}, {U"b", 9}, {U"abcd", 1}});
  using R = testing::Row;
  EXPECT_EQ(run(trie, request(Mode::Complete, U"ab", {0})),
            (std::vector<R>{{"abc", 3, 0}, {"abd", 3, 0}, {"ab", 2, 0}, {"abcd", 1, 0}}));
  EXPECT_EQ(run(trie, request(Mode::Complete, U"ab", {1})),
            (std::vector<R>{{"abc", 3, 0}, {"abd", 3, 0}, {"ab", 2, 0}, {"abcd", 1, 0}, {"b", 9, 1}}));
  EXPECT_EQ(run(trie, request(Mode::Complete, U"ab", {1}, 2)), (std::vector<R>{{"abc", 3, 0}, {"abd", 3, 0}}));
  EXPECT_EQ(run(trie, request(Mode::Suggest, U"ba", {1, 0, true})),
            (std::vector<R>{{"b", 9, 1}, {"ab", 2, 1}}));
  EXPECT_EQ(run(trie, request(Mode::Suggest, U"ba", {1, 0, false})), (std::vector<R>{{"b", 9, 1}}));
  // the automatic rule: 0 edits for "ab"
  EXPECT_EQ(run(trie, request(Mode::Suggest, U"ac", {})), (std::vector<R>{}));
  EXPECT_EQ(run(trie, request(Mode::Complete, U"", {})).front(), (R{"b", 9, 0}));
  EXPECT_EQ(run(trie, request(Mode::Complete, U"xb", {1, 1, true})), (std::vector<R>{}));
  EXPECT_EQ(run(trie, request(Mode::Complete, U"ax", {1, 1, true})).size(), 4u);

  // A snapshot's counts need not add up: an own count below 0 reads as 0.
  Trie raw;
  raw.node_shifts = {0, 1, 2};
  raw.child_labels = {0, U'a', U'b'};
  raw.child_transitions = {1, 2};
  for (const std::uint32_t count : {0u, 1u, 5u})
    raw.payloads.push(payload(count, {}, {}));
  raw.terminal_flags = {1, 1, 1};
  EXPECT_EQ(run(raw, request(Mode::Complete, U"a", {0})), (std::vector<R>{{"ab", 5, 0}, {"a", 0, 0}}));
}

TEST(Complete, AutomaticDistanceFollowsTheTextLength) {
  for (const auto& [length, k] : {std::pair<std::size_t, std::uint32_t>{0, 0}, {2, 0}, {3, 1}, {5, 1}, {6, 2}, {99, 2}})
    EXPECT_EQ(complete::auto_max_dist(length), k) << length;
}

TEST(Complete, RefusesTextsBeyondTheLimit) {
  const Trie trie = trie_of_terms({{U"a", 1}});
  const std::u32string text(complete::kMaxTextLength + 1, U'a');
  auto found = complete::search(trie, SubtreeBounds::derive(trie), request(Mode::Complete, text));
  ASSERT_FALSE(found.has_value());
  EXPECT_EQ(found.error().message, "the text has 129 code points; a search takes at most 128");
  EXPECT_TRUE(complete::search(trie, SubtreeBounds::derive(trie),
                               request(Mode::Complete, std::u32string(complete::kMaxTextLength, U'a')))
                  .has_value());
}

// Tries that are no tree of edges to higher numbers are refused at once,
// with the rule they break; none of them loops or faults.
TEST(Complete, RefusesTriesThatAreNoTree) {
  struct Case {
    std::vector<std::uint32_t> shifts;
    std::vector<char32_t> labels;
    std::vector<std::uint32_t> edges;
    std::string problem;
  };
  const std::vector<Case> cases{
      {{0, 2, 3}, {0, U'a', U'b'}, {1, 2, 2}, "node 2 is entered by more than one edge"},
      {{0, 1, 2}, {0, U'a', U'b'}, {1, 2, 1}, "edge 2 leads from node 2 back to node 1"},
      {{0, 1}, {0, U'a'}, {1, 1}, "edge 1 leads from node 1 back to node 1"},
      {{0, 1}, {0, U'a'}, {1, 7}, "edge 1 leads to node 7, past the last node 1"},
  };
  for (const Case& c : cases) {
    Trie t;
    t.node_shifts = c.shifts;
    t.child_labels = c.labels;
    t.child_transitions = c.edges;
    for (std::size_t i = 0; i < c.labels.size(); ++i)
      t.payloads.push(payload(1, {}, {}));
    t.terminal_flags.assign(c.labels.size(), 1);
    const SubtreeBounds bounds = SubtreeBounds::derive(t);
    EXPECT_EQ(bounds.problem(), c.problem);
    auto found = complete::search(t, bounds, request(Mode::Complete, U"a"));
    ASSERT_FALSE(found.has_value());
    EXPECT_EQ(found.error().message, c.problem);
  }
  Trie past;
  past.node_shifts = {0, 5};
  past.child_labels = {0, U'a'};
  past.child_transitions = {1};
  past.payloads.push(payload(1, {}, {}));
  past.payloads.push_absent();
  past.terminal_flags = {0, 0};
  EXPECT_EQ(SubtreeBounds::derive(past).problem(), "node 0's edges 0..5 run past the last of the 1 edges");
  past.terminal_flags = {0};
  EXPECT_EQ(SubtreeBounds::derive(past).problem(), "terminal_flags has 1 entries for 2 nodes");
  // No nodes at all: nothing to find.
  const Trie empty;
  EXPECT_TRUE(SubtreeBounds::derive(empty).usable());
  EXPECT_EQ(run(empty, request(Mode::Complete, U"")), std::vector<testing::Row>{});
}

// The bound costs 4 bytes a node; a trie whose numbers already follow text
// order (every trie quorvatel.build makes) needs no ranks of its own.
TEST(Complete, BoundsCostFourBytesANodeOnBuiltTries) {
  std::vector<std::pair<std::u32string, std::uint32_t>> terms;
  std::mt19937 rng(16);
  for (int i = 0; i < 500; ++i)
    terms.emplace_back(random_text(rng, 9, U"abcdefg") + U"z", i);
  const Trie built = trie_of_terms(terms);
  const SubtreeBounds bounds = SubtreeBounds::derive(built);
  EXPECT_EQ(bounds.text_ranks(), nullptr);
  EXPECT_LE(bounds.memory_bytes(), 4 * built.node_count());
  // A breadth-first numbering with siblings out of label order gets ranks.
  const Trie shuffled = random_tree(rng, 300, U"abc");
  EXPECT_NE(SubtreeBounds::derive(shuffled).text_ranks(), nullptr);
}

// The search stops when the hook asks it to.
TEST(Complete, StopsWhenCancelled) {
  struct Stop final : CancelHook {
    bool should_stop() override { return true; }
  } stop;
  std::vector<std::pair<std::u32string, std::uint32_t>> terms;
  for (std::uint32_t i = 0; i < 20000; ++i)
    terms.emplace_back(U"t" + std::u32string(1, U'a' + i % 26) + std::u32string(i / 26 % 5, U'x') +
                           std::u32string(1, 0x400 + i),
                       1);
  const Trie trie = trie_of_terms(terms);
  Request r = request(Mode::Complete, U"t", {}, 1u << 30);
  r.cancel = &stop;
  EXPECT_THROW((void)complete::search(trie, SubtreeBounds::derive(trie), r), Cancelled);
}

}  // namespace
}  // namespace quorvatel
