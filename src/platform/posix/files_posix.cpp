// The file-system services on POSIX, giving Linux the Windows behaviour
// the program relies on: attribute words, wildcard searches that list "."
// and "..", read-only files that resist deletion, moves that never replace,
// and copies that never leave a partial file under the target's name. Tree
// services resolve every name below the tree's root (see Resolver); the
// whole-path services resolve the path's directory as the caller named it
// and act on its last name the same way.
#include <dirent.h>
#include <sched.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <memory>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/copy_posix.h"
#include "platform/posix/errors_posix.h"
#include "platform/posix/names_posix.h"
#include "platform/posix/partial_posix.h"
#include "platform/posix/tree_posix.h"
#include "platform/wildcard.h"

namespace platform {

using posix::AttributeWord;
using posix::IsHiddenName;
using posix::PathPlace;
using posix::Resolver;
using posix::Tree;
using posix::TreeOf;
using posix::WithoutTrailingSeparators;

namespace {

constexpr int64_t kUnixEpochAsFileTime = 116444736000000000LL;  // 1970-01-01 in 100 ns since 1601

// The failure of a call on a name whose directory was resolved: a missing
// name is "file not found"; a directory that vanished meanwhile, "path not
// found".
uint32_t NameError(int errnum) {
  if (errnum == ENOTDIR) return kErrorPathNotFound;
  return posix::TranslateErrno(errnum, false);
}

bool LinkLeadsToDirectory(int dir, const char* name) {
  struct stat target;
  return fstatat(dir, name, &target, 0) == 0 && S_ISDIR(target.st_mode);
}

int64_t FileTimeOf(const struct timespec& t) {
  return static_cast<int64_t>(t.tv_sec) * 10000000 + t.tv_nsec / 100 + kUnixEpochAsFileTime;
}

void Fill(FoundEntry& entry, const struct stat& st, const std::string& name, bool linkToDirectory) {
  entry.attributes = AttributeWord(st.st_mode, name, linkToDirectory);
  entry.size = S_ISDIR(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_size);
  entry.lastWriteTime = FileTimeOf(st.st_mtim);
  entry.name = name;
}

// An open search: a directory being read, or the one entry that a pattern
// without wildcards named.
struct Search {
  DIR* directory = nullptr;
  std::string pattern;
  bool kindsOnly = false;
  ~Search() {
    if (directory) closedir(directory);
  }
};

// Reads on to the next entry that matches; false at the end.
bool ReadMatching(Search& search, FoundEntry& entry) {
  static const Conventions exact = PosixConventions();
  const int fd = dirfd(search.directory);
  while (dirent* d = readdir(search.directory)) {
    if (!MatchesMask(d->d_name, search.pattern, exact)) continue;
    if (search.kindsOnly && (d->d_type == DT_DIR || d->d_type == DT_REG)) {
      entry.attributes = AttributeWord(d->d_type == DT_DIR ? S_IFDIR : S_IFREG | S_IWUSR, d->d_name, false);
      entry.size = 0;
      entry.lastWriteTime = 0;
      entry.name = d->d_name;
      return true;
    }
    struct stat st;
    if (fstatat(fd, d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // vanished meanwhile
    Fill(entry, st, d->d_name, S_ISLNK(st.st_mode) && LinkLeadsToDirectory(fd, d->d_name));
    return true;
  }
  return false;
}

// Starts reading the open directory `fd` (taken over) for `pattern`.
SearchHandle StartSearch(int fd, const std::string& pattern, FoundEntry& entry, uint32_t& error, bool kindsOnly) {
  auto search = std::make_unique<Search>();
  search->pattern = pattern;
  search->kindsOnly = kindsOnly;
  search->directory = fdopendir(fd);
  if (!search->directory) {
    error = posix::TranslateErrno(errno, false);
    close(fd);
    return kNoSearch;
  }
  if (!ReadMatching(*search, entry)) {
    error = kErrorFileNotFound;
    return kNoSearch;
  }
  return search.release();
}

// The status of `name` below `tree`, never following it: the one that
// FileAttributes has just seen when it was about this very name.
int LookAt(Tree& tree, const std::string& name, const Resolver::Place& place, struct stat& status) {
  if (tree.TakeLook(name, status)) return 0;
  return fstatat(place.dir, std::string(place.name).c_str(), &status, AT_SYMLINK_NOFOLLOW);
}

uint32_t CreateIn(Tree& tree, const std::string& name) {
  tree.look.valid = false;
  const Resolver::Place place = tree.resolver.Locate(name);
  if (place.error) return place.error;
  if (place.name.empty()) return kErrorAlreadyExists;  // the root
  if (mkdirat(place.dir, std::string(place.name).c_str(), 0777) == 0) return 0;
  return errno == ENOENT ? kErrorPathNotFound : NameError(errno);
}

uint32_t RemoveIn(Tree& tree, const std::string& name) {
  tree.look.valid = false;
  const Resolver::Place place = tree.resolver.Locate(name);
  if (place.error) return place.error;
  if (place.name.empty()) return kErrorAccessDenied;  // a root is removed from its parent
  const std::string last(place.name);
  struct stat st;
  if (fstatat(place.dir, last.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return NameError(errno);
  // A link to a directory goes as a directory would, and only the link.
  const bool link = S_ISLNK(st.st_mode);
  if (link ? !LinkLeadsToDirectory(place.dir, last.c_str()) : !S_ISDIR(st.st_mode)) return kErrorDirectory;
  if (unlinkat(place.dir, last.c_str(), link ? 0 : AT_REMOVEDIR) != 0) {
    return errno == EEXIST || errno == ENOTEMPTY ? kErrorDirNotEmpty : NameError(errno);
  }
  tree.resolver.Forget(name);
  return 0;
}

uint32_t DeleteIn(Tree& tree, const std::string& name) {
  const Resolver::Place place = tree.resolver.Locate(name);
  if (place.error) {
    tree.look.valid = false;
    return place.error;
  }
  if (place.name.empty()) return kErrorAccessDenied;
  const std::string last(place.name);
  struct stat st;
  if (LookAt(tree, name, place, st) != 0) return NameError(errno);
  if (S_ISDIR(st.st_mode)) return kErrorAccessDenied;
  if (S_ISLNK(st.st_mode) && LinkLeadsToDirectory(place.dir, last.c_str())) return kErrorAccessDenied;
  if (S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR)) return kErrorAccessDenied;
  if (unlinkat(place.dir, last.c_str(), 0) != 0) return NameError(errno);
  return 0;
}

uint32_t AttributesIn(Tree& tree, const std::string& name) {
  tree.look.valid = false;
  const Resolver::Place place = tree.resolver.Locate(name);
  if (place.error) return kNoAttributes;
  struct stat st;
  if (place.name.empty()) {
    if (fstat(place.dir, &st) != 0) return kNoAttributes;
    return AttributeWord(st.st_mode, posix::SplitAtLastSeparator(tree.root).name, false);
  }
  const std::string last(place.name);
  if (fstatat(place.dir, last.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return kNoAttributes;
  if (S_ISLNK(st.st_mode)) return AttributeWord(st.st_mode, last, LinkLeadsToDirectory(place.dir, last.c_str()));
  tree.look = {true, name, st};
  return AttributeWord(st.st_mode, last, false);
}

}  // namespace

// --- Trees -----------------------------------------------------------------

TreeHandle OpenTree(const std::string& root, bool followLink, uint32_t& error) {
  if (root.empty()) {
    error = kErrorPathNotFound;
    return kNoTree;
  }
  return posix::OpenTreeAt(root, followLink, error);
}

void CloseTree(TreeHandle tree) { delete static_cast<Tree*>(tree); }

TreeHandle ShareTree(TreeHandle handle, const std::string& directory, uint32_t& error) {
  if (handle == kNoTree) return kNoTree;
  Tree& tree = TreeOf(handle);
  if (directory.empty()) {
    const int fd = fcntl(tree.resolver.Root(), F_DUPFD_CLOEXEC, 0);
    if (fd < 0) {
      error = posix::TranslateErrno(errno, false);
      return kNoTree;
    }
    return new Tree(fd, tree.root);
  }
  tree.look.valid = false;
  const Resolver::Place place = tree.resolver.Locate(directory);
  if (place.error) {
    error = place.error;
    return kNoTree;
  }
  const int fd = place.name.empty() ? fcntl(place.dir, F_DUPFD_CLOEXEC, 0)
                                    : openat(place.dir, std::string(place.name).c_str(),
                                             O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    error = errno == ENOENT || errno == ENOTDIR || errno == ELOOP ? kErrorPathNotFound
                                                                  : posix::TranslateErrno(errno, false);
    return kNoTree;
  }
  return new Tree(fd, tree.root + (tree.root.empty() || tree.root.back() == '/' ? "" : "/") + directory);
}

unsigned UsableProcessors() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  const int count = CPU_COUNT(&set);
  return count > 0 ? static_cast<unsigned>(count) : 1;
}

uint32_t FileAttributes(TreeHandle tree, const std::string& name) { return AttributesIn(TreeOf(tree), name); }

SearchHandle FindFirst(TreeHandle handle, const std::string& directory, const std::string& pattern,
                       FoundEntry& entry, uint32_t& error, bool kindsOnly) {
  Tree& tree = TreeOf(handle);
  tree.look.valid = false;
  if (pattern.empty()) {
    error = kErrorFileNotFound;
    return kNoSearch;
  }
  const int fd = tree.resolver.OpenDirectory(directory, error);
  if (fd < 0) return kNoSearch;
  return StartSearch(fd, pattern, entry, error, kindsOnly);
}

uint32_t CreateDirectory(TreeHandle tree, const std::string& name) { return CreateIn(TreeOf(tree), name); }

uint32_t RemoveDirectory(TreeHandle tree, const std::string& name) { return RemoveIn(TreeOf(tree), name); }

uint32_t DeleteFile(TreeHandle handle, const std::string& name, uint32_t seenAttributes) {
  if (seenAttributes == kNoAttributes) return DeleteIn(TreeOf(handle), name);
  if (seenAttributes & (kAttrDirectory | kAttrReadOnly)) return kErrorAccessDenied;
  Tree& tree = TreeOf(handle);
  tree.look.valid = false;
  const Resolver::Place place = tree.resolver.Locate(name);
  if (place.error) return place.error;
  if (place.name.empty()) return kErrorAccessDenied;
  // A directory put in the file's place meanwhile is refused by the call.
  if (unlinkat(place.dir, std::string(place.name).c_str(), 0) != 0) {
    return errno == EISDIR ? kErrorAccessDenied : NameError(errno);
  }
  return 0;
}

uint32_t MoveFile(TreeHandle fromTree, const std::string& from, TreeHandle toTree, const std::string& to) {
  return posix::MoveEntry(TreeOf(fromTree), from, TreeOf(toTree), to, /*finishMoved=*/true);
}

uint32_t CopyFile(TreeHandle fromTree, const std::string& from, TreeHandle toTree, const std::string& to,
                  uint32_t seenAttributes) {
  const bool plain = seenAttributes != kNoAttributes &&
                     !(seenAttributes & (kAttrDirectory | kAttrReparsePoint | kAttrDevice));
  return posix::CopyEntry(TreeOf(fromTree), from, TreeOf(toTree), to, /*followLink=*/false, plain);
}

uint32_t CopyLink(TreeHandle fromTree, const std::string& from, TreeHandle toTree, const std::string& to) {
  return posix::CopyLinkEntry(TreeOf(fromTree), from, TreeOf(toTree), to);
}

void RemoveAbandonedPartialFiles(TreeHandle handle, const std::string& directory) {
  Tree& tree = TreeOf(handle);
  tree.look.valid = false;
  uint32_t error = 0;
  const posix::ScopedFd dir(tree.resolver.OpenDirectory(directory, error));
  if (dir.get() >= 0) posix::RemoveAbandonedPartials(dir.get());
}

// --- Whole paths -------------------------------------------------------------

uint32_t FileAttributes(const std::string& path) {
  if (path.empty()) return kNoAttributes;
  const PathPlace place(path);
  if (!place.ok()) return kNoAttributes;
  const uint32_t attributes = AttributesIn(place.tree(), place.name());
  // "name/" names a directory only.
  const bool trailing = WithoutTrailingSeparators(path).size() != path.size();
  if (trailing && attributes != kNoAttributes && !(attributes & kAttrDirectory)) return kNoAttributes;
  return attributes;
}

SearchHandle FindFirst(const std::string& mask, FoundEntry& entry, uint32_t& error, bool kindsOnly) {
  const posix::SplitPath split = posix::SplitAtLastSeparator(mask);
  if (split.name.empty()) {
    error = kErrorFileNotFound;
    return kNoSearch;
  }
  std::unique_ptr<Tree> tree(posix::OpenTreeAt(split.directory, true, error));
  if (!tree) return kNoSearch;
  if (!HasWildcard(split.name)) {
    // One name, looked up directly.
    struct stat st;
    if (fstatat(tree->resolver.Root(), split.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      error = NameError(errno);
      return kNoSearch;
    }
    Fill(entry, st, split.name, S_ISLNK(st.st_mode) && LinkLeadsToDirectory(tree->resolver.Root(), split.name.c_str()));
    return new Search;  // nothing more to read
  }
  const int fd = openat(tree->resolver.Root(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    error = posix::TranslateErrno(errno, false);
    return kNoSearch;
  }
  return StartSearch(fd, split.name, entry, error, kindsOnly);
}

bool FindNext(SearchHandle handle, FoundEntry& entry, uint32_t& error) {
  auto* search = static_cast<Search*>(handle);
  if (!search) {
    error = kErrorInvalidParameter;
    return false;
  }
  if (search->directory && ReadMatching(*search, entry)) return true;
  error = kErrorNoMoreFiles;
  return false;
}

void FindClose(SearchHandle handle) { delete static_cast<Search*>(handle); }

bool LocalDosDateTime(int64_t fileTime, uint32_t& dosDateTime) {
  int64_t ticks = fileTime - kUnixEpochAsFileTime;
  int64_t seconds = ticks / 10000000 - (ticks % 10000000 < 0 ? 1 : 0);
  time_t t = static_cast<time_t>(seconds);
  struct tm local{};
  if (!localtime_r(&t, &local)) return false;
  int year = local.tm_year + 1900;
  if (year < 1980 || year > 2107) return false;
  dosDateTime = (static_cast<uint32_t>(year - 1980) << 25) |
                (static_cast<uint32_t>(local.tm_mon + 1) << 21) |
                (static_cast<uint32_t>(local.tm_mday) << 16) |
                (static_cast<uint32_t>(local.tm_hour) << 11) |
                (static_cast<uint32_t>(local.tm_min) << 5) | (static_cast<uint32_t>(local.tm_sec) / 2);
  return true;
}

uint32_t CreateDirectory(const std::string& path) {
  if (path.empty()) return kErrorPathNotFound;
  const PathPlace place(path);
  return place.ok() ? CreateIn(place.tree(), place.name()) : place.error();
}

uint32_t RemoveDirectory(const std::string& path) {
  if (path.empty()) return kErrorPathNotFound;
  const PathPlace place(path);
  return place.ok() ? RemoveIn(place.tree(), place.name()) : place.error();
}

uint32_t DeleteFile(const std::string& path) {
  if (path.empty()) return kErrorPathNotFound;
  if (path.back() == '/') return kErrorInvalidName;
  const PathPlace place(path);
  return place.ok() ? DeleteIn(place.tree(), place.name()) : place.error();
}

uint32_t MoveFile(const std::string& from, const std::string& to) {
  if (from.empty() || to.empty()) return kErrorPathNotFound;
  const PathPlace source(from);
  if (!source.ok()) return source.error();
  const PathPlace target(to);
  if (!target.ok()) return target.error();
  return posix::MoveEntry(source.tree(), source.name(), target.tree(), target.name(), /*finishMoved=*/false);
}

uint32_t CopyFile(const std::string& from, const std::string& to) {
  if (from.empty() || to.empty()) return kErrorPathNotFound;
  if (to.back() == '/') return kErrorInvalidName;
  const PathPlace source(from);
  if (!source.ok()) return source.error();
  const PathPlace target(to);
  if (!target.ok()) return target.error();
  return posix::CopyEntry(source.tree(), source.name(), target.tree(), target.name(), /*followLink=*/true);
}

uint32_t CopyLink(const std::string& from, const std::string& to) {
  if (from.empty() || to.empty()) return kErrorPathNotFound;
  const PathPlace source(from);
  if (!source.ok()) return source.error();
  const PathPlace target(to);
  if (!target.ok()) return target.error();
  return posix::CopyLinkEntry(source.tree(), source.name(), target.tree(), target.name());
}

std::string AbsolutePath(const std::string& path) {
  std::string full = path;
  if (full.empty() || full[0] != '/') {
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd)) return path;
    full = std::string(cwd) + "/" + full;
  }
  // Lexical clean-up: empty and "." components go, ".." takes one back.
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= full.size()) {
    size_t end = full.find('/', start);
    if (end == std::string::npos) end = full.size();
    std::string part = full.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::string result;
  for (const std::string& part : parts) result += "/" + part;
  return result.empty() ? "/" : result;
}

bool IsUsableEntryName(const std::string& name) {
  return !name.empty() && name.find('/') == std::string::npos;
}

}  // namespace platform
