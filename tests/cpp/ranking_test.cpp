#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/fault.hpp"
#include "prefix/ranking/ranking.hpp"
#include "test_support.hpp"

namespace quorvatel {

inline void PrintTo(const VideoScore& v, std::ostream* os) { *os << "(" << v.id << ", " << v.score << ")"; }

namespace {

using testing::payload;

/// Terms "ab" (node 2) and "ac" (node 3) below "a" (node 1), payloads as
/// given and not propagated, Int32 ids 7, 8, 9.
Trie hand_trie(std::optional<Payload> a, std::optional<Payload> ab, std::optional<Payload> ac) {
  Trie t;
  t.node_shifts = {0, 1, 3, 3};
  t.child_labels = {0, U'a', U'b', U'c'};
  t.child_transitions = {1, 2, 3};
  t.payloads.push_absent();
  t.payloads.push(a);
  t.payloads.push(ab);
  t.payloads.push(ac);
  t.terminal_flags = {0, 0, 1, 1};
  t.id_mode = IdMode::Int32;
  t.video_int_ids = {7, 8, 9};
  return t;
}

TEST(Ranking, WeightTable) {
  EXPECT_EQ(distance_weight(0, 2), 1.0);
  EXPECT_EQ(distance_weight(1, 2), 0.025);
  EXPECT_EQ(distance_weight(1, 2) * kNonTerminalFactor, 0.02125);
  EXPECT_EQ(distance_weight(1, 1), 0.0);  // d = n: not scored
  EXPECT_EQ(distance_weight(1, 0), 0.0);
  EXPECT_LT(distance_weight(3, 2), 0.0);
}

TEST(Ranking, ExactAndFuzzyNodesShareTheTotal) {
  const Trie t = hand_trie(std::nullopt, payload(10, {0, 1}, {6, 4}), payload(20, {1}, {20}));
  EXPECT_EQ(fuzzy_match_video(t, U"ab", {}),
            (std::vector<VideoScore>{{"7", 0.5714285714285714}, {"8", 0.42857142857142855}}));
}

TEST(Ranking, WorkedExampleDefaultsAndPrefixNodes) {
  const Trie t = testing::ab_ac_trie();
  EXPECT_EQ(fuzzy_match_video(t, U"ab", {}), (std::vector<VideoScore>{{"1", 0.9901477832512315}}));
  VideoQuery prefix;
  prefix.include_prefix_nodes = true;
  EXPECT_EQ(fuzzy_match_video(t, U"ab", prefix),
            (std::vector<VideoScore>{{"1", 0.9823641563393709}, {"2", 0.01763584366062917}}));
}

TEST(Ranking, FallsBackToPrefixNodesOnlyWhenNoTerminalMatched) {
  const Trie t = hand_trie(payload(4, {2}, {4}), payload(1, {0}, {1}), payload(1, {1}, {1}));
  // "a" matches only the non-terminal node 1 at distance 0 (weight 0.85)
  EXPECT_EQ(fuzzy_match_video(t, U"a", {0, {}, {}, {}}), (std::vector<VideoScore>{{"9", 1.0}}));
  VideoQuery terminal_only{0, {}, false, {}};
  EXPECT_TRUE(fuzzy_match_video(t, U"a", terminal_only).empty());
  // "b": terminal "ab" at distance 1 = n is found but scores nothing; no fallback
  EXPECT_TRUE(fuzzy_match_video(t, U"b", {1, {}, {}, {}}).empty());
}

TEST(Ranking, Thresholds) {
  const Trie t = hand_trie(std::nullopt, payload(10, {0, 1, 2}, {5, 5, 0}), std::nullopt);
  auto with_min = [&](double min_score) { return fuzzy_match_video(t, U"ab", {0, {}, {}, min_score}); };
  EXPECT_EQ(with_min(0.5), (std::vector<VideoScore>{{"7", 0.5}, {"8", 0.5}}));  // inclusive; ties by row
  EXPECT_TRUE(with_min(0.51).empty());
  EXPECT_TRUE(with_min(std::nan("")).empty());
  EXPECT_EQ(with_min(-1.0).size(), 3u);  // a raw score of 0 passes a negative threshold
  EXPECT_EQ(with_min(0.0).back(), (VideoScore{"9", 0.0}));
  EXPECT_EQ(fuzzy_match_video(t, U"ab", {}).size(), 2u);  // default 0.01 drops the zero
}

TEST(Ranking, LimitSelectsTheBestThenDropsRowsOutsideTheTable) {
  Trie t = hand_trie(std::nullopt, payload(100, {3, 0, 1, 2}, {40, 30, 20, 10}), std::nullopt);
  for (std::uint64_t limit = 0; limit <= 5; ++limit) {
    const auto full = fuzzy_match_video(t, U"ab", {0, {}, {}, {}});
    auto top = fuzzy_match_video(t, U"ab", {0, limit, {}, {}});
    // row 3 ranks first but lies outside the table: the limit counted it
    const std::size_t kept = limit == 0 ? 0 : std::min<std::size_t>(limit - 1, 3);
    ASSERT_EQ(top.size(), kept) << limit;
    EXPECT_TRUE(std::equal(top.begin(), top.end(), full.begin())) << limit;
  }
}

TEST(Ranking, CountWithoutVideosLowersEveryScore) {
  const Trie t = hand_trie(std::nullopt, payload(10, {0}, {10}), payload(1000, {}, {}));
  const auto scores = fuzzy_match_video(t, U"ab", {});
  ASSERT_EQ(scores.size(), 1u);
  EXPECT_EQ(scores[0].score, 10.0 / (10.0 + 1000 * 0.025));
}

TEST(Ranking, EmptyTermAndZeroTotalGiveNothing) {
  const Trie t = testing::ab_ac_trie();
  EXPECT_TRUE(fuzzy_match_video(t, U"", {2, {}, true, -1.0}).empty());
  const Trie zero = hand_trie(std::nullopt, payload(0, {0}, {5}), std::nullopt);
  EXPECT_TRUE(fuzzy_match_video(zero, U"ab", {}).empty());
}

TEST(Ranking, AbsentPayloadIsSkipped) {
  const Trie t = hand_trie(std::nullopt, std::nullopt, payload(4, {2}, {4}));
  EXPECT_EQ(fuzzy_match_video(t, U"ab", {}), (std::vector<VideoScore>{{"9", 1.0}}));
}

TEST(Ranking, IdText) {
  VideoUuid id{};
  for (std::uint8_t i = 0; i < 16; ++i)
    id[i] = i;
  EXPECT_EQ(uuid_text(id), "00010203-0405-0607-0809-0a0b0c0d0e0f");
  Trie t = hand_trie(std::nullopt, payload(1, {0}, {1}), std::nullopt);
  t.video_int_ids = {4294967295u};
  EXPECT_EQ(fuzzy_match_video(t, U"ab", {}).at(0).id, "4294967295");
  t.id_mode = IdMode::Uuid;
  t.video_uuids = {id};
  EXPECT_EQ(fuzzy_match_video(t, U"ab", {}).at(0).id, "00010203-0405-0607-0809-0a0b0c0d0e0f");
}

TEST(Ranking, FewerCountsThanIdsFaults) {
  Trie t;
  t.node_shifts = {0, 1};
  t.child_labels = {0, U'a'};
  t.child_transitions = {1};
  t.payloads.push_absent();
  const std::vector<std::uint32_t> ids{0, 1};
  const std::vector<std::uint32_t> counts{3};
  t.payloads.push(5, ids, counts);
  t.terminal_flags = {0, 1};
  try {
    (void)fuzzy_match_video(t, U"a", {});
    FAIL() << "expected a fault";
  } catch (const InternalFault& f) {
    EXPECT_STREQ(f.what(), "index out of bounds: the len is 1 but the index is 1");
  }
}

}  // namespace
}  // namespace quorvatel
