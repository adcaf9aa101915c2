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

// `path` spelled as the platform's name layer reads it: the alternate
// separator (Windows' "/") becomes the separator, and a run of separators
// counts as one, so that "X//" names X and "a//b" names a\b. The two
// separators that begin a share or device path (\\server, \\.\) stay
// where drive letters exist; a path in the literal "\\?\" form is the
// caller's exact request and stays as it is.
std::string NormalizeSeparators(std::string_view path, const Conventions& c);
std::string NormalizeSeparators(std::string_view path);

// True when the byte at 0-based `index` is a separator and not a trail byte.
bool IsSeparatorAt(std::string_view path, size_t index, const Conventions& c);

// True when `path` is spelled as the root of a whole drive or file system:
// one or more separators alone ("\", "/"), and with drive letters a drive
// ("C:", "C:\"), a share (\\server\share), or a root in the extended and
// device forms (\\?\C:\, \\.\C:\, \\?\UNC\server\share, \\?\Volume{...}\).
// Trailing separators do not matter. The text alone decides: a path that
// only names a root once "." and ".." are resolved is not caught here (see
// platform::NamesRoot).
bool IsRootPath(std::string_view path, const Conventions& c);

// True when the last name of `path` (trailing separators aside) is "." or
// "..": such a path names a directory through another one, or its parent.
// Where the name layer drops trailing dots and blanks (Windows), any last
// name made only of dots and blanks counts, since it names the same.
bool EndsInDotName(std::string_view path, const Conventions& c);
