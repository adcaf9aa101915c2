#include "platform/posix/resolver_posix.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/platform.h"
#include "platform/posix/errors_posix.h"

namespace platform::posix {

namespace {

constexpr int kStepFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// The deepest levels always kept open; above them the anchors, spaced by
// the largest power of two that gives about kAnchorsPerBand of them in each
// band of distances [d, 2d) from the deepest level.
constexpr size_t kDeepestKept = 16;
constexpr size_t kAnchorsPerBand = 4;
// A walk that has opened this many levels lets go of the ones it no longer
// keeps before it goes on.
constexpr size_t kFilterAt = 128;

bool IsDotName(std::string_view name) { return name == "." || name == ".."; }

// A directory on the way that is missing, a file or a link: the path the
// caller asked about does not lead anywhere now.
uint32_t StepError(int errnum) {
  if (errnum == ENOENT || errnum == ENOTDIR || errnum == ELOOP) return kErrorPathNotFound;
  return TranslateErrno(errnum, false);
}

// Whether the level `distance` levels above the deepest one stays open.
bool KeepsLevel(size_t level, size_t distance) {
  if (distance < kDeepestKept) return true;
  size_t spacing = 1;
  while (spacing * 2 <= distance / kAnchorsPerBand) spacing *= 2;
  return (level + 1) % spacing == 0;
}

// The length of the common start of `a` and `b`: one memcmp where one
// begins the other (the usual case: the same directory, or one below it),
// else memcmp over blocks, then bytes within the first block that differs.
size_t CommonStart(std::string_view a, std::string_view b) {
  constexpr size_t kBlock = 512;
  const size_t n = std::min(a.size(), b.size());
  if (std::memcmp(a.data(), b.data(), n) == 0) return n;
  size_t at = 0;
  while (at + kBlock <= n && std::memcmp(a.data() + at, b.data() + at, kBlock) == 0) at += kBlock;
  while (at < n && a[at] == b[at]) ++at;
  return at;
}

bool HasDotName(std::string_view names) {
  size_t start = 0;
  while (start <= names.size()) {
    size_t end = names.find('/', start);
    if (end == std::string_view::npos) end = names.size();
    if (IsDotName(names.substr(start, end - start))) return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

Resolver::Resolver(int rootFd) : rootFd_(rootFd) {}

Resolver::~Resolver() {
  Truncate(0);
  if (rootFd_ >= 0) close(rootFd_);
}

std::string_view Resolver::WithoutEmptyNames(std::string_view names) {
  const bool plain = names.empty() || (names.front() != '/' && names.back() != '/' &&
                                       names.find("//") == std::string_view::npos);
  if (plain) return names;
  scratch_.clear();
  size_t start = 0;
  while (start < names.size()) {
    size_t end = names.find('/', start);
    if (end == std::string_view::npos) end = names.size();
    if (end > start) {
      if (!scratch_.empty()) scratch_.push_back('/');
      scratch_.append(names.substr(start, end - start));
    }
    start = end + 1;
  }
  return scratch_;
}

size_t Resolver::SharedLevels(std::string_view relative) const {
  // The kept text is spelled without empty names, so whatever `relative`
  // has in common with it is too: only the rest of `relative` needs a look.
  size_t levels = LevelEndingAt(CommonStart(relative, path_));
  // A level is on the way to the name only where `relative` goes on past
  // it with a separator and a further name (a level whose name merely
  // begins the next one, or the name itself, is not).
  while (levels > 0) {
    const size_t end = chain_[levels - 1].end;
    if (end < relative.size() && relative[end] == '/' &&
        relative.find_first_not_of('/', end) != std::string_view::npos) {
      break;
    }
    --levels;
  }
  return levels;
}

// The number of levels whose name ends at or before `end`.
size_t Resolver::LevelEndingAt(size_t end) const {
  const auto after = std::upper_bound(chain_.begin(), chain_.end(), end,
                                      [](size_t at, const Level& level) { return at < level.end; });
  return static_cast<size_t>(after - chain_.begin());
}

int Resolver::OpenLevel(int parentFd, size_t level) {
  const size_t begin = level == 0 ? 0 : chain_[level - 1].end + 1;
  name_.assign(path_, begin, chain_[level].end - begin);
  ++opened_;
  return openat(parentFd, name_.c_str(), kStepFlags);
}

Resolver::Place Resolver::Locate(std::string_view relative) {
  const size_t shared = SharedLevels(relative);
  // The shared directories were checked when they were first reached; the
  // rest is looked at here, and only the rest.
  const std::string_view rest = WithoutEmptyNames(relative.substr(shared == 0 ? 0 : chain_[shared - 1].end + 1));
  if (rest.empty()) return {rootFd_, {}, 0};
  const size_t cut = rest.rfind('/');
  const std::string_view parents = cut == std::string_view::npos ? std::string_view() : rest.substr(0, cut);
  const std::string_view last = cut == std::string_view::npos ? rest : rest.substr(cut + 1);
  if (IsDotName(last) || (!parents.empty() && HasDotName(parents))) return {-1, {}, kErrorInvalidName};
  Truncate(shared);

  // Walk on from the deepest level still open: levels closed to save
  // descriptors are opened again on the way, then the new ones.
  size_t level = kept_.empty() ? 0 : kept_.back() + 1;
  int fd = kept_.empty() ? rootFd_ : chain_[kept_.back()].fd;
  for (; level < shared; ++level) {
    fd = OpenLevel(fd, level);
    if (fd < 0) {
      const int errnum = errno;
      Truncate(level);
      return {-1, {}, StepError(errnum)};
    }
    Hold(level, fd);
  }
  size_t start = 0;
  while (start < parents.size()) {
    size_t end = parents.find('/', start);
    if (end == std::string_view::npos) end = parents.size();
    if (!path_.empty()) path_.push_back('/');
    path_.append(parents.substr(start, end - start));
    chain_.push_back({path_.size(), -1});
    fd = OpenLevel(fd, level);
    if (fd < 0) {
      const int errnum = errno;
      Truncate(level);
      return {-1, {}, StepError(errnum)};
    }
    Hold(level, fd);
    ++level;
    start = end + 1;
  }
  KeepFew(chain_.size());
  return {chain_.empty() ? rootFd_ : chain_.back().fd, last, 0};
}

int Resolver::OpenDirectory(std::string_view relative, uint32_t& error) {
  const Place place = Locate(relative);
  if (place.error != 0) {
    error = place.error;
    return -1;
  }
  const int fd = place.name.empty()
                     ? openat(place.dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                     : openat(place.dir, std::string(place.name).c_str(),
                              O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) error = StepError(errno);
  return fd;
}

void Resolver::Forget(std::string_view relative) {
  if (relative.empty()) return;
  // What `relative` shares with the kept text has no empty names, as that
  // text has none: only the rest is looked at for them.
  const size_t common = CommonStart(relative, path_);
  const bool plain = relative.front() != '/' && relative.back() != '/' &&
                     relative.find("//", common == 0 ? 0 : common - 1) == std::string_view::npos;
  const std::string_view names = plain ? relative : WithoutEmptyNames(relative);
  if (names.empty() || names.size() > path_.size()) return;
  if (names.size() < path_.size() && path_[names.size()] != '/') return;
  if (std::memcmp(names.data(), path_.data(), names.size()) != 0) return;
  // `names` is one of the kept levels: drop it and what lies below.
  Truncate(LevelEndingAt(names.size()) - 1);
}

void Resolver::Truncate(size_t levels) {
  while (!kept_.empty() && kept_.back() >= levels) {
    close(chain_[kept_.back()].fd);
    kept_.pop_back();
  }
  if (levels < chain_.size()) {
    chain_.resize(levels);
    path_.resize(levels == 0 ? 0 : chain_.back().end);
  }
}

// Keeps the level just opened. A long walk lets go of levels on the way,
// judged against the depth reached so far: the chain will be at least that
// deep, so nothing it will keep is let go.
void Resolver::Hold(size_t level, int fd) {
  chain_[level].fd = fd;
  kept_.push_back(level);
  if (kept_.size() >= kFilterAt) KeepFew(level + 1);
}

// Closes the levels the spacing rule no longer keeps. The rule keeps fewer
// levels the deeper the chain grows, never more: a level once let go is
// not wanted again until a walk back up comes past it.
void Resolver::KeepFew(size_t depth) {
  size_t kept = 0;
  for (const size_t level : kept_) {
    if (KeepsLevel(level, depth - 1 - level)) {
      kept_[kept++] = level;
    } else {
      close(chain_[level].fd);
      chain_[level].fd = -1;
    }
  }
  kept_.resize(kept);
}

}  // namespace platform::posix
