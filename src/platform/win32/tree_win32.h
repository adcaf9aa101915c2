// The held-handle tree of the Windows layer: native calls relative to an
// open directory, and the resolution of names below a tree's root through
// directories held open and verified by their handles.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/common_win32.h"
#include "platform/win32/nt_win32.h"

namespace platform::win32 {

inline constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// --- Native calls relative to an open directory ------------------------------

// Opens or creates `name` (one name; "" for `dir` itself) in the open
// directory `dir` with the native call: the name is looked up in that
// directory object alone, whatever its path has become meanwhile. `options`
// are NtCreateFile's create options; synchronous I/O (and SYNCHRONIZE) is
// added. `attributes` and `allocation` serve a file being created.
NTSTATUS OpenAt(HANDLE dir, std::wstring_view name, ACCESS_MASK access, ULONG share, ULONG disposition,
                ULONG options, ScopedHandle& opened, ULONG attributes = 0, LONGLONG allocation = 0);

// The attribute word and reparse tag of an open entry; false when they
// cannot be read.
bool QueryAttributeTag(HANDLE entry, FileAttributeTagInformation& info);

// True when an entry with these attributes and tag is a link that a tree
// operation never enters or follows (a name surrogate: symbolic link,
// junction, mount point).
inline bool IsLink(ULONG attributes, ULONG tag) {
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && IsLinkReparseTag(tag);
}

// What identifies an open entry on this machine: its volume's serial number
// and its file ID on that volume.
struct Identity {
  uint64_t volume = 0;
  uint8_t file[16] = {};
  bool operator==(const Identity&) const = default;
};

// The identity of an open entry; false when it cannot be had.
bool IdentityOf(HANDLE entry, Identity& identity);

// The path of an open entry on its volume as the file system names it, with
// every link resolved ("\" for a volume's root directory; a share's entries
// begin with "\server\share"). Empty when it cannot be had.
std::wstring NameOnVolume(HANDLE entry);

// True when the volume-relative path `inner` is `outer` or lies below it,
// by whole names, without regard to letter case.
bool IsSameOrBelow(std::wstring_view inner, std::wstring_view outer);

// Marks an entry opened with DELETE access for deletion: with POSIX
// semantics, so that its name goes when this handle closes even while
// others (a scanner, the indexer) hold it open, or the classic way where
// the volume does not know them (`classicOnly` remembers that for later
// calls). A read-only file is refused (error 5), as DeleteFile refuses it.
// Returns 0 or the error code; `classicUsed`, when given, tells whether the
// classic way was taken (the name then goes with the last handle).
uint32_t MarkDeleted(HANDLE entry, std::atomic<bool>* classicOnly, bool* classicUsed = nullptr);

// Renames an entry opened with DELETE access to `name` in the open directory
// `dir`. An existing entry there is replaced only with `replace`, and then
// with POSIX semantics where the volume has them (so that a file others hold
// open is replaced all the same). Returns 0 or the error code (183 for an
// existing name without `replace`).
uint32_t RenameInto(HANDLE entry, HANDLE dir, std::wstring_view name, bool replace, std::atomic<bool>* classicOnly);

// --- Trees -------------------------------------------------------------------

class Tree;

// Resolves names below one tree's root. Each directory on the way to a name
// is opened by the native call relative to the one before it, never through
// a reparse point, and verified by its handle (a directory, and no link)
// before anything is looked up in it: a directory swapped for a junction or
// a link, a file or a missing entry where a directory should be ends the
// resolution, and one swapped after it was opened is no longer reached at
// all (its handle still names the directory that was verified). The last
// name is left to the caller, who acts on it relative to the directory that
// holds it.
//
// The directories on the way to the name resolved last stay open, so that
// the next name in the same directory costs no lookup. In a deep tree only
// the deepest few and an evenly spaced set of anchors stay open: a chain of
// any depth holds a bounded number of handles and still costs a constant
// number of opens per step.
//
// A resolver serves one thread (its tree's lock held).
class Resolver {
 public:
  explicit Resolver(Tree& tree) : tree_(tree) {}
  Resolver(const Resolver&) = delete;
  Resolver& operator=(const Resolver&) = delete;

  // Where a name is: the open directory that holds its last name, that
  // directory's names below the root (joined by "\", "" for the root), and
  // the last name; all valid until the next call. Names are separated by
  // "\" or "/"; empty names are passed over. For the root itself `name` is
  // empty. `error` is 0, kErrorPathNotFound when a directory on the way is
  // missing or is no directory (a file, a link), or kErrorInvalidName for a
  // "." or ".." name.
  struct Place {
    HANDLE dir = nullptr;
    std::wstring_view parent;
    std::wstring_view name;
    uint32_t error = 0;
    // The whole name below the root, names joined by "\".
    std::wstring Relative() const;
  };
  Place Locate(std::string_view relative);

  // Drops what is held open of `relative` (names joined by "\") and
  // everything below it: before it is removed, so that no handle of this
  // resolver keeps it from going, and so that a directory made later under
  // the same name is the one reached.
  void Forget(std::wstring_view relative);

  // Directories held open now (for tests of the bound).
  size_t KeptOpen() const;

 private:
  struct Level {
    std::wstring name;
    ScopedHandle handle;  // not valid: not kept open
  };
  void Split(std::wstring_view text);
  void Truncate(size_t levels);
  void KeepFew();

  Tree& tree_;
  std::vector<Level> chain_;
  std::wstring joined_;                  // the current request, names joined by "\"
  std::vector<std::wstring_view> names_;  // views into joined_
};

// What the trees shared from one opened tree (ShareTree) have in common.
struct TreeFamily {
  std::mutex lock;  // guards `members`; taken before any member's lock
  std::vector<Tree*> members;
  // The volume refused the newer classes once: the classic ones go first.
  std::atomic<bool> classicDelete{false};
  std::atomic<bool> classicRename{false};
};

// An open tree: what a TreeHandle stands for. Every service on it holds its
// lock for the whole step.
class Tree {
 public:
  Tree(ScopedHandle root, std::wstring rootPath, std::shared_ptr<TreeFamily> family);
  ~Tree();
  Tree(const Tree&) = delete;
  Tree& operator=(const Tree&) = delete;

  HANDLE Root() const { return root_.get(); }
  // The path the root was opened by (system form).
  const std::wstring& RootPath() const { return rootPath_; }
  // The root's path on its volume (see NameOnVolume); empty when unknown.
  const std::wstring& RootName() const {
    Learn();
    return rootName_;
  }
  const Identity& RootIdentity() const {
    Learn();
    return rootIdentity_;
  }
  Resolver& resolver() { return resolver_; }
  std::mutex& lock() { return lock_; }
  TreeFamily& family() { return *family_; }

  // A second tree over the very same root directory (its handle
  // duplicated), in the same family; nullptr with `error` set on failure.
  Tree* Share(uint32_t& error) const;

  // A tree, in the same family, whose root is the directory `directory`
  // below this root (names joined by "\\" or "/"), reached as every name
  // is, through verified directories and never through a link; nullptr
  // with `error` set when it is gone or is no directory. The caller holds
  // no tree lock.
  Tree* ShareBelow(std::string_view directory, uint32_t& error);

  // Drops, in every tree of the family, what is held open of `relative`
  // and below; the caller holds no tree lock.
  void ForgetEverywhere(std::wstring_view relative);

 private:
  // Reads the root's name and identity once, when first asked for.
  void Learn() const;

  ScopedHandle root_;
  std::wstring rootPath_;
  mutable std::once_flag learned_;
  mutable std::wstring rootName_;
  mutable Identity rootIdentity_;
  std::shared_ptr<TreeFamily> family_;
  Resolver resolver_;
  std::mutex lock_;
};

inline Tree& TreeOf(TreeHandle handle) { return *static_cast<Tree*>(handle); }

// Opens the directory at `systemPath` (see SystemPath) as a tree root. The
// links on the way are followed, as the caller named them; the last name is
// followed only with `followLast` (otherwise a root that is a link is
// refused, kErrorPathNotFound). The root is held without delete sharing: on
// NTFS it can then be neither renamed nor removed while the tree is open.
// nullptr with `error` set on failure.
Tree* OpenTreeAt(const std::wstring& systemPath, bool followLast, uint32_t& error);

// A path split into a tree over its directory and its last name, for the
// services that take whole paths: the path is normalised as Win32 does,
// its directory followed as the caller named it, and the last name acted on
// relative to that directory. A root ("C:\") makes the whole path the tree
// and the name empty.
class PathPlace {
 public:
  explicit PathPlace(std::string_view path);
  PathPlace(const PathPlace&) = delete;
  PathPlace& operator=(const PathPlace&) = delete;
  ~PathPlace() { delete tree_; }

  bool ok() const { return tree_ != nullptr; }
  uint32_t error() const { return error_; }
  Tree& tree() const { return *tree_; }
  const std::string& name() const { return name_; }
  // The path named a directory only (it ended in a separator).
  bool trailingSeparator() const { return trailing_; }

 private:
  Tree* tree_ = nullptr;
  std::string name_;
  uint32_t error_ = 0;
  bool trailing_ = false;
};

// --- Looking at entries --------------------------------------------------------

// What an open entry is.
struct EntryLook {
  ULONG attributes = 0;
  ULONG tag = 0;
  // The entry is a link, or (under Wine, which opens through links) was
  // reached through one: it is not the entry the name spells below the root.
  bool link = false;
  bool directory() const { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
};

// Reads what the entry just opened as `relative` below `tree` is. Under Wine
// the entry's real path must also be the one `relative` spells below the
// root; an entry reached through a link is marked as a link. False when
// nothing could be read.
bool LookAt(const Tree& tree, HANDLE entry, std::wstring_view relative, EntryLook& look);

// Under Wine only (elsewhere always true): the held directory `dir`, named
// `relative` below the tree, is still the directory its path leads to. Wine
// gives a new name relative to a held directory (a rename) by the path the
// directory had, so a rename there is made only after this second look.
// (Wine opens and creates relative to the directory itself; an entry
// opened is looked at by LookAt.)
bool StillInPlace(const Tree& tree, HANDLE dir, std::wstring_view relative);

// The test build's seam: runs the hook a test set between the layer's own
// open of the directory a step works in (`relative` below the tree) and the
// step's action there. Nothing in the program.
void Seam(const char* step, const Tree& tree, std::wstring_view relative);

}  // namespace platform::win32
