// Owning file descriptors, and closing many of them cheaply.
#pragma once

#include <unistd.h>

#include <array>
#include <cstddef>

namespace platform::posix {

// Closes a descriptor when it goes out of scope.
class ScopedFd {
 public:
  explicit ScopedFd(int fd = -1) : fd_(fd) {}
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  ScopedFd(ScopedFd&& other) noexcept : fd_(other.release()) {}
  ScopedFd& operator=(ScopedFd&& other) noexcept {
    reset(other.release());
    return *this;
  }
  ~ScopedFd() { reset(); }

  int get() const { return fd_; }
  void reset(int fd = -1) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// Descriptors waiting to be closed together. Files copied one after another
// get adjacent numbers, so a batch usually closes in one call; at most
// kWaiting wait. Closes the rest when it goes out of scope.
class ClosingBatch {
 public:
  ClosingBatch() = default;
  ClosingBatch(const ClosingBatch&) = delete;
  ClosingBatch& operator=(const ClosingBatch&) = delete;
  ~ClosingBatch() { Flush(); }

  static constexpr size_t kWaiting = 64;

  // Takes `fd` over, to be closed with the next batch.
  void Add(int fd);
  void Flush();

 private:
  std::array<int, kWaiting> waiting_{};
  size_t count_ = 0;
};

}  // namespace platform::posix
