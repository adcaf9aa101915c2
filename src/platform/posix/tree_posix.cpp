#include "platform/posix/tree_posix.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <limits.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/posix/errors_posix.h"
#include "platform/posix/names_posix.h"

namespace platform::posix {

void ClosingBatch::Add(int fd) {
  if (fd < 0) return;
  waiting_[count_++] = fd;
  if (count_ == waiting_.size()) Flush();
}

// ThreadSanitizer follows descriptors through the calls it intercepts:
// close_range, made as a raw system call, would hide these closes from it,
// and another thread's later use of a reused number would look like a race.
#if defined(__SANITIZE_THREAD__)
constexpr bool kRangedClose = false;
#else
constexpr bool kRangedClose = true;
#endif

void ClosingBatch::Flush() {
  std::sort(waiting_.begin(), waiting_.begin() + count_);
  for (size_t i = 0; i < count_;) {
    size_t j = i;
    while (j + 1 < count_ && waiting_[j + 1] == waiting_[j] + 1) ++j;
    const bool ranged = kRangedClose && j > i && syscall(SYS_close_range, static_cast<unsigned>(waiting_[i]),
                                         static_cast<unsigned>(waiting_[j]), 0u) == 0;
    if (!ranged) {
      for (size_t k = i; k <= j; ++k) close(waiting_[k]);
    }
    i = j + 1;
  }
  count_ = 0;
}

namespace {

// Opens a directory the caller named, following links as the kernel does.
// A path too long for one call is walked a name at a time.
int OpenFollowing(std::string_view path, int flags) {
  if (path.empty()) {
    errno = ENOENT;
    return -1;
  }
  if (path.size() < PATH_MAX) return open(std::string(path).c_str(), flags);
  ScopedFd fd(open(path[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  size_t start = 0;
  while (fd.get() >= 0 && start < path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    if (end > start) {
      const std::string name(path.substr(start, end - start));
      const bool last = path.find_first_not_of('/', end) == std::string_view::npos;
      fd.reset(openat(fd.get(), name.c_str(), last ? flags : O_PATH | O_DIRECTORY | O_CLOEXEC));
    }
    start = end + 1;
  }
  return fd.release();
}

uint32_t RootError(int errnum) {
  if (errnum == ENOENT || errnum == ENOTDIR || errnum == ELOOP) return kErrorPathNotFound;
  return TranslateErrno(errnum, false);
}

}  // namespace

Tree* OpenTreeAt(std::string_view path, bool followLast, uint32_t& error) {
  constexpr int kRootFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
  const std::string plain = WithoutTrailingSeparators(path);
  const SplitPath split = SplitAtLastSeparator(plain);
  int fd = -1;
  if (followLast || split.name.empty() || split.name == "." || split.name == "..") {
    fd = OpenFollowing(plain, kRootFlags);
  } else {
    ScopedFd parent(OpenFollowing(split.directory, kRootFlags));
    if (parent.get() >= 0) fd = openat(parent.get(), split.name.c_str(), kRootFlags | O_NOFOLLOW);
  }
  if (fd < 0) {
    error = RootError(errno);
    return nullptr;
  }
  return new Tree(fd, plain);
}

PathPlace::PathPlace(std::string_view path) {
  const std::string plain = WithoutTrailingSeparators(path);
  SplitPath split = SplitAtLastSeparator(plain);
  if (split.name.empty() || split.name == "." || split.name == "..") {
    tree_ = OpenTreeAt(plain, true, error_);
  } else {
    tree_ = OpenTreeAt(split.directory, true, error_);
    name_ = std::move(split.name);
  }
}

uint32_t AttributeWord(mode_t mode, std::string_view name, bool linkToDirectory) {
  uint32_t attributes = 0;
  if (S_ISLNK(mode)) {
    attributes = kAttrReparsePoint | (linkToDirectory ? kAttrDirectory : kAttrArchive);
  } else if (S_ISDIR(mode)) {
    attributes = kAttrDirectory;
  } else {
    attributes = kAttrArchive;
    if (S_ISREG(mode) && !(mode & S_IWUSR)) attributes |= kAttrReadOnly;
    if (!S_ISREG(mode)) attributes |= kAttrDevice;
  }
  if (IsHiddenName(name)) attributes |= kAttrHidden;
  return attributes;
}

}  // namespace platform::posix
