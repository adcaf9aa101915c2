// The process services on Windows: the command line and environment read
// with the wide functions, the string table, and the failure report, shown
// in a box only where somebody can see it.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"
#include "platform/windows_rules.h"
#include "platform/win32/common_win32.h"

namespace platform {

using win32::Narrow;
using win32::Wide;

namespace {

char16_t UpperUnit(char16_t unit) {
  wchar_t ch = static_cast<wchar_t>(unit);
  CharUpperBuffW(&ch, 1);
  return static_cast<char16_t>(ch);
}

// Upper-cases UTF-8 text by Windows' rules where the length stays.
void UpperByWindows(std::string& text, const LeadBytes&) { UpperSameLength(text, &UpperUnit); }

// True when a box this process shows can be seen by anybody: not in
// session 0, and on a window station that says it is visible.
bool BoxCanBeSeen() {
  DWORD session = 0;
  const bool sessionKnown = ProcessIdToSessionId(GetCurrentProcessId(), &session) != 0;
  USEROBJECTFLAGS flags{};
  const bool stationKnown =
      GetUserObjectInformationW(GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof flags, nullptr) != 0;
  return DesktopVisible(sessionKnown, session, stationKnown, (flags.dwFlags & WSF_VISIBLE) != 0);
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
  return Narrow(std::wstring_view(line, wcslen(line)));
}

const std::vector<std::string>& RecordedArguments() {
  static const std::vector<std::string> none;
  return none;
}

std::string ProgramFilePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length < path.size()) return Narrow(std::wstring_view(path.data(), length));
    path.resize(path.size() * 2);
  }
}

std::string EnvironmentValue(const std::string& name) {
  const std::wstring wideName = Wide(name);
  const DWORD size = GetEnvironmentVariableW(wideName.c_str(), nullptr, 0);
  if (size == 0) return {};
  std::wstring value(size, L'\0');
  const DWORD length = GetEnvironmentVariableW(wideName.c_str(), value.data(), size);
  return Narrow(std::wstring_view(value.data(), length < size ? length : size - 1));
}

std::string LoadText(unsigned id) {
  const wchar_t* text = nullptr;
  const int length = LoadStringW(GetModuleHandleW(nullptr), id, reinterpret_cast<wchar_t*>(&text), 0);
  return length > 0 && text ? Narrow(std::wstring_view(text, static_cast<size_t>(length))) : std::string();
}

void ShowFailureReport(const std::string& text, const std::string& title) {
  const HANDLE standardError = GetStdHandle(STD_ERROR_HANDLE);
  const bool attached = standardError != nullptr && standardError != INVALID_HANDLE_VALUE &&
                        GetFileType(standardError) != FILE_TYPE_UNKNOWN;
  const ReportRoute route = RouteReport(BoxCanBeSeen(), attached);
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
  imageFile = Narrow(std::wstring_view(path, length));
  imageBase = reinterpret_cast<uintptr_t>(info.AllocationBase);
  return true;
}

void ExitProcess(int code) {
  std::fflush(nullptr);
  std::exit(code);
}

unsigned UsableProcessors() {
  DWORD_PTR process = 0, system = 0;
  if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system) || process == 0) return 1;
  unsigned count = 0;
  for (; process; process &= process - 1) ++count;
  return count;
}

}  // namespace platform

// What runs when an exception escapes everything (the top of the program
// catches all of them, so this is a last resort). The library's own
// handler prints the exception's demangled name to standard error, which
// a window-less program does not have; its demangler and formatting code
// would be a sixth of the program's size.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx
