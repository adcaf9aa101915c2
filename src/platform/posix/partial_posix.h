// Partial files: what a copy writes before the file takes its name.
#pragma once

#include <string>
#include <string_view>

namespace platform::posix {

// A new partial-file name: hidden (it begins with "."), of one fixed form,
// and unpredictable (128 random bits from the kernel), so that no one can
// put something in its place beforehand. Callers still create it
// exclusively and retry on a name that exists.
std::string NewPartialName();

// True for a name of the form NewPartialName gives.
bool IsPartialName(std::string_view name);

// Marks the open file `fd` (open for writing) as being written by a live
// process: an open-file-description write lock over the whole file, which
// the kernel releases when the process dies. Taken before the file has any
// name, it tells a live writer's partial file from a dead run's. False
// with errno set when the lock is refused.
bool HoldAsWritten(int fd);

// Removes from the directory open as `dirFd` the partial files no live
// process holds: regular files of the partial form whose write lock can be
// taken. A link, a directory, a pipe or any other kind of entry is never
// opened nor removed, whatever its name. Failures are passed over.
void RemoveAbandonedPartials(int dirFd);

}  // namespace platform::posix
