// Capacity limits: sizes that 32-bit numbering cannot address.
//
// Node numbers, payload records, offsets into the video entries and video
// rows are held in 32 bits, which keeps the per-node cost low. A trie that
// would need more of any of them than 32 bits can number cannot be held,
// however much memory the machine has. Reaching such a limit throws
// CapacityExceeded, which names the limit; the boundary raises it as
// MemoryError with that message. It derives from std::bad_alloc, as it is a
// request for storage that cannot be granted, so code that handles running
// out of memory handles it too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>

namespace quorvatel {

/// The limits, each with the most items of its kind that can be held.
enum class Capacity : std::uint8_t {
  Nodes,         ///< payload slots, one per node: at most 2^32 - 2 (one value marks an absent payload)
  Records,       ///< distinct payloads stored: at most 2^32 - 2 (one value marks an absent payload)
  VideoEntries,  ///< (video, count) entries of all stored payloads together: at most 2^32 - 1
  Terms,         ///< distinct terms of a records build: at most 2^32 - 2
  Videos,        ///< distinct videos of a records build: at most 2^32 - 2 (one value marks "no video")
};

/// The largest number of items `limit` allows.
[[nodiscard]] constexpr std::uint64_t capacity_of(Capacity limit) noexcept {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint32_t>::max();
  return limit == Capacity::VideoEntries ? kMax : kMax - 1;
}

class CapacityExceeded : public std::bad_alloc {
 public:
  explicit CapacityExceeded(Capacity limit) noexcept : limit_(limit) {}
  [[nodiscard]] Capacity limit() const noexcept { return limit_; }
  /// "more than {capacity} {items}", for example "more than 4294967295 video entries".
  [[nodiscard]] const char* what() const noexcept override;

 private:
  Capacity limit_;
};

/// Throws CapacityExceeded unless `have` + `more` items fit within `limit`.
inline void check_capacity(Capacity limit, std::size_t have, std::size_t more) {
  const std::uint64_t cap = capacity_of(limit);
  if (have > cap || more > cap - have) [[unlikely]]
    throw CapacityExceeded(limit);
}

}  // namespace quorvatel
