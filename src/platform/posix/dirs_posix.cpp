#include "platform/posix/dirs_posix.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>

namespace platform::posix {

namespace {

// The descriptors of the directories used most recently. Copy and move
// alternate between a source and a target directory, and a new pair
// replaces the pair before it, so four are plenty.
class DirectoryHandles {
 public:
  DirectoryHandles() = default;
  DirectoryHandles(const DirectoryHandles&) = delete;
  DirectoryHandles& operator=(const DirectoryHandles&) = delete;
  ~DirectoryHandles() {
    for (Slot& slot : slots_) Drop(slot);
  }

  // The open directory `directory`, or -1 when it cannot be opened.
  int Get(std::string_view directory) {
    ++clock_;
    for (Slot& slot : slots_) {
      if (slot.fd >= 0 && slot.path == directory) {
        slot.used = clock_;
        return slot.fd;
      }
    }
    const std::string path(directory);
    const int fd = open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -1;
    // The least recently used slot goes; the one used just before this call
    // is never it, so two resolved paths stay usable together.
    Slot& victim = *std::min_element(slots_.begin(), slots_.end(),
                                     [](const Slot& a, const Slot& b) { return a.used < b.used; });
    Drop(victim);
    victim.path = path;
    victim.fd = fd;
    victim.used = clock_;
    return fd;
  }

  void ForgetUnder(std::string_view path) {
    for (Slot& slot : slots_) {
      if (slot.fd < 0 || slot.path.size() < path.size()) continue;
      if (slot.path.compare(0, path.size(), path) != 0) continue;
      if (slot.path.size() == path.size() || slot.path[path.size()] == '/' || path.back() == '/') {
        Drop(slot);
      }
    }
  }

 private:
  struct Slot {
    std::string path;
    int fd = -1;
    uint64_t used = 0;
  };
  static void Drop(Slot& slot) {
    if (slot.fd >= 0) close(slot.fd);
    slot.fd = -1;
    slot.used = 0;
    slot.path.clear();
  }
  std::array<Slot, 4> slots_;
  uint64_t clock_ = 0;
};

DirectoryHandles& Handles() {
  thread_local DirectoryHandles handles;
  return handles;
}

// Descriptors waiting to be closed. Files copied one after another get
// adjacent numbers, so a batch usually closes in one call.
class ClosingBatch {
 public:
  ClosingBatch() = default;
  ClosingBatch(const ClosingBatch&) = delete;
  ClosingBatch& operator=(const ClosingBatch&) = delete;
  ~ClosingBatch() { Flush(); }

  void Add(int fd) {
    waiting_[count_++] = fd;
    if (count_ == waiting_.size()) Flush();
  }

 private:
  void Flush() {
    std::sort(waiting_.begin(), waiting_.begin() + count_);
    for (size_t i = 0; i < count_;) {
      size_t j = i;
      while (j + 1 < count_ && waiting_[j + 1] == waiting_[j] + 1) ++j;
      if (j == i || !CloseRange(waiting_[i], waiting_[j])) {
        for (size_t k = i; k <= j; ++k) close(waiting_[k]);
      }
      i = j + 1;
    }
    count_ = 0;
  }
  static bool CloseRange(int first, int last) {
    return syscall(SYS_close_range, static_cast<unsigned>(first), static_cast<unsigned>(last), 0u) == 0;
  }
  std::array<int, 64> waiting_{};
  size_t count_ = 0;
};

ClosingBatch& Batch() {
  thread_local ClosingBatch batch;
  return batch;
}

}  // namespace

At Resolve(const std::string& path) {
  const size_t cut = path.rfind('/');
  if (cut == std::string::npos || cut + 1 == path.size()) return {AT_FDCWD, path.c_str()};
  const std::string_view directory(path.data(), cut == 0 ? 1 : cut);
  const int fd = Handles().Get(directory);
  if (fd < 0) return {AT_FDCWD, path.c_str()};
  return {fd, path.c_str() + cut + 1};
}

void ForgetDirectoriesUnder(std::string_view path) {
  if (!path.empty()) Handles().ForgetUnder(path);
}

void CloseSoon(int fd) {
  if (fd >= 0) Batch().Add(fd);
}

}  // namespace platform::posix
