// Propagation over tries reached along many paths, against the plain
// reference; sharing of aggregates in memory and when a snapshot is loaded.
#include <gtest/gtest.h>

#include <random>

#include "prefix/trie/builder.hpp"
#include "prefix/trie/trie_codec.hpp"
#include "random_dag.hpp"
#include "test_support.hpp"

namespace quorvatel {
namespace {

using testing::DagArrays;

Trie build(const DagArrays& a) {
  std::vector<char32_t> labels(a.payloads.size(), U'a');
  auto built = build_trie(a.node_shifts, std::move(labels), a.payloads, a.edges, {}, a.video_top_n);
  EXPECT_TRUE(built.has_value());
  return std::move(*built);
}

/// The node's only edge, when it has exactly one.
std::optional<std::uint32_t> only_edge(const Trie& t, std::size_t node) {
  const EdgeRange r = t.edge_range(node);
  if (r.end != r.begin + 1)
    return std::nullopt;
  return t.child_transitions[r.begin];
}

TEST(PropagateManyPaths, MatchesThePlainReference) {
  std::mt19937_64 rng(20261209);
  int saturated_rounds = 0;
  for (int round = 0; round < 700; ++round) {
    const DagArrays a = testing::random_dag(rng);
    bool saturated = false;
    const std::vector<Payload> expected = testing::reference_propagation(a, &saturated);
    if (!saturated) {
      ASSERT_EQ(testing::merge_from_propagation(a), expected) << "round " << round;
    } else {
      ++saturated_rounds;
    }
    const Trie t = build(a);
    ASSERT_EQ(t.payloads.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
      ASSERT_EQ(t.payloads.payload(i), expected[i]) << "round " << round << " node " << i;

    // A node with nothing of its own and one edge, whose aggregate is its
    // child's, holds the child's record.
    const auto slots = t.payloads.view().slot_records();
    for (std::size_t i = 0; i < expected.size(); ++i) {
      const auto c = only_edge(t, i);
      const bool empty_input = !a.payloads[i] || (a.payloads[i]->count == 0 && a.payloads[i]->video_ids.empty());
      if (c && *c > i && empty_input && expected[i] == expected[*c]) {
        ASSERT_EQ(slots[i], slots[*c]) << "round " << round << " node " << i;
      }
    }

    // Snapshots: the same bytes again after loading, and a node whose record
    // repeats its parent's, when that parent has this one edge and is the
    // only such parent, shares it.
    const auto bytes = snapshot::encode(t);
    const auto back = snapshot::decode(bytes);
    ASSERT_TRUE(back);
    ASSERT_EQ(*back, t);
    ASSERT_EQ(snapshot::encode(*back), bytes);
    const auto loaded = back->payloads.view().slot_records();
    std::vector<int> one_edge_parents(expected.size());
    for (std::size_t p = 0; p < expected.size(); ++p)
      if (const auto c = only_edge(*back, p); c && *c > p)
        ++one_edge_parents[*c];
    for (std::size_t p = 0; p < expected.size(); ++p)
      if (const auto c = only_edge(*back, p); c && *c > p && one_edge_parents[*c] == 1 && expected[p] == expected[*c]) {
        ASSERT_EQ(loaded[p], loaded[*c]) << "round " << round << " node " << p;
      }
  }
  EXPECT_GT(saturated_rounds, 50);  // totals past 32 bits were reached
}

// Large multiplicities: the lists and counts of the plain reference, at a
// cost that follows the edges and the lists, not their product.
TEST(PropagateManyPaths, RepeatedEdgesMultiplyWithoutCopies) {
  for (const std::uint32_t videos : {16u, 17u, 5000u}) {
    DagArrays a;
    const std::uint32_t k = 1u << 14;
    a.node_shifts = {0, k, 2 * k};
    a.edges.assign(k, 1);
    a.edges.insert(a.edges.end(), k, 2);
    Payload leaf{videos, {}, {}};
    for (std::uint32_t v = 0; v < videos; ++v) {
      leaf.video_ids.push_back(v);
      leaf.video_counts.push_back(1);
    }
    a.payloads = {std::nullopt, std::nullopt, leaf};
    a.video_top_n = std::numeric_limits<std::uint64_t>::max();
    const Trie t = build(a);
    const Payload one = *t.payloads.payload(1);
    const Payload root = *t.payloads.payload(0);
    EXPECT_EQ(one.count, videos * k);
    EXPECT_EQ(one.video_ids, leaf.video_ids);
    EXPECT_EQ(one.video_counts, std::vector<std::uint32_t>(videos, k));
    EXPECT_EQ(root.count, kCountMax);  // videos x 2^28 passes 2^32 - 1
    EXPECT_EQ(root.video_counts, std::vector<std::uint32_t>(videos, k * k));
    // Storage: the leaf's list, node 1's and the root's, nothing more.
    EXPECT_EQ(t.payloads.entry_count(), 3u * videos);
  }
}

}  // namespace
}  // namespace quorvatel
