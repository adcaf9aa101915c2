#include "platform/posix/resolver_posix.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/platform.h"
#include "platform/posix/errors_posix.h"

namespace platform::posix {

namespace {

constexpr int kStepFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// The deepest levels always kept open, and the least spacing of the anchors
// kept above them; the spacing doubles so that at most kMostAnchors stay.
constexpr size_t kDeepestKept = 16;
constexpr size_t kAnchorSpacing = 16;
constexpr size_t kMostAnchors = 64;

void SplitNames(std::string_view text, std::vector<std::string_view>& names) {
  names.clear();
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('/', start);
    if (end == std::string_view::npos) end = text.size();
    if (end > start) names.push_back(text.substr(start, end - start));
    start = end + 1;
  }
}

// A directory on the way that is missing, a file or a link: the path the
// caller asked about does not lead anywhere now.
uint32_t StepError(int errnum) {
  if (errnum == ENOENT || errnum == ENOTDIR || errnum == ELOOP) return kErrorPathNotFound;
  return TranslateErrno(errnum, false);
}

}  // namespace

Resolver::Resolver(int rootFd) : rootFd_(rootFd) {}

Resolver::~Resolver() {
  Truncate(0);
  if (rootFd_ >= 0) close(rootFd_);
}

Resolver::Place Resolver::Locate(std::string_view relative) {
  SplitNames(relative, names_);
  if (names_.empty()) return {rootFd_, {}, 0};
  for (std::string_view name : names_) {
    if (name == "." || name == "..") return {-1, {}, kErrorInvalidName};
  }
  const size_t parents = names_.size() - 1;
  size_t shared = 0;
  while (shared < chain_.size() && shared < parents && chain_[shared].name == names_[shared]) ++shared;
  Truncate(shared);
  // Walk on from the deepest level still open; levels dropped to save
  // descriptors are opened again on the way.
  size_t start = shared;
  while (start > 0 && chain_[start - 1].fd < 0) --start;
  int fd = start == 0 ? rootFd_ : chain_[start - 1].fd;
  for (size_t i = start; i < parents; ++i) {
    if (i == chain_.size()) chain_.push_back({std::string(names_[i]), -1});
    fd = openat(fd, chain_[i].name.c_str(), kStepFlags);
    if (fd < 0) {
      const int errnum = errno;
      Truncate(i);
      return {-1, {}, StepError(errnum)};
    }
    chain_[i].fd = fd;
  }
  KeepFew();
  return {parents == 0 ? rootFd_ : chain_[parents - 1].fd, names_.back(), 0};
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
  SplitNames(relative, names_);
  if (names_.empty()) return;
  size_t shared = 0;
  while (shared < chain_.size() && shared < names_.size() && chain_[shared].name == names_[shared]) ++shared;
  if (shared == names_.size()) Truncate(shared - 1);
}

size_t Resolver::KeptOpen() const {
  size_t kept = 0;
  for (const Level& level : chain_) kept += level.fd >= 0;
  return kept;
}

void Resolver::Truncate(size_t levels) {
  for (size_t i = levels; i < chain_.size(); ++i) {
    if (chain_[i].fd >= 0) close(chain_[i].fd);
  }
  if (levels < chain_.size()) chain_.resize(levels);
}

void Resolver::KeepFew() {
  const size_t depth = chain_.size();
  if (depth <= kDeepestKept) return;
  size_t spacing = kAnchorSpacing;
  while (depth / spacing > kMostAnchors) spacing *= 2;
  for (size_t i = 0; i + kDeepestKept < depth; ++i) {
    if ((i + 1) % spacing != 0 && chain_[i].fd >= 0) {
      close(chain_[i].fd);
      chain_[i].fd = -1;
    }
  }
}

}  // namespace platform::posix
