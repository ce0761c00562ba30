// The batch runner: every item runs exactly once, whatever the number of
// threads; what an item throws comes back as the lowest failed item's value;
// a stop ends the batch, cancelling walks at their next poll.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <new>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "core/batch.hpp"
#include "core/fault.hpp"

namespace quorvatel::batch {
namespace {

using namespace std::chrono_literals;

void wait_until_done(Pool& pool) {
  while (!pool.wait_for(10ms)) {
  }
  pool.join();
}

class Runs : public ::testing::TestWithParam<std::size_t> {};

TEST_P(Runs, EveryItemRunsExactlyOnce) {
  const std::size_t threads = GetParam();
  for (const std::size_t count : {0u, 1u, 2u, 7u, 1000u}) {
    for (const std::size_t begin : {std::size_t{0}, count / 3}) {
      std::vector<std::atomic<int>> runs(count);
      Pool pool(begin, count, threads, [&](std::size_t i, CancelHook&) { runs[i].fetch_add(1); });
      EXPECT_LE(pool.started(), std::min(threads, count - begin));
      wait_until_done(pool);
      EXPECT_FALSE(pool.failure().has_value());
      for (std::size_t i = 0; i < count; ++i)
        EXPECT_EQ(runs[i].load(), i < begin ? 0 : 1) << "item " << i << " of " << count;
    }
  }
}

TEST_P(Runs, TheLowestFailedItemIsReportedAndItemsBeforeItRun) {
  const std::size_t threads = GetParam();
  std::mt19937 rng(7);
  for (int round = 0; round < 50; ++round) {
    const std::size_t count = 1 + rng() % 200;
    // Items that fail, of each kind; the reported one must be the lowest.
    std::vector<int> kind(count, 0);
    for (std::size_t i = 0; i < count; ++i)
      kind[i] = rng() % 10 == 0 ? static_cast<int>(1 + rng() % 3) : 0;
    std::vector<std::atomic<int>> runs(count);
    Pool pool(0, count, threads, [&](std::size_t i, CancelHook&) {
      runs[i].fetch_add(1);
      if (i % 3 == 0)
        std::this_thread::yield();  // vary the interleaving
      switch (kind[i]) {
        case 1:
          index_fault(4, 9, std::source_location::current());
        case 2:
          throw std::bad_alloc();
        case 3:
          throw 42;  // not even an exception class
        default:
          break;
      }
    });
    wait_until_done(pool);
    std::size_t first = count;
    for (std::size_t i = 0; i < count && first == count; ++i)
      if (kind[i] != 0)
        first = i;
    if (first == count) {
      EXPECT_FALSE(pool.failure().has_value());
    } else {
      ASSERT_TRUE(pool.failure().has_value());
      const ItemFailure& failure = *pool.failure();
      EXPECT_EQ(failure.item, first);
      const FailureKind expected[] = {FailureKind::Fault, FailureKind::Fault, FailureKind::Memory,
                                      FailureKind::Fault};
      EXPECT_EQ(failure.kind, expected[kind[first]]);
      if (kind[first] == 1) {
        EXPECT_EQ(failure.message, "index out of bounds: the len is 4 but the index is 9");
      }
      if (kind[first] == 3) {
        EXPECT_EQ(failure.message, "");
      }
    }
    for (std::size_t i = 0; i < count; ++i) {
      EXPECT_LE(runs[i].load(), 1) << i;
      if (i <= first) {
        EXPECT_EQ(runs[i].load(), 1) << "item " << i << " up to the first failure " << first;
      }
    }
  }
}

TEST_P(Runs, StopCancelsRunningWalksAndStartsNoMoreItems) {
  const std::size_t threads = GetParam();
  constexpr std::size_t kCount = 10'000;
  std::atomic<std::size_t> started{0};
  Pool pool(0, kCount, threads, [&](std::size_t, CancelHook& cancel) {
    started.fetch_add(1);
    // A walk that only ends when cancelled, polling as walks do.
    while (!cancel.should_stop())
      std::this_thread::sleep_for(100us);
    throw Cancelled();
  });
  EXPECT_FALSE(pool.wait_for(20ms));
  const auto asked = std::chrono::steady_clock::now();
  pool.stop();
  EXPECT_TRUE(pool.wait_for(5s));
  pool.join();
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 2s);
  EXPECT_LE(started.load(), pool.started());
  ASSERT_TRUE(pool.failure().has_value());
  EXPECT_EQ(pool.failure()->kind, FailureKind::Cancelled);
}

INSTANTIATE_TEST_SUITE_P(Threads, Runs, ::testing::Values(1, 2, 3, 8));

TEST(Batch, RunItemCapturesEachKind) {
  struct Never final : CancelHook {
    bool should_stop() override { return false; }
  } never;
  EXPECT_FALSE(run_item([](std::size_t, CancelHook&) {}, 0, never).has_value());
  const auto fault = run_item([](std::size_t, CancelHook&) { throw InternalFault("boom"); }, 3, never);
  ASSERT_TRUE(fault.has_value());
  EXPECT_EQ(fault->item, 3u);
  EXPECT_EQ(fault->kind, FailureKind::Fault);
  EXPECT_EQ(fault->message, "boom");
  const auto cancelled = run_item([](std::size_t, CancelHook&) { throw Cancelled(); }, 1, never);
  ASSERT_TRUE(cancelled.has_value());
  EXPECT_EQ(cancelled->kind, FailureKind::Cancelled);
  const auto memory = run_item([](std::size_t, CancelHook&) { throw std::bad_alloc(); }, 1, never);
  ASSERT_TRUE(memory.has_value());
  EXPECT_EQ(memory->kind, FailureKind::Memory);
}

TEST(Batch, DefaultWorkersIsBounded) {
  EXPECT_GE(default_workers(), 1u);
  EXPECT_LE(default_workers(), kMaxWorkers);
}

TEST(Batch, DestroyingARunningPoolStopsIt) {
  std::atomic<int> ran{0};
  {
    Pool pool(0, 1'000'000, 2, [&](std::size_t, CancelHook& cancel) {
      ran.fetch_add(1);
      while (!cancel.should_stop())
        std::this_thread::sleep_for(100us);
      throw Cancelled();
    });
  }
  EXPECT_LE(ran.load(), 2);
}

}  // namespace
}  // namespace quorvatel::batch
