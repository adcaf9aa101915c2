#define _CRT_RAND_S  // rand_s: the system's random numbers, for names nobody can predict
#include "platform/win32/copy_win32.h"

#include <stdlib.h>

#include <vector>

#include "platform/win32/errors_win32.h"

namespace platform::win32 {

namespace {

constexpr size_t kCopyBlock = size_t{1} << 20;
constexpr ULONG kCopiedAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                    FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED |
                                    FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE;

// What a copy takes over from its source.
struct SourceFacts {
  FILE_NETWORK_OPEN_INFORMATION info{};
  Identity identity;
};

bool ReadFacts(HANDLE source, SourceFacts& facts) {
  IO_STATUS_BLOCK io{};
  return NT_SUCCESS(NtQueryInformationFile(source, &io, &facts.info, sizeof facts.info, kFileNetworkOpenInformation)) &&
         IdentityOf(source, facts.identity);
}

std::vector<char>& CopyBuffer() {
  thread_local std::vector<char> buffer(kCopyBlock);
  return buffer;
}

// Copies the data of `from` from its start to `to` from its start.
uint32_t CopyData(HANDLE from, HANDLE to) {
  std::vector<char>& buffer = CopyBuffer();
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(from, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) return GetLastError();
    if (got == 0) return 0;
    DWORD put = 0;
    if (!WriteFile(to, buffer.data(), got, &put, nullptr)) return GetLastError();
    if (put != got) return ERROR_WRITE_FAULT;
  }
}

// The named streams of a file (a download's zone mark among them) go with
// its copy. A file system without streams lists none.
uint32_t CopyStreams(HANDLE from, HANDLE to) {
  std::vector<ULONGLONG> buffer(4096);
  IO_STATUS_BLOCK io{};
  NTSTATUS status;
  while ((status = NtQueryInformationFile(from, &io, buffer.data(), static_cast<ULONG>(buffer.size() * 8),
                                          kFileStreamInformation)) == static_cast<NTSTATUS>(0x80000005) &&
         buffer.size() < (size_t{1} << 20)) {
    buffer.resize(buffer.size() * 4);
  }
  if (!NT_SUCCESS(status) || io.Information == 0) return 0;
  const char* at = reinterpret_cast<const char*>(buffer.data());
  for (;;) {
    const auto* stream = reinterpret_cast<const FILE_STREAM_INFORMATION*>(at);
    const std::wstring_view name(stream->StreamName, stream->StreamNameLength / sizeof(wchar_t));
    if (name != L"::$DATA") {
      // A stream is opened by its name relative to its file's handle.
      ScopedHandle source, copy;
      NTSTATUS opened = OpenAt(from, name, FILE_READ_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                               FILE_SEQUENTIAL_ONLY, source);
      if (!NT_SUCCESS(opened)) return ErrorOf(opened);
      opened = OpenAt(to, name, FILE_WRITE_DATA, 0, FILE_CREATE, FILE_SEQUENTIAL_ONLY, copy);
      if (!NT_SUCCESS(opened)) return ErrorOf(opened);
      if (const uint32_t failed = CopyData(source.get(), copy.get())) return failed;
    }
    if (stream->NextEntryOffset == 0) return 0;
    at += stream->NextEntryOffset;
  }
}

NTSTATUS SetBasic(HANDLE file, const FILE_BASIC_INFORMATION& basic) {
  IO_STATUS_BLOCK io{};
  FILE_BASIC_INFORMATION copy = basic;
  return NtSetInformationFile(file, &io, &copy, sizeof copy, FileBasicInformation);
}

// Takes the read-only bit off an entry opened with FILE_WRITE_ATTRIBUTES,
// so that it can be deleted by its handle.
void ClearReadOnly(HANDLE entry, ULONG attributes) {
  if (!(attributes & FILE_ATTRIBUTE_READONLY)) return;
  FILE_BASIC_INFORMATION basic{};
  basic.FileAttributes = (attributes & kCopiedAttributes & ~FILE_ATTRIBUTE_READONLY);
  if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  SetBasic(entry, basic);
}

// A partial file that will not take its name goes again, by its handle.
void Discard(ScopedHandle& partial, TreeFamily& family) {
  FILE_BASIC_INFORMATION basic{};
  basic.FileAttributes = FILE_ATTRIBUTE_HIDDEN;
  SetBasic(partial.get(), basic);
  MarkDeleted(partial.get(), &family.classicDelete);
  partial.reset();
}

// A new partial file in `dir`: created new (an existing name, a link among
// them, fails the creation and another name is drawn), hidden, held without
// sharing.
NTSTATUS CreatePartial(HANDLE dir, LONGLONG size, bool writeThrough, ScopedHandle& partial) {
  NTSTATUS status = static_cast<NTSTATUS>(nt_status::kObjectNameCollision);
  for (int attempt = 0; attempt < 4 && status == static_cast<NTSTATUS>(nt_status::kObjectNameCollision); ++attempt) {
    unsigned int random[4] = {};
    for (unsigned int& part : random) {
      if (rand_s(&part) != 0) return static_cast<NTSTATUS>(nt_status::kAccessDenied);
    }
    const std::u16string name = PartialFileName((uint64_t{random[0]} << 32) | random[1], (uint64_t{random[2]} << 32) | random[3]);
    status = OpenAt(dir, std::wstring_view(reinterpret_cast<const wchar_t*>(name.data()), name.size()),
                    FILE_WRITE_DATA | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | DELETE, 0, FILE_CREATE,
                    FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY | FILE_OPEN_REPARSE_POINT |
                        (writeThrough ? FILE_WRITE_THROUGH : 0),
                    partial, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED, size);
  }
  return status;
}

struct Placing {
  bool replace = false;       // an existing target was seen and may be replaced
  bool writeThrough = false;  // every write reaches the disk before the name is taken
  bool allTimes = false;      // creation and access times too, not only the last write
};

// Writes the content of `reader` (facts in `facts`) to a partial file in the
// held directory `dir` (named `relative` below `to`) and gives it `name`.
uint32_t PlaceCopy(HANDLE reader, const SourceFacts& facts, Tree& to, HANDLE dir, std::wstring_view relative,
                   std::wstring_view name, const Placing& how) {
  Seam("copy-partial", to, relative);
  ScopedHandle partial;
  const NTSTATUS created = CreatePartial(dir, facts.info.EndOfFile.QuadPart, how.writeThrough, partial);
  if (!NT_SUCCESS(created)) return ErrorOf(created);
  uint32_t failed = CopyData(reader, partial.get());
  if (!failed) failed = CopyStreams(reader, partial.get());
  if (!failed) {
    Seam("copy-place", to, relative);
    if (!StillInPlace(to, dir, relative)) failed = kErrorPathNotFound;
  }
  if (!failed) {
    // The source's attributes (its hidden bit or none) come last, just
    // before the name: until then the partial file stays hidden.
    FILE_BASIC_INFORMATION basic{};
    basic.LastWriteTime = facts.info.LastWriteTime;
    if (how.allTimes) {
      basic.CreationTime = facts.info.CreationTime;
      basic.LastAccessTime = facts.info.LastAccessTime;
    }
    basic.FileAttributes = facts.info.FileAttributes & kCopiedAttributes;
    if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    failed = ErrorOf(SetBasic(partial.get(), basic));
  }
  if (!failed && how.writeThrough && !FlushFileBuffers(partial.get())) failed = GetLastError();
  if (!failed) failed = RenameInto(partial.get(), dir, name, how.replace, &to.family().classicRename);
  if (failed) Discard(partial, to.family());
  return failed;
}

// Reads `handle` from its start into a block; false on failure.
bool ReadBlock(HANDLE handle, std::vector<char>& block, DWORD& got) {
  return ReadFile(handle, block.data(), static_cast<DWORD>(block.size()), &got, nullptr) != 0;
}

// True when the two open files hold the same bytes (sizes first).
bool SameContent(HANDLE a, HANDLE b) {
  FILE_STANDARD_INFORMATION sa{}, sb{};
  IO_STATUS_BLOCK io{};
  if (!NT_SUCCESS(NtQueryInformationFile(a, &io, &sa, sizeof sa, FileStandardInformation)) ||
      !NT_SUCCESS(NtQueryInformationFile(b, &io, &sb, sizeof sb, FileStandardInformation)) ||
      sa.EndOfFile.QuadPart != sb.EndOfFile.QuadPart) {
    return false;
  }
  std::vector<char> left(kCopyBlock / 2), right(kCopyBlock / 2);
  for (;;) {
    DWORD gotLeft = 0, gotRight = 0;
    if (!ReadBlock(a, left, gotLeft) || !ReadBlock(b, right, gotRight) || gotLeft != gotRight) return false;
    if (gotLeft == 0) return true;
    if (!std::equal(left.begin(), left.begin() + gotLeft, right.begin())) return false;
  }
}

// A second handle of an open file for reading its data. A reparse point
// that is no link (a compressed system file, a deduplicated file, a cloud
// placeholder) is read with its reparse point processed: read through the
// reparse point itself, its data would be the stub's.
ScopedHandle ReaderOf(HANDLE entry, ULONG attributes, ULONG share) {
  const DWORD flags = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ? 0 : FILE_FLAG_OPEN_REPARSE_POINT;
  return ScopedHandle(ReOpenFile(entry, FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE, share,
                                 flags | FILE_FLAG_SEQUENTIAL_SCAN));
}

// True when every name of the open file lies inside `tree` (the file's
// other hard links included). Where the names cannot be listed (Wine, a
// file system without the query), a file with more than one name does not
// count as inside.
bool AllNamesInside(const Tree& tree, HANDLE file) {
  FILE_STANDARD_INFORMATION standard{};
  IO_STATUS_BLOCK io{};
  if (!NT_SUCCESS(NtQueryInformationFile(file, &io, &standard, sizeof standard, FileStandardInformation))) return false;
  if (standard.NumberOfLinks <= 1) return true;
  if (tree.RootName().empty()) return false;
  std::vector<ULONGLONG> buffer(2048);
  NTSTATUS status;
  while ((status = NtQueryInformationFile(file, &io, buffer.data(), static_cast<ULONG>(buffer.size() * 8),
                                          kFileHardLinkInformation)) == static_cast<NTSTATUS>(0x80000005) &&
         buffer.size() < (size_t{1} << 20)) {
    buffer.resize(buffer.size() * 4);
  }
  if (!NT_SUCCESS(status)) return false;
  const auto* links = reinterpret_cast<const FileLinksInformation*>(buffer.data());
  if (links->EntriesReturned < standard.NumberOfLinks) return false;
  const char* at = reinterpret_cast<const char*>(&links->Entry);
  for (ULONG i = 0; i < links->EntriesReturned; ++i) {
    const auto* link = reinterpret_cast<const FileLinkEntryInformation*>(at);
    // The directory that holds this name, opened by its file ID on the
    // tree's volume: its path on the volume is where the name lies.
    LONGLONG parentId = link->ParentFileId;
    ScopedHandle parent;
    const NTSTATUS opened = OpenAt(tree.Root(), std::wstring_view(reinterpret_cast<const wchar_t*>(&parentId), sizeof parentId / sizeof(wchar_t)),
                                   FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN, FILE_OPEN_BY_FILE_ID, parent);
    if (!NT_SUCCESS(opened)) return false;
    const std::wstring where = NameOnVolume(parent.get());
    if (where.empty() || !IsSameOrBelow(where, tree.RootName())) return false;
    if (link->NextEntryOffset == 0) break;
    at += link->NextEntryOffset;
  }
  return true;
}

// Where a step's names are: both ends resolved, each tree's lock held.
class TwoTrees {
 public:
  TwoTrees(Tree& from, Tree& to) : first_(from.lock(), std::defer_lock), second_(to.lock(), std::defer_lock) {
    if (&from == &to) {
      first_.lock();
    } else {
      std::lock(first_, second_);
    }
  }

 private:
  std::unique_lock<std::mutex> first_, second_;
};

// The target entry, when one exists; `look` filled.
uint32_t LookAtTarget(Tree& to, HANDLE dir, std::wstring_view relative, std::wstring_view name, bool& exists,
                      EntryLook& look, Identity& identity) {
  ScopedHandle existing;
  const NTSTATUS status = OpenAt(dir, name, FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN, FILE_OPEN_REPARSE_POINT, existing);
  exists = NT_SUCCESS(status);
  if (!exists) {
    return status == static_cast<NTSTATUS>(nt_status::kObjectNameNotFound) ? 0 : ErrorOf(status);
  }
  std::wstring full(relative);
  if (!full.empty()) full.push_back(L'\\');
  full.append(name);
  if (!LookAt(to, existing.get(), full, look) || !IdentityOf(existing.get(), identity)) return kErrorAccessDenied;
  return 0;
}

// Removes the source of a finished move by its handle; a read-only source
// goes too, as a rename would have taken it.
uint32_t RemoveMovedSource(HANDLE source, ULONG attributes, TreeFamily& family) {
  ClearReadOnly(source, attributes);
  return MarkDeleted(source, &family.classicDelete);
}

// True when the regular file `name` in `dir` holds what `reader` holds.
bool TargetEqualsSource(Tree& to, HANDLE dir, std::wstring_view relative, std::wstring_view name, HANDLE reader) {
  ScopedHandle target;
  if (!NT_SUCCESS(OpenAt(dir, name, FILE_READ_DATA | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                         FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT | FILE_SEQUENTIAL_ONLY, target))) {
    return false;
  }
  std::wstring full(relative);
  if (!full.empty()) full.push_back(L'\\');
  full.append(name);
  EntryLook look;
  if (!LookAt(to, target.get(), full, look) || look.link || look.directory()) return false;
  ScopedHandle data = ReaderOf(target.get(), look.attributes, FILE_SHARE_READ | FILE_SHARE_WRITE);
  return data.valid() && SameContent(reader, data.get());
}

}  // namespace

uint32_t CopyEntry(Tree& from, std::string_view fromName, Tree& to, std::string_view toName, bool followLink) {
  TwoTrees hold(from, to);
  const Resolver::Place source = from.resolver().Locate(fromName);
  if (source.error) return source.error;
  if (source.name.empty()) return kErrorAccessDenied;
  const std::wstring sourceRelative = source.Relative();
  // Pinned: read access, and no delete sharing, so that nobody can delete,
  // rename or replace it while it is read.
  constexpr ULONG kPinned = FILE_SHARE_READ | FILE_SHARE_WRITE;
  ScopedHandle entry;
  const NTSTATUS opened = OpenAt(source.dir, source.name, FILE_READ_DATA | FILE_READ_ATTRIBUTES, kPinned, FILE_OPEN,
                                 FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY | (followLink ? 0 : FILE_OPEN_REPARSE_POINT),
                                 entry);
  if (!NT_SUCCESS(opened)) {
    return opened == static_cast<NTSTATUS>(nt_status::kFileIsADirectory) ? kErrorAccessDenied : ErrorOf(opened);
  }
  EntryLook look;
  if (!LookAt(from, entry.get(), sourceRelative, look)) return kErrorAccessDenied;
  if (look.directory() || (look.link && !followLink)) return kErrorAccessDenied;
  if (!followLink && !AllNamesInside(from, entry.get())) return kErrorAccessDenied;
  SourceFacts facts;
  if (!ReadFacts(entry.get(), facts)) return kErrorAccessDenied;
  ScopedHandle reparsed;
  HANDLE reader = entry.get();
  if (!followLink && (look.attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    reparsed = ReaderOf(entry.get(), look.attributes, kPinned);
    if (!reparsed.valid()) return GetLastError();
    reader = reparsed.get();
  }

  const Resolver::Place target = to.resolver().Locate(toName);
  if (target.error) return target.error;
  if (target.name.empty()) return kErrorAccessDenied;
  bool exists = false;
  EntryLook existing;
  Identity existingIdentity;
  if (const uint32_t failed = LookAtTarget(to, target.dir, target.parent, target.name, exists, existing, existingIdentity)) {
    return failed;
  }
  if (exists) {
    // As CopyFile refuses them: a directory, a read-only file, a hidden or
    // system file replaced by one that is not, and the source itself.
    if ((existing.directory() && !existing.link) || (existing.attributes & FILE_ATTRIBUTE_READONLY)) {
      return kErrorAccessDenied;
    }
    const ULONG guarded = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    if ((existing.attributes & guarded) & ~(facts.info.FileAttributes & guarded)) return kErrorAccessDenied;
    if (existingIdentity == facts.identity) return kErrorSharingViolation;
  }
  Placing how;
  how.replace = exists;
  return PlaceCopy(reader, facts, to, target.dir, target.parent, target.name, how);
}

uint32_t MoveEntry(Tree& from, std::string_view fromName, Tree& to, std::string_view toName, bool finishEqual) {
  TwoTrees hold(from, to);
  const Resolver::Place source = from.resolver().Locate(fromName);
  if (source.error) return source.error;
  if (source.name.empty()) return kErrorAccessDenied;
  const std::wstring sourceRelative = source.Relative();
  Seam("move-source", from, source.parent);
  ScopedHandle entry;
  const NTSTATUS opened = OpenAt(source.dir, source.name, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, FILE_OPEN_REPARSE_POINT, entry);
  if (!NT_SUCCESS(opened)) return ErrorOf(opened);
  EntryLook look;
  if (!LookAt(from, entry.get(), sourceRelative, look)) return kErrorAccessDenied;
  // Wine renames what a link leads to, never the link: such an entry stays.
  if (look.link && UnderWine()) return kErrorPathNotFound;

  const Resolver::Place target = to.resolver().Locate(toName);
  if (target.error) return target.error;
  if (target.name.empty()) return kErrorAccessDenied;
  Seam("move", to, target.parent);
  if (!StillInPlace(to, target.dir, target.parent)) return kErrorPathNotFound;
  uint32_t failed = RenameInto(entry.get(), target.dir, target.name, false, &to.family().classicRename);
  const bool plainFile = !look.link && !look.directory();
  if (failed == 0 || !plainFile || (failed != kErrorAlreadyExists && failed != ERROR_NOT_SAME_DEVICE)) return failed;

  ScopedHandle reader = ReaderOf(entry.get(), look.attributes, kShareAll);
  if (!reader.valid()) return failed;
  if (failed == ERROR_NOT_SAME_DEVICE) {
    if (!AllNamesInside(from, entry.get())) return kErrorAccessDenied;
    SourceFacts facts;
    if (!ReadFacts(entry.get(), facts)) return kErrorAccessDenied;
    bool exists = false;
    EntryLook existing;
    Identity existingIdentity;
    failed = LookAtTarget(to, target.dir, target.parent, target.name, exists, existing, existingIdentity);
    if (failed == 0 && exists) failed = kErrorAlreadyExists;
    if (failed == 0) {
      Placing how;
      how.writeThrough = true;
      how.allTimes = true;
      failed = PlaceCopy(reader.get(), facts, to, target.dir, target.parent, target.name, how);
    }
    if (failed == 0) return RemoveMovedSource(entry.get(), look.attributes, from.family());
    if (failed != kErrorAlreadyExists || !finishEqual) return failed;
    SetFilePointer(reader.get(), 0, nullptr, FILE_BEGIN);
  } else if (!finishEqual) {
    return failed;
  }
  // The name is taken: by what an earlier run copied there, the move is done.
  if (!TargetEqualsSource(to, target.dir, target.parent, target.name, reader.get())) return kErrorAlreadyExists;
  return RemoveMovedSource(entry.get(), look.attributes, from.family());
}

void RemoveAbandoned(Tree& tree, std::string_view directory) {
  std::lock_guard<std::mutex> hold(tree.lock());
  const Resolver::Place place = tree.resolver().Locate(directory);
  if (place.error) return;
  const std::wstring relative = place.Relative();
  ScopedHandle dir;
  EntryLook look;
  if (!NT_SUCCESS(OpenAt(place.name.empty() ? tree.Root() : place.dir, place.name, FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES,
                         kShareAll, FILE_OPEN, FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, dir)) ||
      !LookAt(tree, dir.get(), relative, look) || look.link || !look.directory()) {
    return;
  }
  std::vector<ULONGLONG> buffer(8192);
  std::vector<std::wstring> candidates;
  for (bool first = true;; first = false) {
    IO_STATUS_BLOCK io{};
    if (!NT_SUCCESS(NtQueryDirectoryFile(dir.get(), nullptr, nullptr, nullptr, &io, buffer.data(),
                                         static_cast<ULONG>(buffer.size() * 8), FileFullDirectoryInformation, FALSE,
                                         nullptr, first))) {
      break;
    }
    const char* at = reinterpret_cast<const char*>(buffer.data());
    for (;;) {
      const auto* found = reinterpret_cast<const FILE_FULL_DIR_INFORMATION*>(at);
      const std::wstring_view name(found->FileName, found->FileNameLength / sizeof(wchar_t));
      if (IsPartialFileName(std::u16string_view(reinterpret_cast<const char16_t*>(name.data()), name.size())) &&
          !(found->FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
        candidates.emplace_back(name);
      }
      if (found->NextEntryOffset == 0) break;
      at += found->NextEntryOffset;
    }
  }
  for (const std::wstring& name : candidates) {
    Seam("clean-up", tree, relative);
    // Asked for without any sharing: a live writer, who holds its partial
    // file without delete sharing, makes this fail, and the file stays.
    ScopedHandle partial;
    if (!NT_SUCCESS(OpenAt(dir.get(), name, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, 0, FILE_OPEN,
                           FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, partial))) {
      continue;
    }
    std::wstring full(relative);
    if (!full.empty()) full.push_back(L'\\');
    full.append(name);
    EntryLook entry;
    if (!LookAt(tree, partial.get(), full, entry) || entry.link || entry.directory() ||
        (entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      continue;
    }
    ClearReadOnly(partial.get(), entry.attributes);
    MarkDeleted(partial.get(), &tree.family().classicDelete);
  }
}

}  // namespace platform::win32
