#include "e2e/runner.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <thread>

extern char** environ;

namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string CommandOutput(const std::string& command) {
  std::string out;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[256];
    while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
    pclose(pipe);
  }
  return out;
}

// The text of the box from Wine's trace line: MSGBOX_OnInit L"...", with
// Wine's escapes undone and "\r\n" turned into "\n".
std::string BoxTextFromTrace(const std::string& trace) {
  const std::string marker = "MSGBOX_OnInit L\"";
  size_t at = trace.find(marker);
  if (at == std::string::npos) return {};
  std::string text;
  for (size_t i = at + marker.size(); i < trace.size() && trace[i] != '"'; ++i) {
    if (trace[i] != '\\' || i + 1 >= trace.size()) {
      text.push_back(trace[i]);
      continue;
    }
    char kind = trace[++i];
    switch (kind) {
      case 'r': text.push_back('\r'); break;
      case 'n': text.push_back('\n'); break;
      case 't': text.push_back('\t'); break;
      case 'x': {
        size_t digits = 0;
        unsigned value = 0;
        while (digits < 4 && i + 1 < trace.size() && std::isxdigit(static_cast<unsigned char>(trace[i + 1]))) {
          value = value * 16 + std::stoul(std::string(1, trace[++i]), nullptr, 16);
          ++digits;
        }
        text.push_back(static_cast<char>(value));
        break;
      }
      default: text.push_back(kind); break;
    }
  }
  std::string lines;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    lines.push_back(text[i]);
  }
  return lines;
}

// The size of the largest regular file below `directory` (ending in "/")
// that process `pid` holds open for writing; none when it holds none. A
// partial copy has no name on Linux (the link reads "DIR/#INODE (deleted)")
// and a hidden one on Windows; either way it lies in the target directory.
std::optional<uintmax_t> BytesBeingWritten(pid_t pid, const std::string& directory) {
  const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
  std::optional<uintmax_t> largest;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(fds, error)) {
    char link[4096];
    const ssize_t length = readlink(entry.path().c_str(), link, sizeof link);
    if (length <= 0 || std::string_view(link, static_cast<size_t>(length)).substr(0, directory.size()) != directory) {
      continue;
    }
    std::ifstream info("/proc/" + std::to_string(pid) + "/fdinfo/" + entry.path().filename().string());
    std::string field;
    unsigned long flags = 0;
    while (info >> field && field != "flags:") {
    }
    if (!(info >> std::oct >> flags) || (flags & O_ACCMODE) == O_RDONLY) continue;
    struct stat st;
    if (stat(entry.path().c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    largest = std::max(largest.value_or(0), static_cast<uintmax_t>(st.st_size));
  }
  return largest;
}

// The UTF-16 code units of `text` (UTF-8, where the three-byte form of a
// surrogate stands for that surrogate alone), four hex digits each. Wine
// turns the environment into UTF-16 by the locale, which has no unpaired
// surrogate; the launcher reads these units instead.
std::string Utf16Hex(const std::string& text) {
  std::string hex;
  auto unit = [&](uint32_t value) {
    char digits[8];
    std::snprintf(digits, sizeof digits, "%04X", static_cast<unsigned>(value & 0xFFFF));
    hex += digits;
  };
  for (size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const size_t length = byte < 0x80 ? 1 : byte < 0xE0 ? 2 : byte < 0xF0 ? 3 : 4;
    uint32_t code = length == 1 ? byte : byte & (0x3F >> (length - 1));
    for (size_t k = 1; k < length && i + k < text.size(); ++k) code = code << 6 | (text[i + k] & 0x3F);
    if (code >= 0x10000) {
      unit(0xD800 + ((code - 0x10000) >> 10));
      unit(0xDC00 + ((code - 0x10000) & 0x3FF));
    } else {
      unit(code);
    }
    i += length;
  }
  return hex;
}

}  // namespace

const Program& Program::Get() {
  static const Program program = [] {
    Program p;
    p.program_ = Env("FILEOP_PROGRAM");
    if (!p.program_.empty()) p.program_ = std::filesystem::absolute(p.program_).string();
    p.wine_ = Env("FILEOP_RUNNER") == "wine";
    p.launcher_ = Env("FILEOP_LAUNCHER");
    if (!p.launcher_.empty()) p.launcher_ = std::filesystem::absolute(p.launcher_).string();
    p.staticProgram_ = Env("FILEOP_STATIC_PROGRAM");
    if (p.program_.empty()) throw std::runtime_error("FILEOP_PROGRAM is not set");
    return p;
  }();
  return program;
}

std::string Program::ModuleName() const {
  return std::filesystem::path(program_).filename().string();
}

std::string Program::PathFor(const std::filesystem::path& host) const {
  std::string path = std::filesystem::absolute(host).lexically_normal().string();
  if (!wine_) return path;
  for (char& ch : path) {
    if (ch == '/') ch = '\\';
  }
  return "Z:" + path;
}

RunResult Program::Run(const std::vector<std::string>& args, const EnvList& env,
                       const std::filesystem::path& directory) const {
  std::vector<std::string> argv;
  if (wine_) argv.push_back(Env("WINE").empty() ? "/usr/lib/wine/wine64" : Env("WINE"));
  argv.push_back(program_);
  argv.insert(argv.end(), args.begin(), args.end());
  return SpawnStarted(argv, env, directory);
}

// Wine, on a busy machine, now and then fails to set up a new process
// before any of the program runs ("failed to map the shared user data"):
// nothing was done, so the run is started again.
RunResult Program::SpawnStarted(const std::vector<std::string>& argv, const EnvList& env,
                                const std::filesystem::path& directory) const {
  for (int attempt = 1;; ++attempt) {
    RunResult result = Spawn(argv, env, directory);
    const bool notStarted = wine_ && result.errorOutput.find("failed to map the shared user data") != std::string::npos;
    if (!notStarted || attempt == 3) return result;
  }
}

RunResult Program::RunRaw(const std::string& argumentText, const EnvList& env,
                          const std::string& directory) const {
  if (!wine_) throw std::logic_error("raw command lines exist only on Windows");
  EnvList withLine = env;
  if (!directory.empty()) withLine.emplace_back("FILEOP_RAW_CWD", directory);
  withLine.emplace_back("FILEOP_RAW_PROGRAM", PathFor(program_));
  withLine.emplace_back("FILEOP_RAW_LINE", "fileop.exe " + argumentText);
  withLine.emplace_back("FILEOP_RAW_UNITS", Utf16Hex("fileop.exe " + argumentText));
  return SpawnStarted({Env("WINE").empty() ? "/usr/lib/wine/wine64" : Env("WINE"), launcher_}, withLine, {});
}

bool Program::CanRunUnprivileged() const {
  return !wine_ && geteuid() == 0 && std::filesystem::exists("/usr/bin/setpriv");
}

RunResult Program::RunUnprivileged(const std::vector<std::string>& args) const {
  std::vector<std::string> argv = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                   "--", program_};
  argv.insert(argv.end(), args.begin(), args.end());
  return Spawn(argv, {});
}

bool Program::CanRunJailed() const {
  return !wine_ && geteuid() == 0 && !staticProgram_.empty() &&
         std::filesystem::exists("/usr/sbin/chroot");
}

RunResult Program::RunJailed(const std::filesystem::path& jail, const std::vector<std::string>& args) const {
  std::filesystem::copy_file(staticProgram_, jail / "fileop",
                             std::filesystem::copy_options::overwrite_existing);
  std::vector<std::string> argv = {"/usr/sbin/chroot", jail.string(), "/fileop"};
  argv.insert(argv.end(), args.begin(), args.end());
  return Spawn(argv, {});
}

RunResult Program::RunKilledMidCopy(const std::vector<std::string>& args, const std::filesystem::path& directory,
                                     uintmax_t size) const {
  std::vector<std::string> argv;
  if (wine_) argv.push_back(Env("WINE").empty() ? "/usr/lib/wine/wine64" : Env("WINE"));
  argv.push_back(program_);
  argv.insert(argv.end(), args.begin(), args.end());
  const std::string where = std::filesystem::weakly_canonical(directory).string() + "/";
  const auto halfWritten = [&](pid_t pid) -> std::optional<uintmax_t> {
    const std::optional<uintmax_t> bytes = BytesBeingWritten(pid, where);
    if (bytes && *bytes > 0 && *bytes < size) return bytes;
    return std::nullopt;
  };
  return Spawn(argv, {}, {}, halfWritten);
}

RunResult Program::Spawn(const std::vector<std::string>& argv, const EnvList& env,
                         const std::filesystem::path& directory,
                         const std::function<std::optional<uintmax_t>(pid_t)>& killWhen) const {
  std::map<std::string, std::string> environment;
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    size_t eq = entry.find('=');
    if (eq != std::string::npos) environment[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  // Wine's own errors are kept so that a failing run can show them.
  if (wine_) {
    environment["WINEDEBUG"] = "-all,err+all,trace+msgbox";
    // Wine turns the arguments and the environment into UTF-16 by the
    // locale's character set: UTF-8, so that every name arrives whole.
    // (Its ANSI code page stays 1252.)
    environment["LC_ALL"] = "C.UTF-8";
  }
  for (const auto& [name, value] : env) environment[name] = value;
  std::vector<std::string> envStrings;
  for (const auto& [name, value] : environment) envStrings.push_back(name + "=" + value);
  std::vector<char*> envp, args;
  for (auto& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> argvCopy = argv;
  for (auto& s : argvCopy) args.push_back(s.data());
  args.push_back(nullptr);

  char errPath[] = "/tmp/fileop-e2e-stderr-XXXXXX";
  int errFd = mkstemp(errPath);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, errFd, 2);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (!directory.empty()) posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
  pid_t pid = 0;
  RunResult result;
  int spawnError = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(errFd);
  if (spawnError != 0) {
    unlink(errPath);
    throw std::runtime_error("cannot start " + argv[0]);
  }

  // Only a hang reaches this limit: the slowest runs of the suite (300
  // nested levels moved under Wine, on a machine whose cores are all busy)
  // take a tenth of it.
  const auto started = std::chrono::steady_clock::now();
  const auto deadline = started + std::chrono::seconds(300);
  auto nextBoxLook = started;
  int status = 0;
  struct rusage usage {};
  for (;;) {
    pid_t done = wait4(pid, &status, WNOHANG, &usage);
    if (done == pid) break;
    if (killWhen && killWhen(pid)) {
      // Seen: the program stands still while it is looked at again, so that
      // what is seen is what the kill interrupts.
      kill(pid, SIGSTOP);
      if (waitpid(pid, &status, WUNTRACED) == pid && !WIFSTOPPED(status)) break;  // it ended meanwhile
      if (const std::optional<uintmax_t> seen = killWhen(pid)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        result.killed = true;
        result.partialBytes = *seen;
        break;
      }
      kill(pid, SIGCONT);
    }
    const auto now = std::chrono::steady_clock::now();
    if (now > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      result.timedOut = true;
      break;
    }
    if (wine_ && now >= nextBoxLook) {
      nextBoxLook = now + std::chrono::milliseconds(100);
      std::string window = CommandOutput("xdotool search --name '^Application Error$' 2>/dev/null | head -n 1");
      while (!window.empty() && (window.back() == '\n' || window.back() == ' ')) window.pop_back();
      if (!window.empty()) {
        result.boxShown = true;
        CommandOutput("xdotool key --window " + window + " Return 2>/dev/null");
      }
    }
    // A copy to be caught half-way is watched closely.
    std::this_thread::sleep_for(std::chrono::milliseconds(killWhen ? 1 : wine_ ? 20 : 5));
  }
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  result.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                      static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  const std::string errors = ReadAll(errPath);
  unlink(errPath);
  result.report = wine_ ? BoxTextFromTrace(errors) : errors;
  result.errorOutput = errors;
  return result;
}
