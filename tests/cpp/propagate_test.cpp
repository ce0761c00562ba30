#include <gtest/gtest.h>

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
