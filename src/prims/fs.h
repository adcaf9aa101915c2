// File-system primitives over the platform layer. Only EnsureDirectories (on
// the empty path), MakeDirChecked and RemoveDirChecked raise; everything
// else reports failure by its result.
#pragma once

#include <cstdint>
#include <string>

#include "main/step_log.h"
#include "platform/platform.h"

// Requested attribute words of a directory search: every entry, or only
// plain files that are neither hidden nor system.
inline constexpr uint32_t kSearchEverything = 0x3F;
inline constexpr uint32_t kSearchPlainFiles = 0x40;

// One directory search and the entry it delivered last. The search is
// released by FindEnd or, at the latest, when the record goes out of scope.
struct TSearchRec {
  TSearchRec() = default;
  TSearchRec(const TSearchRec&) = delete;
  TSearchRec& operator=(const TSearchRec&) = delete;
  ~TSearchRec();

  uint32_t Time = 0;        // local MS-DOS date and time of the last write
  uint32_t Size = 0;        // low 32 bits of the size
  uint32_t Attributes = 0;
  std::string Name;
  uint32_t SkipMask = 0;    // attribute bits that make the search pass over an entry
  platform::SearchHandle Handle = platform::kNoSearch;
  platform::FoundEntry PlatformRecord;  // the entry the platform returned last
};

// Owns an open platform search and closes it when it goes out of scope.
class ScopedSearch {
 public:
  explicit ScopedSearch(platform::SearchHandle handle) : handle_(handle) {}
  ScopedSearch(const ScopedSearch&) = delete;
  ScopedSearch& operator=(const ScopedSearch&) = delete;
  ~ScopedSearch() {
    if (handle_ != platform::kNoSearch) platform::FindClose(handle_);
  }
  platform::SearchHandle get() const { return handle_; }
  explicit operator bool() const { return handle_ != platform::kNoSearch; }

 private:
  platform::SearchHandle handle_;
};

// Owns an open tree (see platform::OpenTree) and closes it when it goes out
// of scope. Empty when the tree could not be opened.
class ScopedTree {
 public:
  ScopedTree(const std::string& root, bool followLink) {
    uint32_t error = 0;
    handle_ = platform::OpenTree(root, followLink, error);
    // A directory a dry run would have made stands open, holding nothing.
    planned_ = handle_ == platform::kNoTree && MadeInDryRun(root);
  }
  ScopedTree(const ScopedTree&) = delete;
  ScopedTree& operator=(const ScopedTree&) = delete;
  ~ScopedTree() {
    if (handle_ != platform::kNoTree) platform::CloseTree(handle_);
  }
  // kNoTree for a dry run's planned directory.
  platform::TreeHandle get() const { return handle_; }
  explicit operator bool() const { return handle_ != platform::kNoTree || planned_; }
  // Closes the tree now (Windows keeps a root from being removed while it
  // is open).
  void Close() {
    if (handle_ != platform::kNoTree) platform::CloseTree(handle_);
    handle_ = platform::kNoTree;
    planned_ = false;
  }

 private:
  platform::TreeHandle handle_;
  bool planned_ = false;
};

// Starts a search for `mask` and delivers the first entry whose attribute
// word has none of the bits (NOT attributes) AND 0x1E. Returns 0, or the
// platform's error code with the search closed and the visible fields kept.
uint32_t FindFirstEntry(const std::string& mask, uint32_t attributes, TSearchRec& entry);

// The same for the entries of `directory` below `tree` ("" for its root)
// whose names match `pattern`.
uint32_t FindFirstEntry(platform::TreeHandle tree, const std::string& directory, const std::string& pattern,
                        uint32_t attributes, TSearchRec& entry);

// Delivers the next passing entry; 0, or the error code (the end included).
// Never closes the search.
uint32_t FindNextEntry(TSearchRec& entry);

// Releases the search if one is open.
void FindEnd(TSearchRec& entry);

// True when the path's attribute word can be read and has the directory bit,
// or a dry run would have made it.
bool DirectoryPresent(const std::string& path);

// True when `name` below `tree` is a directory itself. A link, even to a
// directory, is not: inside a tree nothing is entered through a link.
bool DirectoryPresent(platform::TreeHandle tree, const std::string& name);

// True when the first entry a search for `path` finds (wildcards act as
// such) is not a directory and its last-write time fits the MS-DOS format.
bool FilePresent(const std::string& path);

// The attribute word, or -1 when it cannot be read.
int32_t ReadAttributes(const std::string& path);

// Creates `path` and every missing parent, outermost first; a relative path
// is created below the current directory. False when a creation failed (a
// parent made meanwhile by another process is no failure) or the path is a
// file; true otherwise, which includes a path that ends in a doubled
// separator and creates nothing. The empty path raises EInOutError "Unable
// to create directory" (IoCode 3).
bool EnsureDirectories(const std::string& path);

// True when `path` is spelled as the root of a drive, a share, a volume or
// the whole file system: its text and its full path (with "." and "..",
// doubled and mixed separators and drive-relative forms resolved as the
// platform does) are both asked. False for the empty path. What an open
// directory is (platform::IsNamespaceRoot) settles the spellings text
// cannot see.
bool NamesRootDirectory(const std::string& path);

// Renames a file or directory; never replaces an existing name. A step of
// its own in the log.
bool RenamePath(const std::string& from, const std::string& to);

// Creates `path` and every missing parent as EnsureDirectories does (runs
// of separators counting as one), and raises EInOutError "Unable to create
// directory" with the platform's code when the directory does not exist at
// the end (a file in the way, a refused creation). An existing directory
// is success.
void MakeDirectoryPath(const std::string& path);

// Creates one directory; raises EInOutError with the platform's code on
// failure, about the path. A name that exists already is a failure unless
// it is a directory (not a link) by now: another process that made it
// first has done the work. Each is a step of the log (see main/steps.h).
void MakeDirChecked(const std::string& path);

// The same for `name` below `tree`, whose root the operation names `root`
// (ending in a separator): the log and the report show root + name.
void MakeDirChecked(platform::TreeHandle tree, const std::string& name, const std::string& root);

// Removes one empty directory (or a link to one, itself); raises
// EInOutError with the platform's code on failure, about the path.
void RemoveDirChecked(const std::string& path);
void RemoveDirChecked(platform::TreeHandle tree, const std::string& name, const std::string& root);
