// The step log, the strict exit code and the dry run: what a caller that
// runs the program with nobody watching asks for through the environment.
//
//   FILEOP_LOG=path    every step taken or refused is appended to the file
//                      (%NAME% in the path expanded) as one JSON line, and
//                      a summary line ends the run (see docs/calling.md)
//   FILEOP_STRICT=1    a run that ends normally although a step failed, or
//                      whose source named nothing, ends with exit code 2
//   FILEOP_DRY_RUN=1   every step is decided and logged (to standard error
//                      without a log) but none is taken
//
// Without them the program runs exactly as it always has; its steps are
// counted on the thread that takes them, which costs nothing measurable.
// A log that cannot be opened or written never changes the operation or
// its exit code: it is noted on standard error, where there is one.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "main/errors.h"

enum class StepKind : uint8_t {
  kMadeDirectory,
  kCopied,
  kMoved,
  kRenamed,
  kDeleted,
  kRemovedDirectory,
  kPassedOver,  // an entry or a source not worked on: unreadable, or naming nothing
  kRefused,     // a request refused before anything changed
};

// A path as a log line shows it, held as up to three pieces (a root as the
// caller named it, then names below it) that are joined only when a line is
// written: a walk over a million files builds no path for a log nobody
// asked for. The pieces must outlive the call they are handed to.
struct ShownPath {
  ShownPath() = default;
  ShownPath(const std::string& whole) : parts{whole, {}, {}} {}  // NOLINT: implicit on purpose
  ShownPath(std::string_view head, std::string_view middle, std::string_view tail = {})
      : parts{head, middle, tail} {}
  bool Empty() const { return parts[0].empty() && parts[1].empty() && parts[2].empty(); }
  std::string Text() const;

  std::string_view parts[3];
};

// `path`, a directory as the operation names it, as the log and the report
// show a directory: without the separator it may end in (a root keeps it).
ShownPath ShownDirectory(const std::string& path);

// Starts a run: reads the three variables, opens the log and keeps the
// command for the summary line. Called once, before the first step (a test
// calls it again for each run it makes).
void StartStepLog(const std::string& verb, const std::string& source, const std::string& target);

// True when this run only decides its steps.
bool DryRun();

// Counts and logs one step and its result: 0, or the error code (with
// `message` in place of the system's text for it when given, as a refusal
// gives its reason). Any thread may call it. The lines of directory steps,
// refusals and passed-over entries are written at once, together with any
// this thread held; the lines of file steps are held by their thread and
// written in batches (see WriteHeldSteps).
void RecordStep(StepKind kind, const ShownPath& path, const ShownPath& to, uint32_t code,
                std::string_view message = {});

// Writes the lines this thread holds, in one write. A worker calls it when
// it has finished a batch of file steps, so that the log shows every file
// step before the removal of its directory that waited for it.
void WriteHeldSteps();

// Ends the run: writes every line still held and the summary (counts of
// steps done and failed, the exit code, and the fatal error with its
// subject when there is one), and returns the exit code the process ends
// with: `exitCode`, or 2 under FILEOP_STRICT=1 when the run ended normally
// and a step failed. Later calls write nothing and return the same code.
int32_t FinishStepLog(int32_t exitCode, const Exception* fatal);

// --- What a dry run would have changed --------------------------------------
//
// A dry run changes nothing, yet decides as the real run would: a
// directory it would have made counts as present to the path tests that
// follow (and opens as an empty tree), and a directory in which it
// judged a file to stay counts as not removable.

// Remembers `path` (as the operation names it) as made.
void RememberMadeInDryRun(const std::string& path);
// True in a dry run that made `path`, spelled with or without a final
// separator.
bool MadeInDryRun(std::string_view path);
// Remembers that the entry `path` stays where it is.
void RememberKeptInDryRun(const ShownPath& path);
// True when the dry run judged an entry directly inside `directory` to stay.
bool HoldsKeptInDryRun(const ShownPath& directory);

// Logs a refusal of `path` (and `to`, for a request with a target) and
// raises `error` about it, as raised at the caller: the report then names
// the path on its third line.
template <class E>
[[noreturn]] __attribute__((noinline)) void Refuse(E error, const std::string& path, const std::string& to = {}) {
  RecordStep(StepKind::kRefused, ShownPath(path), ShownPath(to), static_cast<uint32_t>(error.IoCode), error.Message());
  error.SetSubject(path);
  RaiseAt(std::move(error), reinterpret_cast<uintptr_t>(__builtin_return_address(0)));
}
