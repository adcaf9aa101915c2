// The few operating-system services the program uses, named by what they do.
// Exactly one implementation is linked: win32/ calls the Windows A-functions,
// posix/ reproduces on Linux the Windows behaviour the program relies on.
//
// Error codes are Windows system error codes on every platform (2 file not
// found, 3 path not found, 5 access denied, 183 already exists, ...): the
// POSIX layer translates errno so that both builds report the same failure
// with the same number and text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/conventions.h"

namespace platform {

// Windows error codes the program names.
enum : uint32_t {
  kErrorFileNotFound = 2,
  kErrorPathNotFound = 3,
  kErrorTooManyOpenFiles = 4,
  kErrorAccessDenied = 5,
  kErrorNoMoreFiles = 18,
  kErrorSharingViolation = 32,
  kErrorInvalidParameter = 87,
  kErrorDiskFull = 112,
  kErrorInvalidName = 123,
  kErrorDirNotEmpty = 145,
  kErrorAlreadyExists = 183,
  kErrorFilenameTooLong = 206,
  kErrorDirectory = 267,
};

// Attribute bits of a file-system entry, as Windows reports them.
enum : uint32_t {
  kAttrReadOnly = 0x01,
  kAttrHidden = 0x02,
  kAttrSystem = 0x04,
  kAttrVolume = 0x08,
  kAttrDirectory = 0x10,
  kAttrArchive = 0x20,
  kAttrReparsePoint = 0x400,
  kNoAttributes = 0xFFFFFFFFu,
};

// Path and text conventions of this platform, established once on first use
// (on Windows the lead bytes come from the thread locale's ANSI code page).
const Conventions& NativeConventions();

// --- Process ---------------------------------------------------------------

// Remembers the arguments the C runtime handed to main. Only the POSIX build
// uses them: there each argv element is one argument, already split.
void RecordArguments(int argc, char** argv);

// The raw command-line text, program name first, where the platform keeps
// one (Windows); nullopt where arguments arrive already split (POSIX).
std::optional<std::string> RawCommandLine();

// The arguments recorded by RecordArguments, program path first.
const std::vector<std::string>& RecordedArguments();

// Full path of the running program file.
std::string ProgramFilePath();

// The value of an environment variable; the empty text when it is unset or
// empty. Windows looks names up without regard to letter case.
std::string EnvironmentValue(const std::string& name);

// Text number `id` of the program's string table; empty when there is none.
std::string LoadText(unsigned id);

// Shows a failure report and waits until the user has seen it: a modal error
// box on Windows, the text on standard error (with "\n" line ends) on POSIX.
void ShowFailureReport(const std::string& text, const std::string& title);

// Finds the loaded program image that holds `address`. False when no image
// holds it (the caller then names the program itself).
bool ImageOfAddress(uintptr_t address, std::string& imageFile, uintptr_t& imageBase);

// Ends the process with `code` after the runtime's normal shutdown.
[[noreturn]] void ExitProcess(int code);

// --- File system -----------------------------------------------------------

// The attribute word of a path, kNoAttributes when it cannot be read (missing
// or empty path, a wildcard in the path). A link is described itself, never
// followed: it carries kAttrReparsePoint, plus kAttrDirectory when it leads to
// a directory. POSIX derives the word: directory 0x10, hidden for a name that
// begins with ".", read-only when the owner write bit is clear, else 0x20.
uint32_t FileAttributes(const std::string& path);

// One entry delivered by a directory search.
struct FoundEntry {
  uint32_t attributes = 0;
  uint64_t size = 0;
  int64_t lastWriteTime = 0;  // 100 ns units since 1601-01-01 UTC
  std::string name;           // without its directory
};

// An open directory search; kNoSearch when none is open.
using SearchHandle = void*;
inline constexpr SearchHandle kNoSearch = nullptr;

// Starts a search for `mask` (a directory followed by a name pattern in which
// "*" stands for any run of characters and "?" for one) and delivers the
// first entry. "." and ".." are listed where the pattern matches them. On
// failure returns kNoSearch and sets `error` (never 0). Windows also matches
// 8.3 short names and folds letter case; POSIX matches the names exactly,
// and a pattern without wildcards looks that one name up directly.
//
// With `kindsOnly`, an entry's directory, link and hidden bits are exact but
// its read-only bit, size and time may be left out: POSIX then spares a
// query per entry (the directory listing tells the kind of most entries).
SearchHandle FindFirst(const std::string& mask, FoundEntry& entry, uint32_t& error,
                       bool kindsOnly = false);

// Delivers the next entry; false with `error` set at the end
// (kErrorNoMoreFiles) or on failure.
bool FindNext(SearchHandle search, FoundEntry& entry, uint32_t& error);

// Releases a search opened by FindFirst.
void FindClose(SearchHandle search);

// Converts a UTC file time to the local MS-DOS date (high 16 bits) and time
// (low 16 bits). False when the time lies outside 1980-01-01..2107-12-31.
bool LocalDosDateTime(int64_t fileTime, uint32_t& dosDateTime);

// Creates one directory; its parent must exist. Returns 0 or the error code
// (kErrorAlreadyExists for an existing name).
uint32_t CreateDirectory(const std::string& path);

// Removes one empty directory, or a link that leads to a directory (never
// what it leads to). Returns 0 or the error code (kErrorDirNotEmpty).
uint32_t RemoveDirectory(const std::string& path);

// Deletes one file or a link to a file. Fails for a directory and, as on
// Windows, for a read-only file. Returns 0 or the error code.
uint32_t DeleteFile(const std::string& path);

// Moves or renames a file, a link or a directory; never replaces an existing
// name. Across file systems a file is copied completely and only then
// removed; a directory is refused. Returns 0 or the error code.
uint32_t MoveFile(const std::string& from, const std::string& to);

// Copies a file's content, last-write time and read-only bit to `to`,
// replacing an existing file there. Fails when the existing target is
// read-only or hidden, or is the source itself. An existing target is
// either fully replaced or left as it was. Returns 0 or the error code.
uint32_t CopyFile(const std::string& from, const std::string& to);

// Recreates the symbolic link `from` at `to` with the same target,
// replacing a file of that name. Fails (error 50, not supported) where the
// platform cannot make links for an ordinary user (Windows).
uint32_t CopyLink(const std::string& from, const std::string& to);

// `path` made absolute against the current directory, with "." and ".."
// components resolved by the text alone; `path` itself when that fails.
std::string AbsolutePath(const std::string& path);

}  // namespace platform
