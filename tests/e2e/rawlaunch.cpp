// Test helper for the end-to-end tests under Wine: starts the program named
// by FILEOP_RAW_PROGRAM with the exact command line held in FILEOP_RAW_LINE
// (Wine would otherwise rebuild the command line from its own argv), or in
// FILEOP_RAW_UNITS as UTF-16 code units of four hex digits each, which can
// hold an unpaired surrogate that no environment text can carry; waits
// for it and ends with its exit code. FILEOP_RAW_CWD, when set, is the
// program's current directory. With FILEOP_RAW_HIDDEN_STATION set, the
// program starts on a desktop of a window station of its own, which nobody
// sees (as a service's would be), with this helper's standard handles.
#include <windows.h>

#include <cwchar>
#include <string>

namespace {

std::wstring Environment(const wchar_t* name, bool& present) {
  const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
  present = size > 0;
  if (!present) return {};
  std::wstring value(size, L'\0');
  const DWORD length = GetEnvironmentVariableW(name, value.data(), size);
  value.resize(length);
  return value;
}

}  // namespace

int main() {
  bool hasProgram = false, hasLine = false, hasDirectory = false, hidden = false;
  const std::wstring program = Environment(L"FILEOP_RAW_PROGRAM", hasProgram);
  std::wstring line = Environment(L"FILEOP_RAW_LINE", hasLine);
  const std::wstring directory = Environment(L"FILEOP_RAW_CWD", hasDirectory);
  Environment(L"FILEOP_RAW_HIDDEN_STATION", hidden);
  bool hasUnits = false;
  const std::wstring units = Environment(L"FILEOP_RAW_UNITS", hasUnits);
  if (hasUnits) {
    line.clear();
    for (size_t i = 0; i + 4 <= units.size(); i += 4) {
      line.push_back(static_cast<wchar_t>(std::wcstoul(units.substr(i, 4).c_str(), nullptr, 16)));
    }
  }
  if (!hasProgram || (!hasLine && !hasUnits)) return 99;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  std::wstring desktop = L"fileop-unseen\\Default";
  BOOL inherit = FALSE;
  if (hidden) {
    HWINSTA station = CreateWindowStationW(L"fileop-unseen", 0, WINSTA_ALL_ACCESS, nullptr);
    if (!station) return 96;
    HWINSTA own = GetProcessWindowStation();
    SetProcessWindowStation(station);
    if (!CreateDesktopW(L"Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr)) return 95;
    SetProcessWindowStation(own);
    startup.lpDesktop = desktop.data();
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    inherit = TRUE;
  }
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, inherit, 0, nullptr,
                      hasDirectory ? directory.c_str() : nullptr, &startup, &process)) {
    return 98;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 97;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(code);
}
