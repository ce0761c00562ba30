// Page advice for the large buffers of reading and writing snapshots.
//
// A snapshot of a large trie is hundreds of megabytes, and so are the arrays
// it is read into. Fresh memory is handed out by the kernel a page at a time
// on first touch, and with 4 KiB pages that costs more than the decoding or
// encoding done in it. Buffers that span whole 2 MiB pages ask for those to
// be backed by huge pages, so that a first touch brings in 2 MiB at once. The
// advice changes no byte that is read or written; where huge pages are not
// available, or the kernel is not Linux, it does nothing.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace quorvatel::snapshot {

/// Buffers below this size are left alone: they hold at most one whole huge
/// page, and come from the allocator's reused memory more often than not.
inline constexpr std::size_t kHugePageAdviceMin = std::size_t{8} << 20;

/// Advises huge pages for the whole 2 MiB pages inside [data, data + bytes),
/// when the buffer is at least kHugePageAdviceMin bytes. Best effort: the
/// kernel's answer is not looked at.
inline void advise_huge_pages([[maybe_unused]] void* data, [[maybe_unused]] std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::uintptr_t kHuge = std::uintptr_t{1} << 21;
  if (data == nullptr || bytes < kHugePageAdviceMin)
    return;
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (begin + kHuge - 1) & ~(kHuge - 1);
  const std::uintptr_t last = (begin + bytes) & ~(kHuge - 1);
  if (last > first)
    (void)::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#endif
}

}  // namespace quorvatel::snapshot
