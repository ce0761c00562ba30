#include "lib/records/unlocked.hpp"

namespace quorvatel::py {

LockBudget::LockBudget() noexcept : started_(Clock::now()), checked_(started_) {}

bool LockBudget::should_stop() {
  const Clock::time_point now = Clock::now();
  if (!released()) {
    if (PyErr_CheckSignals() < 0)
      return true;
    checked_ = now;
    if (now - started_ >= kHoldBudget)
      release();
    return false;
  }
  if (now - checked_ < kSignalSlice)
    return false;
  return signals_raised();
}

bool LockBudget::signals_raised() {
  const bool was_released = released();
  reacquire();
  const bool raised = PyErr_CheckSignals() < 0;
  checked_ = Clock::now();
  if (was_released && !raised)
    release();
  return raised;
}

void LockBudget::release() noexcept {
  if (state_ == nullptr)
    state_ = PyEval_SaveThread();
}

void LockBudget::reacquire() noexcept {
  if (state_ != nullptr) {
    PyEval_RestoreThread(state_);
    state_ = nullptr;
  }
}

}  // namespace quorvatel::py
