// Work without the interpreter lock, for the package's functions: either
// plainly (WithoutLock), or once a call has held the lock long enough that
// letting go of it pays (LockBudget).
#pragma once

#include <chrono>

#include "core/cancel.hpp"
#include "lib/python.hpp"

namespace quorvatel::py {

/// Lets other host threads run while the current one works on plain data;
/// takes the lock back on every way out, unwinding included.
class WithoutLock {
 public:
  WithoutLock() noexcept : state_(PyEval_SaveThread()) {}
  WithoutLock(const WithoutLock&) = delete;
  WithoutLock& operator=(const WithoutLock&) = delete;
  ~WithoutLock() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

/// The interpreter lock over a query, or a batch of them, on the calling
/// thread. It is held at first: most queries take microseconds, and letting
/// go of the lock and taking it back costs more than that whenever another
/// thread wants it (the taker waits for the holder's switch interval). At
/// each checkpoint (a walk's poll of its cancel hook, every 16,384 examined
/// nodes; a batch's step between items) a call that has held the lock for
/// kHoldBudget lets go of it and keeps it released to the end; while released
/// it takes the lock back for a moment every kSignalSlice to run the signal
/// handlers, so that Ctrl-C still stops it. A handler's exception stops the
/// walk (should_stop() is true) and stays pending for the caller to raise.
/// The destructor takes the lock back on every way out.
///
/// Whatever runs between checkpoints must not touch host objects: the call's
/// inputs are plain values, and its index is held by a reference.
class LockBudget final : public CancelHook {
 public:
  using Clock = std::chrono::steady_clock;
  /// How long a call holds the lock before it lets go of it at a checkpoint.
  static constexpr std::chrono::microseconds kHoldBudget{200};
  /// How often a call without the lock checks for signals.
  static constexpr std::chrono::milliseconds kSignalSlice{20};

  LockBudget() noexcept;
  LockBudget(const LockBudget&) = delete;
  LockBudget& operator=(const LockBudget&) = delete;
  ~LockBudget() { reacquire(); }

  /// The checkpoint: true when a signal handler raised (its exception is pending).
  [[nodiscard]] bool should_stop() override;
  /// Lets go of the lock now, if it is held.
  void release() noexcept;
  /// Takes the lock back, if it was let go of.
  void reacquire() noexcept;
  [[nodiscard]] bool released() const noexcept { return state_ != nullptr; }
  /// Runs the signal handlers now (taking the lock for it when released);
  /// true when one raised, and then the lock is held.
  [[nodiscard]] bool signals_raised();

 private:
  PyThreadState* state_ = nullptr;
  Clock::time_point started_;
  Clock::time_point checked_;
};

}  // namespace quorvatel::py
