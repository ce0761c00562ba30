#include <gtest/gtest.h>

#include <random>

#include "core/fault.hpp"
#include "test_support.hpp"

namespace quorvatel {
namespace {

using testing::payload;

std::vector<std::optional<Payload>> payloads_of(const Trie& t) {
  std::vector<std::optional<Payload>> out;
  for (std::size_t i = 0; i < t.payloads.size(); ++i)
    out.push_back(t.payloads.payload(i));
  return out;
}

Trie build(std::vector<std::uint32_t> shifts, std::vector<std::optional<Payload>> payloads,
           std::vector<std::uint32_t> edges, std::uint64_t top_n) {
  std::vector<char32_t> labels(shifts.size(), U'a');
  auto t = build_trie(std::move(shifts), std::move(labels), payloads, std::move(edges), {}, top_n);
  EXPECT_TRUE(t.has_value());
  return std::move(*t);
}

TEST(Propagate, WorkedExample) {
  const Trie t = testing::ab_ac_trie();
  EXPECT_EQ(t.id_mode, IdMode::Int32);
  EXPECT_EQ(t.video_int_ids, (std::vector<std::uint32_t>{1, 2}));
  EXPECT_TRUE(t.video_uuids.empty());
  EXPECT_EQ(t.terminal_flags, (std::vector<std::uint8_t>{0, 0, 1, 1}));
  EXPECT_EQ(payloads_of(t), (std::vector<std::optional<Payload>>{
                                payload(8, {0, 1}, {6, 2}), payload(8, {0, 1}, {6, 2}), payload(5, {0}, {5}),
                                payload(3, {1, 0}, {2, 1})}));
}

TEST(Propagate, ParentWithOwnPayloadAndChildlessChild) {
  const Trie t = build({0, 1}, {payload(4, {1}, {4}), payload(11, {1, 2}, {1, 10})}, {1}, 2);
  EXPECT_EQ(payloads_of(t)[0], payload(15, {2, 1}, {10, 5}));
  EXPECT_EQ(payloads_of(t)[1], payload(11, {1, 2}, {1, 10}));  // a leaf keeps its order
}

TEST(Propagate, LeafTrimKeepsFirstRowsNotLargest) {
  const Trie t = build({0, 1}, {std::nullopt, payload(10, {7, 3}, {1, 9})}, {1}, 1);
  EXPECT_EQ(payloads_of(t)[1], payload(10, {7}, {1}));
  EXPECT_EQ(payloads_of(t)[0], payload(10, {7}, {1}));
  EXPECT_EQ(t.terminal_flags, (std::vector<std::uint8_t>{0, 1}));
}

TEST(Propagate, TopNZeroKeepsCountsOnly) {
  const Trie t = build({0, 1}, {payload(1, {1}, {1}), payload(2, {2}, {2})}, {1}, 0);
  EXPECT_EQ(payloads_of(t), (std::vector<std::optional<Payload>>{payload(3, {}, {}), payload(2, {}, {})}));
}

TEST(Propagate, SelfEdgeBringsNothingAndLeavesLeafUnmerged) {
  const Trie t = build({0}, {payload(3, {5, 5}, {1, 2})}, {0}, 9);
  EXPECT_EQ(payloads_of(t)[0], payload(3, {5, 5}, {1, 2}));
}

TEST(Propagate, EdgeToSmallerNumberSeesInputPayload) {
  // node 1 -> node 0 against the numbering: node 1 merges node 0's own input
  // payload, node 0 merges node 1's finished one.
  const Trie t = build({0, 1}, {payload(1, {1}, {1}), payload(2, {2}, {2})}, {1, 0}, 9);
  EXPECT_EQ(payloads_of(t)[1], payload(3, {2, 1}, {2, 1}));
  EXPECT_EQ(payloads_of(t)[0], payload(4, {1, 2}, {2, 2}));  // equal totals: smaller id first
}

TEST(Propagate, NodeReachedTwiceCountsOncePerPath) {
  const Trie t = build({0, 2, 2}, {std::nullopt, payload(1, {}, {}), payload(5, {3}, {5})}, {2, 2, 2}, 9);
  EXPECT_EQ(payloads_of(t)[0], payload(10, {3}, {10}));
}

TEST(Propagate, EmptyPayloadWithoutChildren) {
  const Trie t = build({0}, {std::nullopt}, {}, 3);
  EXPECT_EQ(payloads_of(t)[0], payload(0, {}, {}));
  EXPECT_EQ(t.terminal_flags, (std::vector<std::uint8_t>{0}));
}

TEST(Propagate, EmptyTrieBuilds) {
  auto t = build_trie({}, {}, {}, {}, {}, 5);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->payloads.size(), 0u);
  EXPECT_EQ(t->id_mode, IdMode::Uuid);
}

TEST(Propagate, RangePastEdgesFaultsWithFirstMissingEdge) {
  // node 0's range is [0, 5) but only 2 edges exist
  try {
    (void)build_trie({0, 5, 5}, {0, U'a', U'b'}, {std::nullopt, std::nullopt, std::nullopt}, {1, 2}, {}, 1);
    FAIL() << "expected a fault";
  } catch (const InternalFault& f) {
    EXPECT_STREQ(f.what(), "index out of bounds: the len is 2 but the index is 2");
  }
}

}  // namespace
}  // namespace quorvatel

namespace quorvatel {
namespace {

/// Propagation written the plain way: merge_from per child, highest node first.
std::vector<Payload> reference_propagate(const Trie& t, std::uint64_t top_n) {
  const std::size_t n = t.payloads.size();
  std::vector<Payload> p(n);
  for (std::size_t i = 0; i < n; ++i)
    p[i] = t.payloads.payload(i).value_or(Payload{});
  for (std::size_t i = n; i-- > 0;) {
    Payload own = p[i];
    const EdgeRange r = t.edge_range(i);
    for (std::size_t e = r.begin; e < r.end; ++e) {
      const std::size_t c = t.child_transitions[e];
      if (c != i)
        own.merge_from(p[c]);  // c's current state: finished when c > i, its input otherwise
    }
    if (own.video_ids.size() > top_n) {
      own.video_ids.resize(top_n);
      own.video_counts.resize(top_n);
    }
    p[i] = own;
  }
  return p;
}

TEST(PropagateDifferential, MatchesMergeFromPerChild) {
  std::mt19937 rng(99);
  for (int round = 0; round < 2000; ++round) {
    const std::size_t n = std::uniform_int_distribution<std::size_t>(1, 30)(rng);
    std::vector<std::uint32_t> shifts, edges;
    std::vector<std::optional<Payload>> payloads;
    // ids past the dense table now and then
    const std::uint32_t id_space = round % 5 == 0 ? 4000000000u : 12;
    for (std::size_t i = 0; i < n; ++i) {
      shifts.push_back(static_cast<std::uint32_t>(edges.size()));
      for (std::size_t k = rng() % 4; k > 0; --k)
        edges.push_back(static_cast<std::uint32_t>(round % 3 == 0 ? rng() % n : i + 1 + rng() % std::max<std::size_t>(1, n - i)) % static_cast<std::uint32_t>(n));
      if (rng() % 3) {
        Payload p{static_cast<std::uint32_t>(rng() % 50), {}, {}};
        for (std::size_t v = rng() % 6; v > 0; --v) {
          p.video_ids.push_back(static_cast<std::uint32_t>(rng() % id_space));
          // no total reaches 2^32 here: past it, per-merge narrowing and the
          // single sum may order saturated videos differently
          p.video_counts.push_back(rng() % 4 ? static_cast<std::uint32_t>(rng() % 9) : 1u << 20);
        }
        payloads.emplace_back(std::move(p));
      } else {
        payloads.emplace_back(std::nullopt);
      }
    }
    const std::uint64_t top_n = rng() % 6;
    std::vector<char32_t> labels(n, U'a');
    Trie raw;
    raw.node_shifts = shifts;
    raw.child_transitions = edges;
    for (const auto& p : payloads)
      raw.payloads.push(p);
    const auto expected = reference_propagate(raw, top_n);
    auto built = build_trie(shifts, labels, payloads, edges, {}, top_n);
    ASSERT_TRUE(built);
    for (std::size_t i = 0; i < n; ++i)
      ASSERT_EQ(built->payloads.payload(i), expected[i]) << "round " << round << " node " << i;
  }
}

}  // namespace
}  // namespace quorvatel
