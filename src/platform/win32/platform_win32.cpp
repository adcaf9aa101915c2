// The platform services on Windows: thin steps over the ANSI (A) functions
// of kernel32 and user32.
#include <windows.h>
// The service names below are also names of A/W macros.
#undef CreateDirectory
#undef RemoveDirectory
#undef DeleteFile
#undef MoveFile
#undef CopyFile

#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"

namespace platform {

namespace {

// Upper-cases by the rules of the active ANSI code page.
void UpperByCodePage(std::string& text, const LeadBytes&) {
  if (!text.empty()) CharUpperBuffA(text.data(), static_cast<DWORD>(text.size()));
}

LeadBytes ThreadLeadBytes() {
  LeadBytes lead;
  char codePage[8] = {};
  UINT page = CP_ACP;
  if (GetLocaleInfoA(GetThreadLocale(), LOCALE_IDEFAULTANSICODEPAGE, codePage, sizeof codePage) > 0) {
    page = static_cast<UINT>(std::strtoul(codePage, nullptr, 10));
  }
  CPINFO info{};
  if (!GetCPInfo(page, &info)) return lead;
  for (int i = 0; i + 1 < MAX_LEADBYTES && (info.LeadByte[i] || info.LeadByte[i + 1]); i += 2) {
    for (unsigned b = info.LeadByte[i]; b <= info.LeadByte[i + 1] && b < 256; ++b) lead.set(b);
  }
  return lead;
}

int64_t FileTimeValue(const FILETIME& t) {
  return static_cast<int64_t>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
}

void Fill(FoundEntry& entry, const WIN32_FIND_DATAA& data) {
  entry.attributes = data.dwFileAttributes;
  entry.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  entry.lastWriteTime = FileTimeValue(data.ftLastWriteTime);
  entry.name = data.cFileName;
}

uint32_t ResultOf(BOOL ok) { return ok ? 0 : GetLastError(); }

}  // namespace

const Conventions& NativeConventions() {
  static const Conventions conventions = [] {
    Conventions c = WindowsConventions(ThreadLeadBytes());
    c.upperInPlace = &UpperByCodePage;
    return c;
  }();
  return conventions;
}

void RecordArguments(int, char**) {}

std::optional<std::string> RawCommandLine() { return std::string(GetCommandLineA()); }

const std::vector<std::string>& RecordedArguments() {
  static const std::vector<std::string> none;
  return none;
}

std::string ProgramFilePath() {
  char path[MAX_PATH + 1] = {};
  DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  return std::string(path, length);
}

std::string EnvironmentValue(const std::string& name) {
  DWORD size = GetEnvironmentVariableA(name.c_str(), nullptr, 0);
  if (size == 0) return {};
  std::string value(size, '\0');
  DWORD length = GetEnvironmentVariableA(name.c_str(), value.data(), size);
  value.resize(length < size ? length : size - 1);
  return value;
}

std::string LoadText(unsigned id) {
  char text[1024] = {};
  int length = LoadStringA(GetModuleHandleA(nullptr), id, text, sizeof text);
  return std::string(text, length > 0 ? static_cast<size_t>(length) : 0);
}

void ShowFailureReport(const std::string& text, const std::string& title) {
  MessageBoxA(nullptr, text.c_str(), title.c_str(), MB_OK | MB_ICONERROR | MB_TASKMODAL);
}

bool ImageOfAddress(uintptr_t address, std::string& imageFile, uintptr_t& imageBase) {
  MEMORY_BASIC_INFORMATION info{};
  if (address == 0 || VirtualQuery(reinterpret_cast<void*>(address), &info, sizeof info) == 0 ||
      info.State != MEM_COMMIT) {
    return false;
  }
  char path[MAX_PATH + 1] = {};
  DWORD length = GetModuleFileNameA(static_cast<HMODULE>(info.AllocationBase), path, sizeof path);
  if (length == 0) return false;
  imageFile.assign(path, length);
  imageBase = reinterpret_cast<uintptr_t>(info.AllocationBase);
  return true;
}

void ExitProcess(int code) {
  std::fflush(nullptr);
  std::exit(code);
}

uint32_t FileAttributes(const std::string& path) { return GetFileAttributesA(path.c_str()); }

SearchHandle FindFirst(const std::string& mask, FoundEntry& entry, uint32_t& error, bool) {
  WIN32_FIND_DATAA data;
  HANDLE handle = FindFirstFileExA(mask.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
                                   nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (handle == INVALID_HANDLE_VALUE) {
    error = GetLastError();
    if (error == 0) error = kErrorFileNotFound;
    return kNoSearch;
  }
  Fill(entry, data);
  return handle;
}

bool FindNext(SearchHandle search, FoundEntry& entry, uint32_t& error) {
  WIN32_FIND_DATAA data;
  if (!search || !FindNextFileA(static_cast<HANDLE>(search), &data)) {
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

uint32_t CreateDirectory(const std::string& path) { return ResultOf(CreateDirectoryA(path.c_str(), nullptr)); }

uint32_t RemoveDirectory(const std::string& path) { return ResultOf(RemoveDirectoryA(path.c_str())); }

uint32_t DeleteFile(const std::string& path) { return ResultOf(DeleteFileA(path.c_str())); }

uint32_t MoveFile(const std::string& from, const std::string& to) {
  return ResultOf(MoveFileA(from.c_str(), to.c_str()));
}

uint32_t CopyFile(const std::string& from, const std::string& to) {
  return ResultOf(CopyFileA(from.c_str(), to.c_str(), FALSE));
}

uint32_t CopyLink(const std::string&, const std::string&) {
  return 50;  // not supported: links are left out of copies here
}

// --- Trees -----------------------------------------------------------------

namespace {

struct Tree {
  std::string root;  // ends in a backslash
};

std::string InTree(TreeHandle tree, const std::string& name) {
  return static_cast<Tree*>(tree)->root + name;
}

}  // namespace

TreeHandle OpenTree(const std::string& root, bool followLink, uint32_t& error) {
  // Asked without its trailing separator, a link describes itself; a root
  // ("C:\\", "\\") keeps its separator, and a drive ("C:") takes names as is.
  std::string plain = root;
  while (plain.size() > 1 && (plain.back() == '\\' || plain.back() == '/') && plain[plain.size() - 2] != ':') {
    plain.pop_back();
  }
  const DWORD attributes = GetFileAttributesA(plain.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
      (!followLink && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))) {
    error = kErrorPathNotFound;
    return kNoTree;
  }
  const char last = plain.back();
  return new Tree{last == '\\' || last == '/' || last == ':' ? plain : plain + "\\"};
}

void CloseTree(TreeHandle tree) { delete static_cast<Tree*>(tree); }

uint32_t FileAttributes(TreeHandle tree, const std::string& name) { return FileAttributes(InTree(tree, name)); }

SearchHandle FindFirst(TreeHandle tree, const std::string& directory, const std::string& pattern,
                       FoundEntry& entry, uint32_t& error, bool kindsOnly) {
  std::string mask = InTree(tree, directory);
  if (!directory.empty() && mask.back() != '\\') mask += '\\';
  return FindFirst(mask + pattern, entry, error, kindsOnly);
}

uint32_t CreateDirectory(TreeHandle tree, const std::string& name) { return CreateDirectory(InTree(tree, name)); }

uint32_t RemoveDirectory(TreeHandle tree, const std::string& name) { return RemoveDirectory(InTree(tree, name)); }

uint32_t DeleteFile(TreeHandle tree, const std::string& name) { return DeleteFile(InTree(tree, name)); }

uint32_t MoveFile(TreeHandle fromTree, const std::string& from, TreeHandle toTree, const std::string& to) {
  return MoveFile(InTree(fromTree, from), InTree(toTree, to));
}

uint32_t CopyFile(TreeHandle fromTree, const std::string& from, TreeHandle toTree, const std::string& to) {
  return CopyFile(InTree(fromTree, from), InTree(toTree, to));
}

uint32_t CopyLink(TreeHandle, const std::string&, TreeHandle, const std::string&) {
  return 50;  // not supported: links are left out of copies here
}

std::string AbsolutePath(const std::string& path) {
  char full[32768];
  DWORD length = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
  if (length == 0 || length >= sizeof full) return path;
  return std::string(full, length);
}

bool IsNamespaceRoot(const std::string&) { return false; }

}  // namespace platform
