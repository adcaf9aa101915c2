// Listing a directory tree into one flat list of paths, and the list
// transformations that copy, move and delete apply to it: duplicate removal,
// ordering by depth and removal of the source prefix. Every one is linear or
// n log n in the number of entries.
#pragma once

#include <string>
#include <vector>

#include "platform/conventions.h"
#include "platform/platform.h"

using TPathList = std::vector<std::string>;

// The program's one list of paths, shared by the tree operations.
extern TPathList PathList;

// Appends every entry below `dir` to PathList (which it does not clear) and
// returns it: a directory's entries (files and subdirectories mixed, in the
// platform's order) come first, then each subdirectory's own listing in the
// same order. Paths carry no trailing separator. A link is listed but never
// entered (nor is `dir` itself when it is a link), so the walk never leaves
// the tree or runs in a loop. A directory that cannot be read adds nothing.
TPathList& ListTree(const std::string& dir, uint32_t attributes);

// The same for a tree the caller has open, whose root is `dir`: every
// directory is read through `tree`, never through a link.
TPathList& ListTree(platform::TreeHandle tree, const std::string& dir, uint32_t attributes);

// The entries of `dir` (which ends in a separator and lies below `tree`,
// whose root is `root`) that ListTree adds, appended to `out`, and the
// subdirectories to enter next, appended to `subdirectories`.
void CollectLevel(platform::TreeHandle tree, const std::string& root, const std::string& dir,
                  uint32_t attributes, TPathList& out, TPathList& subdirectories);

// Refuses, with EInOutError, a name a directory search of `directory` (as
// the operation names it, ending in a separator) delivered that cannot
// name an entry (see platform::IsUsableEntryName), naming it.
[[noreturn]] void RaiseUnusableName(const std::string& directory, const std::string& name);

// Makes PathList a copy of `list` without duplicates: the first occurrence
// wins and the order stays. Paths compare after ASCII lower-casing where
// names fold case (Windows), exactly otherwise (POSIX).
void DistinctPaths(const TPathList& list);
TPathList DistinctPathList(const TPathList& list, const Conventions& c);

// For each entry of `list`, 1 when it is the first occurrence of its path.
std::vector<char> FirstOccurrences(const TPathList& list, const Conventions& c);

// The number of separators in `path` (trail bytes do not count).
size_t PathDepth(const std::string& path, const Conventions& c);

// A stable reordering by depth (of the path without trailing separator):
// shallowest first for mode 1, deepest first for any other mode.
TPathList OrderByDepth(const TPathList& list, unsigned char mode);
TPathList OrderByDepth(const TPathList& list, unsigned char mode, const Conventions& c);
// The same for a list that is given up: its paths move instead of being copied.
TPathList OrderByDepth(TPathList&& list, unsigned char mode);

// Each entry with the first occurrence of `prefix` removed, found without
// regard to letter case; entries without it pass unchanged.
TPathList MakeRelative(const TPathList& list, const std::string& prefix);
TPathList MakeRelative(const TPathList& list, const std::string& prefix, const Conventions& c);

// MakeRelative for one entry at a time, for a caller that walks a list
// of a million paths and need not hold a second list beside it. Of may be
// called from several threads at once.
class RelativeNames {
 public:
  RelativeNames(const std::string& prefix, const Conventions& c);
  std::string Of(const std::string& entry) const;

 private:
  std::string prefix_;
  std::string upperPrefix_;
  const Conventions& c_;
};
