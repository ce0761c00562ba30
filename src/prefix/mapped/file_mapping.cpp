#include "prefix/mapped/file_mapping.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace quorvatel::mapped {

FileMapping::FileMapping(FileMapping&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

FileMapping& FileMapping::operator=(FileMapping&& other) noexcept {
  if (this != &other) {
    FileMapping gone(std::move(*this));
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

FileMapping::~FileMapping() {
  if (data_ != nullptr)
    ::munmap(const_cast<std::uint8_t*>(data_), size_);
}

std::expected<FileMapping, int> FileMapping::open(const std::string& path) {
  int fd;
  do
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0)
    return std::unexpected(errno);
  struct stat st{};
  if (::fstat(fd, &st) != 0) {
    const int error = errno;
    ::close(fd);
    return std::unexpected(error);
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    return std::unexpected(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
  }
  FileMapping mapping;
  if (st.st_size > 0) {
    void* at = ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
    if (at == MAP_FAILED) {
      const int error = errno;
      ::close(fd);
      return std::unexpected(error);
    }
    mapping.data_ = static_cast<const std::uint8_t*>(at);
    mapping.size_ = static_cast<std::size_t>(st.st_size);
  }
  ::close(fd);
  return mapping;
}

}  // namespace quorvatel::mapped
