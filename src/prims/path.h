// Pure path rules over the platform's separator ("\" on Windows, "/" on
// POSIX; the names speak of the backslash). A separator byte that is the
// trail byte of a double-byte character is not a separator.
#pragma once

#include <string>
#include <string_view>

#include "platform/conventions.h"

// `path` with one separator appended unless it already ends in one; the
// empty path gives the separator alone.
std::string AddTrailingBackslash(std::string_view path, const Conventions& c);
std::string AddTrailingBackslash(std::string_view path);

// `path` without its last byte when that is a separator (exactly one is
// removed); otherwise unchanged.
std::string DropTrailingBackslash(std::string_view path, const Conventions& c);
std::string DropTrailingBackslash(std::string_view path);

// The bytes after the last separator (or drive colon); all of `path` when
// there is none. C:\a\b.txt gives b.txt, C:b.txt gives b.txt.
std::string FileNamePart(std::string_view path, const Conventions& c);
std::string FileNamePart(std::string_view path);

// Everything up to and including the last separator (or drive colon); empty
// when there is none. C:\a\b gives C:\a\, C:x gives C:.
std::string DirectoryPart(std::string_view path, const Conventions& c);
std::string DirectoryPart(std::string_view path);

// True when the byte at 0-based `index` is a separator and not a trail byte.
bool IsSeparatorAt(std::string_view path, size_t index, const Conventions& c);

// True when `path` names the root of a whole drive or file system: one or
// more separators alone ("\", "/"), a drive ("C:", "C:\"), or on Windows a
// share (\\server\share). Trailing separators do not matter.
bool IsRootPath(std::string_view path, const Conventions& c);
