// Text primitives. A text is a byte string in the ANSI code page; positions
// are 1-based and 0 means "not found". None of these raises or changes its
// arguments. The character-aware ones take the code page's lead bytes from
// `Conventions`, so that the second byte of a double-byte character is never
// taken for an ASCII character; the overloads without it use the platform's.
#pragma once

#include <string>
#include <string_view>

#include "platform/conventions.h"

// Flags of ReplaceText.
enum ReplaceFlags : unsigned char { kReplaceAll = 1, kIgnoreCase = 2 };

// A byte from 0x01 to 0x20 (blank, tab, line breaks, other controls).
constexpr bool IsBlankOrControl(unsigned char byte) { return byte >= 0x01 && byte <= 0x20; }

// True when the byte at 0-based `index` is the second byte of a double-byte
// character: the run of lead bytes right before it has odd length.
bool IsTrailByte(std::string_view text, size_t index, const LeadBytes& leadBytes);

// `text` without leading and trailing bytes 0x00..0x20; empty when nothing else.
std::string TrimBlanks(std::string_view text);

// A..Z raised to a..z; every other byte, trail bytes included, stays.
std::string LowerAscii(std::string_view text);

// First byte-for-byte occurrence of `needle`; 0 when absent or either is empty.
size_t FindText(std::string_view needle, std::string_view text);

// Like FindText, but an occurrence beginning on a trail byte does not count.
size_t FindTextChars(std::string_view needle, std::string_view text, const LeadBytes& leadBytes);

// True when upper-cased `needle` occurs in upper-cased `text` (character-
// aware); false when either is empty.
bool ContainsTextCI(std::string_view text, std::string_view needle, const Conventions& c);
bool ContainsTextCI(std::string_view text, std::string_view needle);

// `text` with the first occurrence of `pattern` (all with kReplaceAll)
// replaced; found after upper-casing with kIgnoreCase, the rest keeping its
// case. Unchanged when `pattern` is empty or absent.
std::string ReplaceText(std::string_view text, std::string_view pattern,
                        std::string_view replacement, unsigned flags, const Conventions& c);
std::string ReplaceText(std::string_view text, std::string_view pattern,
                        std::string_view replacement, unsigned flags);

// At most `count` bytes from 1-based `index`; an index below 1 counts as 1,
// an index past the end or a count below 1 gives the empty text.
std::string CopyText(std::string_view text, long long index, long long count);

// Position of the last byte of `text` that is in `delimiters` and is not a
// trail byte; 0 when there is none. A zero byte is never a delimiter.
size_t LastDelimiterPos(std::string_view delimiters, std::string_view text,
                        const LeadBytes& leadBytes);
size_t LastDelimiterPos(std::string_view delimiters, std::string_view text);

// An upper-cased copy by the code page's rules.
std::string UpperCopy(std::string_view text, const Conventions& c);
