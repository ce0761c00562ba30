// Cancellation of long walks. A trie read from a snapshot can let a node be
// reached along exponentially many paths, and a walk visits each path once,
// so a query may run for a very long time without using more memory. Walks
// poll a hook now and then; when it asks to stop, the walk unwinds with
// Cancelled, releasing its working memory. The Python boundary connects the
// hook to the interpreter's signal check, so Ctrl-C interrupts such a call.
#pragma once

#include <cstdint>
#include <exception>

namespace quorvatel {

class CancelHook {
 public:
  virtual ~CancelHook() = default;
  /// Returns true to stop the running walk.
  [[nodiscard]] virtual bool should_stop() = 0;
};

/// Thrown by a walk whose hook asked it to stop; carries nothing, the hook's
/// owner knows why.
class Cancelled : public std::exception {
 public:
  [[nodiscard]] const char* what() const noexcept override { return "walk cancelled"; }
};

/// How many nodes a walk examines between two polls.
inline constexpr std::uint32_t kCancelPollInterval = 1u << 14;

}  // namespace quorvatel
