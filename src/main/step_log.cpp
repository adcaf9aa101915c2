#include "main/step_log.h"

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_set>
#include <vector>

#include "main/log_format.h"
#include "main/texts.h"
#include "platform/platform.h"
#include "prims/expand.h"
#include "prims/path.h"
#include "prims/text.h"

namespace {

// A thread writes its held lines once they pass this size: a write call
// stays well within what one append keeps whole, and a long run's log
// grows steadily.
constexpr size_t kHeldLimit = 32 * 1024;

// What one thread has counted and holds. Only its thread touches it while
// the run goes on; StartStepLog and FinishStepLog touch every thread's
// when no worker runs (workers have been joined by then).
struct ThreadSteps {
  std::string held;  // whole lines not yet written
  uint64_t done = 0;
  uint64_t failed = 0;
  int64_t second = -1;  // the second `timeText` shows
  std::string timeText;
  std::map<uint32_t, std::string> messages;  // the system's texts, looked up once
};

struct Run {
  std::mutex lock;  // guards `threads` and the start and end of the run
  std::vector<std::unique_ptr<ThreadSteps>> threads;
  platform::LogHandle log = platform::kNoLog;
  bool ownsLog = false;
  bool logging = false;
  bool strict = false;
  bool dry = false;
  std::atomic<bool> broken{false};  // a write failed: nothing more is written
  // One write at a time from this process. An append is whole on Windows
  // and Linux; under Wine, with two workers appending at once, a dry run's
  // log was seen with a line broken by another. The lock costs one wait
  // per batch of steps.
  std::mutex writeLock;
  std::string logName;
  std::string verb, source, target;
  std::string pid;
  bool finished = false;
  int32_t exitCode = 0;
  // Dry run only.
  std::mutex dryLock;
  std::unordered_set<std::string> made;
  std::unordered_set<std::string> keptIn;
};

// Never destroyed: a worker may still count while the process ends.
Run& TheRun() {
  static Run* run = new Run;
  return *run;
}

thread_local ThreadSteps* threadSteps = nullptr;

ThreadSteps& Mine() {
  if (!threadSteps) {
    Run& run = TheRun();
    std::lock_guard<std::mutex> hold(run.lock);
    run.threads.push_back(std::make_unique<ThreadSteps>());
    threadSteps = run.threads.back().get();
  }
  return *threadSteps;
}

const char* StepName(StepKind kind) {
  switch (kind) {
    case StepKind::kMadeDirectory: return "made directory";
    case StepKind::kCopied: return "copied";
    case StepKind::kMoved: return "moved";
    case StepKind::kRenamed: return "renamed";
    case StepKind::kDeleted: return "deleted";
    case StepKind::kRemovedDirectory: return "removed directory";
    case StepKind::kPassedOver: return "passed over";
    case StepKind::kRefused: return "refused";
  }
  return "?";
}

// Steps the walk itself takes, in order: their lines go out at once.
bool IsWalkStep(StepKind kind) {
  return kind != StepKind::kCopied && kind != StepKind::kMoved && kind != StepKind::kDeleted &&
         kind != StepKind::kRenamed;
}

std::string FilledText(unsigned id, const std::string& first, const std::string& second) {
  std::string text = ProgramText(id);
  for (const std::string* value : {&first, &second}) {
    const size_t at = text.find("%s");
    if (at != std::string::npos) text.replace(at, 2, *value);
  }
  return text;
}

// Tells the caller, where it can hear, that the log is not written.
void NoteUnwritableLog(const std::string& name, uint32_t code) {
  const platform::LogHandle standardError = platform::StandardErrorLog();
  if (standardError == platform::kNoLog) return;
  std::string reason = platform::ErrorMessageText(code);
  if (reason.empty()) {
    reason = ProgramText(kTextIoErrorFormat);
    if (const size_t at = reason.find("%d"); at != std::string::npos) reason.replace(at, 2, std::to_string(code));
  }
  const std::string note = FilledText(kTextLogUnwritable, ShownInReport(name), reason) + "\n";
  platform::AppendLog(standardError, note);
}

void Write(Run& run, ThreadSteps& steps) {
  if (steps.held.empty()) return;
  if (!run.broken.load(std::memory_order_relaxed)) {
    std::unique_lock<std::mutex> writing(run.writeLock);
    const uint32_t error = platform::AppendLog(run.log, steps.held);
    writing.unlock();
    if (error != 0 && !run.broken.exchange(true)) NoteUnwritableLog(run.logName, error);
  }
  steps.held.clear();
}

const std::string& TimeText(ThreadSteps& steps) {
  const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                          std::chrono::system_clock::now().time_since_epoch()).count();
  if (now != steps.second) {
    steps.second = now;
    steps.timeText = UtcTimeText(now);
  }
  return steps.timeText;
}

void AppendPath(std::string& out, const char* field, const ShownPath& path) {
  out += ",\"";
  out += field;
  out += "\":\"";
  for (const std::string_view part : path.parts) AppendJsonText(out, part);
  out += '"';
}

void AppendLineStart(std::string& out, ThreadSteps& steps, const Run& run, const char* step) {
  out += "{\"time\":\"";
  out += TimeText(steps);
  out += "\",\"pid\":";
  out += run.pid;
  out += ",\"step\":\"";
  out += step;
  out += '"';
}

void AppendLineEnd(std::string& out, const Run& run) {
  if (run.dry) out += ",\"dry_run\":true";
  out += "}\n";
}

const std::string& SystemText(ThreadSteps& steps, uint32_t code) {
  auto known = steps.messages.find(code);
  if (known == steps.messages.end()) known = steps.messages.emplace(code, platform::ErrorMessageText(code)).first;
  return known->second;
}

// The key a path is remembered by in a dry run: without a final separator,
// and upper-cased where names fold case.
std::string DryRunKey(std::string_view path) {
  const Conventions& c = platform::NativeConventions();
  std::string key(path);
  for (char& ch : key) {
    if (c.alternateSeparator != 0 && ch == c.alternateSeparator) ch = c.separator;
  }
  while (key.size() > 1 && key.back() == c.separator) key.pop_back();
  return c.foldCase ? UpperCopy(key, c) : key;
}

}  // namespace

ShownPath ShownDirectory(const std::string& path) {
  const Conventions& c = platform::NativeConventions();
  if (path.size() < 2 || !IsSeparatorAt(path, path.size() - 1, c) || IsRootPath(path, c)) return ShownPath(path);
  return ShownPath(std::string_view(path).substr(0, path.size() - 1), {});
}

std::string ShownPath::Text() const {
  std::string text;
  for (const std::string_view part : parts) text.append(part);
  return text;
}

void StartStepLog(const std::string& verb, const std::string& source, const std::string& target) {
  Run& run = TheRun();
  std::lock_guard<std::mutex> hold(run.lock);
  if (run.ownsLog) platform::CloseLog(run.log);
  run.log = platform::kNoLog;
  run.ownsLog = false;
  for (const auto& steps : run.threads) {
    steps->held.clear();
    steps->done = steps->failed = 0;
  }
  run.finished = false;
  run.exitCode = 0;
  run.broken = false;
  run.verb = verb;
  run.source = source;
  run.target = target;
  run.pid = std::to_string(platform::ProcessId());
  // "set FILEOP_STRICT=1 " in a batch file keeps the blank: it counts.
  run.strict = TrimBlanks(platform::EnvironmentValue("FILEOP_STRICT")) == "1";
  run.dry = TrimBlanks(platform::EnvironmentValue("FILEOP_DRY_RUN")) == "1";
  {
    std::lock_guard<std::mutex> dryHold(run.dryLock);
    run.made.clear();
    run.keptIn.clear();
  }
  run.logName = ExpandEnvRefs(platform::EnvironmentValue("FILEOP_LOG"));
  if (!run.logName.empty()) {
    uint32_t error = 0;
    run.log = platform::OpenLog(run.logName, error);
    run.ownsLog = run.log != platform::kNoLog;
    if (!run.ownsLog) NoteUnwritableLog(run.logName, error);
  }
  // A dry run shows its steps somewhere: on standard error without a log.
  if (run.log == platform::kNoLog && run.dry) run.log = platform::StandardErrorLog();
  run.logging = run.log != platform::kNoLog;
}

bool DryRun() { return TheRun().dry; }

void RecordStep(StepKind kind, const ShownPath& path, const ShownPath& to, uint32_t code, std::string_view message) {
  Run& run = TheRun();
  ThreadSteps& steps = Mine();
  ++(code == 0 ? steps.done : steps.failed);
  if (!run.logging || run.broken.load(std::memory_order_relaxed)) return;
  std::string& out = steps.held;
  AppendLineStart(out, steps, run, StepName(kind));
  AppendPath(out, "path", path);
  if (!to.Empty()) AppendPath(out, "to", to);
  if (code == 0) {
    out += ",\"result\":\"ok\",\"code\":0";
  } else {
    out += ",\"result\":\"failed\",\"code\":";
    out += std::to_string(code);
    out += ",\"message\":\"";
    AppendJsonText(out, message.empty() ? std::string_view(SystemText(steps, code)) : message);
    out += '"';
  }
  AppendLineEnd(out, run);
  if (IsWalkStep(kind) || out.size() >= kHeldLimit) Write(run, steps);
}

void WriteHeldSteps() {
  Run& run = TheRun();
  if (run.logging && threadSteps) Write(run, *threadSteps);
}

int32_t FinishStepLog(int32_t exitCode, const Exception* fatal) {
  Run& run = TheRun();
  ThreadSteps& mine = Mine();  // before the lock, which registering takes
  std::lock_guard<std::mutex> hold(run.lock);
  if (run.finished) return run.exitCode;
  uint64_t done = 0;
  uint64_t failed = 0;
  for (const auto& steps : run.threads) {
    done += steps->done;
    failed += steps->failed;
  }
  // Settled before anything below could run out of memory: the error that
  // would then reach the top ends the run with this code or its own.
  run.finished = true;
  run.exitCode = exitCode == 0 && run.strict && failed > 0 ? 2 : exitCode;
  for (const auto& steps : run.threads) {
    if (run.logging) Write(run, *steps);
  }
  if (run.logging && !run.broken) {
    std::string line;
    AppendLineStart(line, mine, run, "summary");
    for (const auto& [field, value] : {std::pair<const char*, const std::string*>{"verb", &run.verb},
                                       {"source", &run.source}, {"target", &run.target}}) {
      AppendPath(line, field, ShownPath(*value));
    }
    line += ",\"done\":" + std::to_string(done) + ",\"failed\":" + std::to_string(failed) +
            ",\"exit\":" + std::to_string(run.exitCode);
    if (fatal) {
      line += ",\"error\":\"";
      AppendJsonText(line, fatal->Message());
      line += '"';
      if (const auto* io = dynamic_cast<const EInOutError*>(fatal)) line += ",\"code\":" + std::to_string(io->IoCode);
      if (!fatal->Subject().empty()) AppendPath(line, "path", ShownPath(fatal->Subject()));
    }
    AppendLineEnd(line, run);
    mine.held = std::move(line);
    Write(run, mine);
  }
  if (run.ownsLog) platform::CloseLog(run.log);
  run.log = platform::kNoLog;
  run.ownsLog = false;
  run.logging = false;
  return run.exitCode;
}

void RememberMadeInDryRun(const std::string& path) {
  Run& run = TheRun();
  std::lock_guard<std::mutex> hold(run.dryLock);
  run.made.insert(DryRunKey(path));
}

bool MadeInDryRun(std::string_view path) {
  Run& run = TheRun();
  if (!run.dry) return false;
  std::lock_guard<std::mutex> hold(run.dryLock);
  return run.made.count(DryRunKey(path)) != 0;
}

void RememberKeptInDryRun(const ShownPath& path) {
  Run& run = TheRun();
  const std::string directory = DirectoryPart(DryRunKey(path.Text()), platform::NativeConventions());
  std::lock_guard<std::mutex> hold(run.dryLock);
  run.keptIn.insert(DryRunKey(directory));
}

bool HoldsKeptInDryRun(const ShownPath& directory) {
  Run& run = TheRun();
  std::lock_guard<std::mutex> hold(run.dryLock);
  return run.keptIn.count(DryRunKey(directory.Text())) != 0;
}
