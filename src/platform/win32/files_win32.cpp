// The file-system services on Windows. Tree services resolve every name
// below the tree's root through held, verified directory handles (see
// Resolver) and act on the last name with the native calls relative to the
// directory that holds it: no step follows a link or a junction, and a
// directory swapped after it was verified is no longer reached. The services
// that take whole paths open the path's directory as the caller named it
// and act on its last name the same way.
#include <windows.h>
// The service names below are also names of A/W macros.
#undef CreateDirectory
#undef RemoveDirectory
#undef DeleteFile
#undef MoveFile
#undef CopyFile
#undef FindFirst

#include <memory>
#include <vector>

#include "platform/platform.h"
#include "platform/wildcard.h"
#include "platform/win32/copy_win32.h"
#include "platform/win32/errors_win32.h"
#include "platform/win32/tree_win32.h"

namespace platform {

using win32::EntryLook;
using win32::kShareAll;
using win32::LookAt;
using win32::OpenAt;
using win32::PathPlace;
using win32::Resolver;
using win32::ScopedHandle;
using win32::Seam;
using win32::Tree;
using win32::TreeOf;

namespace {

int64_t FileTimeValue(const FILETIME& t) {
  return static_cast<int64_t>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
}

// The attribute word the program sees: a reparse point that is no link
// (a cloud placeholder, a deduplicated file) is an ordinary entry.
uint32_t ProgramAttributes(ULONG attributes, ULONG tag) {
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) && !IsLinkReparseTag(tag)) {
    attributes &= ~static_cast<ULONG>(FILE_ATTRIBUTE_REPARSE_POINT);
  }
  return attributes;
}

// --- Searches ---------------------------------------------------------------------

// An open search: a directory below a tree read with the native query, or a
// search of a whole path by the wide function.
struct Search {
  ScopedHandle dir;
  std::vector<ULONGLONG> buffer;
  size_t offset = 0;
  bool filled = false;
  bool ended = false;
  bool everything = true;
  std::string pattern;
  HANDLE find = INVALID_HANDLE_VALUE;
  ~Search() {
    if (find != INVALID_HANDLE_VALUE) ::FindClose(find);
  }
};

bool NextNative(Search& search, FoundEntry& entry) {
  constexpr size_t kNone = static_cast<size_t>(-1);
  for (;;) {
    if (!search.filled || search.offset == kNone) {
      if (search.ended) return false;
      IO_STATUS_BLOCK io{};
      const NTSTATUS status = NtQueryDirectoryFile(search.dir.get(), nullptr, nullptr, nullptr, &io, search.buffer.data(),
                                                   static_cast<ULONG>(search.buffer.size() * sizeof(ULONGLONG)),
                                                   FileFullDirectoryInformation, FALSE, nullptr, !search.filled);
      search.filled = true;
      if (!NT_SUCCESS(status) || io.Information == 0) {
        search.ended = true;
        return false;
      }
      search.offset = 0;
    }
    const auto* found =
        reinterpret_cast<const FILE_FULL_DIR_INFORMATION*>(reinterpret_cast<const char*>(search.buffer.data()) + search.offset);
    search.offset = found->NextEntryOffset ? search.offset + found->NextEntryOffset : kNone;
    std::string name = win32::Narrow(std::wstring_view(found->FileName, found->FileNameLength / sizeof(wchar_t)));
    if (!search.everything && !MatchesMask(name, search.pattern, NativeConventions())) continue;
    // For a reparse point the entry's EA size is its reparse tag.
    entry.attributes = ProgramAttributes(found->FileAttributes, found->EaSize);
    entry.size = static_cast<uint64_t>(found->EndOfFile.QuadPart);
    entry.lastWriteTime = found->LastWriteTime.QuadPart;
    entry.name = std::move(name);
    return true;
  }
}

void Fill(FoundEntry& entry, const WIN32_FIND_DATAW& data) {
  entry.attributes = ProgramAttributes(data.dwFileAttributes, data.dwReserved0);
  entry.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  entry.lastWriteTime = FileTimeValue(data.ftLastWriteTime);
  entry.name = win32::Narrow(std::wstring_view(data.cFileName, wcslen(data.cFileName)));
}

// --- Steps below a tree -------------------------------------------------------------

uint32_t AttributesIn(Tree& tree, const std::string& name) {
  std::lock_guard<std::mutex> hold(tree.lock());
  const Resolver::Place place = tree.resolver().Locate(name);
  if (place.error) return kNoAttributes;
  ScopedHandle entry;
  const bool root = place.name.empty();
  if (!NT_SUCCESS(OpenAt(root ? tree.Root() : place.dir, place.name, FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN,
                         root ? 0 : FILE_OPEN_REPARSE_POINT, entry))) {
    return kNoAttributes;
  }
  EntryLook look;
  if (!LookAt(tree, entry.get(), place.Relative(), look)) return kNoAttributes;
  uint32_t attributes = ProgramAttributes(look.attributes, look.tag);
  // Wine opened what a link leads to: the link still shows as a link.
  if (look.link && !root) attributes |= kAttrReparsePoint;
  return attributes;
}

uint32_t CreateIn(Tree& tree, const std::string& name) {
  std::lock_guard<std::mutex> hold(tree.lock());
  const Resolver::Place place = tree.resolver().Locate(name);
  if (place.error) return place.error;
  if (place.name.empty()) return kErrorAlreadyExists;  // the root
  Seam("create-directory", tree, place.parent);
  ScopedHandle made;
  const NTSTATUS status = OpenAt(place.dir, place.name, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, kShareAll,
                                 FILE_CREATE, FILE_DIRECTORY_FILE, made);
  return win32::ErrorOf(status);
}

uint32_t RemoveIn(Tree& tree, const std::string& name) {
  // No tree of this operation may keep the directory from going.
  tree.ForgetEverywhere(win32::Wide(name));
  std::lock_guard<std::mutex> hold(tree.lock());
  const Resolver::Place place = tree.resolver().Locate(name);
  if (place.error) return place.error;
  if (place.name.empty()) return kErrorAccessDenied;  // a root is removed from its parent
  Seam("remove-directory", tree, place.parent);
  ScopedHandle entry;
  const NTSTATUS opened = OpenAt(place.dir, place.name, DELETE | FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN,
                                 FILE_OPEN_REPARSE_POINT, entry);
  if (!NT_SUCCESS(opened)) return win32::ErrorOf(opened);
  EntryLook look;
  if (!LookAt(tree, entry.get(), place.Relative(), look)) return kErrorAccessDenied;
  if (!look.directory()) return kErrorDirectory;
  // Wine would remove what the link leads to, or nothing: the link stays.
  if (look.link && win32::UnderWine()) return kErrorAccessDenied;
  bool classic = false;
  if (const uint32_t failed = win32::MarkDeleted(entry.get(), &tree.family().classicDelete, &classic)) return failed;
  entry.reset();
  if (!classic) return 0;
  // The classic way removes the name only once every handle is closed; a
  // directory that another process holds open is still there.
  ScopedHandle still;
  if (NT_SUCCESS(OpenAt(place.dir, place.name, FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN, FILE_OPEN_REPARSE_POINT, still))) {
    return kErrorDirNotEmpty;
  }
  return 0;
}

uint32_t DeleteIn(Tree& tree, const std::string& name) {
  std::lock_guard<std::mutex> hold(tree.lock());
  const Resolver::Place place = tree.resolver().Locate(name);
  if (place.error) return place.error;
  if (place.name.empty()) return kErrorAccessDenied;
  Seam("delete", tree, place.parent);
  ScopedHandle entry;
  const NTSTATUS opened = OpenAt(place.dir, place.name, DELETE | FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN,
                                 FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, entry);
  if (opened == static_cast<NTSTATUS>(nt_status::kFileIsADirectory)) return kErrorAccessDenied;
  if (!NT_SUCCESS(opened)) return win32::ErrorOf(opened);
  if (win32::UnderWine()) {
    // Wine deletes what a link leads to, never the link.
    EntryLook look;
    if (!LookAt(tree, entry.get(), place.Relative(), look) || look.link) return kErrorAccessDenied;
  }
  return win32::MarkDeleted(entry.get(), &tree.family().classicDelete);  // a read-only file refuses
}

// --- Whole paths, walked from their volume ----------------------------------------

// Walks the full path `full` from its volume's root, a directory at a time,
// each opened relative to the one before (links followed, as the caller
// named them), and with `create` made where missing. Ends at the deepest
// directory reached: `reached` names of `total`.
struct Walk {
  ScopedHandle dir;
  size_t reached = 0;
  size_t total = 0;
  uint32_t error = 0;
};

Walk WalkPath(const std::wstring& full, bool create) {
  Walk walk;
  const size_t rootLength = VolumeRootLength(std::u16string_view(reinterpret_cast<const char16_t*>(full.data()), full.size()));
  if (rootLength == 0) {
    walk.error = kErrorPathNotFound;
    return walk;
  }
  std::wstring root = full.substr(0, rootLength);
  if (root.back() != L'\\') root.push_back(L'\\');
  walk.dir.reset(CreateFileW(win32::Checked(root), FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                             kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!walk.dir.valid()) {
    const DWORD error = GetLastError();
    walk.error = error == ERROR_FILE_NOT_FOUND ? uint32_t{kErrorPathNotFound} : error;
    return walk;
  }
  std::vector<std::wstring_view> names;
  for (size_t at = rootLength; at < full.size();) {
    size_t end = full.find_first_of(L"\\/", at);
    if (end == std::wstring::npos) end = full.size();
    if (end > at) names.push_back(std::wstring_view(full).substr(at, end - at));
    at = end + 1;
  }
  walk.total = names.size();
  for (const std::wstring_view name : names) {
    ScopedHandle next;
    const NTSTATUS status = OpenAt(walk.dir.get(), name, FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES, kShareAll,
                                   create ? FILE_OPEN_IF : FILE_OPEN, FILE_DIRECTORY_FILE, next);
    if (!NT_SUCCESS(status)) {
      const bool last = walk.reached + 1 == walk.total;
      if (status == static_cast<NTSTATUS>(nt_status::kNotADirectory)) {
        walk.error = last ? kErrorAlreadyExists : kErrorPathNotFound;
      } else {
        walk.error = win32::StepErrorOf(status);
      }
      return walk;
    }
    walk.dir = std::move(next);
    ++walk.reached;
  }
  return walk;
}

}  // namespace

// --- Trees --------------------------------------------------------------------------

TreeHandle OpenTree(const std::string& root, bool followLink, uint32_t& error) {
  if (root.empty()) {
    error = kErrorPathNotFound;
    return kNoTree;
  }
  Tree* tree = win32::OpenTreeAt(win32::SystemPath(root), followLink, error);
  return tree ? tree : kNoTree;
}

void CloseTree(TreeHandle tree) { delete static_cast<Tree*>(tree); }

TreeHandle ShareTree(TreeHandle handle, const std::string& directory, uint32_t& error) {
  if (handle == kNoTree) return kNoTree;
  Tree* shared = TreeOf(handle).ShareBelow(directory, error);
  return shared ? shared : kNoTree;
}

uint32_t FileAttributes(TreeHandle tree, const std::string& name) { return AttributesIn(TreeOf(tree), name); }

SearchHandle FindFirst(TreeHandle handle, const std::string& directory, const std::string& pattern,
                       FoundEntry& entry, uint32_t& error, bool) {
  if (pattern.empty()) {
    error = kErrorFileNotFound;
    return kNoSearch;
  }
  Tree& tree = TreeOf(handle);
  auto search = std::make_unique<Search>();
  {
    std::lock_guard<std::mutex> hold(tree.lock());
    const Resolver::Place place = tree.resolver().Locate(directory);
    if (place.error) {
      error = place.error;
      return kNoSearch;
    }
    const bool root = place.name.empty();
    const NTSTATUS opened = OpenAt(root ? tree.Root() : place.dir, place.name, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                   kShareAll, FILE_OPEN, FILE_DIRECTORY_FILE | (root ? 0 : FILE_OPEN_REPARSE_POINT), search->dir);
    EntryLook look;
    if (!NT_SUCCESS(opened)) {
      error = win32::StepErrorOf(opened);
      return kNoSearch;
    }
    if (!LookAt(tree, search->dir.get(), place.Relative(), look) || look.link || !look.directory()) {
      error = kErrorPathNotFound;
      return kNoSearch;
    }
  }
  search->buffer.resize(8192);
  search->everything = pattern == "*" || pattern == "*.*";
  search->pattern = pattern;
  if (!NextNative(*search, entry)) {
    error = kErrorFileNotFound;
    return kNoSearch;
  }
  return search.release();
}

uint32_t CreateDirectory(TreeHandle tree, const std::string& name) { return CreateIn(TreeOf(tree), name); }

uint32_t RemoveDirectory(TreeHandle tree, const std::string& name) { return RemoveIn(TreeOf(tree), name); }

// The entry is opened and checked here whatever word the caller saw; a word
// that tells a directory or a read-only file spares the open.
uint32_t DeleteFile(TreeHandle tree, const std::string& name, uint32_t seenAttributes) {
  if (seenAttributes != kNoAttributes && (seenAttributes & (kAttrDirectory | kAttrReadOnly))) return kErrorAccessDenied;
  return DeleteIn(TreeOf(tree), name);
}

uint32_t MoveFile(TreeHandle fromTree, const std::string& from, TreeHandle toTree, const std::string& to) {
  return win32::MoveEntry(TreeOf(fromTree), from, TreeOf(toTree), to, /*finishEqual=*/true);
}

uint32_t CopyFile(TreeHandle fromTree, const std::string& from, TreeHandle toTree, const std::string& to, uint32_t) {
  return win32::CopyEntry(TreeOf(fromTree), from, TreeOf(toTree), to, /*followLink=*/false);
}

uint32_t CopyLink(TreeHandle, const std::string&, TreeHandle, const std::string&) {
  return 50;  // not supported: links are left out of copies here
}

void RemoveAbandonedPartialFiles(TreeHandle tree, const std::string& directory) {
  win32::RemoveAbandoned(TreeOf(tree), directory);
}

// A mount point is a junction on Windows: a link a tree operation never
// enters.
bool IsMountPoint(TreeHandle, const std::string&) { return false; }

bool LiesWithin(const std::string& path, TreeHandle handle) {
  const Tree& tree = TreeOf(handle);
  if (path.empty() || tree.RootName().empty()) return false;
  // The deepest directory of the path that exists, reached as the caller
  // named it; what is made below it later lies where it lies.
  const Walk walk = WalkPath(win32::SystemPath(path), /*create=*/false);
  if (!walk.dir.valid()) return false;
  win32::Identity identity;
  if (!win32::IdentityOf(walk.dir.get(), identity) || identity.volume != tree.RootIdentity().volume) return false;
  const std::wstring where = win32::NameOnVolume(walk.dir.get());
  return !where.empty() && win32::IsSameOrBelow(where, tree.RootName());
}

bool IsNamespaceRoot(TreeHandle handle) {
  const Tree& tree = TreeOf(handle);
  std::wstring_view name = tree.RootName();
  while (!name.empty() && name.back() == L'\\') name.remove_suffix(1);
  if (name.empty()) return !tree.RootName().empty();  // "\": a volume's root directory
  // On a share the name begins with the server and the share.
  IO_STATUS_BLOCK io{};
  FILE_FS_DEVICE_INFORMATION device{};
  if (!NT_SUCCESS(NtQueryVolumeInformationFile(tree.Root(), &io, &device, sizeof device, FileFsDeviceInformation)) ||
      (device.DeviceType != FILE_DEVICE_NETWORK_FILE_SYSTEM && device.DeviceType != FILE_DEVICE_NETWORK)) {
    return false;
  }
  size_t names = 0;
  for (size_t at = 0; at < name.size(); ++at) names += name[at] == L'\\' && at + 1 < name.size();
  return names <= 2;
}

// --- Whole paths ---------------------------------------------------------------------

uint32_t FileAttributes(const std::string& path) {
  if (path.empty()) return kNoAttributes;
  const PathPlace place(path);
  if (!place.ok()) return kNoAttributes;
  const uint32_t attributes = AttributesIn(place.tree(), place.name());
  // "name\" names a directory only.
  if (place.trailingSeparator() && attributes != kNoAttributes && !(attributes & kAttrDirectory)) return kNoAttributes;
  return attributes;
}

SearchHandle FindFirst(const std::string& mask, FoundEntry& entry, uint32_t& error, bool) {
  const std::wstring path = win32::SystemPath(mask, PathUse::kSearch);
  WIN32_FIND_DATAW data;
  auto search = std::make_unique<Search>();
  search->find = FindFirstFileExW(win32::Checked(path, PathUse::kSearch), FindExInfoBasic, &data, FindExSearchNameMatch,
                                  nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (search->find == INVALID_HANDLE_VALUE) {
    error = GetLastError();
    if (error == 0) error = kErrorFileNotFound;
    return kNoSearch;
  }
  Fill(entry, data);
  return search.release();
}

bool FindNext(SearchHandle handle, FoundEntry& entry, uint32_t& error) {
  auto* search = static_cast<Search*>(handle);
  if (!search) {
    error = kErrorInvalidParameter;
    return false;
  }
  if (search->find != INVALID_HANDLE_VALUE) {
    WIN32_FIND_DATAW data;
    if (!FindNextFileW(search->find, &data)) {
      error = GetLastError();
      if (error == 0) error = kErrorNoMoreFiles;
      return false;
    }
    Fill(entry, data);
    return true;
  }
  if (NextNative(*search, entry)) return true;
  error = kErrorNoMoreFiles;
  return false;
}

void FindClose(SearchHandle search) { delete static_cast<Search*>(search); }

bool LocalDosDateTime(int64_t fileTime, uint32_t& dosDateTime) {
  FILETIME utc{static_cast<DWORD>(fileTime & 0xFFFFFFFF), static_cast<DWORD>(static_cast<uint64_t>(fileTime) >> 32)};
  FILETIME local;
  WORD date = 0, time = 0;
  if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToDosDateTime(&local, &date, &time)) return false;
  dosDateTime = (static_cast<uint32_t>(date) << 16) | time;
  return true;
}

uint32_t CreateDirectory(const std::string& path) {
  if (path.empty()) return kErrorPathNotFound;
  const PathPlace place(path);
  return place.ok() ? CreateIn(place.tree(), place.name()) : place.error();
}

uint32_t CreateDirectoryPath(const std::string& path) {
  if (path.empty()) return kErrorPathNotFound;
  return WalkPath(win32::SystemPath(path), /*create=*/true).error;
}

uint32_t RemoveDirectory(const std::string& path) {
  if (path.empty()) return kErrorPathNotFound;
  const PathPlace place(path);
  return place.ok() ? RemoveIn(place.tree(), place.name()) : place.error();
}

uint32_t DeleteFile(const std::string& path) {
  if (path.empty()) return kErrorPathNotFound;
  const PathPlace place(path);
  if (!place.ok()) return place.error();
  if (place.trailingSeparator()) return kErrorInvalidName;
  return DeleteIn(place.tree(), place.name());
}

uint32_t MoveFile(const std::string& from, const std::string& to) {
  if (from.empty() || to.empty()) return kErrorPathNotFound;
  const PathPlace source(from);
  if (!source.ok()) return source.error();
  const PathPlace target(to);
  if (!target.ok()) return target.error();
  return win32::MoveEntry(source.tree(), source.name(), target.tree(), target.name(), /*finishEqual=*/false);
}

uint32_t CopyFile(const std::string& from, const std::string& to) {
  if (from.empty() || to.empty()) return kErrorPathNotFound;
  const PathPlace source(from);
  if (!source.ok()) return source.error();
  const PathPlace target(to);
  if (!target.ok()) return target.error();
  if (target.trailingSeparator()) return kErrorInvalidName;
  // A single copy into a directory first clears what copies that died there
  // left (a tree's copy has its walk do that once per directory).
  win32::RemoveAbandoned(target.tree(), "");
  return win32::CopyEntry(source.tree(), source.name(), target.tree(), target.name(), /*followLink=*/true);
}

uint32_t CopyLink(const std::string&, const std::string&) {
  return 50;  // not supported: links are left out of copies here
}

std::string AbsolutePath(const std::string& path) {
  if (path.empty()) return path;
  const std::wstring wide = win32::Wide(path);
  const DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (size == 0) return path;
  std::wstring full(size, L'\0');
  const DWORD length = GetFullPathNameW(wide.c_str(), size, full.data(), nullptr);
  if (length == 0 || length >= size) return path;
  full.resize(length);
  return win32::Narrow(full);
}

bool IsUsableEntryName(const std::string& name) { return IsPlainWin32Name(name); }

}  // namespace platform
