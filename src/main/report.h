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
size_t BuildErrorReport(const Exception* error, uintptr_t address, char* buffer, size_t size);

// The report as a text, built in room for 1024 bytes.
std::string ErrorReportText(const Exception* error, uintptr_t address);

// Shows the report for an error nothing caught and ends the process with
// exit code 1. Never returns.
[[noreturn]] void ReportUncaughtError(const Exception* error, uintptr_t address);

// Ends the process with `code` after the normal shutdown. Never returns.
[[noreturn]] void EndProgram(int32_t code);
