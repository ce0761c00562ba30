#include "core/batch.hpp"

#include <algorithm>
#include <new>
#include <system_error>
#include <utility>

#include "core/fault.hpp"

namespace quorvatel::batch {
namespace {

/// A failure whose message is copied if memory allows; the kind says enough
/// without it.
ItemFailure failure_of(std::size_t item, FailureKind kind, const char* message,
                       std::source_location where) noexcept {
  ItemFailure failure{item, kind, {}, where};
  try {
    failure.message = message;
  } catch (...) {
    failure.message.clear();
  }
  return failure;
}

}  // namespace

std::optional<ItemFailure> run_item(const Work& work, std::size_t item, CancelHook& cancel) noexcept {
  try {
    work(item, cancel);
    return std::nullopt;
  } catch (const Cancelled&) {
    return ItemFailure{item, FailureKind::Cancelled, {}, std::source_location::current()};
  } catch (const InternalFault& fault) {
    return failure_of(item, FailureKind::Fault, fault.what(), fault.where());
  } catch (const std::bad_alloc&) {
    return ItemFailure{item, FailureKind::Memory, {}, std::source_location::current()};
  } catch (const std::exception& e) {
    return failure_of(item, FailureKind::Fault, e.what(), std::source_location::current());
  } catch (...) {
    return ItemFailure{item, FailureKind::Fault, {}, std::source_location::current()};
  }
}

std::size_t default_workers() noexcept {
  return std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, kMaxWorkers);
}

Pool::Pool(std::size_t begin, std::size_t end, std::size_t threads, Work work)
    : work_(std::move(work)), next_(begin), bound_(std::max(begin, end)) {
  const std::size_t wanted = std::min(threads, end > begin ? end - begin : 0);
  threads_.reserve(wanted);
  for (std::size_t t = 0; t < wanted; ++t) {
    {
      const std::scoped_lock lock(mutex_);
      ++running_;
    }
    try {
      threads_.emplace_back([this] { work_through(); });
    } catch (const std::system_error&) {
      // The system refuses another thread: the ones started do the work.
      const std::scoped_lock lock(mutex_);
      --running_;
      break;
    }
  }
}

Pool::~Pool() {
  stop();
  join();
}

void Pool::work_through() noexcept {
  StopFlag hook(stop_);
  while (!stop_.load(std::memory_order_relaxed)) {
    const std::size_t item = next_.fetch_add(1, std::memory_order_relaxed);
    if (item >= bound_.load(std::memory_order_relaxed))
      break;
    std::optional<ItemFailure> failure = run_item(work_, item, hook);
    if (failure) {
      const std::scoped_lock lock(mutex_);
      if (!failure_ || failure->item < failure_->item)
        failure_ = std::move(failure);
      std::size_t bound = bound_.load(std::memory_order_relaxed);
      while (item < bound && !bound_.compare_exchange_weak(bound, item, std::memory_order_relaxed)) {
      }
    }
  }
  const std::scoped_lock lock(mutex_);
  if (--running_ == 0)
    finished_.notify_all();
}

bool Pool::wait_for(std::chrono::nanoseconds slice) {
  std::unique_lock lock(mutex_);
  return finished_.wait_for(lock, slice, [this] { return running_ == 0; });
}

void Pool::join() noexcept {
  for (std::thread& thread : threads_)
    if (thread.joinable())
      thread.join();
}

}  // namespace quorvatel::batch
