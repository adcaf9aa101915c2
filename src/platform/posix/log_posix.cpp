// The step log's services on POSIX: a log file opened for appending, the
// standard error, and the texts of the Windows error codes this layer
// produces.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/platform.h"
#include "platform/posix/errors_posix.h"

namespace platform {

namespace {

// A descriptor travels in a handle as its value plus one, so that
// descriptor 0 is not kNoLog.
LogHandle HandleOf(int fd) { return reinterpret_cast<LogHandle>(static_cast<intptr_t>(fd) + 1); }
int DescriptorOf(LogHandle log) { return static_cast<int>(reinterpret_cast<intptr_t>(log) - 1); }

}  // namespace

LogHandle OpenLog(const std::string& path, uint32_t& error) {
  if (path.empty()) {
    error = kErrorPathNotFound;
    return kNoLog;
  }
  // O_NONBLOCK: a pipe without a reader fails the open instead of holding
  // it; it is refused below like every other non-regular file.
  const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK, 0666);
  if (fd < 0) {
    error = posix::TranslateErrno(errno, errno == ENOENT);
    return kNoLog;
  }
  struct stat info {};
  // A second name would let whoever made it choose which file an elevated
  // program appends to.
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink > 1) {
    close(fd);
    error = kErrorAccessDenied;
    return kNoLog;
  }
  fcntl(fd, F_SETFL, O_APPEND);
  return HandleOf(fd);
}

LogHandle StandardErrorLog() {
  return fcntl(STDERR_FILENO, F_GETFD) == -1 ? kNoLog : HandleOf(STDERR_FILENO);
}

uint32_t AppendLog(LogHandle log, std::string_view text) {
  if (log == kNoLog) return kErrorInvalidParameter;
  for (;;) {
    const ssize_t written = write(DescriptorOf(log), text.data(), text.size());
    if (written == static_cast<ssize_t>(text.size())) return 0;
    // Interrupted before anything was written: nothing of it is there yet.
    if (written < 0 && errno == EINTR) continue;
    return written < 0 ? posix::TranslateErrno(errno, false) : kErrorDiskFull;
  }
}

void CloseLog(LogHandle log) {
  if (log != kNoLog && DescriptorOf(log) != STDERR_FILENO) close(DescriptorOf(log));
}

std::string ErrorMessageText(uint32_t code) {
  switch (code) {
    case 2: return "The system cannot find the file specified.";
    case 3: return "The system cannot find the path specified.";
    case 4: return "The system cannot open the file.";
    case 5: return "Access is denied.";
    case 8: return "Not enough memory resources are available to process this command.";
    case 17: return "The system cannot move the file to a different disk drive.";
    case 18: return "There are no more files.";
    case 31: return "A device attached to the system is not functioning.";
    case 32: return "The process cannot access the file because it is being used by another process.";
    case 50: return "The request is not supported.";
    case 87: return "The parameter is incorrect.";
    case 112: return "There is not enough space on the disk.";
    case 123: return "The filename, directory name, or volume label syntax is incorrect.";
    case 145: return "The directory is not empty.";
    case 183: return "Cannot create a file when that file already exists.";
    case 203: return "The system could not find the environment option that was entered.";
    case 206: return "The filename or extension is too long.";
    case 267: return "The directory name is invalid.";
    case 1117: return "The request could not be performed because of an I/O device error.";
    case 1921: return "The name of the file cannot be resolved by the system.";
    default: return {};
  }
}

uint32_t ProcessId() { return static_cast<uint32_t>(getpid()); }

}  // namespace platform
