// The text forms of the step log and of names shown in a failure report.
// Pure, so that tests pin them down on any platform.
//
// The log is JSON Lines: one JSON object per line, UTF-8, lines ended by
// "\n". A name reaches a line only inside a JSON string, escaped, so no
// name can end a line or a field whatever bytes it holds.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Appends `text` to `out` as the inside of a JSON string (without the
// quotes). The quote and the backslash are escaped, and so is every
// character some reader takes for a line end or that is not printable:
// C0 controls and DEL (\n, \r, \t, else \u00XX), U+0085, U+2028 and
// U+2029. Valid UTF-8 stays as it is; each byte that is not part of
// valid UTF-8 (a POSIX name in another encoding; on Windows the
// unpaired surrogate that an NTFS name may hold, whose bytes are not
// valid UTF-8) becomes \udcXX with XX the byte, the "surrogate escape"
// convention, so that a reader can recover the exact bytes.
void AppendJsonText(std::string& out, std::string_view text);

// `text` as a failure report shows it: the characters AppendJsonText
// escapes, apart from the quote and the backslash (a Windows path is
// full of them), written as <U+XXXX>; everything else as it is.
std::string ShownInReport(std::string_view text);

// `text` cut to at most `limit` bytes by dropping its middle, marked by
// "...", at character boundaries: the beginning of a long path says where
// it is, its end which entry failed.
std::string ShortenedInMiddle(std::string_view text, size_t limit);

// The UTC time `secondsSinceEpoch` (1970-01-01) as 2026-01-31T23:59:59Z.
std::string UtcTimeText(int64_t secondsSinceEpoch);

// `value` in `base` (upper-case letters), with leading zeros up to `width`
// digits. (Not the printf family: in the static Windows program its
// formatting code, floating point included, would come along.)
std::string PaddedNumber(uint64_t value, int base, size_t width);
