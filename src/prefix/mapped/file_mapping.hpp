// A file mapped read-only into memory, owned: unmapped when released. The
// descriptor is closed as soon as the mapping exists (the mapping keeps the
// file's pages).
//
// A mapping sees the file's pages as they are on disk. If someone truncates
// the file while it is mapped, touching a page past the new end raises
// SIGBUS; files that quorvatel writes are never changed in place (a new
// file is renamed over the old), so an open mapping keeps the old pages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>

namespace quorvatel::mapped {

class FileMapping {
 public:
  FileMapping() = default;
  FileMapping(FileMapping&& other) noexcept;
  FileMapping& operator=(FileMapping&& other) noexcept;
  FileMapping(const FileMapping&) = delete;
  FileMapping& operator=(const FileMapping&) = delete;
  ~FileMapping();

  /// Maps the whole file at `path` (an empty file gives an empty mapping).
  /// The error is the errno of the step that failed.
  [[nodiscard]] static std::expected<FileMapping, int> open(const std::string& path);

  [[nodiscard]] std::span<const std::uint8_t> bytes() const noexcept { return {data_, size_}; }

 private:
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace quorvatel::mapped
