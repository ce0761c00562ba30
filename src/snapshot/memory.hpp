// Page advice for large buffers: those of reading and writing snapshots, and
// the arrays a large trie is built in.
//
// A snapshot of a large trie is hundreds of megabytes, and so are the arrays
// it is read into or built in. Fresh memory is handed out by the kernel a
// page at a time on first touch, and with 4 KiB pages that costs more than
// the decoding, encoding or converting done in it. Buffers that span whole 2 MiB pages ask for those to
// be backed by huge pages, so that a first touch brings in 2 MiB at once. The
// advice changes no byte that is read or written; where huge pages are not
// available, or the kernel is not Linux, it does nothing.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>
#include <vector>

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

/// Reserves room for `n` elements in `v` (which keeps its elements), with
/// huge pages advised for a large buffer. Pages of the room are touched only
/// when elements are put there, so a generous bound costs address space,
/// not memory.
template <class T>
void reserve_advised(std::vector<T>& v, std::size_t n) {
  if (n <= v.capacity())
    return;
  // The new buffer is advised before the elements move in, so that the move
  // itself fills huge pages.
  std::vector<T> room;
  room.reserve(n);
  advise_huge_pages(room.data(), room.capacity() * sizeof(T));
  room.insert(room.end(), std::make_move_iterator(v.begin()), std::make_move_iterator(v.end()));
  v.swap(room);
}

/// Grows `v`'s room geometrically to hold `n` elements, as push_back would,
/// but with huge pages advised for the new buffer.
template <class T>
void grow_advised(std::vector<T>& v, std::size_t n) {
  if (n > v.capacity())
    reserve_advised(v, std::max(n, v.capacity() + v.capacity() / 2));
}

/// Gives back room beyond `slack` elements: the elements move to a buffer of
/// exactly their size (huge pages advised, so that a large copy does not
/// fault page by page).
template <class T>
void trim_advised(std::vector<T>& v, std::size_t slack) {
  if (v.capacity() - v.size() <= slack)
    return;
  std::vector<T> exact;
  exact.reserve(v.size());
  advise_huge_pages(exact.data(), exact.capacity() * sizeof(T));
  exact.insert(exact.end(), v.begin(), v.end());
  v.swap(exact);
}

/// Scratch blocks at least this large come straight from the kernel
/// (anonymous mappings) and go straight back when freed. From the allocator,
/// a freed block of a few megabytes stays in the process's heap, resident,
/// long after the load that needed it: every index loaded would leave its
/// scratch behind.
inline constexpr std::size_t kScratchMapMin = std::size_t{256} << 10;

/// Advises huge pages for a whole mapping of scratch memory. Unlike
/// advise_huge_pages, it covers the mapping from its first byte, so the
/// mapping stays one region of the kernel's and can still be remapped whole.
inline void advise_huge_mapping([[maybe_unused]] void* p, [[maybe_unused]] std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (bytes >= kHugePageAdviceMin)
    (void)::madvise(p, bytes, MADV_HUGEPAGE);
#endif
}

/// Zero-filled scratch memory of `bytes` bytes, mapped from the kernel when
/// large (see kScratchMapMin; huge pages advised for a large one) and from
/// calloc otherwise; null when the memory cannot be had. Freed by
/// free_scratch with the same size.
[[nodiscard]] inline void* alloc_scratch(std::size_t bytes) noexcept {
  if (bytes == 0)
    return nullptr;
#if defined(__linux__)
  if (bytes >= kScratchMapMin) {
    void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
      return nullptr;
    advise_huge_mapping(p, bytes);
    return p;
  }
#endif
  return std::calloc(bytes, 1);
}

inline void free_scratch(void* p, [[maybe_unused]] std::size_t bytes) noexcept {
  if (p == nullptr)
    return;
#if defined(__linux__)
  if (bytes >= kScratchMapMin) {
    (void)::munmap(p, bytes);
    return;
  }
#endif
  std::free(p);
}

/// Grows scratch memory from `old_bytes` to `new_bytes` (larger), keeping the
/// contents; the new bytes are unspecified. Null when the memory cannot be
/// had, the old block then left as it was.
[[nodiscard]] inline void* grow_scratch(void* p, std::size_t old_bytes, std::size_t new_bytes) noexcept {
  if (p == nullptr)
    return alloc_scratch(new_bytes);
#if defined(__linux__)
  if (old_bytes >= kScratchMapMin) {  // a mapping moves its pages, no bytes are copied
    void* q = ::mremap(p, old_bytes, new_bytes, MREMAP_MAYMOVE);
    if (q == MAP_FAILED)
      return nullptr;
    advise_huge_mapping(q, new_bytes);
    return q;
  }
  if (new_bytes >= kScratchMapMin) {
    void* q = alloc_scratch(new_bytes);
    if (q != nullptr) {
      std::memcpy(q, p, old_bytes);
      std::free(p);
    }
    return q;
  }
#endif
  (void)old_bytes;
  return std::realloc(p, new_bytes);
}

/// A zero-filled array of a trivially copyable type, from scratch memory:
/// fresh pages read as zero already, so nothing is written until the owner
/// writes. Empty when the memory could not be had (the caller decides what
/// that means).
template <class T>
class ZeroedArray {
 public:
  explicit ZeroedArray(std::size_t n) noexcept
      : data_(n == 0 || n > SIZE_MAX / sizeof(T) ? nullptr : static_cast<T*>(alloc_scratch(n * sizeof(T)))),
        size_(data_ == nullptr ? 0 : n) {}
  ZeroedArray(const ZeroedArray&) = delete;
  ZeroedArray& operator=(const ZeroedArray&) = delete;
  ~ZeroedArray() { free_scratch(data_, size_ * sizeof(T)); }

  [[nodiscard]] bool empty() const noexcept { return size_ == 0; }
  [[nodiscard]] std::size_t size() const noexcept { return size_; }
  [[nodiscard]] T& operator[](std::size_t i) noexcept { return data_[i]; }
  [[nodiscard]] const T& operator[](std::size_t i) const noexcept { return data_[i]; }

 private:
  T* data_;
  std::size_t size_;
};

/// A growable array of a trivially copyable type whose new elements are left
/// unwritten until the owner writes them, in scratch memory. A large block
/// grows by remapping, which moves its pages rather than copying its bytes.
template <class T>
class RawArray {
 public:
  RawArray() = default;
  RawArray(const RawArray&) = delete;
  RawArray& operator=(const RawArray&) = delete;
  ~RawArray() { free_scratch(data_, capacity_ * sizeof(T)); }

  [[nodiscard]] T* data() noexcept { return data_; }
  [[nodiscard]] std::size_t capacity() const noexcept { return capacity_; }
  /// Room for at least `n` elements, the elements so far kept. Throws
  /// std::bad_alloc when the memory cannot be had.
  void reserve(std::size_t n) {
    if (n <= capacity_)
      return;
    void* grown = n > SIZE_MAX / sizeof(T) ? nullptr : grow_scratch(data_, capacity_ * sizeof(T), n * sizeof(T));
    if (grown == nullptr)
      throw std::bad_alloc();
    data_ = static_cast<T*>(grown);
    capacity_ = n;
  }
  /// Gives the memory back.
  void clear() noexcept {
    free_scratch(data_, capacity_ * sizeof(T));
    data_ = nullptr;
    capacity_ = 0;
  }

 private:
  T* data_ = nullptr;
  std::size_t capacity_ = 0;
};

}  // namespace quorvatel::snapshot
