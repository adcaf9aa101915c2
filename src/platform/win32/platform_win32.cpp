// The platform services on Windows. The program's text is UTF-8 (with
// unpaired surrogates kept, see windows_rules.h); every service converts at
// this seam and calls the wide (W) functions, so any name NTFS can hold
// round-trips exactly and no name is ever converted with "best fit". Paths
// are made absolute and given their extended-length form where they are
// long. Tree services check every entry they act on: it is opened without
// following a reparse point, its final path must be the one the tree's
// root and the name spell, and the action is taken on that handle (or on
// the checked final path while its directory is held open, which on NTFS
// keeps the whole chain from being renamed).
#include <windows.h>
// The service names below are also names of A/W macros.
#undef CreateDirectory
#undef RemoveDirectory
#undef DeleteFile
#undef MoveFile
#undef CopyFile

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>

#include "platform/platform.h"
#include "platform/windows_rules.h"

namespace platform {

namespace {

// Paths below this length in UTF-16 units keep their plain form (the
// limit of CreateDirectory, the strictest of the plain functions).
constexpr size_t kPlainPathLimit = MAX_PATH - 12;

std::wstring Wide(std::string_view text) {
  const std::u16string wide = WideFromNarrow(text);
  return std::wstring(wide.begin(), wide.end());
}

std::string Narrow(const wchar_t* text, size_t length) {
  return NarrowFromWide(std::u16string_view(reinterpret_cast<const char16_t*>(text), length));
}

std::string Narrow(const std::wstring& text) { return Narrow(text.data(), text.size()); }

char16_t UpperUnit(char16_t unit) {
  wchar_t ch = static_cast<wchar_t>(unit);
  CharUpperBuffW(&ch, 1);
  return static_cast<char16_t>(ch);
}

// Upper-cases UTF-8 text by Windows' rules where the length stays.
void UpperByWindows(std::string& text, const LeadBytes&) { UpperSameLength(text, &UpperUnit); }

std::wstring FullPathOf(const std::wstring& path) {
  DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (size == 0) return path;
  std::wstring full(size, L'\0');
  const DWORD length = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
  if (length == 0 || length >= size) return path;
  full.resize(length);
  return full;
}

std::wstring Extended(const std::wstring& full) {
  const std::u16string extended = ExtendedLengthPath(std::u16string(full.begin(), full.end()));
  return std::wstring(extended.begin(), extended.end());
}

// The path the file functions are given: absolute, normalised the way the
// Win32 layer normalises ("." and "..", "/", trailing dots and blanks), and
// in its extended-length form when it is long. A path already in the
// "\\?\" form is the caller's literal request and is left alone.
std::wstring SystemPath(const std::string& path) {
  std::wstring wide = Wide(path);
  if (wide.empty() || wide.rfind(L"\\\\?\\", 0) == 0) return wide;
  std::wstring full = FullPathOf(wide);
  if (full.size() >= kPlainPathLimit && full.rfind(L"\\\\.\\", 0) != 0) return Extended(full);
  return full;
}

int64_t FileTimeValue(const FILETIME& t) {
  return static_cast<int64_t>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
}

// The attribute word the program sees: a reparse point that is no link
// (a cloud placeholder, a deduplicated file) is an ordinary entry.
uint32_t ProgramAttributes(DWORD attributes, DWORD tag) {
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
      !IsLinkReparseTag(tag)) {
    attributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_REPARSE_POINT);
  }
  return attributes;
}

void Fill(FoundEntry& entry, const WIN32_FIND_DATAW& data) {
  entry.attributes = ProgramAttributes(data.dwFileAttributes, data.dwReserved0);
  entry.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  entry.lastWriteTime = FileTimeValue(data.ftLastWriteTime);
  entry.name = Narrow(data.cFileName, wcslen(data.cFileName));
}

uint32_t ResultOf(BOOL ok) { return ok ? 0 : GetLastError(); }

// Owns a handle.
class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  ~ScopedHandle() { reset(); }
  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  void reset(HANDLE handle = INVALID_HANDLE_VALUE) {
    if (valid()) CloseHandle(handle_);
    handle_ = handle;
  }
  HANDLE release() {
    HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return handle;
  }

 private:
  HANDLE handle_;
};

// Where an open entry is: its volume, and its path on that volume as the
// file system names it with every link resolved: normalised where Windows
// can say (long names, letter case as stored), and as opened otherwise
// (Wine says nothing past 260 characters). Paths of any length.
struct Identity {
  uint64_t volume = 0;
  std::wstring normalized;  // empty when it could not be had
  std::wstring opened;
};

bool IdentityOf(HANDLE handle, Identity& identity) {
  FILE_ID_INFO id{};
  if (GetFileInformationByHandleEx(handle, FileIdInfo, &id, sizeof id)) {
    identity.volume = id.VolumeSerialNumber;
  } else {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info)) return false;
    identity.volume = info.dwVolumeSerialNumber;
  }
  std::wstring path(MAX_PATH, L'\0');
  DWORD length = GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()),
                                           VOLUME_NAME_NONE | FILE_NAME_NORMALIZED);
  if (length >= path.size()) {
    path.resize(length + 1);
    length = GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()),
                                       VOLUME_NAME_NONE | FILE_NAME_NORMALIZED);
  }
  identity.normalized = length > 0 && length < path.size() ? path.substr(0, length) : std::wstring();
  std::vector<char> buffer(sizeof(FILE_NAME_INFO) + MAX_PATH * sizeof(wchar_t));
  for (;;) {
    auto* name = reinterpret_cast<FILE_NAME_INFO*>(buffer.data());
    if (GetFileInformationByHandleEx(handle, FileNameInfo, name, static_cast<DWORD>(buffer.size()))) {
      identity.opened.assign(name->FileName, name->FileNameLength / sizeof(wchar_t));
      return true;
    }
    if (GetLastError() != ERROR_MORE_DATA || buffer.size() > 70000) return false;
    buffer.resize(sizeof(FILE_NAME_INFO) + 32768 * sizeof(wchar_t));
  }
}

bool SameText(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
         CSTR_EQUAL;
}

uint32_t AttributesOfPath(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return attributes;
  // The tag tells a link from other reparse points; it is read from the
  // entry itself, never from what it leads to.
  DWORD tag = 0;
  ScopedHandle entry(CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  FILE_ATTRIBUTE_TAG_INFO info{};
  if (entry.valid() && GetFileInformationByHandleEx(entry.get(), FileAttributeTagInfo, &info, sizeof info) &&
      (info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    tag = info.ReparseTag;
  }
  return ProgramAttributes(attributes, tag);
}

uint32_t DeleteByHandle(HANDLE handle) {
  FILE_DISPOSITION_INFO disposition{TRUE};
  return ResultOf(SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition));
}

// The names of the partial copies of `name`: "~fileop-partial-", a hash of
// the name, and the number of the process that writes it, so that two runs
// copying the same file at once never share one.
std::wstring PartialCopyPrefix(const std::wstring& name) {
  uint64_t hash = 1469598103934665603ull;
  for (wchar_t ch : name) hash = (hash ^ static_cast<uint64_t>(ch)) * 1099511628211ull;
  wchar_t text[64];
  swprintf(text, 64, L"~fileop-partial-%016llx-", static_cast<unsigned long long>(hash));
  return text;
}

std::wstring PartialCopyName(const std::wstring& name) {
  return PartialCopyPrefix(name) + std::to_wstring(GetCurrentProcessId()) + L".tmp";
}

bool ProcessIsRunning(DWORD id) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, id);
  if (!process) return GetLastError() == ERROR_ACCESS_DENIED;
  const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  CloseHandle(process);
  return running;
}

// Removes the partial copies of `name` in `directory` that runs which
// ended before finishing them left behind.
void RemoveLeftoverPartialCopies(const std::wstring& directory, const std::wstring& name) {
  const std::wstring prefix = PartialCopyPrefix(name);
  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileExW((directory + prefix + L"*.tmp").c_str(), FindExInfoBasic, &data,
                                   FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring found = data.cFileName;
    const DWORD writer = static_cast<DWORD>(wcstoul(found.c_str() + prefix.size(), nullptr, 10));
    if (found.rfind(prefix, 0) != 0 || ProcessIsRunning(writer)) continue;
    SetFileAttributesW((directory + found).c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW((directory + found).c_str());
  } while (FindNextFileW(search, &data));
  ::FindClose(search);
}

// Makes the partial copy hidden the moment it exists: a copy killed half
// way leaves a hidden file that names itself.
DWORD CALLBACK HideNewCopy(LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, DWORD, DWORD reason,
                           HANDLE, HANDLE destination, LPVOID hidden) {
  auto* done = static_cast<bool*>(hidden);
  if (reason == CALLBACK_STREAM_SWITCH && !*done) {
    FILE_BASIC_INFO basic{};
    if (GetFileInformationByHandleEx(destination, FileBasicInfo, &basic, sizeof basic)) {
      basic.FileAttributes |= FILE_ATTRIBUTE_HIDDEN;
      SetFileInformationByHandle(destination, FileBasicInfo, &basic, sizeof basic);
    }
    *done = true;
  }
  return PROGRESS_CONTINUE;
}

// Copies `source` to `directory`\`name`: completely under a hidden partial
// name beside it first, then into place in one step, so that the name
// never holds a partial file and an existing file is fully replaced or left
// as it was. As CopyFile does, an existing read-only target is not replaced,
// nor a hidden or system one by a source that is not, nor the source itself.
// `placedRight`, when given, is asked whether the finished partial copy (open
// as its argument) lies where it should; if not, it is removed again.
uint32_t CopyIntoPlace(const std::wstring& source, const std::wstring& directory, const std::wstring& name,
                       const std::function<bool(HANDLE partial, const std::wstring& partialName)>& placedRight = {}) {
  const std::wstring separator = !directory.empty() && directory.back() == L'\\' ? L"" : L"\\";
  const std::wstring target = directory + separator + name;
  const std::wstring partial = directory + separator + PartialCopyName(name);
  const DWORD sourceAttributes = GetFileAttributesW(source.c_str());
  if (sourceAttributes == INVALID_FILE_ATTRIBUTES) return GetLastError();
  if (sourceAttributes & FILE_ATTRIBUTE_DIRECTORY) return ERROR_ACCESS_DENIED;
  const DWORD existing = GetFileAttributesW(target.c_str());
  if (existing != INVALID_FILE_ATTRIBUTES) {
    if (existing & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) return ERROR_ACCESS_DENIED;
    const DWORD guarded = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    if ((existing & guarded) & ~(sourceAttributes & guarded)) return ERROR_ACCESS_DENIED;
    BY_HANDLE_FILE_INFORMATION a{}, b{};
    ScopedHandle from(CreateFileW(source.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ScopedHandle to(CreateFileW(target.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (from.valid() && to.valid() && GetFileInformationByHandle(from.get(), &a) &&
        GetFileInformationByHandle(to.get(), &b) && a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
        a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow) {
      return ERROR_SHARING_VIOLATION;  // the source itself
    }
  }
  // Partial copies that earlier runs left go first.
  RemoveLeftoverPartialCopies(directory + separator, name);
  bool hidden = false;
  if (!CopyFileExW(source.c_str(), partial.c_str(), &HideNewCopy, &hidden, nullptr, COPY_FILE_FAIL_IF_EXISTS)) {
    const DWORD error = GetLastError();
    SetFileAttributesW(partial.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(partial.c_str());
    return error;
  }
  if (placedRight) {
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    ScopedHandle written(CreateFileW(partial.c_str(), DELETE, share, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!written.valid() || !placedRight(written.get(), PartialCopyName(name))) {
      if (written.valid()) {
        FILE_BASIC_INFO basic{};
        basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        SetFileInformationByHandle(written.get(), FileBasicInfo, &basic, sizeof basic);
        DeleteByHandle(written.get());
      }
      return kErrorPathNotFound;
    }
  }
  // The copy takes the source's attributes, its read-only bit included,
  // and its name in one step.
  SetFileAttributesW(partial.c_str(), sourceAttributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_REPARSE_POINT));
  const DWORD flags = existing != INVALID_FILE_ATTRIBUTES ? MOVEFILE_REPLACE_EXISTING : 0;
  if (!MoveFileExW(partial.c_str(), target.c_str(), flags)) {
    const DWORD error = GetLastError();
    SetFileAttributesW(partial.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(partial.c_str());
    return error;
  }
  return 0;
}

// --- Trees -------------------------------------------------------------------

struct Tree {
  std::wstring root;   // the root as opened, extended form
  Identity identity;   // where the root is
  ScopedHandle handle; // held without delete sharing: the root stays put
};

Tree& TreeOf(TreeHandle handle) { return *static_cast<Tree*>(handle); }

std::wstring Joined(const std::wstring& directory, const std::wstring& name) {
  if (name.empty()) return directory;
  if (!directory.empty() && directory.back() == L'\\') return directory + name;
  return directory + L"\\" + name;
}

std::wstring EntryPath(const Tree& tree, const std::string& name) { return Joined(tree.root, Wide(name)); }

// True when the open entry is the one `name` spells below the root: on the
// root's volume, at the root's path followed by the name.
bool IsWhereNamed(const Tree& tree, const std::string& name, HANDLE entry) {
  Identity identity;
  if (!IdentityOf(entry, identity) || identity.volume != tree.identity.volume) return false;
  const std::wstring wideName = Wide(name);
  if (!identity.normalized.empty() && !tree.identity.normalized.empty()) {
    return SameText(identity.normalized, Joined(tree.identity.normalized, wideName));
  }
  return SameText(identity.opened, Joined(tree.identity.opened, wideName));
}

// Opens `name` below `tree` itself (never what a link leads to) with
// `access`, and checks that it is the entry the name spells below the
// root: a directory on the way swapped for a junction, or a link that was
// followed anyway, shows in its final path. `share` decides what others may
// do to it meanwhile. An invalid handle with `error` set on failure.
HANDLE OpenChecked(const Tree& tree, const std::string& name, DWORD access, DWORD share, uint32_t& error) {
  ScopedHandle entry(CreateFileW(EntryPath(tree, name).c_str(), access, share, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!entry.valid()) {
    error = GetLastError();
    return INVALID_HANDLE_VALUE;
  }
  if (!IsWhereNamed(tree, name, entry.get())) {
    error = kErrorPathNotFound;
    return INVALID_HANDLE_VALUE;
  }
  return entry.release();
}

// The directory that holds `name` below `tree`, checked and held open so
// that it cannot be renamed or replaced while it is worked in, and the
// last part of the name.
struct HeldDirectory {
  ScopedHandle handle;
  std::wstring path;  // its final path
  std::wstring last;
  uint32_t error = 0;
};

void HoldParent(const Tree& tree, const std::string& name, HeldDirectory& held) {
  const size_t cut = name.find_last_of('\\');
  const std::string parent = cut == std::string::npos ? std::string() : name.substr(0, cut);
  held.last = Wide(cut == std::string::npos ? name : name.substr(cut + 1));
  if (parent.empty()) {
    held.path = tree.root;
    return;
  }
  held.handle.reset(OpenChecked(tree, parent, FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, held.error));
  if (held.handle.valid()) held.path = Joined(tree.root, Wide(parent));
}

// The directories of both ends of a step from `from` below `source` to
// `to` below `target`, held; 0 or the code of the first that failed.
uint32_t HoldEnds(const Tree& source, const std::string& from, const Tree& target, const std::string& to,
                  HeldDirectory& sourceParent, HeldDirectory& targetParent) {
  if (from.empty() || to.empty()) return kErrorAccessDenied;
  HoldParent(source, from, sourceParent);
  if (sourceParent.error) return sourceParent.error;
  HoldParent(target, to, targetParent);
  return targetParent.error;
}

bool IsLinkHandle(HANDLE handle, bool& directory) {
  FILE_ATTRIBUTE_TAG_INFO info{};
  if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &info, sizeof info)) return false;
  directory = (info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  return (info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsLinkReparseTag(info.ReparseTag);
}


}  // namespace

const Conventions& NativeConventions() {
  static const Conventions conventions = [] {
    Conventions c = WindowsConventions();
    c.upperInPlace = &UpperByWindows;
    return c;
  }();
  return conventions;
}

void RecordArguments(int, char**) {}

std::optional<std::string> RawCommandLine() {
  const wchar_t* line = GetCommandLineW();
  return Narrow(line, wcslen(line));
}

const std::vector<std::string>& RecordedArguments() {
  static const std::vector<std::string> none;
  return none;
}

std::string ProgramFilePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length < path.size()) return Narrow(path.data(), length);
    path.resize(path.size() * 2);
  }
}

std::string EnvironmentValue(const std::string& name) {
  const std::wstring wideName = Wide(name);
  DWORD size = GetEnvironmentVariableW(wideName.c_str(), nullptr, 0);
  if (size == 0) return {};
  std::wstring value(size, L'\0');
  const DWORD length = GetEnvironmentVariableW(wideName.c_str(), value.data(), size);
  return Narrow(value.data(), length < size ? length : size - 1);
}

std::string LoadText(unsigned id) {
  const wchar_t* text = nullptr;
  const int length = LoadStringW(GetModuleHandleW(nullptr), id, reinterpret_cast<wchar_t*>(&text), 0);
  return length > 0 && text ? Narrow(text, static_cast<size_t>(length)) : std::string();
}

void ShowFailureReport(const std::string& text, const std::string& title) {
  USEROBJECTFLAGS flags{};
  const bool visible = !GetUserObjectInformationW(GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof flags, nullptr) ||
                       (flags.dwFlags & WSF_VISIBLE);
  const HANDLE standardError = GetStdHandle(STD_ERROR_HANDLE);
  const bool attached = standardError != nullptr && standardError != INVALID_HANDLE_VALUE &&
                        GetFileType(standardError) != FILE_TYPE_UNKNOWN;
  const ReportRoute route = RouteReport(visible, attached);
  const std::wstring wideText = Wide(text);
  if (route.box) MessageBoxW(nullptr, wideText.c_str(), Wide(title).c_str(), MB_OK | MB_ICONERROR | MB_TASKMODAL);
  if (route.debugger) OutputDebugStringW(wideText.c_str());
  if (route.standardError) {
    DWORD written = 0;
    WriteFile(standardError, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  }
}

bool ImageOfAddress(uintptr_t address, std::string& imageFile, uintptr_t& imageBase) {
  MEMORY_BASIC_INFORMATION info{};
  if (address == 0 || VirtualQuery(reinterpret_cast<void*>(address), &info, sizeof info) == 0 ||
      info.State != MEM_COMMIT) {
    return false;
  }
  wchar_t path[MAX_PATH + 1] = {};
  const DWORD length = GetModuleFileNameW(static_cast<HMODULE>(info.AllocationBase), path, MAX_PATH);
  if (length == 0) return false;
  imageFile = Narrow(path, length);
  imageBase = reinterpret_cast<uintptr_t>(info.AllocationBase);
  return true;
}

void ExitProcess(int code) {
  std::fflush(nullptr);
  std::exit(code);
}

// --- Whole paths ---------------------------------------------------------------

uint32_t FileAttributes(const std::string& path) {
  if (path.empty()) return kNoAttributes;
  return AttributesOfPath(SystemPath(path));
}

namespace {

// A search of the system path `mask`: its first entry in `entry`, or
// kNoSearch with the code in `error` (never 0).
SearchHandle StartSearch(const std::wstring& mask, FoundEntry& entry, uint32_t& error) {
  WIN32_FIND_DATAW data;
  HANDLE handle = FindFirstFileExW(mask.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr,
                                   FIND_FIRST_EX_LARGE_FETCH);
  if (handle == INVALID_HANDLE_VALUE) {
    error = GetLastError();
    if (error == 0) error = kErrorFileNotFound;
    return kNoSearch;
  }
  Fill(entry, data);
  return handle;
}

}  // namespace

SearchHandle FindFirst(const std::string& mask, FoundEntry& entry, uint32_t& error, bool) {
  return StartSearch(SystemPath(mask), entry, error);
}

bool FindNext(SearchHandle search, FoundEntry& entry, uint32_t& error) {
  WIN32_FIND_DATAW data;
  if (!search || !FindNextFileW(static_cast<HANDLE>(search), &data)) {
    error = search ? static_cast<uint32_t>(GetLastError()) : uint32_t{kErrorInvalidParameter};
    if (error == 0) error = kErrorNoMoreFiles;
    return false;
  }
  Fill(entry, data);
  return true;
}

void FindClose(SearchHandle search) { ::FindClose(static_cast<HANDLE>(search)); }

bool LocalDosDateTime(int64_t fileTime, uint32_t& dosDateTime) {
  FILETIME utc{static_cast<DWORD>(fileTime & 0xFFFFFFFF), static_cast<DWORD>(static_cast<uint64_t>(fileTime) >> 32)};
  FILETIME local;
  WORD date = 0, time = 0;
  if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToDosDateTime(&local, &date, &time)) return false;
  dosDateTime = (static_cast<uint32_t>(date) << 16) | time;
  return true;
}

uint32_t CreateDirectory(const std::string& path) { return ResultOf(CreateDirectoryW(SystemPath(path).c_str(), nullptr)); }

uint32_t RemoveDirectory(const std::string& path) { return ResultOf(RemoveDirectoryW(SystemPath(path).c_str())); }

uint32_t DeleteFile(const std::string& path) { return ResultOf(DeleteFileW(SystemPath(path).c_str())); }

uint32_t MoveFile(const std::string& from, const std::string& to) {
  return ResultOf(MoveFileW(SystemPath(from).c_str(), SystemPath(to).c_str()));
}

uint32_t CopyFile(const std::string& from, const std::string& to) {
  if (from.empty() || to.empty()) return kErrorPathNotFound;
  const std::wstring target = SystemPath(to);
  const size_t cut = target.find_last_of(L'\\');
  if (cut == std::wstring::npos || cut + 1 == target.size()) return ERROR_INVALID_NAME;
  return CopyIntoPlace(SystemPath(from), target.substr(0, cut + 1), target.substr(cut + 1));
}

uint32_t CopyLink(const std::string&, const std::string&) {
  return 50;  // not supported: links are left out of copies here
}

// --- Trees -----------------------------------------------------------------------

TreeHandle OpenTree(const std::string& root, bool followLink, uint32_t& error) {
  if (root.empty()) {
    error = kErrorPathNotFound;
    return kNoTree;
  }
  std::wstring path = SystemPath(root);
  if (path.rfind(L"\\\\.\\", 0) != 0) path = Extended(path);
  // Asked without its trailing separator, a link describes itself.
  std::wstring plain = path;
  while (plain.size() > 1 && plain.back() == L'\\' && plain[plain.size() - 2] != L':') plain.pop_back();
  const uint32_t attributes = AttributesOfPath(plain);
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
      (!followLink && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))) {
    error = kErrorPathNotFound;
    return kNoTree;
  }
  auto tree = std::make_unique<Tree>();
  tree->root = plain;
  tree->handle.reset(CreateFileW(plain.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!tree->handle.valid()) {
    error = GetLastError();
    return kNoTree;
  }
  if (!IdentityOf(tree->handle.get(), tree->identity)) {
    error = GetLastError();
    return kNoTree;
  }
  return tree.release();
}

void CloseTree(TreeHandle tree) { delete static_cast<Tree*>(tree); }

TreeHandle ShareTree(TreeHandle handle, uint32_t& error) {
  if (handle == kNoTree) return kNoTree;
  const Tree& tree = TreeOf(handle);
  auto shared = std::make_unique<Tree>();
  shared->root = tree.root;
  shared->identity = tree.identity;
  HANDLE duplicate = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), tree.handle.get(), GetCurrentProcess(), &duplicate, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    error = GetLastError();
    return kNoTree;
  }
  shared->handle.reset(duplicate);
  return shared.release();
}

unsigned UsableProcessors() {
  DWORD_PTR process = 0, system = 0;
  if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system) || process == 0) return 1;
  unsigned count = 0;
  for (; process; process &= process - 1) ++count;
  return count;
}

uint32_t FileAttributes(TreeHandle tree, const std::string& name) {
  return AttributesOfPath(EntryPath(TreeOf(tree), name));
}

SearchHandle FindFirst(TreeHandle handle, const std::string& directory, const std::string& pattern,
                       FoundEntry& entry, uint32_t& error, bool) {
  return StartSearch(Joined(EntryPath(TreeOf(handle), directory), Wide(pattern)), entry, error);
}

uint32_t CreateDirectory(TreeHandle handle, const std::string& name) {
  const Tree& tree = TreeOf(handle);
  if (name.empty()) return kErrorAlreadyExists;
  HeldDirectory parent;
  HoldParent(tree, name, parent);
  if (parent.error) return parent.error;
  if (!CreateDirectoryW(Joined(parent.path, parent.last).c_str(), nullptr)) return GetLastError();
  // Made by its path: if that led anywhere but below the root, it goes again.
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
  const std::wstring path = Joined(parent.path, parent.last);
  ScopedHandle made(CreateFileW(path.c_str(), 0, share, nullptr, OPEN_EXISTING, flags, nullptr));
  if (made.valid() && !IsWhereNamed(tree, name, made.get())) {
    ScopedHandle misplaced(ReOpenFile(made.get(), DELETE, share, flags));
    if (misplaced.valid()) DeleteByHandle(misplaced.get());
    return kErrorPathNotFound;
  }
  return 0;
}

uint32_t RemoveDirectory(TreeHandle handle, const std::string& name) {
  const Tree& tree = TreeOf(handle);
  if (name.empty()) return kErrorAccessDenied;  // a root is removed from its parent
  uint32_t error = 0;
  ScopedHandle entry(OpenChecked(tree, name, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, error));
  if (!entry.valid()) return error;
  bool directory = false;
  const bool link = IsLinkHandle(entry.get(), directory);
  if (!directory) return ERROR_DIRECTORY;
  if (const uint32_t failed = DeleteByHandle(entry.get())) return failed;
  entry.reset();
  // Some file systems refuse a directory that is not empty only when the
  // last handle closes: what is still there was not removed.
  if (!link && GetFileAttributesW(EntryPath(tree, name).c_str()) != INVALID_FILE_ATTRIBUTES) return ERROR_DIR_NOT_EMPTY;
  return 0;
}

// The entry is opened and checked here whatever word the caller saw.
uint32_t DeleteFile(TreeHandle handle, const std::string& name, uint32_t) {
  const Tree& tree = TreeOf(handle);
  if (name.empty()) return kErrorAccessDenied;
  uint32_t error = 0;
  ScopedHandle entry(OpenChecked(tree, name, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, error));
  if (!entry.valid()) return error;
  bool directory = false;
  IsLinkHandle(entry.get(), directory);
  if (directory) return ERROR_ACCESS_DENIED;
  return DeleteByHandle(entry.get());  // a read-only file refuses, as DeleteFile does
}

uint32_t MoveFile(TreeHandle fromTree, const std::string& from, TreeHandle toTree, const std::string& to) {
  const Tree& source = TreeOf(fromTree);
  HeldDirectory sourceParent, targetParent;
  if (const uint32_t failed = HoldEnds(source, from, TreeOf(toTree), to, sourceParent, targetParent)) return failed;
  uint32_t error = 0;
  ScopedHandle entry(OpenChecked(source, from, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE, error));
  if (!entry.valid()) return error;
  const std::wstring destination = Joined(targetParent.path, targetParent.last);
  std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + destination.size() * sizeof(wchar_t));
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->ReplaceIfExists = FALSE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>(destination.size() * sizeof(wchar_t));
  memcpy(rename->FileName, destination.data(), rename->FileNameLength);
  if (SetFileInformationByHandle(entry.get(), FileRenameInfo, rename, static_cast<DWORD>(buffer.size()))) return 0;
  error = GetLastError();
  if (error != ERROR_NOT_SAME_DEVICE) return error;
  // Another volume: copied completely and only then removed, from the
  // checked path while its directory is held.
  entry.reset();
  return ResultOf(MoveFileExW(Joined(sourceParent.path, sourceParent.last).c_str(), destination.c_str(),
                              MOVEFILE_COPY_ALLOWED));
}

uint32_t CopyFile(TreeHandle fromTree, const std::string& from, TreeHandle toTree, const std::string& to, uint32_t) {
  const Tree& source = TreeOf(fromTree);
  const Tree& target = TreeOf(toTree);
  HeldDirectory sourceParent, targetParent;
  if (const uint32_t failed = HoldEnds(source, from, target, to, sourceParent, targetParent)) return failed;
  uint32_t error = 0;
  ScopedHandle entry(OpenChecked(source, from, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, error));
  if (!entry.valid()) return error;
  bool directory = false;
  if (IsLinkHandle(entry.get(), directory) || directory) return ERROR_ACCESS_DENIED;
  // The partial copy is made by its path, in the held directory; it must be
  // found there before it takes its name.
  const size_t cut = to.find_last_of('\\');
  const std::string targetDirectory = cut == std::string::npos ? std::string() : to.substr(0, cut + 1);
  return CopyIntoPlace(Joined(sourceParent.path, sourceParent.last), targetParent.path, targetParent.last,
                       [&](HANDLE partial, const std::wstring& partialName) {
                         return IsWhereNamed(target, targetDirectory + Narrow(partialName), partial);
                       });
}

uint32_t CopyLink(TreeHandle, const std::string&, TreeHandle, const std::string&) {
  return 50;  // not supported: links are left out of copies here
}

std::string AbsolutePath(const std::string& path) {
  if (path.empty()) return path;
  return Narrow(FullPathOf(Wide(path)));
}

bool IsUsableEntryName(const std::string& name) { return IsPlainWin32Name(name); }

bool IsNamespaceRoot(const std::string&) { return false; }

}  // namespace platform
