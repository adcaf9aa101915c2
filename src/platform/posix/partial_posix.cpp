#include "platform/posix/partial_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <vector>

#include "platform/posix/fd_posix.h"

namespace platform::posix {

namespace {

constexpr std::string_view kPrefix = ".fileop-";
constexpr std::string_view kSuffix = ".part";
constexpr size_t kRandomBytes = 16;

// Random bytes drawn from the kernel a batch at a time: a copy that
// replaces many files asks once per batch, not once per file.
class RandomBytes {
 public:
  void Take(unsigned char* out, size_t count) {
    for (size_t i = 0; i < count; ++i) {
      if (next_ == pool_.size()) Refill();
      out[i] = pool_[next_++];
    }
  }

 private:
  void Refill() {
    size_t filled = 0;
    while (filled < pool_.size()) {
      const ssize_t n = getrandom(pool_.data() + filled, pool_.size() - filled, 0);
      if (n > 0) {
        filled += static_cast<size_t>(n);
      } else if (n == 0 || errno != EINTR) {
        ReadDevice(filled);
        break;
      }
    }
    next_ = 0;
  }
  // A kernel without getrandom still has its device.
  void ReadDevice(size_t filled) {
    ScopedFd device(open("/dev/urandom", O_RDONLY | O_CLOEXEC));
    while (device.get() >= 0 && filled < pool_.size()) {
      const ssize_t n = read(device.get(), pool_.data() + filled, pool_.size() - filled);
      if (n == 0 || (n < 0 && errno != EINTR)) break;
      if (n > 0) filled += static_cast<size_t>(n);
    }
  }

  std::array<unsigned char, 512> pool_{};
  size_t next_ = 512;
};

bool IsLowerHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Removes `name` from `dir` when it is a regular partial file that no live
// process holds. The look before opening keeps a pipe or a device from
// ever being opened; the look after locking makes sure the name still
// leads to the very file that was found abandoned.
void RemoveIfAbandoned(int dir, const char* name) {
  struct stat seen;
  if (fstatat(dir, name, &seen, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(seen.st_mode)) return;
  const ScopedFd file(openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat opened;
  if (file.get() < 0 || fstat(file.get(), &opened) != 0 || !S_ISREG(opened.st_mode) || !SameFile(seen, opened)) {
    return;
  }
  struct flock lock {};
  lock.l_type = F_RDLCK;
  lock.l_whence = SEEK_SET;
  if (fcntl(file.get(), F_OFD_SETLK, &lock) != 0) return;  // a live writer holds it
  struct stat now;
  if (fstatat(dir, name, &now, AT_SYMLINK_NOFOLLOW) == 0 && SameFile(now, opened)) unlinkat(dir, name, 0);
}

}  // namespace

std::string NewPartialName() {
  thread_local RandomBytes random;
  unsigned char bytes[kRandomBytes];
  random.Take(bytes, sizeof bytes);
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string name(kPrefix);
  for (const unsigned char byte : bytes) {
    name.push_back(kDigits[byte >> 4]);
    name.push_back(kDigits[byte & 15]);
  }
  name.append(kSuffix);
  return name;
}

bool IsPartialName(std::string_view name) {
  if (name.size() != kPrefix.size() + 2 * kRandomBytes + kSuffix.size()) return false;
  if (name.substr(0, kPrefix.size()) != kPrefix || name.substr(name.size() - kSuffix.size()) != kSuffix) return false;
  for (const char c : name.substr(kPrefix.size(), 2 * kRandomBytes)) {
    if (!IsLowerHex(c)) return false;
  }
  return true;
}

bool HoldAsWritten(int fd) {
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  return fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

void RemoveAbandonedPartials(int dirFd) {
  // The names first, then the removals: the listing is not read while the
  // directory changes under it.
  std::vector<std::string> candidates;
  {
    const int listFd = openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listFd < 0) return;
    DIR* listing = fdopendir(listFd);
    if (!listing) {
      close(listFd);
      return;
    }
    while (const dirent* entry = readdir(listing)) {
      if (entry->d_type != DT_REG && entry->d_type != DT_UNKNOWN) continue;
      if (entry->d_name[0] == '.' && IsPartialName(entry->d_name)) candidates.emplace_back(entry->d_name);
    }
    closedir(listing);
  }
  for (const std::string& name : candidates) RemoveIfAbandoned(dirFd, name.c_str());
}

}  // namespace platform::posix
