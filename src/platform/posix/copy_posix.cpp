#include "platform/posix/copy_posix.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/errors_posix.h"
#include "platform/posix/names_posix.h"
#include "platform/posix/partial_posix.h"

namespace platform::posix {

namespace {

// The failure of a call on a name whose directory was resolved.
uint32_t NameError(int errnum) {
  if (errnum == ENOTDIR) return kErrorPathNotFound;
  return TranslateErrno(errnum, false);
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
// otherwise under a partial name (see partial_posix.h) that is removed
// unless it was placed. Whenever it has a partial name, it is held as
// written from before it got that name, so that a clean-up in another run
// never takes it for a dead run's.
class PendingFile {
 public:
  PendingFile(Tree& tree, int dir) : tree_(tree), dir_(dir) {}
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;
  ~PendingFile() {
    if (!partialName_.empty()) unlinkat(dir_, partialName_.c_str(), 0);
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
      std::string name = NewPartialName();
      ScopedFd named(openat(dir_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
      if (named.get() < 0) {
        if (errno == EEXIST) continue;
        return NameError(errno);
      }
      if (StillOurs(named.get(), name)) {
        fd_ = std::move(named);
        partialName_ = std::move(name);
        return 0;
      }
    }
    return kErrorAlreadyExists;
  }

  int fd() const { return fd_.get(); }

  // Gives the finished file the name `name`; with `replace` an existing
  // entry of that name is replaced in one step, otherwise an existing name
  // fails. Once placed, the file is closed with the tree's next batch.
  uint32_t Place(const char* name, bool replace) {
    if (partialName_.empty()) {
      if (!replace) {
        if (LinkUnnamed(fd_.get(), dir_, name) != 0) return NameError(errno);
        tree_.closing.Add(fd_.release());
        return 0;
      }
      // Replacing needs a name to rename from.
      if (uint32_t error = NameUnnamed()) return error;
    }
    if (replace) {
      if (renameat(dir_, partialName_.c_str(), dir_, name) != 0) return NameError(errno);
    } else {
      if (linkat(dir_, partialName_.c_str(), dir_, name, 0) != 0) return NameError(errno);
      unlinkat(dir_, partialName_.c_str(), 0);
    }
    partialName_.clear();
    Release();
    tree_.closing.Add(fd_.release());
    return 0;
  }

 private:
  // Holds the file just made under the partial name `name` as written, and
  // makes sure that the name still leads to it: a clean-up in another run
  // may have found it in the moment between its making and its lock, and
  // removed it. Where the file system has no locks, none can be taken by a
  // clean-up either.
  bool StillOurs(int fd, const std::string& name) {
    const bool held = HoldAsWritten(fd) || errno != EAGAIN;
    struct stat mine, named;
    const bool namedOurs = fstat(fd, &mine) == 0 && fstatat(dir_, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
                            mine.st_dev == named.st_dev && mine.st_ino == named.st_ino;
    // Someone else holds it: it is not left behind under our name.
    if (!held && namedOurs) unlinkat(dir_, name.c_str(), 0);
    return held && namedOurs;
  }

  // Gives the unnamed file a new partial name, held as written first.
  uint32_t NameUnnamed() {
    HoldAsWritten(fd_.get());
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::string partial = NewPartialName();
      if (LinkUnnamed(fd_.get(), dir_, partial.c_str()) == 0) {
        partialName_ = std::move(partial);
        return 0;
      }
      if (errno != EEXIST) return NameError(errno);
    }
    return kErrorAlreadyExists;
  }

  // The placed file is no partial file any more: whoever locks it next is
  // not kept waiting for this run's batch of closes.
  void Release() {
    struct flock lock {};
    lock.l_type = F_UNLCK;
    lock.l_whence = SEEK_SET;
    fcntl(fd_.get(), F_OFD_SETLK, &lock);
  }

  Tree& tree_;
  int dir_;
  ScopedFd fd_;
  std::string partialName_;
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

// What a copy keeps of its source: a copy gets the source's permission
// bits and last-write time and belongs to the caller; a file moved to
// another file system is the same file, and keeps all it can.
enum class Keep { kAsCopied, kAsMoved };

// Gives the open file `fd` the owner, group, mode and times of `source`.
// The owner comes first: changing it clears the set-user-ID and
// set-group-ID bits, which are set afterwards, and only where the owner
// was kept (where it was not, the bits would grant the caller's rights).
// Where the process may not give the file away, it keeps at least the
// group if it may. A mode the file system cannot hold is passed over.
uint32_t KeepOwnerModeTimes(int fd, const struct stat& source) {
  const bool ownerKept = fchown(fd, source.st_uid, source.st_gid) == 0;
  if (!ownerKept && fchown(fd, static_cast<uid_t>(-1), source.st_gid) != 0) {
    // Not even the group: the file belongs to the caller.
  }
  mode_t mode = source.st_mode & 07777;
  if (!ownerKept) mode &= ~static_cast<mode_t>(S_ISUID | S_ISGID);
  fchmod(fd, mode);
  const struct timespec times[2] = {source.st_atim, source.st_mtim};
  return futimens(fd, times) == 0 ? 0 : TranslateErrno(errno, false);
}

// Writes a complete copy of the open source into a pending file, with what
// `keep` says it keeps of the source.
uint32_t WriteCopy(int in, const struct stat& source, PendingFile& pending, Keep keep) {
  // The file is made with the source's permission bits; the umask can only
  // take bits away, so a read-only source gives a read-only copy, and no
  // one may read the copy who may not read the source.
  if (uint32_t error = pending.Open(source.st_mode & 0777)) return error;
  const bool sparse = source.st_size > 0 && source.st_blocks * 512 < source.st_size;
  const uint32_t copied =
      sparse ? CopySparse(in, pending.fd(), source.st_size) : CopyRange(in, pending.fd(), 0, source.st_size);
  if (copied) return copied;
  if (keep == Keep::kAsMoved) return KeepOwnerModeTimes(pending.fd(), source);
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
// target `linkTarget`) as `name` in `dir`, with the source's permission
// bits and last-write time; -1 with errno (EEXIST when the name is taken).
int MakeNode(int dir, const char* name, const struct stat& source, const std::string& linkTarget) {
  if (S_ISLNK(source.st_mode)) return symlinkat(linkTarget.c_str(), dir, name);
  if (mknodat(dir, name, source.st_mode & (S_IFMT | 0777), source.st_rdev) != 0) return -1;
  const struct timespec times[2] = {{0, UTIME_NOW}, source.st_mtim};
  utimensat(dir, name, times, AT_SYMLINK_NOFOLLOW);
  return 0;
}

// Makes a node like `source` under a new partial name in `dir`; that name,
// or "" with `error` set.
std::string MakePartialNode(int dir, const struct stat& source, const std::string& linkTarget, uint32_t& error) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string partial = NewPartialName();
    if (MakeNode(dir, partial.c_str(), source, linkTarget) == 0) return partial;
    if (errno != EEXIST) {
      error = errno == EPERM ? kErrorAccessDenied : NameError(errno);
      return {};
    }
  }
  error = kErrorAlreadyExists;
  return {};
}

// Gives the node just made as `name` in `dir` the owner, group, mode and
// times of `source` (see KeepOwnerModeTimes). Each change is made on the
// node itself, held by a descriptor, and only when it is the node this
// process just made: a node put in its place meanwhile is never given an
// owner or a mode. A link has no mode of its own.
uint32_t KeepNodeOwnerModeTimes(int dir, const char* name, const struct stat& source) {
  const ScopedFd node(openat(dir, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat made;
  if (node.get() < 0 || fstat(node.get(), &made) != 0) return NameError(errno);
  if ((made.st_mode & S_IFMT) != (source.st_mode & S_IFMT) || made.st_uid != geteuid() || made.st_nlink != 1) {
    return kErrorAccessDenied;
  }
  const bool ownerKept = fchownat(node.get(), "", source.st_uid, source.st_gid, AT_EMPTY_PATH) == 0;
  if (!ownerKept && fchownat(node.get(), "", static_cast<uid_t>(-1), source.st_gid, AT_EMPTY_PATH) != 0) {
    // Not even the group: the node belongs to the caller.
  }
  // The node is reached through its descriptor's name under /proc, which
  // leads to the node itself (a link there is not followed on).
  const std::string self = "/proc/self/fd/" + std::to_string(node.get());
  if (!S_ISLNK(source.st_mode)) {
    mode_t mode = source.st_mode & 07777;
    if (!ownerKept) mode &= ~static_cast<mode_t>(S_ISUID | S_ISGID);
    fchmodat(AT_FDCWD, self.c_str(), mode, 0);
  }
  const struct timespec times[2] = {source.st_atim, source.st_mtim};
  utimensat(AT_FDCWD, self.c_str(), times, 0);
  return 0;
}

// Gives the entry `from` in `dir` the name `to` in `toDir` unless that name
// is taken (EEXIST then); -1 with errno on failure. Where the file system
// cannot rename without replacing, a second name is made and the first
// removed.
int RenameWithoutReplacing(int dir, const char* from, int toDir, const char* to) {
  if (renameat2(dir, from, toDir, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  if (linkat(dir, from, toDir, to, 0) != 0) return -1;
  unlinkat(dir, from, 0);
  return 0;
}

// Puts a node like `source` at `name` in `dir`, replacing what is there
// (not a directory) in one step: made under a partial name, then renamed.
uint32_t PlaceNodeReplacing(int dir, const char* name, const struct stat& source, const std::string& linkTarget) {
  struct stat existing;
  if (fstatat(dir, name, &existing, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(existing.st_mode)) {
    return kErrorAccessDenied;
  }
  uint32_t error = 0;
  const std::string partial = MakePartialNode(dir, source, linkTarget, error);
  if (partial.empty()) return error;
  if (renameat(dir, partial.c_str(), dir, name) == 0) return 0;
  const int renameError = errno;
  unlinkat(dir, partial.c_str(), 0);
  return NameError(renameError);
}

// A node moved to another file system: made under a partial name with all
// it keeps of the source, then given its name without replacing.
uint32_t PlaceMovedNode(int dir, const char* name, const struct stat& source, const std::string& linkTarget) {
  uint32_t error = 0;
  const std::string partial = MakePartialNode(dir, source, linkTarget, error);
  if (partial.empty()) return error;
  error = KeepNodeOwnerModeTimes(dir, partial.c_str(), source);
  if (error == 0 && RenameWithoutReplacing(dir, partial.c_str(), dir, name) != 0) error = NameError(errno);
  if (error != 0) unlinkat(dir, partial.c_str(), 0);
  return error;
}

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Opens a regular file to read it, never a link, pipe or device: the look
// before the open keeps anything else from being opened at all.
int OpenRegular(int dir, const char* name, struct stat& status) {
  struct stat seen;
  if (fstatat(dir, name, &seen, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(seen.st_mode)) return -1;
  const int fd = openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return -1;
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || !SameFile(seen, status)) {
    close(fd);
    return -1;
  }
  return fd;
}

// True when both open files hold the same bytes (their sizes agree).
bool SameBytes(int a, int b, off_t size) {
  constexpr size_t kChunk = size_t{1} << 17;
  std::vector<char> left(kChunk), right(kChunk);
  for (off_t at = 0; at < size;) {
    const size_t want = static_cast<size_t>(std::min<off_t>(size - at, static_cast<off_t>(kChunk)));
    ssize_t got = pread(a, left.data(), want, at);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    for (size_t filled = 0; filled < static_cast<size_t>(got);) {
      const ssize_t n = pread(b, right.data() + filled, static_cast<size_t>(got) - filled, at + static_cast<off_t>(filled));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      filled += static_cast<size_t>(n);
    }
    if (std::memcmp(left.data(), right.data(), static_cast<size_t>(got)) != 0) return false;
    at += got;
  }
  return true;
}

// A move that found its target name taken: when the target is a regular
// file (not the source itself under a second name) whose content equals
// the regular file `from`, a run before this one copied it and stopped
// before the source went. The source goes now; true when it went.
bool RemoveMovedSource(int fromDir, const char* from, int toDir, const char* to) {
  struct stat source, target;
  const ScopedFd in(OpenRegular(fromDir, from, source));
  if (in.get() < 0) return false;
  const ScopedFd existing(OpenRegular(toDir, to, target));
  if (existing.get() < 0 || SameFile(source, target) || source.st_size != target.st_size) return false;
  if (!SameBytes(in.get(), existing.get(), source.st_size)) return false;
  // Only the very file compared goes.
  struct stat now;
  if (fstatat(fromDir, from, &now, AT_SYMLINK_NOFOLLOW) != 0 || !SameFile(now, source)) return false;
  return unlinkat(fromDir, from, 0) == 0;
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
  if (uint32_t error = WriteCopy(in.get(), st, pending, Keep::kAsCopied)) return error;
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

namespace {

// Moves `from` in `fromDir` to `to` in `toDir` (both resolved), without
// replacing.
uint32_t MoveResolved(Tree& to, int fromDir, const char* from, int toDir, const char* toName) {
  if (renameat2(fromDir, from, toDir, toName, RENAME_NOREPLACE) == 0) return 0;
  const int renameError = errno;
  struct stat st;
  if (fstatat(fromDir, from, &st, AT_SYMLINK_NOFOLLOW) != 0) return NameError(errno);

  if (renameError == EINVAL || renameError == ENOSYS) {
    // The file system cannot rename without replacing: link, then unlink.
    if (!S_ISDIR(st.st_mode)) {
      if (linkat(fromDir, from, toDir, toName, 0) == 0) {
        unlinkat(fromDir, from, 0);
        return 0;
      }
      if (errno != EPERM && errno != EOPNOTSUPP) return NameError(errno);
    }
    struct stat existing;
    if (fstatat(toDir, toName, &existing, AT_SYMLINK_NOFOLLOW) == 0) return kErrorAlreadyExists;
    if (renameat(fromDir, from, toDir, toName) != 0) return NameError(errno);
    return 0;
  }
  if (renameError != EXDEV) return NameError(renameError);

  // Another file system: recreate completely, with everything the entry
  // keeps, place without replacing, and only then remove the source.
  // Directories are never moved this way.
  if (S_ISDIR(st.st_mode)) return 17;
  if (S_ISREG(st.st_mode)) {
    ScopedFd in(openat(fromDir, from, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    if (in.get() < 0) return NameError(errno);
    struct stat opened;
    if (fstat(in.get(), &opened) != 0 || !S_ISREG(opened.st_mode)) return kErrorAccessDenied;
    PendingFile pending(to, toDir);
    if (uint32_t error = WriteCopy(in.get(), opened, pending, Keep::kAsMoved)) return error;
    if (uint32_t error = pending.Place(toName, false)) return error;
  } else {
    std::string linkTarget;
    if (S_ISLNK(st.st_mode)) {
      if (uint32_t error = ReadLinkAt(fromDir, from, linkTarget)) return error;
    }
    if (uint32_t error = PlaceMovedNode(toDir, toName, st, linkTarget)) return error;
  }
  if (unlinkat(fromDir, from, 0) != 0) {
    // The source stays; take the copy back so that the entry exists once.
    const int unlinkError = errno;
    unlinkat(toDir, toName, 0);
    return NameError(unlinkError);
  }
  return 0;
}

}  // namespace

uint32_t MoveEntry(Tree& from, std::string_view fromName, Tree& to, std::string_view toName, bool finishMoved) {
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

  uint32_t result = MoveResolved(to, sourceDir, sourceName.c_str(), target.dir, targetName.c_str());
  if (result == kErrorAlreadyExists && finishMoved &&
      RemoveMovedSource(sourceDir, sourceName.c_str(), target.dir, targetName.c_str())) {
    result = 0;
  }
  if (result == 0) from.resolver.Forget(fromName);
  return result;
}

}  // namespace platform::posix
