#include "platform/posix/copy_posix.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/errors_posix.h"
#include "platform/posix/names_posix.h"

namespace platform::posix {

namespace {

// The failure of a call on a name whose directory was resolved.
uint32_t NameError(int errnum) {
  if (errnum == ENOTDIR) return kErrorPathNotFound;
  return TranslateErrno(errnum, false);
}

std::string TemporaryName() {
  static std::atomic<unsigned> counter{0};
  return ".fileop-" + std::to_string(getpid()) + "-" + std::to_string(counter.fetch_add(1)) + ".tmp";
}

// Gives the unnamed file open as `fd` the name `name` in `dir` (never
// replacing): by its descriptor where the process may (AT_EMPTY_PATH needs
// a capability), otherwise through its name under /proc. -1 with errno.
int LinkUnnamed(int fd, int dir, const char* name) {
  static std::atomic<bool> byDescriptorRefused{false};
  const bool tryDescriptor = !byDescriptorRefused.load(std::memory_order_relaxed);
  if (tryDescriptor) {
    if (linkat(fd, "", dir, name, AT_EMPTY_PATH) == 0) return 0;
    if (errno != ENOENT && errno != EPERM && errno != EINVAL) return -1;
  }
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  const int linked = linkat(AT_FDCWD, self.c_str(), dir, name, AT_SYMLINK_FOLLOW);
  // Refused by descriptor where the name worked: do not ask that way again.
  if (linked == 0 && tryDescriptor) byDescriptorRefused.store(true, std::memory_order_relaxed);
  return linked;
}

// A file being written in the directory `dir`. Unnamed where the file
// system allows it, so that nothing at all is left if the process dies;
// otherwise under a temporary name that is removed unless it was placed.
class PendingFile {
 public:
  PendingFile(Tree& tree, int dir) : tree_(tree), dir_(dir) {}
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;
  ~PendingFile() {
    fd_.reset();
    if (!temporaryName_.empty()) unlinkat(dir_, temporaryName_.c_str(), 0);
  }

  // 0, or the error code. `mode` gives the permission bits (less the umask).
  uint32_t Open(mode_t mode) {
    int fd = openat(dir_, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    if (fd >= 0) {
      fd_.reset(fd);
      return 0;
    }
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return NameError(errno);
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::string name = TemporaryName();
      fd = openat(dir_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
      if (fd >= 0) {
        fd_.reset(fd);
        temporaryName_ = name;
        return 0;
      }
      if (errno != EEXIST) return NameError(errno);
    }
    return kErrorAlreadyExists;
  }

  int fd() const { return fd_.get(); }

  // Gives the finished file the name `name`; with `replace` an existing
  // entry of that name is replaced in one step, otherwise an existing name
  // fails. Once placed, the file is closed with the tree's next batch.
  uint32_t Place(const char* name, bool replace) {
    if (temporaryName_.empty()) {
      if (!replace) {
        if (LinkUnnamed(fd_.get(), dir_, name) != 0) return NameError(errno);
        tree_.closing.Add(fd_.release());
        return 0;
      }
      std::string temporary = TemporaryName();
      if (LinkUnnamed(fd_.get(), dir_, temporary.c_str()) != 0) return NameError(errno);
      temporaryName_ = temporary;
    }
    if (replace) {
      if (renameat(dir_, temporaryName_.c_str(), dir_, name) != 0) return NameError(errno);
    } else {
      if (linkat(dir_, temporaryName_.c_str(), dir_, name, 0) != 0) return NameError(errno);
      unlinkat(dir_, temporaryName_.c_str(), 0);
    }
    temporaryName_.clear();
    tree_.closing.Add(fd_.release());
    return 0;
  }

 private:
  Tree& tree_;
  int dir_;
  ScopedFd fd_;
  std::string temporaryName_;
};

uint32_t WriteAll(int out, const char* data, size_t size, off_t at) {
  for (size_t written = 0; written < size;) {
    ssize_t w = pwrite(out, data + written, size - written, at + static_cast<off_t>(written));
    if (w < 0) {
      if (errno == EINTR) continue;
      return TranslateErrno(errno, false);
    }
    written += static_cast<size_t>(w);
  }
  return 0;
}

// Copies bytes [at, end) of `in` to the same place in `out`: in the kernel
// where it can (which also makes reflinks on file systems that share
// extents), by reading and writing otherwise. Stops early where the source
// ends sooner. 0, or the error code (disk full: 112).
uint32_t CopyRange(int in, int out, off_t at, off_t end) {
  off_t inAt = at, outAt = at;
  while (inAt < end) {
    ssize_t n = copy_file_range(in, &inAt, out, &outAt, static_cast<size_t>(end - inAt), 0);
    if (n > 0) continue;
    if (n == 0) return 0;  // the source shrank meanwhile
    if (errno == EINTR) continue;
    if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP || errno == EBADF) {
      break;  // no kernel copy between these files: read and write
    }
    return TranslateErrno(errno, false);
  }
  if (inAt >= end) return 0;
  std::vector<char> buffer(static_cast<size_t>(std::min<off_t>(end - inAt, 1 << 17)));
  while (inAt < end) {
    ssize_t n = pread(in, buffer.data(), static_cast<size_t>(std::min<off_t>(end - inAt, buffer.size())), inAt);
    if (n == 0) return 0;
    if (n < 0) {
      if (errno == EINTR) continue;
      return TranslateErrno(errno, false);
    }
    if (uint32_t error = WriteAll(out, buffer.data(), static_cast<size_t>(n), inAt)) return error;
    inAt += n;
  }
  return 0;
}

// A sparse source: only its data is copied, so its holes stay holes.
uint32_t CopySparse(int in, int out, off_t size) {
  off_t at = 0;
  while (at < size) {
    const off_t data = lseek(in, at, SEEK_DATA);
    if (data < 0) {
      if (errno == ENXIO) break;  // nothing but a hole up to the end
      return CopyRange(in, out, at, size);  // no hole queries here: copy it all
    }
    off_t hole = lseek(in, data, SEEK_HOLE);
    if (hole < 0 || hole > size) hole = size;
    if (uint32_t error = CopyRange(in, out, data, hole)) return error;
    at = hole;
  }
  return ftruncate(out, size) == 0 ? 0 : TranslateErrno(errno, false);
}

// Writes a complete copy of the open source into a pending file, with the
// source's permission bits and last-write time.
uint32_t WriteCopy(int in, const struct stat& source, PendingFile& pending) {
  // The file is made with the source's permission bits; the umask can only
  // take bits away, so a read-only source gives a read-only copy.
  if (uint32_t error = pending.Open(source.st_mode & 0777)) return error;
  const bool sparse = source.st_size > 0 && source.st_blocks * 512 < source.st_size;
  const uint32_t copied =
      sparse ? CopySparse(in, pending.fd(), source.st_size) : CopyRange(in, pending.fd(), 0, source.st_size);
  if (copied) return copied;
  struct timespec times[2] = {{0, UTIME_NOW}, source.st_mtim};
  if (futimens(pending.fd(), times) != 0) return TranslateErrno(errno, false);
  return 0;
}

uint32_t ReadLinkAt(int dir, const char* name, std::string& target) {
  std::vector<char> buffer(4096);
  for (;;) {
    ssize_t n = readlinkat(dir, name, buffer.data(), buffer.size());
    if (n < 0) return NameError(errno);
    if (static_cast<size_t>(n) < buffer.size()) {
      target.assign(buffer.data(), static_cast<size_t>(n));
      return 0;
    }
    buffer.resize(buffer.size() * 2);
  }
}

// Makes a link, pipe, socket or device node like `source` (a link with the
// target `linkTarget`) as `name` in `dir`; -1 with errno (EEXIST when the
// name is taken).
int MakeNode(int dir, const char* name, const struct stat& source, const std::string& linkTarget) {
  if (S_ISLNK(source.st_mode)) return symlinkat(linkTarget.c_str(), dir, name);
  if (mknodat(dir, name, source.st_mode & (S_IFMT | 07777), source.st_rdev) != 0) return -1;
  const struct timespec times[2] = {{0, UTIME_NOW}, source.st_mtim};
  utimensat(dir, name, times, AT_SYMLINK_NOFOLLOW);
  return 0;
}

// Puts a node like `source` at `name` in `dir`, replacing what is there
// (not a directory) in one step: made under a temporary name, then renamed.
uint32_t PlaceNodeReplacing(int dir, const char* name, const struct stat& source, const std::string& linkTarget) {
  struct stat existing;
  if (fstatat(dir, name, &existing, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(existing.st_mode)) {
    return kErrorAccessDenied;
  }
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string temporary = TemporaryName();
    if (MakeNode(dir, temporary.c_str(), source, linkTarget) != 0) {
      if (errno == EEXIST) continue;
      return errno == EPERM ? kErrorAccessDenied : NameError(errno);
    }
    if (renameat(dir, temporary.c_str(), dir, name) == 0) return 0;
    const int renameError = errno;
    unlinkat(dir, temporary.c_str(), 0);
    return NameError(renameError);
  }
  return kErrorAlreadyExists;
}

// The status of the source, never following it unless `follow`: the one
// that FileAttributes has just seen when it was about this very name.
int LookAtSource(Tree& tree, std::string_view name, int dir, const char* last, bool follow, struct stat& status) {
  if (!follow && tree.TakeLook(name, status)) return 0;
  tree.look.valid = false;
  return fstatat(dir, last, &status, follow ? 0 : AT_SYMLINK_NOFOLLOW);
}

}  // namespace

uint32_t CopyEntry(Tree& from, std::string_view fromName, Tree& to, std::string_view toName, bool followLink,
                   bool plainFileSeen) {
  const Resolver::Place source = from.resolver.Locate(fromName);
  if (source.error) return source.error;
  if (source.name.empty()) return kErrorAccessDenied;  // a directory
  const std::string sourceName(source.name);
  struct stat st;
  if (plainFileSeen) {
    from.look.valid = false;
    st.st_mode = S_IFREG;
  } else if (LookAtSource(from, fromName, source.dir, sourceName.c_str(), followLink, st) != 0) {
    return NameError(errno);
  }
  if (S_ISDIR(st.st_mode) || S_ISLNK(st.st_mode)) return kErrorAccessDenied;

  ScopedFd in;
  if (S_ISREG(st.st_mode)) {
    // Never blocks: a pipe put in the file's place meanwhile opens at once
    // and is refused below, as is anything else that is no regular file.
    in.reset(openat(source.dir, sourceName.c_str(),
                    O_RDONLY | O_NONBLOCK | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW)));
    if (in.get() < 0) return NameError(errno);
    if (fstat(in.get(), &st) != 0) return TranslateErrno(errno, false);
    if (!S_ISREG(st.st_mode)) return kErrorAccessDenied;
  }

  // The target's directory is resolved after the source is open: both
  // names may lie below one tree.
  const Resolver::Place target = to.resolver.Locate(toName);
  if (target.error) return target.error;
  if (target.name.empty()) return kErrorAccessDenied;
  const std::string targetName(target.name);
  if (!S_ISREG(st.st_mode)) return PlaceNodeReplacing(target.dir, targetName.c_str(), st, {});

  PendingFile pending(to, target.dir);
  if (uint32_t error = WriteCopy(in.get(), st, pending)) return error;
  // Most targets are new: the complete copy takes the name unless it exists.
  const uint32_t placed = pending.Place(targetName.c_str(), false);
  if (placed == 0) to.closing.Add(in.release());  // beside the copy: adjacent numbers close in one call
  if (placed != kErrorAlreadyExists) return placed;

  // The name exists. As on Windows, a read-only or hidden file is not
  // replaced, nor is the source itself; anything else is, in one step.
  struct stat existing;
  if (fstatat(target.dir, targetName.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISDIR(existing.st_mode)) return kErrorAccessDenied;
    if (existing.st_dev == st.st_dev && existing.st_ino == st.st_ino) return kErrorSharingViolation;
    if (S_ISREG(existing.st_mode) && !(existing.st_mode & S_IWUSR)) return kErrorAccessDenied;
    if (IsHiddenName(targetName)) return kErrorAccessDenied;
  }
  const uint32_t replaced = pending.Place(targetName.c_str(), true);
  if (replaced == 0) to.closing.Add(in.release());  // beside the copy: adjacent numbers close in one call
  return replaced;
}

uint32_t CopyLinkEntry(Tree& from, std::string_view fromName, Tree& to, std::string_view toName) {
  from.look.valid = false;
  const Resolver::Place source = from.resolver.Locate(fromName);
  if (source.error) return source.error;
  if (source.name.empty()) return kErrorAccessDenied;
  const std::string sourceName(source.name);
  struct stat st;
  if (fstatat(source.dir, sourceName.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return NameError(errno);
  if (!S_ISLNK(st.st_mode)) return kErrorInvalidParameter;
  std::string linkTarget;
  if (uint32_t error = ReadLinkAt(source.dir, sourceName.c_str(), linkTarget)) return error;
  const Resolver::Place target = to.resolver.Locate(toName);
  if (target.error) return target.error;
  if (target.name.empty()) return kErrorAccessDenied;
  return PlaceNodeReplacing(target.dir, std::string(target.name).c_str(), st, linkTarget);
}

uint32_t MoveEntry(Tree& from, std::string_view fromName, Tree& to, std::string_view toName) {
  from.look.valid = false;
  to.look.valid = false;
  const Resolver::Place source = from.resolver.Locate(fromName);
  if (source.error) return source.error;
  if (source.name.empty()) return kErrorAccessDenied;
  const std::string sourceName(source.name);
  // Locating the target may close the source's directory when both lie
  // below one tree: keep a descriptor of its own then.
  ScopedFd ownSourceDir(&from == &to ? fcntl(source.dir, F_DUPFD_CLOEXEC, 0) : -1);
  const int sourceDir = &from == &to ? ownSourceDir.get() : source.dir;
  if (sourceDir < 0) return TranslateErrno(errno, false);
  const Resolver::Place target = to.resolver.Locate(toName);
  if (target.error) return target.error;
  if (target.name.empty()) return kErrorAlreadyExists;
  const std::string targetName(target.name);

  auto moved = [&] {
    from.resolver.Forget(fromName);
    return 0u;
  };
  if (renameat2(sourceDir, sourceName.c_str(), target.dir, targetName.c_str(), RENAME_NOREPLACE) == 0) return moved();
  const int renameError = errno;
  struct stat st;
  if (fstatat(sourceDir, sourceName.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return NameError(errno);

  if (renameError == EINVAL || renameError == ENOSYS) {
    // The file system cannot rename without replacing: link, then unlink.
    if (!S_ISDIR(st.st_mode)) {
      if (linkat(sourceDir, sourceName.c_str(), target.dir, targetName.c_str(), 0) == 0) {
        unlinkat(sourceDir, sourceName.c_str(), 0);
        return moved();
      }
      if (errno != EPERM && errno != EOPNOTSUPP) return NameError(errno);
    }
    struct stat existing;
    if (fstatat(target.dir, targetName.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) return kErrorAlreadyExists;
    if (renameat(sourceDir, sourceName.c_str(), target.dir, targetName.c_str()) != 0) return NameError(errno);
    return moved();
  }
  if (renameError != EXDEV) return NameError(renameError);

  // Another file system: recreate completely, place without replacing, and
  // only then remove the source. Directories are never moved this way.
  if (S_ISDIR(st.st_mode)) return 17;
  if (S_ISREG(st.st_mode)) {
    ScopedFd in(openat(sourceDir, sourceName.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    if (in.get() < 0) return NameError(errno);
    struct stat opened;
    if (fstat(in.get(), &opened) != 0 || !S_ISREG(opened.st_mode)) return kErrorAccessDenied;
    PendingFile pending(to, target.dir);
    if (uint32_t error = WriteCopy(in.get(), opened, pending)) return error;
    if (uint32_t error = pending.Place(targetName.c_str(), false)) return error;
  } else {
    std::string linkTarget;
    if (S_ISLNK(st.st_mode)) {
      if (uint32_t error = ReadLinkAt(sourceDir, sourceName.c_str(), linkTarget)) return error;
    }
    if (MakeNode(target.dir, targetName.c_str(), st, linkTarget) != 0) {
      return errno == EPERM ? kErrorAccessDenied : NameError(errno);
    }
  }
  if (unlinkat(sourceDir, sourceName.c_str(), 0) != 0) {
    // The source stays; take the copy back so that the entry exists once.
    const int unlinkError = errno;
    unlinkat(target.dir, targetName.c_str(), 0);
    return NameError(unlinkError);
  }
  return moved();
}

}  // namespace platform::posix
