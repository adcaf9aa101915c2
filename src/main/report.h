// The failure report and the end of the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class Exception;

// The exit code the process ends with; only EndProgram changes it.
extern int32_t ProgramExitCode;

// Fills `buffer` (room for `size` bytes, terminator included) with the
// report "Exception <class> in module <name> at <address>.\r\n<message><end>\r\n"
// and returns its length. The address is shown relative to the image that
// holds it, as at least eight upper-case hex digits; `error` may be null.
// An error about a path (see Exception::Subject) adds a third line: the
// path, with control characters shown as <U+XXXX>, then ": " and the
// cause when there is one; a path too long for the room left loses its
// middle.
size_t BuildErrorReport(const Exception* error, uintptr_t address, char* buffer, size_t size);

// The report as a text, built in room for 1024 bytes.
std::string ErrorReportText(const Exception* error, uintptr_t address);

// Ends the run's step log with the error, shows the report for it and ends
// the process with exit code 1. Never returns.
[[noreturn]] void ReportUncaughtError(const Exception* error, uintptr_t address);

// Ends the run's step log, then the process with `code` after the normal
// shutdown: 2 instead of 0 under FILEOP_STRICT=1 when a step failed (see
// main/step_log.h). Never returns.
[[noreturn]] void EndProgram(int32_t code);
