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
#include <cstdint>
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

/// A zero-filled array of a trivially copyable type, taken from calloc:
/// fresh pages read as zero already, so nothing is written until the owner
/// writes. Empty when the memory could not be had (the caller decides what
/// that means); huge pages are advised for a large one.
template <class T>
class ZeroedArray {
 public:
  explicit ZeroedArray(std::size_t n) noexcept
      : data_(n == 0 ? nullptr : static_cast<T*>(std::calloc(n, sizeof(T)))), size_(data_ == nullptr ? 0 : n) {
    advise_huge_pages(data_, size_ * sizeof(T));
  }
  ZeroedArray(const ZeroedArray&) = delete;
  ZeroedArray& operator=(const ZeroedArray&) = delete;
  ~ZeroedArray() { std::free(data_); }

  [[nodiscard]] bool empty() const noexcept { return size_ == 0; }
  [[nodiscard]] std::size_t size() const noexcept { return size_; }
  [[nodiscard]] T& operator[](std::size_t i) noexcept { return data_[i]; }
  [[nodiscard]] const T& operator[](std::size_t i) const noexcept { return data_[i]; }

 private:
  T* data_;
  std::size_t size_;
};

/// A growable array of a trivially copyable type whose new elements are left
/// unwritten until the owner writes them. It grows by realloc, which moves a
/// large block's pages rather than copying its bytes, and advises huge pages
/// for every large block.
template <class T>
class RawArray {
 public:
  RawArray() = default;
  RawArray(const RawArray&) = delete;
  RawArray& operator=(const RawArray&) = delete;
  ~RawArray() { std::free(data_); }

  [[nodiscard]] T* data() noexcept { return data_; }
  [[nodiscard]] std::size_t capacity() const noexcept { return capacity_; }
  /// Room for at least `n` elements, the elements so far kept. Throws
  /// std::bad_alloc when the memory cannot be had.
  void reserve(std::size_t n) {
    if (n <= capacity_)
      return;
    void* grown = n > SIZE_MAX / sizeof(T) ? nullptr : std::realloc(data_, n * sizeof(T));
    if (grown == nullptr)
      throw std::bad_alloc();
    data_ = static_cast<T*>(grown);
    capacity_ = n;
    advise_huge_pages(data_, capacity_ * sizeof(T));
  }
  /// Gives the memory back.
  void clear() noexcept {
    std::free(data_);
    data_ = nullptr;
    capacity_ = 0;
  }

 private:
  T* data_ = nullptr;
  std::size_t capacity_ = 0;
};

}  // namespace quorvatel::snapshot
