// Packed storage of payloads: video entries and slot record numbers, each
// value in the fewest bytes (1 to 4) its array needs, read back as plain
// values through small ranges.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>

namespace quorvatel {

/// One stored video of a payload: its row in the video table and its count.
struct VideoEntry {
  std::uint32_t id;
  std::uint32_t count;

  friend bool operator==(const VideoEntry&, const VideoEntry&) = default;
};

/// How a table packs its entries: each entry is its row in `id_bytes` bytes,
/// then its count in `count_bytes` bytes, little-endian.
struct EntryPacking {
  std::uint8_t id_bytes = 1;
  std::uint8_t count_bytes = 1;

  [[nodiscard]] constexpr std::size_t stride() const noexcept { return std::size_t{id_bytes} + count_bytes; }
  /// The fewest bytes, 1 to 4, that hold `value`.
  [[nodiscard]] static constexpr std::uint8_t bytes_for(std::uint32_t value) noexcept {
    return static_cast<std::uint8_t>(1 + (value > 0xFF) + (value > 0xFFFF) + (value > 0xFFFFFF));
  }
  /// The packing that holds both this one's values and `other`'s.
  [[nodiscard]] constexpr EntryPacking widest(EntryPacking other) const noexcept {
    return {std::max(id_bytes, other.id_bytes), std::max(count_bytes, other.count_bytes)};
  }
  /// The entry at `p`, which must have kEntrySlack readable bytes beyond
  /// the entry.
  [[nodiscard]] VideoEntry read(const std::uint8_t* p) const noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big)
      v = std::byteswap(v);
    return {static_cast<std::uint32_t>(v & mask(id_bytes)),
            static_cast<std::uint32_t>((v >> (8 * id_bytes)) & mask(count_bytes))};
  }
  /// Writes `entry` at `p`, whose values must fit; the kEntrySlack bytes
  /// after the entry are overwritten as well (with what the next entry, if
  /// any, writes again).
  void write(std::uint8_t* p, VideoEntry entry) const noexcept {
    std::uint64_t v = entry.id | (std::uint64_t{entry.count} << (8 * id_bytes));
    if constexpr (std::endian::native == std::endian::big)
      v = std::byteswap(v);
    std::memcpy(p, &v, sizeof v);
  }

  friend bool operator==(const EntryPacking&, const EntryPacking&) = default;

 private:
  static constexpr std::uint64_t mask(std::uint8_t bytes) noexcept { return (std::uint64_t{1} << (8 * bytes)) - 1; }
};

/// Bytes kept after the last packed entry, so that every entry is read or
/// written with one 8-byte access.
inline constexpr std::size_t kEntrySlack = 8;

/// A run of packed entries, read one at a time as VideoEntry values.
class EntryList {
 public:
  class iterator {
   public:
    using iterator_concept = std::forward_iterator_tag;
    using iterator_category = std::input_iterator_tag;  // the entries are values, not references
    using value_type = VideoEntry;
    using difference_type = std::ptrdiff_t;

    iterator() = default;
    [[nodiscard]] VideoEntry operator*() const noexcept { return packing_.read(at_); }
    iterator& operator++() noexcept {
      at_ += packing_.stride();
      return *this;
    }
    iterator operator++(int) noexcept {
      iterator before = *this;
      ++*this;
      return before;
    }
    friend bool operator==(const iterator& a, const iterator& b) noexcept { return a.at_ == b.at_; }

   private:
    friend class EntryList;
    iterator(const std::uint8_t* at, EntryPacking packing) noexcept : at_(at), packing_(packing) {}
    const std::uint8_t* at_ = nullptr;
    EntryPacking packing_;
  };

  EntryList() = default;
  EntryList(const std::uint8_t* data, std::size_t size, EntryPacking packing) noexcept
      : data_(data), size_(size), packing_(packing) {}

  [[nodiscard]] std::size_t size() const noexcept { return size_; }
  [[nodiscard]] bool empty() const noexcept { return size_ == 0; }
  /// Entry `i`, which must be below size().
  [[nodiscard]] VideoEntry operator[](std::size_t i) const noexcept {
    return packing_.read(data_ + i * packing_.stride());
  }
  /// The first `k` entries (k at most size()).
  [[nodiscard]] EntryList first(std::size_t k) const noexcept { return {data_, k, packing_}; }
  [[nodiscard]] iterator begin() const noexcept { return {data_, packing_}; }
  [[nodiscard]] iterator end() const noexcept { return {data_ + size_ * packing_.stride(), packing_}; }

 private:
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  EntryPacking packing_;
};

/// Marks a slot that holds no payload.
inline constexpr std::uint32_t kNoRecord = std::numeric_limits<std::uint32_t>::max();

/// Per slot, its record number (kNoRecord when absent), packed: each in
/// `width` bytes, little-endian, all of them set for kNoRecord.
class SlotRecords {
 public:
  /// Bytes kept readable after the last slot, so that every slot is read with
  /// one 4-byte load.
  static constexpr std::size_t kSlack = 3;

  /// The fewest bytes that number `records` records and leave the absent
  /// mark (all bits of the width set) apart from them.
  [[nodiscard]] static constexpr std::uint8_t width_for(std::size_t records) noexcept {
    return static_cast<std::uint8_t>(1 + (records > 0xFF) + (records > 0xFFFF) + (records > 0xFFFFFF));
  }
  /// Writes `record` (or kNoRecord) at `p` in `width` bytes exactly.
  static void store(std::uint8_t* p, std::uint32_t record, std::uint8_t width) noexcept {
    for (std::uint8_t b = 0; b < width; ++b)
      p[b] = static_cast<std::uint8_t>(record >> (8 * b));
  }

  class iterator {
   public:
    using iterator_concept = std::forward_iterator_tag;
    using iterator_category = std::input_iterator_tag;  // the slots are values, not references
    using value_type = std::uint32_t;
    using difference_type = std::ptrdiff_t;

    iterator() = default;
    [[nodiscard]] std::uint32_t operator*() const noexcept { return SlotRecords::read(at_, width_); }
    iterator& operator++() noexcept {
      at_ += width_;
      return *this;
    }
    iterator operator++(int) noexcept {
      iterator before = *this;
      ++*this;
      return before;
    }
    friend bool operator==(const iterator& a, const iterator& b) noexcept { return a.at_ == b.at_; }

   private:
    friend class SlotRecords;
    iterator(const std::uint8_t* at, std::uint8_t width) noexcept : at_(at), width_(width) {}
    const std::uint8_t* at_ = nullptr;
    std::uint8_t width_ = 1;
  };

  SlotRecords() = default;
  SlotRecords(const std::uint8_t* data, std::size_t size, std::uint8_t width) noexcept
      : data_(data), size_(size), width_(width) {}

  [[nodiscard]] std::size_t size() const noexcept { return size_; }
  [[nodiscard]] bool empty() const noexcept { return size_ == 0; }
  [[nodiscard]] std::uint8_t width() const noexcept { return width_; }
  /// The record of slot `i`, which must be below size().
  [[nodiscard]] std::uint32_t operator[](std::size_t i) const noexcept { return read(data_ + i * width_, width_); }
  [[nodiscard]] iterator begin() const noexcept { return {data_, width_}; }
  [[nodiscard]] iterator end() const noexcept { return {data_ + size_ * width_, width_}; }

 private:
  static std::uint32_t read(const std::uint8_t* p, std::uint8_t width) noexcept {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big)
      v = std::byteswap(v);
    const std::uint32_t mark = width >= 4 ? kNoRecord : (std::uint32_t{1} << (8 * width)) - 1;
    v &= mark;
    return v == mark ? kNoRecord : v;
  }

  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::uint8_t width_ = 1;
};

}  // namespace quorvatel
