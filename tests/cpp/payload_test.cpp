#include <gtest/gtest.h>

#include "core/fault.hpp"
#include "payload/payload.hpp"
#include "test_support.hpp"

namespace quorvatel {
namespace {

using testing::payload;

TEST(PayloadMerge, CountsSaturate) {
  Payload a = payload(4294967000u, {}, {});
  a.merge_from(payload(1000, {}, {}));
  EXPECT_EQ(a.count, 4294967295u);
}

struct MergeCase {
  Payload self, other, expected;
};

class PayloadMergeCases : public ::testing::TestWithParam<MergeCase> {};

TEST_P(PayloadMergeCases, SumsByIdLargestFirst) {
  Payload p = GetParam().self;
  p.merge_from(GetParam().other);
  EXPECT_EQ(p, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PayloadMergeCases,
    ::testing::Values(
        // sorted even when the other payload has no videos
        MergeCase{payload(0, {7, 3}, {1, 9}), payload(0, {}, {}), payload(0, {3, 7}, {9, 1})},
        // repeated ids collapse
        MergeCase{payload(1, {5, 5}, {2, 3}), payload(2, {}, {}), payload(3, {5}, {5})},
        // ids of both sides summed
        MergeCase{payload(1, {1}, {4}), payload(2, {1, 2}, {1, 10}), payload(3, {2, 1}, {10, 5})},
        // equal totals come out smallest id first
        MergeCase{payload(0, {9, 4}, {2, 2}), payload(0, {6}, {2}), payload(0, {4, 6, 9}, {2, 2, 2})},
        // a total above 2^32-1 saturates in video_counts but still ranks by its full value
        MergeCase{payload(0, {1, 2}, {4294967295u, 4294967295u}), payload(0, {2}, {1}),
                  payload(0, {2, 1}, {4294967295u, 4294967295u})}));

TEST(PayloadTable, KeepsRaggedListsApart) {
  PayloadTable table;
  const std::vector<std::uint32_t> ids{1, 2, 3};
  const std::vector<std::uint32_t> counts{7};
  table.push(9, ids, counts);
  table.push_absent();
  table.push(payload(2, {4}, {5}));
  ASSERT_EQ(table.size(), 3u);
  EXPECT_EQ(table.payload(0), payload(9, {1, 2, 3}, {7}));
  EXPECT_EQ(table.payload(1), std::nullopt);
  EXPECT_EQ(table.payload(2), payload(2, {4}, {5}));
  const auto view = table.get(0);
  ASSERT_TRUE(view);
  EXPECT_EQ(view->video_id(2), 3u);
  EXPECT_EQ(view->video_count(0), 7u);
  EXPECT_THROW((void)view->video_count(1), InternalFault);
  EXPECT_THROW((void)table.get(3), InternalFault);
}

TEST(InternalFault, NamesLengthAndIndex) {
  std::vector<int> v{1, 2};
  try {
    (void)checked_at(v, 5);
    FAIL();
  } catch (const InternalFault& f) {
    EXPECT_STREQ(f.what(), "index out of bounds: the len is 2 but the index is 5");
  }
}

}  // namespace
}  // namespace quorvatel
