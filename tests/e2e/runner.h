// Starts the real program the way a script would: natively, or as
// fileop.exe under Wine, where the failure report is a real message box
// that the runner reads (through Wine's message-box trace) and dismisses
// with Return, as a user would.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <sys/types.h>

struct RunResult {
  int exitCode = -1;
  // The report the user was shown, with "\n" line ends; empty when none.
  std::string report;
  // Wine: a box titled "Application Error" appeared and was dismissed.
  bool boxShown = false;
  bool timedOut = false;
  bool killed = false;  // ended by RunKilledMidCopy before it finished
  // RunKilledMidCopy: the size of the file the program was writing when it
  // was killed.
  uintmax_t partialBytes = 0;
  // Everything the run wrote to standard error (Wine's own messages too).
  std::string errorOutput;
  // Wall time from start to exit, the time a box stayed open included.
  double seconds = 0;
  // Processor time the started process used (user and system): what a
  // busy machine does not inflate. Under Wine the loader's and the
  // program's, not the wineserver's.
  double cpuSeconds = 0;
};

using EnvList = std::vector<std::pair<std::string, std::string>>;

class Program {
 public:
  // The program under test, from FILEOP_PROGRAM and FILEOP_RUNNER.
  static const Program& Get();

  bool IsWine() const { return wine_; }
  char Separator() const { return wine_ ? '\\' : '/'; }
  // The program's own file name, as the report names it.
  std::string ModuleName() const;
  // A host path as the program names it (Z:\... under Wine).
  std::string PathFor(const std::filesystem::path& host) const;

  // Runs with these arguments after the program name, in the current
  // directory or in `directory` (a host path) when given.
  RunResult Run(const std::vector<std::string>& args, const EnvList& env = {},
                const std::filesystem::path& directory = {}) const;
  // Runs, and kills the program (SIGKILL) in the middle of writing a file
  // in `directory` (a host path): once a regular file it holds open for
  // writing there has more than 0 and fewer than `size` bytes, seen again
  // while the program stands stopped. A run that ends before it is caught
  // so ends normally, with `killed` false.
  RunResult RunKilledMidCopy(const std::vector<std::string>& args, const std::filesystem::path& directory,
                             uintmax_t size) const;
  // Wine only: runs with this exact command-line text after the program
  // name, in `directory` (a path as the program names it) when given.
  RunResult RunRaw(const std::string& argumentText, const EnvList& env = {},
                   const std::string& directory = "") const;
  // Native only: runs as the unprivileged user nobody (needs root to switch);
  // false from CanRunUnprivileged when that is not possible.
  bool CanRunUnprivileged() const;
  RunResult RunUnprivileged(const std::vector<std::string>& args) const;
  // Native only: runs a self-contained copy of the program inside `jail`
  // as its root directory (needs root); false when that is not possible.
  bool CanRunJailed() const;
  RunResult RunJailed(const std::filesystem::path& jail, const std::vector<std::string>& args) const;

 private:
  // `killWhen`, when given, looks at the running process again and again;
  // when it finds what it waits for (a size), the process is stopped, and
  // killed if it still does.
  // Spawn, started again when Wine failed before the program ran.
  RunResult SpawnStarted(const std::vector<std::string>& argv, const EnvList& env,
                         const std::filesystem::path& directory) const;
  RunResult Spawn(const std::vector<std::string>& argv, const EnvList& env,
                  const std::filesystem::path& directory = {},
                  const std::function<std::optional<uintmax_t>(pid_t)>& killWhen = {}) const;

  std::string program_;
  std::string launcher_;
  std::string staticProgram_;
  bool wine_ = false;
};
