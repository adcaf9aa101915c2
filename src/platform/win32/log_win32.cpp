// The step log's services on Windows: a log file opened for appending
// only, the standard error a caller may have handed the program, and the
// system's texts for error codes.
#include <windows.h>

#include <string>

#include "platform/platform.h"
#include "platform/windows_rules.h"

namespace platform {

namespace {

std::wstring WideText(std::string_view text) {
  const std::u16string wide = WideFromNarrow(text);
  return std::wstring(wide.begin(), wide.end());
}

// The path CreateFileW is given: absolute, in its extended-length form
// when long, so that a log path of any length works as the program's other
// paths do.
std::wstring LogPath(const std::string& path) {
  const std::wstring wide = WideText(path);
  if (wide.rfind(L"\\\\?\\", 0) == 0) return wide;
  const DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (size == 0) return wide;
  std::wstring full(size, L'\0');
  const DWORD length = GetFullPathNameW(wide.c_str(), size, full.data(), nullptr);
  if (length == 0 || length >= size) return wide;
  full.resize(length);
  if (full.size() < MAX_PATH - 12 || full.rfind(L"\\\\.\\", 0) == 0) return full;
  const std::u16string extended = ExtendedLengthPath(std::u16string(full.begin(), full.end()));
  return std::wstring(extended.begin(), extended.end());
}

}  // namespace

LogHandle OpenLog(const std::string& path, uint32_t& error) {
  if (path.empty()) {
    error = ERROR_PATH_NOT_FOUND;
    return kNoLog;
  }
  // FILE_APPEND_DATA without FILE_WRITE_DATA: each write goes to the end of
  // the file, whatever the file pointer, also between processes. Others
  // may read, append and delete meanwhile. A link at the last name is
  // opened itself, and refused below, never followed.
  const HANDLE file = CreateFileW(LogPath(path).c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = GetLastError();
    return kNoLog;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ||
      info.nNumberOfLinks > 1) {
    CloseHandle(file);
    error = ERROR_ACCESS_DENIED;
    return kNoLog;
  }
  return file;
}

LogHandle StandardErrorLog() {
  // A window-less program has a standard error only when its caller handed
  // it one (a redirection, an inherited handle).
  const HANDLE standardError = GetStdHandle(STD_ERROR_HANDLE);
  if (standardError == nullptr || standardError == INVALID_HANDLE_VALUE ||
      GetFileType(standardError) == FILE_TYPE_UNKNOWN) {
    return kNoLog;
  }
  return standardError;
}

uint32_t AppendLog(LogHandle log, std::string_view text) {
  if (log == kNoLog) return ERROR_INVALID_PARAMETER;
  DWORD written = 0;
  if (!WriteFile(static_cast<HANDLE>(log), text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) {
    return GetLastError();
  }
  return written == text.size() ? 0 : ERROR_DISK_FULL;
}

void CloseLog(LogHandle log) {
  if (log != kNoLog && log != GetStdHandle(STD_ERROR_HANDLE)) CloseHandle(static_cast<HANDLE>(log));
}

std::string ErrorMessageText(uint32_t code) {
  wchar_t* buffer = nullptr;
  // FORMAT_MESSAGE_MAX_WIDTH_MASK: the message's own line breaks become
  // blanks, so that it fits on one line of a report or a log.
  const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                          FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
                                      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  if (length == 0 || buffer == nullptr) return {};
  std::u16string text(reinterpret_cast<const char16_t*>(buffer), length);
  LocalFree(buffer);
  while (!text.empty() && (text.back() == u' ' || text.back() == u'\r' || text.back() == u'\n')) text.pop_back();
  for (char16_t& unit : text) {
    if (unit == u'\r' || unit == u'\n') unit = u' ';
  }
  return NarrowFromWide(text);
}

uint32_t ProcessId() { return GetCurrentProcessId(); }

}  // namespace platform
