// File-system services on POSIX, giving the program the Windows behaviour
// it relies on: attribute words, wildcard searches that list "." and "..",
// read-only files that resist deletion, moves that never replace, and
// copies that never leave a partial file under the target's name.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <memory>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/copy_posix.h"
#include "platform/posix/dirs_posix.h"
#include "platform/posix/errors_posix.h"
#include "platform/posix/names_posix.h"
#include "prims/mask.h"

namespace platform {

using posix::At;
using posix::BaseName;
using posix::ErrorFor;
using posix::IsHiddenName;
using posix::Resolve;
using posix::WithoutTrailingSeparators;

namespace {

constexpr int64_t kUnixEpochAsFileTime = 116444736000000000LL;  // 1970-01-01 in 100 ns since 1601

// The attribute word of an entry seen by lstat; `linkToDirectory` tells,
// for a link, whether it leads to a directory.
uint32_t AttributesOf(const struct stat& st, const std::string& name, bool linkToDirectory) {
  uint32_t attributes = 0;
  if (S_ISLNK(st.st_mode)) {
    attributes = kAttrReparsePoint | (linkToDirectory ? kAttrDirectory : kAttrArchive);
  } else if (S_ISDIR(st.st_mode)) {
    attributes = kAttrDirectory;
  } else {
    attributes = kAttrArchive;
    if (!(st.st_mode & S_IWUSR)) attributes |= kAttrReadOnly;
  }
  if (IsHiddenName(name)) attributes |= kAttrHidden;
  return attributes;
}

bool LinkLeadsToDirectory(int directoryFd, const char* name) {
  struct stat target;
  return fstatat(directoryFd, name, &target, 0) == 0 && S_ISDIR(target.st_mode);
}

bool LinkLeadsToDirectory(const At& at) { return LinkLeadsToDirectory(at.dir, at.name); }

int64_t FileTimeOf(const struct timespec& t) {
  return static_cast<int64_t>(t.tv_sec) * 10000000 + t.tv_nsec / 100 + kUnixEpochAsFileTime;
}

void Fill(FoundEntry& entry, const struct stat& st, const std::string& name, bool linkToDirectory) {
  entry.attributes = AttributesOf(st, name, linkToDirectory);
  entry.size = S_ISDIR(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_size);
  entry.lastWriteTime = FileTimeOf(st.st_mtim);
  entry.name = name;
}

// An open search: either a directory being read, or the one entry that a
// pattern without wildcards named.
struct Search {
  DIR* directory = nullptr;
  std::string pattern;
  bool singleDone = false;
  bool kindsOnly = false;
  ~Search() {
    if (directory) closedir(directory);
  }
};

// Reads on to the next entry that matches; false at the end.
bool ReadMatching(Search& search, FoundEntry& entry) {
  static const Conventions exact = PosixConventions();
  while (dirent* d = readdir(search.directory)) {
    if (!MatchesMask(d->d_name, search.pattern, exact)) continue;
    if (search.kindsOnly && (d->d_type == DT_DIR || d->d_type == DT_REG)) {
      entry.attributes = d->d_type == DT_DIR ? kAttrDirectory : kAttrArchive;
      if (IsHiddenName(d->d_name)) entry.attributes |= kAttrHidden;
      entry.size = 0;
      entry.lastWriteTime = 0;
      entry.name = d->d_name;
      return true;
    }
    struct stat st;
    int fd = dirfd(search.directory);
    if (fstatat(fd, d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // vanished meanwhile
    bool linkToDirectory = S_ISLNK(st.st_mode) && LinkLeadsToDirectory(fd, d->d_name);
    Fill(entry, st, d->d_name, linkToDirectory);
    return true;
  }
  return false;
}

// The attribute query of a path and the deletion that usually follows it
// (is it a directory? then delete the file) share one lstat: the status
// FileAttributes saw is kept until the next service runs, and DeleteFile
// uses it when it is asked about that very path.
struct LastLook {
  bool valid = false;
  std::string path;
  struct stat status {};
};
thread_local LastLook lastLook;

void ForgetLastLook() { lastLook.valid = false; }

void RememberLook(const std::string& path, const struct stat& status) {
  lastLook.valid = true;
  lastLook.path = path;
  lastLook.status = status;
}

// lstat, or the status FileAttributes has just seen for the same path.
int LookAt(const std::string& path, const At& at, struct stat& status) {
  const bool fresh = lastLook.valid && lastLook.path == path;
  ForgetLastLook();
  if (fresh) {
    status = lastLook.status;
    return 0;
  }
  return fstatat(at.dir, at.name, &status, AT_SYMLINK_NOFOLLOW);
}

}  // namespace

uint32_t FileAttributes(const std::string& path) {
  ForgetLastLook();
  if (path.empty() || HasWildcard(path)) return kNoAttributes;
  const std::string plain = WithoutTrailingSeparators(path);
  const At at = Resolve(plain);
  struct stat st;
  if (fstatat(at.dir, at.name, &st, AT_SYMLINK_NOFOLLOW) != 0) return kNoAttributes;
  if (plain.size() == path.size() && !S_ISLNK(st.st_mode)) RememberLook(plain, st);
  bool linkToDirectory = S_ISLNK(st.st_mode) && LinkLeadsToDirectory(at);
  uint32_t attributes = AttributesOf(st, BaseName(plain), linkToDirectory);
  // "name/" names a directory only.
  if (plain.size() != path.size() && !(attributes & kAttrDirectory)) return kNoAttributes;
  return attributes;
}

SearchHandle FindFirst(const std::string& mask, FoundEntry& entry, uint32_t& error, bool kindsOnly) {
  ForgetLastLook();
  size_t cut = mask.rfind('/');
  std::string directory = cut == std::string::npos ? "." : mask.substr(0, cut == 0 ? 1 : cut);
  std::string pattern = cut == std::string::npos ? mask : mask.substr(cut + 1);
  if (pattern.empty()) {
    error = kErrorFileNotFound;
    return kNoSearch;
  }
  auto search = std::make_unique<Search>();
  search->pattern = pattern;
  search->kindsOnly = kindsOnly;
  if (!HasWildcard(pattern)) {
    struct stat st;
    if (lstat(mask.c_str(), &st) != 0) {
      error = ErrorFor(errno, mask);
      return kNoSearch;
    }
    bool linkToDirectory = S_ISLNK(st.st_mode) && LinkLeadsToDirectory(AT_FDCWD, mask.c_str());
    Fill(entry, st, pattern, linkToDirectory);
    search->singleDone = true;
    return search.release();
  }
  search->directory = opendir(directory.c_str());
  if (!search->directory) {
    error = errno == ENOENT ? kErrorPathNotFound : ErrorFor(errno, directory);
    return kNoSearch;
  }
  if (!ReadMatching(*search, entry)) {
    error = kErrorFileNotFound;
    return kNoSearch;
  }
  return search.release();
}

bool FindNext(SearchHandle handle, FoundEntry& entry, uint32_t& error) {
  ForgetLastLook();
  auto* search = static_cast<Search*>(handle);
  if (!search) {
    error = kErrorInvalidParameter;
    return false;
  }
  if (search->directory && ReadMatching(*search, entry)) return true;
  error = kErrorNoMoreFiles;
  return false;
}

void FindClose(SearchHandle handle) {
  ForgetLastLook();
  delete static_cast<Search*>(handle);
}

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
  ForgetLastLook();
  if (path.empty()) return kErrorPathNotFound;
  if (HasWildcard(path)) return kErrorInvalidName;
  const std::string plain = WithoutTrailingSeparators(path);
  const At at = Resolve(plain);
  if (mkdirat(at.dir, at.name, 0777) == 0) return 0;
  return ErrorFor(errno, plain);
}

uint32_t RemoveDirectory(const std::string& path) {
  ForgetLastLook();
  if (path.empty()) return kErrorPathNotFound;
  if (HasWildcard(path)) return kErrorInvalidName;
  const std::string plain = WithoutTrailingSeparators(path);
  const At at = Resolve(plain);
  struct stat st;
  if (fstatat(at.dir, at.name, &st, AT_SYMLINK_NOFOLLOW) != 0) return ErrorFor(errno, plain);
  // A link to a directory goes as a directory would, and only the link.
  if (S_ISLNK(st.st_mode) && !LinkLeadsToDirectory(at)) return kErrorDirectory;
  if (!S_ISLNK(st.st_mode) && !S_ISDIR(st.st_mode)) return kErrorDirectory;
  if (unlinkat(at.dir, at.name, S_ISLNK(st.st_mode) ? 0 : AT_REMOVEDIR) != 0) {
    return errno == EEXIST ? kErrorDirNotEmpty : ErrorFor(errno, plain);
  }
  posix::ForgetDirectoriesUnder(plain);
  return 0;
}

uint32_t DeleteFile(const std::string& path) {
  if (path.empty() || HasWildcard(path) || path.back() == '/') {
    ForgetLastLook();
    return path.empty() ? kErrorPathNotFound : kErrorInvalidName;
  }
  const At at = Resolve(path);
  struct stat st;
  if (LookAt(path, at, st) != 0) return ErrorFor(errno, path);
  if (S_ISDIR(st.st_mode)) return kErrorAccessDenied;
  if (S_ISLNK(st.st_mode) && LinkLeadsToDirectory(at)) return kErrorAccessDenied;
  if (S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR)) return kErrorAccessDenied;
  if (unlinkat(at.dir, at.name, 0) != 0) return ErrorFor(errno, path);
  // A link that was a directory on the way to other names.
  if (S_ISLNK(st.st_mode)) posix::ForgetDirectoriesUnder(path);
  return 0;
}

uint32_t MoveFile(const std::string& from, const std::string& to) {
  ForgetLastLook();
  if (from.empty() || to.empty()) return kErrorPathNotFound;
  if (HasWildcard(from) || HasWildcard(to)) return kErrorInvalidName;
  const std::string plain = WithoutTrailingSeparators(from);
  const uint32_t error = posix::MoveNoReplace(plain, WithoutTrailingSeparators(to));
  // What was reached through the old name is no longer there.
  if (error == 0) posix::ForgetDirectoriesUnder(plain);
  return error;
}

uint32_t CopyFile(const std::string& from, const std::string& to) {
  ForgetLastLook();
  if (from.empty() || to.empty()) return kErrorPathNotFound;
  if (HasWildcard(from) || HasWildcard(to)) return kErrorInvalidName;
  return posix::CopyReplacing(from, to);
}

uint32_t CopyLink(const std::string& from, const std::string& to) {
  ForgetLastLook();
  if (from.empty() || to.empty()) return kErrorPathNotFound;
  if (HasWildcard(from) || HasWildcard(to)) return kErrorInvalidName;
  return posix::CopyLinkReplacing(WithoutTrailingSeparators(from), WithoutTrailingSeparators(to));
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

bool IsNamespaceRoot(const std::string& path) {
  if (path.empty()) return false;
  struct stat named, root;
  const std::string plain = WithoutTrailingSeparators(path);
  return lstat(plain.c_str(), &named) == 0 && S_ISDIR(named.st_mode) && stat("/", &root) == 0 &&
         named.st_dev == root.st_dev && named.st_ino == root.st_ino;
}

}  // namespace platform
