// Process services on POSIX: arguments as the C runtime split them, the
// environment, the program's texts (built in: there are no resources), the
// report on standard error, and the end of the process.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>

#include "platform/platform.h"

namespace platform {

namespace {
std::vector<std::string>& Arguments() {
  static std::vector<std::string> arguments;
  return arguments;
}
}  // namespace

const Conventions& NativeConventions() {
  static const Conventions conventions = PosixConventions();
  return conventions;
}

void RecordArguments(int argc, char** argv) {
  Arguments().assign(argv, argv + argc);
}

std::optional<std::string> RawCommandLine() { return std::nullopt; }

const std::vector<std::string>& RecordedArguments() { return Arguments(); }

std::string ProgramFilePath() {
  std::string path(4096, '\0');
  ssize_t length = readlink("/proc/self/exe", path.data(), path.size());
  if (length <= 0) return Arguments().empty() ? std::string() : Arguments().front();
  path.resize(static_cast<size_t>(length));
  return path;
}

std::string EnvironmentValue(const std::string& name) {
  const char* value = name.empty() ? nullptr : std::getenv(name.c_str());
  return value ? std::string(value) : std::string();
}

std::string LoadText(unsigned id) {
  static const std::map<unsigned, std::string> texts = {
#define TEXT(number, symbol, text) {number, text},
#include "platform/texts.def"
#undef TEXT
  };
  auto found = texts.find(id);
  return found == texts.end() ? std::string() : found->second;
}

void ShowFailureReport(const std::string& text, const std::string& /*title*/) {
  std::string lines;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    lines.push_back(text[i]);
  }
  std::fwrite(lines.data(), 1, lines.size(), stderr);
  std::fflush(stderr);
}

bool ImageOfAddress(uintptr_t address, std::string& imageFile, uintptr_t& imageBase) {
  Dl_info info{};
  if (address == 0 || dladdr(reinterpret_cast<void*>(address), &info) == 0 || !info.dli_fbase) {
    return false;
  }
  imageBase = reinterpret_cast<uintptr_t>(info.dli_fbase);
  imageFile = info.dli_fname && *info.dli_fname ? info.dli_fname : ProgramFilePath();
  return true;
}

void ExitProcess(int code) {
  std::fflush(nullptr);
  std::exit(code);
}

}  // namespace platform
