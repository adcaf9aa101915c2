// Where a directory is, judged by identity rather than by spelling: paths
// made and judged a name at a time from held descriptors (so that a path
// of any depth costs time linear in its length), mount boundaries inside a
// tree, and the root of the whole name space.
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "platform/posix/errors_posix.h"
#include "platform/posix/fd_posix.h"
#include "platform/posix/tree_posix.h"

namespace platform {

using posix::ScopedFd;
using posix::Tree;
using posix::TreeOf;

namespace {

constexpr int kFollowingStep = O_PATH | O_DIRECTORY | O_CLOEXEC;

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// The names of a path one at a time, empty names passed over.
class Names {
 public:
  explicit Names(std::string_view path) : path_(path) {}

  // The next name into `name`; false after the last.
  bool Next(std::string& name) {
    while (at_ < path_.size() && path_[at_] == '/') ++at_;
    if (at_ >= path_.size()) return false;
    size_t end = path_.find('/', at_);
    if (end == std::string_view::npos) end = path_.size();
    name.assign(path_.substr(at_, end - at_));
    at_ = end;
    return true;
  }
  // True when the name delivered last is the path's last.
  bool AtLast() const { return path_.find_first_not_of('/', at_) == std::string_view::npos; }

 private:
  std::string_view path_;
  size_t at_ = 0;
};

// Where the walk of a path begins: "/" or the current directory.
int StartOf(std::string_view path) { return open(path.front() == '/' ? "/" : ".", kFollowingStep); }

// One step of CreateDirectoryPath: the directory entered, whether this
// step made it, or the error code of the step.
struct Step {
  int fd = -1;
  bool made = false;
  uint32_t error = 0;
};

// What a failed open of the directory `name` means, as creating that
// directory by its path would report it: something that is no directory
// at the last name exists already; on the way, it leaves no path.
uint32_t OpenError(int errnum, bool last) {
  if (errnum == ENOTDIR || errnum == ENOENT || errnum == ELOOP) return last ? kErrorAlreadyExists : kErrorPathNotFound;
  return posix::TranslateErrno(errnum, true);
}

// The directory `name` in `dir`, made if it is missing. `fresh` tells that
// `dir` was made by this walk and so holds nothing yet.
Step EnterOrMake(int dir, const std::string& name, bool fresh, bool last) {
  const bool dotName = name == "." || name == "..";
  if (!fresh || dotName) {
    // Links are followed, as the caller named the path.
    const int fd = openat(dir, name.c_str(), kFollowingStep);
    if (fd >= 0) return {fd, false, 0};
    if (errno != ENOENT || dotName) return {-1, false, OpenError(errno, last)};
  }
  if (mkdirat(dir, name.c_str(), 0777) == 0) {
    if (last) return {-1, true, 0};
    // Ours: entered only as the directory just made, never as a link put
    // in its place meanwhile.
    const int fd = openat(dir, name.c_str(), kFollowingStep | O_NOFOLLOW);
    return {fd, true, fd >= 0 ? 0 : OpenError(errno, false)};
  }
  if (errno != EEXIST) return {-1, false, posix::TranslateErrno(errno, true)};
  // Another process made it meanwhile: no failure. A file or a dangling
  // link of that name fails the open.
  const int fd = openat(dir, name.c_str(), kFollowingStep);
  return {fd, false, fd >= 0 ? 0 : OpenError(errno, last)};
}

// The longest leading part of `path` that leads to a directory, opened as
// the caller named it; -1 when not even the start can be opened.
int OpenLongestExisting(const std::string& path) {
  if (path.size() < PATH_MAX) {
    const int whole = open(path.c_str(), kFollowingStep);
    if (whole >= 0) return whole;
  }
  ScopedFd fd(StartOf(path));
  Names names(path);
  std::string name;
  while (fd.get() >= 0 && names.Next(name)) {
    const int next = openat(fd.get(), name.c_str(), kFollowingStep);
    if (next < 0) break;
    fd.reset(next);
  }
  return fd.release();
}

// Asks for the mount a directory entry (or, with an empty name, `dir`
// itself) is on: its mount ID where the kernel tells one, else its device.
bool MountOf(int dir, const char* name, uint64_t& mount, bool& byMountId, mode_t* kind) {
  struct statx status;
  const int flags = AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | (*name ? 0 : AT_EMPTY_PATH);
  if (statx(dir, name, flags, STATX_TYPE | STATX_MNT_ID, &status) != 0) return false;
  byMountId = status.stx_mask & STATX_MNT_ID;
  mount = byMountId ? status.stx_mnt_id : (uint64_t{status.stx_dev_major} << 32) | status.stx_dev_minor;
  if (kind) *kind = status.stx_mode;
  return true;
}

}  // namespace

uint32_t CreateDirectoryPath(const std::string& path) {
  if (path.empty()) return kErrorPathNotFound;
  ScopedFd fd(StartOf(path));
  if (fd.get() < 0) return posix::TranslateErrno(errno, true);
  Names names(path);
  std::string name;
  bool fresh = false;
  while (names.Next(name)) {
    const Step step = EnterOrMake(fd.get(), name, fresh, names.AtLast());
    if (step.error != 0) return step.error;
    fd.reset(step.fd);
    fresh = step.made;
  }
  return 0;
}

bool LiesWithin(const std::string& path, TreeHandle handle) {
  // A walk up that never reaches the top (the directories renamed around
  // it without end) is taken as within: the caller refuses then.
  constexpr size_t kMostSteps = size_t{1} << 24;
  if (path.empty() || handle == kNoTree) return false;
  struct stat root, top;
  if (fstat(TreeOf(handle).resolver.Root(), &root) != 0 || stat("/", &top) != 0) return false;
  ScopedFd fd(OpenLongestExisting(path));
  struct stat here;
  if (fd.get() < 0 || fstat(fd.get(), &here) != 0) return false;
  for (size_t step = 0; step < kMostSteps; ++step) {
    if (SameFile(here, root)) return true;
    if (SameFile(here, top)) return false;
    ScopedFd up(openat(fd.get(), "..", kFollowingStep));
    struct stat parent;
    if (up.get() < 0 || fstat(up.get(), &parent) != 0) return false;
    if (SameFile(parent, here)) return false;  // the top of a name space of its own
    fd = std::move(up);
    here = parent;
  }
  return true;
}

bool IsMountPoint(TreeHandle handle, const std::string& name) {
  Tree& tree = TreeOf(handle);
  tree.look.valid = false;
  const posix::Resolver::Place place = tree.resolver.Locate(name);
  if (place.error != 0 || place.name.empty()) return false;
  if (!tree.rootMount.known) {
    tree.rootMount.known = MountOf(tree.resolver.Root(), "", tree.rootMount.id, tree.rootMount.byMountId, nullptr);
    if (!tree.rootMount.known) return false;
  }
  uint64_t mount = 0;
  bool byMountId = false;
  mode_t kind = 0;
  if (!MountOf(place.dir, std::string(place.name).c_str(), mount, byMountId, &kind) || S_ISLNK(kind)) return false;
  if (byMountId != tree.rootMount.byMountId) {
    // Only one of the two told its mount: compare the devices instead.
    struct stat rootStatus, entry;
    return fstat(tree.resolver.Root(), &rootStatus) == 0 &&
           fstatat(place.dir, std::string(place.name).c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0 &&
           rootStatus.st_dev != entry.st_dev;
  }
  return mount != tree.rootMount.id;
}

bool IsNamespaceRoot(TreeHandle handle) {
  if (handle == kNoTree) return false;
  struct stat root, top;
  return fstat(TreeOf(handle).resolver.Root(), &root) == 0 && stat("/", &top) == 0 && SameFile(root, top);
}

}  // namespace platform
