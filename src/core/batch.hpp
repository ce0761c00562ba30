// Running the items of a batch on a few threads.
//
// A batch is a number of independent items (queries) whose work reads shared
// immutable data and writes only its own result slot. A Pool starts its
// threads at once; they take items by an atomic counter, so a slow item
// delays nobody else. Nothing an item throws crosses a thread: a fault,
// running out of memory or a cancelled walk is caught around the item and
// kept as a value (ItemFailure), and the batch keeps the failure of the
// lowest item, which is the one a one-by-one loop would have met first.
// Items after a failed one are not started; items before it still run, so
// the failure reported does not depend on the timing of the threads.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <source_location>
#include <string>
#include <thread>
#include <vector>

#include "core/cancel.hpp"

namespace quorvatel::batch {

/// The most threads a batch may ask for.
inline constexpr std::size_t kMaxWorkers = 256;

enum class FailureKind : std::uint8_t {
  Fault,      ///< an InternalFault or another exception: the boundary's PanicException
  Memory,     ///< std::bad_alloc: MemoryError
  Cancelled,  ///< the item's cancel hook stopped it
};

struct ItemFailure {
  std::size_t item;
  FailureKind kind;
  std::string message;  ///< the fault's message (may be empty)
  std::source_location where;
};

/// The work of one item; `cancel` is polled by its walks. It may throw
/// anything: the runner catches it.
using Work = std::function<void(std::size_t item, CancelHook& cancel)>;

/// Runs item `item`; what it threw, as a value.
[[nodiscard]] std::optional<ItemFailure> run_item(const Work& work, std::size_t item, CancelHook& cancel) noexcept;

/// One core per thread: std::thread::hardware_concurrency(), at least 1, at
/// most kMaxWorkers.
[[nodiscard]] std::size_t default_workers() noexcept;

/// Threads working through items [begin, end) of a batch. The destructor
/// stops and joins them.
class Pool {
 public:
  /// Starts min(threads, end - begin) threads, fewer when the system refuses
  /// more (started() tells; with none started, nothing runs).
  Pool(std::size_t begin, std::size_t end, std::size_t threads, Work work);
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;
  ~Pool();

  [[nodiscard]] std::size_t started() const noexcept { return threads_.size(); }
  /// Waits until every thread has finished or `slice` has passed; true when finished.
  [[nodiscard]] bool wait_for(std::chrono::nanoseconds slice);
  /// Asks the threads to stop: no new item starts and running walks are
  /// cancelled at their next poll.
  void stop() noexcept { stop_.store(true, std::memory_order_relaxed); }
  /// Waits for every thread to end.
  void join() noexcept;
  /// After join(): the failure of the lowest item that failed.
  [[nodiscard]] const std::optional<ItemFailure>& failure() const noexcept { return failure_; }

 private:
  class StopFlag final : public CancelHook {
   public:
    explicit StopFlag(const std::atomic<bool>& stop) noexcept : stop_(stop) {}
    [[nodiscard]] bool should_stop() override { return stop_.load(std::memory_order_relaxed); }

   private:
    const std::atomic<bool>& stop_;
  };

  void work_through() noexcept;

  Work work_;
  std::atomic<std::size_t> next_;
  /// Items at or past it are not started: the end, or the lowest failed item.
  std::atomic<std::size_t> bound_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::condition_variable finished_;
  std::size_t running_ = 0;             // guarded by mutex_
  std::optional<ItemFailure> failure_;  // guarded by mutex_ until join()
  std::vector<std::thread> threads_;
};

}  // namespace quorvatel::batch
