// Rules of the Windows name layer that need no Windows to be stated: how
// the program's UTF-8 text maps to the UTF-16 of the wide functions, which
// reparse points are links, which names a directory search may never
// deliver, and when a path needs its extended-length form. Pure, so that
// native tests pin them down.
#pragma once

#include <cstdint>
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
