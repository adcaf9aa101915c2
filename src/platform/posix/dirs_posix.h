// Resolving names against open directories, and closing descriptors in
// batches. A tree operation touches thousands of names in a handful of
// directories at a time; looking each one up from the root again (and
// closing every copied file separately) is most of the kernel's work.
#pragma once

#include <string>
#include <string_view>

namespace platform::posix {

// A path split into an open directory and the last component inside it.
// For a bare name the directory is AT_FDCWD. When the directory cannot be
// opened, `dir` is AT_FDCWD and `name` the whole path, so that the call made
// with it fails (or succeeds) exactly as it would with the path itself.
struct At {
  int dir;
  const char* name;
};

// Splits `path`, which must not end in "/", keeping the descriptors of the
// few directories used most recently open. `name` points into `path`. The
// result stays valid until the next Resolve but one: two paths resolved one
// after the other can be used together.
At Resolve(const std::string& path);

// Drops the kept descriptors of `path` and of every directory below it;
// called after `path` has been removed or renamed, so that a name resolved
// later never reaches into what was there before.
void ForgetDirectoriesUnder(std::string_view path);

// Closes `fd` later, together with others: runs of adjacent descriptor
// numbers go in one call. At most a few dozen descriptors wait.
void CloseSoon(int fd);

}  // namespace platform::posix
