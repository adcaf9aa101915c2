#include "platform/posix/copy_posix.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/dirs_posix.h"
#include "platform/posix/errors_posix.h"
#include "platform/posix/names_posix.h"

namespace platform::posix {

namespace {

// Closes a descriptor when it goes out of scope.
class ScopedFd {
 public:
  explicit ScopedFd(int fd = -1) : fd_(fd) {}
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  ~ScopedFd() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }
  void reset(int fd) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }
  // Gives the descriptor up to be closed with the next batch.
  void CloseSoon() {
    posix::CloseSoon(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

std::string TemporaryNameIn(const std::string& directory) {
  static std::atomic<unsigned> counter{0};
  return directory + "/.fileop-" + std::to_string(getpid()) + "-" +
         std::to_string(counter.fetch_add(1)) + ".tmp";
}

// Gives the unnamed file open as `fd` the name `to` (never replacing): by
// its descriptor where the process may (AT_EMPTY_PATH needs a capability),
// otherwise through its name under /proc. -1 with errno on failure.
int LinkUnnamed(int fd, const At& to) {
  static std::atomic<bool> byDescriptorRefused{false};
  const bool tryDescriptor = !byDescriptorRefused.load(std::memory_order_relaxed);
  if (tryDescriptor) {
    if (linkat(fd, "", to.dir, to.name, AT_EMPTY_PATH) == 0) return 0;
    if (errno != ENOENT && errno != EPERM && errno != EINVAL) return -1;
  }
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  const int linked = linkat(AT_FDCWD, self.c_str(), to.dir, to.name, AT_SYMLINK_FOLLOW);
  // Refused by descriptor where the name worked: do not ask that way again.
  if (linked == 0 && tryDescriptor) byDescriptorRefused.store(true, std::memory_order_relaxed);
  return linked;
}

// A file being written in the directory of `target` (resolved as `at`).
// Unnamed where the file system allows it, so that nothing at all is left
// if the process dies; otherwise under a temporary name that is removed
// unless it was placed.
class PendingFile {
 public:
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;
  PendingFile(const std::string& target, const At& at)
      : directory_(DirectoryOf(target)), at_(at) {}
  ~PendingFile() {
    fd_.reset(-1);
    if (!temporaryName_.empty()) unlink(temporaryName_.c_str());
  }

  // 0, or the error code. `mode` gives the permission bits (less the umask).
  uint32_t Open(mode_t mode) {
    // Relative to the resolved directory when there is one.
    const char* directory = at_.dir == AT_FDCWD ? directory_.c_str() : ".";
    int fd = openat(at_.dir, directory, O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    if (fd >= 0) {
      fd_.reset(fd);
      return 0;
    }
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return ErrorFor(errno, directory_ + "/x");
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::string name = TemporaryNameIn(directory_);
      fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
      if (fd >= 0) {
        fd_.reset(fd);
        temporaryName_ = name;
        return 0;
      }
      if (errno != EEXIST) return ErrorFor(errno, name);
    }
    return kErrorAlreadyExists;
  }

  int fd() const { return fd_.get(); }

  // Gives the finished file the target's name; with `replace` an existing
  // file of that name is replaced in one step, otherwise an existing name
  // fails. Once placed, the file is closed with the next batch.
  uint32_t Place(const std::string& to, bool replace) {
    if (temporaryName_.empty()) {
      if (!replace) {
        if (LinkUnnamed(fd_.get(), at_) != 0) return ErrorFor(errno, to);
        fd_.CloseSoon();
        return 0;
      }
      std::string name = TemporaryNameIn(directory_);
      if (LinkUnnamed(fd_.get(), At{AT_FDCWD, name.c_str()}) != 0) return ErrorFor(errno, name);
      temporaryName_ = name;
    }
    if (replace) {
      if (renameat(AT_FDCWD, temporaryName_.c_str(), at_.dir, at_.name) != 0) return ErrorFor(errno, to);
    } else {
      if (linkat(AT_FDCWD, temporaryName_.c_str(), at_.dir, at_.name, 0) != 0) return ErrorFor(errno, to);
      unlink(temporaryName_.c_str());
    }
    temporaryName_.clear();
    fd_.CloseSoon();
    return 0;
  }

 private:
  std::string directory_;
  At at_;
  ScopedFd fd_;
  std::string temporaryName_;
};

// Copies the first `size` bytes of `in` (its size when it was opened) to
// `out`: in the kernel where it can (which also makes reflinks on file
// systems that share extents), by reading and writing otherwise. 0, or the
// error code (disk full: 112).
uint32_t CopyData(int in, int out, off_t size) {
  off_t done = 0;
  while (done < size) {
    ssize_t n = copy_file_range(in, nullptr, out, nullptr, static_cast<size_t>(size - done), 0);
    if (n > 0) {
      done += n;
      continue;
    }
    if (n == 0) return 0;  // the source shrank meanwhile
    if (errno == EINTR) continue;
    if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP || errno == EBADF) {
      break;  // no kernel copy between these files: read and write
    }
    return TranslateErrno(errno, false);
  }
  if (done >= size) return 0;
  std::vector<char> buffer(1 << 17);
  while (done < size) {
    ssize_t n = read(in, buffer.data(), static_cast<size_t>(std::min<off_t>(size - done, buffer.size())));
    if (n == 0) return 0;
    if (n < 0) {
      if (errno == EINTR) continue;
      return TranslateErrno(errno, false);
    }
    for (ssize_t written = 0; written < n;) {
      ssize_t w = write(out, buffer.data() + written, static_cast<size_t>(n - written));
      if (w < 0) {
        if (errno == EINTR) continue;
        return TranslateErrno(errno, false);
      }
      written += w;
    }
    done += n;
  }
  return 0;
}

// Writes a complete copy of the open source into a pending file beside
// the target, with the source's permission bits and last-write time.
uint32_t WriteCopy(int in, const struct stat& source, PendingFile& pending) {
  // The file is made with the source's permission bits; the umask can only
  // take bits away, so a read-only source gives a read-only copy.
  if (uint32_t error = pending.Open(source.st_mode & 0777)) return error;
  if (uint32_t error = CopyData(in, pending.fd(), source.st_size)) return error;
  struct timespec times[2] = {{0, UTIME_NOW}, source.st_mtim};
  if (futimens(pending.fd(), times) != 0) return TranslateErrno(errno, false);
  return 0;
}

uint32_t ReadLinkTarget(const std::string& link, std::string& target) {
  std::vector<char> buffer(4096);
  ssize_t n = readlink(link.c_str(), buffer.data(), buffer.size());
  if (n < 0) return ErrorFor(errno, link);
  target.assign(buffer.data(), static_cast<size_t>(n));
  return 0;
}

uint32_t CopyLinkNoReplace(const std::string& from, const std::string& to) {
  std::string target;
  if (uint32_t error = ReadLinkTarget(from, target)) return error;
  return symlink(target.c_str(), to.c_str()) == 0 ? 0 : ErrorFor(errno, to);
}

}  // namespace

uint32_t CopyReplacing(const std::string& from, const std::string& to) {
  const At fromAt = Resolve(from);
  ScopedFd in(openat(fromAt.dir, fromAt.name, O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) return ErrorFor(errno, from);
  struct stat source;
  if (fstat(in.get(), &source) != 0) return TranslateErrno(errno, false);
  if (!S_ISREG(source.st_mode)) return kErrorAccessDenied;
  if (!to.empty() && to.back() == '/') return kErrorInvalidName;

  const At toAt = Resolve(to);
  PendingFile pending(to, toAt);
  if (uint32_t error = WriteCopy(in.get(), source, pending)) return error;
  // Most targets are new: the complete copy takes the name unless it exists.
  const uint32_t placed = pending.Place(to, false);
  if (placed == 0) in.CloseSoon();
  if (placed != kErrorAlreadyExists) return placed;

  // The name exists. As on Windows, a read-only or hidden file is not
  // replaced, nor is the source itself; anything else is, in one step.
  struct stat existing;
  if (fstatat(toAt.dir, toAt.name, &existing, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISDIR(existing.st_mode)) return kErrorAccessDenied;
    if (existing.st_dev == source.st_dev && existing.st_ino == source.st_ino) return kErrorSharingViolation;
    if (S_ISREG(existing.st_mode) && !(existing.st_mode & S_IWUSR)) return kErrorAccessDenied;
    if (IsHiddenName(BaseName(to))) return kErrorAccessDenied;
  }
  return pending.Place(to, true);
}

uint32_t CopyLinkReplacing(const std::string& from, const std::string& to) {
  std::string target;
  if (uint32_t error = ReadLinkTarget(from, target)) return error;
  struct stat existing;
  if (lstat(to.c_str(), &existing) == 0 && S_ISDIR(existing.st_mode)) return kErrorAccessDenied;
  // Made under a temporary name and renamed over `to` in one step.
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = TemporaryNameIn(DirectoryOf(to));
    if (symlink(target.c_str(), name.c_str()) != 0) {
      if (errno == EEXIST) continue;
      return ErrorFor(errno, name);
    }
    if (rename(name.c_str(), to.c_str()) == 0) return 0;
    const int renameError = errno;
    unlink(name.c_str());
    return ErrorFor(renameError, to);
  }
  return kErrorAlreadyExists;
}

uint32_t MoveNoReplace(const std::string& from, const std::string& to) {
  const At fromAt = Resolve(from);
  const At toAt = Resolve(to);
  if (renameat2(fromAt.dir, fromAt.name, toAt.dir, toAt.name, RENAME_NOREPLACE) == 0) return 0;
  const int renameError = errno;
  struct stat source;
  if (lstat(from.c_str(), &source) != 0) return ErrorFor(errno, from);

  if (renameError == EINVAL || renameError == ENOSYS) {
    // The file system cannot rename without replacing: link, then unlink.
    if (!S_ISDIR(source.st_mode)) {
      if (link(from.c_str(), to.c_str()) == 0) {
        unlink(from.c_str());
        return 0;
      }
      if (errno != EPERM && errno != EOPNOTSUPP) return ErrorFor(errno, to);
    }
    struct stat existing;
    if (lstat(to.c_str(), &existing) == 0) return kErrorAlreadyExists;
    return rename(from.c_str(), to.c_str()) == 0 ? 0 : ErrorFor(errno, to);
  }
  if (renameError != EXDEV) return ErrorFor(renameError, renameError == ENOENT ? to : from);

  // Another file system: copy completely, place without replacing, and only
  // then remove the source. Directories are never moved this way.
  if (S_ISDIR(source.st_mode)) return 17;
  if (S_ISLNK(source.st_mode)) {
    if (uint32_t error = CopyLinkNoReplace(from, to)) return error;
  } else {
    ScopedFd in(open(from.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.get() < 0) return ErrorFor(errno, from);
    PendingFile pending(to, At{AT_FDCWD, to.c_str()});
    if (uint32_t error = WriteCopy(in.get(), source, pending)) return error;
    if (uint32_t error = pending.Place(to, false)) return error;
  }
  if (unlink(from.c_str()) != 0) {
    // The source stays; take the copy back so that the file exists once.
    const int unlinkError = errno;
    unlink(to.c_str());
    return ErrorFor(unlinkError, from);
  }
  return 0;
}

}  // namespace platform::posix
