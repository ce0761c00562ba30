// The fixed cost of a batch's thread pool: starting the threads, handing out
// items and joining, for items that do next to nothing. A batch hands its
// items to the pool only after it has run 200 µs on the calling thread; this
// is the cost that budget has to pay for.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>

#include "core/batch.hpp"

namespace {

using namespace quorvatel;

void BM_PoolStartAndJoin(benchmark::State& state) {
  const auto threads = static_cast<std::size_t>(state.range(0));
  const auto items = static_cast<std::size_t>(state.range(1));
  std::atomic<std::size_t> done{0};
  const batch::Work work = [&](std::size_t, CancelHook&) { done.fetch_add(1, std::memory_order_relaxed); };
  for (auto _ : state) {
    batch::Pool pool(0, items, threads, work);
    while (!pool.wait_for(std::chrono::milliseconds(20))) {
    }
    pool.join();
  }
  benchmark::DoNotOptimize(done.load());
}
BENCHMARK(BM_PoolStartAndJoin)->ArgsProduct({{1, 2, 4}, {2, 1000}})->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
