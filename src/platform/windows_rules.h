// Rules of the Windows name layer that need no Windows to be stated: how
// the program's UTF-8 text maps to the UTF-16 of the wide functions, which
// reparse points are links, which names a directory search may never
// deliver, and when a path needs its extended-length form. Pure, so that
// native tests pin them down.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

// UTF-16 to the program's 8-bit text, losslessly: well-formed UTF-8 for
// valid text, and an unpaired surrogate (NTFS names may hold one) as the
// three bytes its code point would take (the WTF-8 form), so that it stays
// distinguishable and comes back unchanged.
std::string NarrowFromWide(std::u16string_view wide);

// The inverse of NarrowFromWide. A byte that begins no valid sequence
// (which no text from the wide functions contains) becomes U+FFFD.
std::u16string WideFromNarrow(std::string_view narrow);

// Upper-cases `text` (UTF-8) in place by `upper`, a mapping of one UTF-16
// code unit, wherever the upper-cased character has the same length in
// bytes; ASCII directly. Positions in the text thus stay valid.
void UpperSameLength(std::string& text, char16_t (*upper)(char16_t));

// True when a reparse point with this tag is a link that the program must
// never enter or follow: a name surrogate (symbolic link, junction, mount
// point, and the like), or a tag that could not be read (0). Any other
// reparse point (cloud placeholder, deduplicated file, ...) is an ordinary
// file or directory to every verb.
bool IsLinkReparseTag(uint32_t tag);

// True when `name`, as a directory search delivered it, can be a real
// Win32 name: not empty, not "." or "..", and free of separators, ":",
// wildcards, quotes, "<", ">", "|" and control bytes. A name that fails
// cannot have come from the file system honestly and is never acted on.
bool IsPlainWin32Name(std::string_view name);

// The extended-length form of a full path, for paths too long for the
// plain form: "\\?\" before a drive path, "\\?\UNC\" for a share. Paths
// already in a "\\?\" or "\\.\" form are returned as they are.
std::u16string ExtendedLengthPath(std::u16string_view fullPath);

// Where a failure report goes when a box cannot be seen: with no visible
// window station (a service, a task with nobody logged on) a box would wait
// for ever on an invisible desktop.
struct ReportRoute {
  bool box = false;
  bool debugger = false;
  bool standardError = false;
};
ReportRoute RouteReport(bool windowStationVisible, bool standardErrorAttached);

// --- The Windows layer's decisions (pure, so that tests pin them down) ---

// NTSTATUS values the layer decides on. (ntstatus.h cannot be included
// beside windows.h, and these rules need no Windows at all.)
namespace nt_status {
inline constexpr uint32_t kSuccess = 0;
inline constexpr uint32_t kNotImplemented = 0xC0000002;
inline constexpr uint32_t kInvalidInfoClass = 0xC0000003;
inline constexpr uint32_t kInvalidParameter = 0xC000000D;
inline constexpr uint32_t kInvalidDeviceRequest = 0xC0000010;
inline constexpr uint32_t kAccessDenied = 0xC0000022;
inline constexpr uint32_t kObjectNameInvalid = 0xC0000033;
inline constexpr uint32_t kObjectNameNotFound = 0xC0000034;
inline constexpr uint32_t kObjectNameCollision = 0xC0000035;
inline constexpr uint32_t kObjectPathNotFound = 0xC000003A;
inline constexpr uint32_t kSharingViolation = 0xC0000043;
inline constexpr uint32_t kDeletePending = 0xC0000056;
inline constexpr uint32_t kNotSupported = 0xC00000BB;
inline constexpr uint32_t kFileIsADirectory = 0xC00000BA;
inline constexpr uint32_t kDirectoryNotEmpty = 0xC0000101;
inline constexpr uint32_t kNotADirectory = 0xC0000103;
inline constexpr uint32_t kNotSameDevice = 0xC00000D4;
inline constexpr uint32_t kCannotDelete = 0xC0000121;
inline constexpr uint32_t kNoMoreFiles = 0x80000006;
inline constexpr uint32_t kNoSuchFile = 0xC000000F;
}  // namespace nt_status

// True when a request with one of the newer information classes (a delete
// with POSIX semantics, a rename with flags) was refused because the system
// or the volume does not know the class or its flags: the older class is
// then the way. False for a refusal about the file itself (read-only, in
// use, not empty, no access), which the older class would meet as well and
// which must stand: a read-only file is never deleted.
bool RefusedAsUnknownClass(uint32_t status);

// Runs `attempt(true)` (the newer class) and, where RefusedAsUnknownClass,
// `attempt(false)` (the older one); returns the status of the last attempt.
// `olderOnly`, when given, remembers such a refusal: later calls with it go
// the older way at once (a volume that refused once refuses again).
uint32_t WithNewerClassFirst(const std::function<uint32_t(bool newer)>& attempt, std::atomic<bool>* olderOnly);

// How a wide file function will use a path, for the limits of its plain form.
enum class PathUse {
  kFile,             // CreateFileW, GetFileAttributesW and the like: MAX_PATH
  kCreateDirectory,  // CreateDirectoryW: MAX_PATH - 12
  kSearch,           // FindFirstFileExW: MAX_PATH; the last name is a pattern
};

// True for the names the plain form turns into a device whatever directory
// they are in (CON, PRN, AUX, NUL, COM1-9, LPT1-9, CONIN$, CONOUT$), with
// or without an extension and trailing blanks or dots, in any letter case.
bool IsReservedDeviceName(std::u16string_view name);

// Why real Windows would not read `path` as written when a wide file
// function is handed it for `use`: in its plain form (anything but
// "\\?\...") it must be shorter than the function's limit, and no name in
// it may end in a dot or a blank (the plain form drops them) or be a device
// name. Empty when Windows reads the path as it is written. Wine enforces
// none of this; the test build checks every path the layer hands over.
std::string PathRuleBreach(std::u16string_view path, PathUse use);

// True when the full path `fullPath` (from GetFullPathNameW) must be handed
// over in its extended-length form to mean what it says for `use`: too long
// for the plain form, or holding a name the plain form would change.
bool NeedsExtendedForm(std::u16string_view fullPath, PathUse use);

// The length of the leading part of a full path that names a volume, a share
// or a device and cannot be made as a directory: "C:\", "\\server\share\",
// "\\?\C:\", "\\?\UNC\server\share\", "\\?\Volume{...}\",
// "\\?\GLOBALROOT\Device\Name\", "\\.\Name\". 0 when the path has none.
size_t VolumeRootLength(std::u16string_view fullPath);

// The name of a partial file of a copy: a prefix that says what it is and
// 128 random bits, so that nobody can predict it.
std::u16string PartialFileName(uint64_t high, uint64_t low);

// True for a name that a copy of this program (this one or an earlier one)
// gives its partial files.
bool IsPartialFileName(std::u16string_view name);

// A volume-relative path as Wine names an entry: every name with its
// trailing dots and blanks dropped (Wine drops them when it names an open
// file), so that it compares with the path the layer expects.
std::u16string WithoutTrailingDotsAndBlanks(std::u16string_view path);

// Whether a box can be seen. A process in session 0 (services, tasks with
// nobody logged on) has no desktop anybody sees; a window station that
// cannot be asked is taken as invisible too: a box that nobody sees would
// block the caller for ever. `session` and `stationVisible` count only where
// they could be had (`sessionKnown`, `stationKnown`).
bool DesktopVisible(bool sessionKnown, uint32_t session, bool stationKnown, bool stationVisible);
