// Test helper for the end-to-end tests under Wine: starts the program named
// by FILEOP_RAW_PROGRAM with the exact command line held in FILEOP_RAW_LINE
// (Wine would otherwise rebuild the command line from its own argv), waits
// for it and ends with its exit code. FILEOP_RAW_CWD, when set, is the
// program's current directory.
#include <windows.h>

#include <cstdlib>
#include <string>

int main() {
  const char* program = std::getenv("FILEOP_RAW_PROGRAM");
  const char* line = std::getenv("FILEOP_RAW_LINE");
  if (!program || !line) return 99;
  const char* directory = std::getenv("FILEOP_RAW_CWD");
  std::string commandLine = line;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(program, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      directory, &startup, &process)) {
    return 98;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 97;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(code);
}
