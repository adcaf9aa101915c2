// Resolving names below a directory without ever following a link.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform::posix {

// Resolves names below one directory, the root, from a descriptor of it.
// Each directory on the way to a name is opened by itself from the one
// before it, with O_NOFOLLOW: a link, a file or a missing entry where a
// directory should be ends the resolution. So nothing that changes in the
// tree while it is worked on can lead a step through a link or outside the
// root. The last name itself is left to the caller, who acts on it with the
// *at calls and never follows it.
//
// The directories on the way to the name resolved last stay open, so that
// the next name in the same directory (the usual case in a listed tree)
// costs no lookup. In a deep tree only the deepest few and an evenly spaced
// set of anchors stay open: a chain of any depth holds a bounded number of
// descriptors and still costs a constant number of lookups per step.
//
// A resolver serves one thread.
class Resolver {
 public:
  explicit Resolver(int rootFd);  // takes the descriptor over
  ~Resolver();
  Resolver(const Resolver&) = delete;
  Resolver& operator=(const Resolver&) = delete;

  int Root() const { return rootFd_; }

  // Where a name is: the open directory that holds its last name, and that
  // name (a view into `relative`). Names are separated by "/"; empty names
  // are passed over. For the root itself (no name at all) `dir` is the root
  // and `name` empty. `error` is 0, or kErrorPathNotFound when a directory
  // on the way is missing or is not a directory (a file, a link), or
  // kErrorInvalidName for a "." or ".." name. `dir` stays valid until the
  // next call of Locate, OpenDirectory or Forget.
  struct Place {
    int dir = -1;
    std::string_view name;
    uint32_t error = 0;
  };
  Place Locate(std::string_view relative);

  // Opens the directory `relative` names ("" for the root) for reading its
  // entries, never through a link. -1 with `error` set on failure
  // (kErrorPathNotFound when it is missing, not a directory, or a link).
  int OpenDirectory(std::string_view relative, uint32_t& error);

  // Drops what is kept open of `relative` and everything below it; called
  // after it was removed or renamed, so that a directory made later under
  // the same name is the one reached.
  void Forget(std::string_view relative);

  // Directories kept open now (for tests of the bound).
  size_t KeptOpen() const;

 private:
  struct Level {
    std::string name;
    int fd = -1;  // -1: not kept open
  };
  void Truncate(size_t levels);
  void KeepFew();

  int rootFd_;
  std::vector<Level> chain_;  // the directories on the way to the name resolved last
  std::vector<std::string_view> names_;  // scratch: the names of the current request
};

}  // namespace platform::posix
