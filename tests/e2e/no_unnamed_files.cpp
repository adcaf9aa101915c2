// Preloaded into the program by the rerun tests: every file system then
// behaves like one that cannot make unnamed files (O_TMPFILE refused, as
// on FAT and some network file systems), so that a copy writes under a
// partial name, which a run killed part-way really leaves behind.
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>

namespace {

int OpenAt(int dir, const char* path, int flags, mode_t mode) {
  if ((flags & O_TMPFILE) == O_TMPFILE) {
    errno = EOPNOTSUPP;
    return -1;
  }
  return static_cast<int>(syscall(SYS_openat, dir, path, flags, mode));
}

mode_t ModeOf(int flags, va_list arguments) {
  const bool hasMode = (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE;
  return hasMode ? static_cast<mode_t>(va_arg(arguments, int)) : 0;
}

}  // namespace

extern "C" int openat(int dir, const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = ModeOf(flags, arguments);
  va_end(arguments);
  return OpenAt(dir, path, flags, mode);
}

extern "C" int openat64(int dir, const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = ModeOf(flags, arguments);
  va_end(arguments);
  return OpenAt(dir, path, flags, mode);
}
