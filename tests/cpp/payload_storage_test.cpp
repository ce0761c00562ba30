// Payload storage: capacity limits, the table's invariants, and payloads
// shared between slots when a snapshot is loaded.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "core/capacity.hpp"
#include "core/fault.hpp"
#include "prefix/trie/trie_codec.hpp"
#include "snapshot/memory.hpp"
#include "test_support.hpp"

namespace quorvatel {
namespace {

using testing::payload;
using Bytes = std::vector<std::uint8_t>;

struct LimitCase {
  Capacity limit;
  std::uint64_t most;
  const char* message;
};

// Scratch memory switches from the allocator to mappings at a threshold; the
// elements must survive every step across it, and zeroed arrays read zero on
// both sides of it.
TEST(ScratchMemory, GrowsAcrossTheMappingThresholdKeepingItsElements) {
  snapshot::RawArray<std::uint64_t> raw;
  std::size_t written = 0;
  // Up to three times the size that asks for huge pages, which must not keep a
  // mapping from growing.
  for (std::size_t n = 1; n * sizeof(std::uint64_t) <= 3 * snapshot::kHugePageAdviceMin; n = n * 3 / 2 + 1) {
    raw.reserve(n);
    ASSERT_GE(raw.capacity(), n);
    for (; written < n; ++written)
      raw.data()[written] = written * 0x9E3779B97F4A7C15ULL;
    for (std::size_t i = 0; i < written; i += 1 + i / 64)
      ASSERT_EQ(raw.data()[i], i * 0x9E3779B97F4A7C15ULL) << "after growing to " << n;
  }
  raw.clear();
  EXPECT_EQ(raw.capacity(), 0u);
  for (const std::size_t n : {std::size_t{1}, snapshot::kScratchMapMin / 8 - 1, snapshot::kScratchMapMin / 8 + 1}) {
    const snapshot::ZeroedArray<std::uint64_t> zeroed(n);
    ASSERT_EQ(zeroed.size(), n);
    for (std::size_t i = 0; i < n; ++i)
      ASSERT_EQ(zeroed[i], 0u);
  }
}

class CapacityLimits : public ::testing::TestWithParam<LimitCase> {};

TEST_P(CapacityLimits, AllowTheLimitAndNameItBeyond) {
  const LimitCase& c = GetParam();
  EXPECT_EQ(capacity_of(c.limit), c.most);
  EXPECT_NO_THROW(check_capacity(c.limit, 0, c.most));
  EXPECT_NO_THROW(check_capacity(c.limit, c.most - 1, 1));
  for (const auto& [have, more] : {std::pair<std::uint64_t, std::uint64_t>{c.most, 1},
                                   {1, c.most},
                                   {0, c.most + 1},
                                   {c.most + 7, 0},
                                   {~std::uint64_t{0}, ~std::uint64_t{0}}}) {
    try {
      check_capacity(c.limit, have, more);
      FAIL() << have << " + " << more;
    } catch (const std::bad_alloc& e) {  // handled wherever running out of memory is
      EXPECT_STREQ(e.what(), c.message);
      EXPECT_EQ(dynamic_cast<const CapacityExceeded&>(e).limit(), c.limit);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Limits, CapacityLimits,
    ::testing::Values(LimitCase{Capacity::Nodes, 4294967294u, "more than 4294967294 nodes"},
                      LimitCase{Capacity::Records, 4294967294u, "more than 4294967294 distinct payloads"},
                      LimitCase{Capacity::VideoEntries, 4294967295u, "more than 4294967295 video entries"},
                      LimitCase{Capacity::Terms, 4294967294u, "more than 4294967294 terms"},
                      LimitCase{Capacity::Videos, 4294967294u, "more than 4294967294 videos"}));

TEST(PayloadTableView, EmptyViewHasNoSlotsOrRecords) {
  const PayloadTableView view;
  EXPECT_EQ(view.size(), 0u);
  EXPECT_EQ(view.record_count(), 0u);
  EXPECT_EQ(view.entry_count(), 0u);
  EXPECT_THROW((void)view.get(0), InternalFault);
  EXPECT_TRUE(view.same_payloads(PayloadTable().view()));
}

TEST(PayloadTableView, RecordsMadeElsewhereAreCheckedOnce) {
  const std::vector<VideoEntry> entries{{4, 9}, {2, 3}, {7, 1}};
  // Slots 0 and 2 share record 1; slot 1 holds none.
  const PayloadTable t = PayloadTable::from_records({1, kNoRecord, 1, 0}, {{5, 0}, {8, 1}}, entries);
  EXPECT_EQ(t.record_count(), 2u);
  EXPECT_EQ(t.payload(0), payload(8, {2, 7}, {3, 1}));
  EXPECT_EQ(t.payload(1), std::nullopt);
  EXPECT_EQ(t.payload(2), payload(8, {2, 7}, {3, 1}));
  EXPECT_EQ(t.payload(3), payload(5, {4}, {9}));
  // The same payloads one record per slot compare equal.
  PayloadTable plain;
  plain.push(payload(8, {2, 7}, {3, 1}));
  plain.push_absent();
  plain.push(payload(8, {2, 7}, {3, 1}));
  plain.push(payload(5, {4}, {9}));
  EXPECT_EQ(t, plain);
  plain.push_absent();
  EXPECT_NE(t, plain);

  EXPECT_THROW((void)PayloadTable::from_records({2}, {{1, 0}, {1, 1}}, entries), InternalFault);  // no record 2
  EXPECT_THROW((void)PayloadTable::from_records({0}, {{1, 2}, {1, 1}}, entries), InternalFault);  // begins fall
  EXPECT_THROW((void)PayloadTable::from_records({0}, {{1, 4}}, entries), InternalFault);          // past the entries
}

TEST(PayloadTableView, RaggedListsCompareByTheirValuesOnly) {
  PayloadTable a;
  PayloadTable b;
  const std::vector<std::uint32_t> ids{1, 2, 3};
  const std::vector<std::uint32_t> counts{7};
  a.push(9, ids, counts);
  b.push(9, ids, counts);
  EXPECT_EQ(a, b);
  EXPECT_TRUE(a.view().ragged_record(0));
  PayloadTable c;
  c.push(9, ids, std::vector<std::uint32_t>{7, 0});
  EXPECT_NE(a, c);  // a stored zero is not a missing count
}

/// A trie of `n` nodes in a chain 0 -> 1 -> ... -> n-1 where runs of nodes
/// hold equal payloads, some of them ragged or absent.
Trie chain_with_repeats(std::mt19937& rng, std::size_t n) {
  Trie t;
  auto below = [&](std::uint32_t k) { return std::uniform_int_distribution<std::uint32_t>(0, k - 1)(rng); };
  Payload current{below(1000), {}, {}};
  bool absent = false;
  for (std::size_t i = 0; i < n; ++i) {
    t.node_shifts.push_back(static_cast<std::uint32_t>(i));
    t.child_labels.push_back(U'a');
    if (i + 1 < n)
      t.child_transitions.push_back(static_cast<std::uint32_t>(i + 1));
    if (below(3) == 0) {  // a new payload starts a run
      absent = below(6) == 0;
      current = Payload{below(2) ? below(300) : 4294967295u, {}, {}};
      const std::uint32_t videos = below(8) == 0 ? 300 + below(3000) : below(6);
      for (std::uint32_t v = 0; v < videos; ++v) {
        current.video_ids.push_back(below(70000));
        current.video_counts.push_back(below(2) ? below(250) : below(4294967295u));
      }
      if (below(8) == 0)
        current.video_counts.resize(below(videos + 3));  // ragged
    }
    if (absent)
      t.payloads.push_absent();
    else
      t.payloads.push(current.count, current.video_ids, current.video_counts);
    t.terminal_flags.push_back(1);
  }
  return t;
}

/// The trie with no edges: no slot is compared with another when loading.
Trie without_edges(Trie t) {
  t.node_shifts.assign(t.node_shifts.size(), 0);
  t.child_transitions.clear();
  return t;
}

/// Where the payloads field begins in a snapshot of `t`.
std::size_t payloads_offset(const Trie& t) {
  Trie head;
  head.node_shifts = t.node_shifts;
  head.child_labels = t.child_labels;
  head.child_transitions = t.child_transitions;
  // The five fields from the payloads on take a byte each when empty.
  return snapshot::encode(head).size() - 5;
}

TEST(SharedPayloads, LoadAsThePlainDecodingDoes) {
  std::mt19937 rng(41);
  for (int round = 0; round < 60; ++round) {
    const Trie t = chain_with_repeats(rng, 1 + rng() % 400);
    const Bytes bytes = snapshot::encode(t);
    const auto shared = snapshot::decode(bytes);
    ASSERT_TRUE(shared);
    EXPECT_EQ(*shared, t);
    EXPECT_EQ(snapshot::encode(*shared), bytes);
    // Every run of equal payloads is stored once.
    std::size_t runs = 0;
    for (std::size_t i = 0; i < t.payloads.size(); ++i)
      runs += t.payloads.get(i) && (i == 0 || t.payloads.payload(i) != t.payloads.payload(i - 1));
    EXPECT_EQ(shared->payloads.record_count(), runs) << "round " << round;

    // Damaged payload bytes end as they do without any sharing: the same
    // error, or the same payloads.
    const Trie flat = without_edges(t);
    const Bytes flat_bytes = snapshot::encode(flat);
    const std::size_t at = payloads_offset(t);
    const std::size_t flat_at = payloads_offset(flat);
    const std::size_t field = bytes.size() - at;
    for (int d = 0; d < 40; ++d) {
      Bytes damaged = bytes;
      Bytes flat_damaged = flat_bytes;
      const std::size_t k = rng() % field;
      const auto value = static_cast<std::uint8_t>(rng());
      damaged[at + k] = value;
      flat_damaged[flat_at + k] = value;
      if (d % 4 == 0) {  // cut short as well
        damaged.resize(at + k + 1);
        flat_damaged.resize(flat_at + k + 1);
      }
      const auto a = snapshot::decode(damaged);
      const auto b = snapshot::decode(flat_damaged);
      ASSERT_EQ(a.has_value(), b.has_value()) << "round " << round << " byte " << k;
      if (a)
        ASSERT_TRUE(a->payloads.view().same_payloads(b->payloads.view())) << "round " << round << " byte " << k;
      else
        ASSERT_EQ(to_string(a.error()), to_string(b.error()));
    }
  }
}

// Edges that say nothing sensible (cycles, ranges past the end, a parent
// numbered after its child, many parents of one node) only decide which
// slots are compared; the payloads are those the bytes hold.
TEST(SharedPayloads, AnyEdgesGiveThePayloadsTheBytesHold) {
  std::mt19937 rng(7);
  for (int round = 0; round < 200; ++round) {
    Trie t = chain_with_repeats(rng, 1 + rng() % 60);
    const std::size_t n = t.node_count();
    t.child_transitions.clear();
    for (std::size_t e = rng() % (2 * n + 1); e > 0; --e)
      t.child_transitions.push_back(static_cast<std::uint32_t>(rng() % (n + 3)));
    for (std::uint32_t& s : t.node_shifts)
      s = static_cast<std::uint32_t>(rng() % (t.child_transitions.size() + 3));
    const auto back = snapshot::decode(snapshot::encode(t));
    ASSERT_TRUE(back);
    ASSERT_EQ(*back, t) << "round " << round;
  }
}

TEST(SharedPayloads, LargeListsAreStoredOnce) {
  // root -> 1 -> 2 -> 3, node 3 with a million videos: built, the chain
  // shares node 3's list; loaded, it is read once.
  const std::uint32_t videos = 1'000'000;
  Payload leaf{videos, {}, {}};
  for (std::uint32_t v = 0; v < videos; ++v) {
    leaf.video_ids.push_back(v);
    leaf.video_counts.push_back(videos - v);
  }
  auto built = build_trie({0, 1, 2, 3}, {0, U'a', U'b', U'c'}, {std::nullopt, std::nullopt, std::nullopt, leaf},
                          {1, 2, 3}, {}, std::numeric_limits<std::uint64_t>::max());
  ASSERT_TRUE(built);
  EXPECT_EQ(built->payloads.record_count(), 1u);
  EXPECT_EQ(built->payloads.entry_count(), videos);
  const Bytes bytes = snapshot::encode(*built);
  const auto back = snapshot::decode(bytes);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, *built);
  EXPECT_EQ(back->payloads.record_count(), 1u);
  EXPECT_EQ(back->payloads.entry_count(), videos);
  EXPECT_EQ(snapshot::encode(*back), bytes);
}

}  // namespace
}  // namespace quorvatel
