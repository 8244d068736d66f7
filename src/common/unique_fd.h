// Move-only owners of a descriptor and of a FILE*; resetting keeps errno.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

namespace brantwick {

class unique_fd {
 public:
  unique_fd() = default;
  explicit unique_fd(int fd) noexcept : fd_(fd) {}
  unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
  unique_fd& operator=(unique_fd&& other) noexcept {
    reset(other.release());
    return *this;
  }
  unique_fd(const unique_fd&) = delete;
  unique_fd& operator=(const unique_fd&) = delete;
  ~unique_fd() { reset(); }

  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  int release() noexcept { return std::exchange(fd_, -1); }
  void reset(int fd = -1) noexcept {
    if (fd_ >= 0) {
      const int saved_errno = errno;
      ::close(fd_);
      errno = saved_errno;
    }
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

class unique_file {
 public:
  unique_file() = default;
  explicit unique_file(std::FILE* file) noexcept : file_(file) {}
  unique_file(unique_file&& other) noexcept : file_(other.release()) {}
  unique_file& operator=(unique_file&& other) noexcept {
    reset(other.release());
    return *this;
  }
  unique_file(const unique_file&) = delete;
  unique_file& operator=(const unique_file&) = delete;
  ~unique_file() { reset(); }

  std::FILE* get() const noexcept { return file_; }
  explicit operator bool() const noexcept { return file_ != nullptr; }
  std::FILE* release() noexcept { return std::exchange(file_, nullptr); }
  void reset(std::FILE* file = nullptr) noexcept {
    if (file_) {
      const int saved_errno = errno;
      std::fclose(file_);
      errno = saved_errno;
    }
    file_ = file;
  }

 private:
  std::FILE* file_ = nullptr;
};

}  // namespace brantwick
