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
// The directories on the way to the name resolved last stay known, so that
// the next name costs only its own new part: the directories it shares with
// the last one are found by comparing the two texts, with no work per
// shared directory. Of a deep chain only the deepest few and anchors spaced
// more widely the farther they lie above it stay open: a chain of any depth
// holds a few dozen descriptors, a walk down costs one open per level, and
// a walk back up (the deepest-first order of a delete) reopens short runs
// below the nearest anchor, a few opens per level in all. Time and memory
// are linear in the length of the names.
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
  // name. Names are separated by "/"; empty names are passed over. For the
  // root itself (no name at all) `dir` is the root and `name` empty.
  // `error` is 0, or kErrorPathNotFound when a directory on the way is
  // missing or is not a directory (a file, a link), or kErrorInvalidName
  // for a "." or ".." name. `dir` and `name` (a view into `relative`, or
  // into the resolver's own copy of it when it holds empty names) stay
  // valid until the next call of Locate, OpenDirectory or Forget.
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

  // Drops what is kept of `relative` and everything below it; called after
  // it was removed or renamed, so that a directory made later under the
  // same name is the one reached.
  void Forget(std::string_view relative);

  // Directories kept open now, and directories opened in all (for tests of
  // the bounds).
  size_t KeptOpen() const { return kept_.size(); }
  uint64_t Opened() const { return opened_; }

 private:
  struct Level {
    size_t end;   // where its name ends in path_
    int fd = -1;  // -1: not kept open
  };
  std::string_view WithoutEmptyNames(std::string_view relative);
  size_t SharedLevels(std::string_view parents) const;
  size_t LevelEndingAt(size_t end) const;
  int OpenLevel(int parentFd, size_t level);
  void Truncate(size_t levels);
  void Hold(size_t level, int fd);
  void KeepFew(size_t depth);

  int rootFd_;
  std::string path_;            // the directories on the way to the name resolved last, "a/b/c"
  std::vector<Level> chain_;    // one per directory of path_, outermost first
  std::vector<size_t> kept_;    // the levels held open, outermost first
  std::string scratch_;         // a name spelled with empty names, without them
  std::string name_;            // the name being opened, terminated
  uint64_t opened_ = 0;
};

}  // namespace platform::posix
