// Splitting a raw command line into arguments, and the argument access the
// front end uses.
//
// Rules: blanks and control bytes (0x01..0x20) separate arguments; a pair of
// double quotes standing alone between arguments is skipped; a double quote
// opens a run copied as it is (blanks included) up to the next double quote
// or the end; quotes are never copied and nothing escapes them. A
// double-byte character is stepped over whole, so its trail byte is never
// taken for a quote or a blank.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/conventions.h"

// Takes the argument that starts at or after `position` and advances
// `position` past it. The result is empty only at the end of the text or for
// a lone quote that is the text's last character.
std::string NextArgument(std::string_view raw, size_t& position, const LeadBytes& leadBytes);

// The arguments of a raw command line after the program name, up to the
// first that comes out empty.
std::vector<std::string> SplitCommandLine(std::string_view raw, const LeadBytes& leadBytes);

// The arguments after the program name, read once: what ArgumentAt(1..n)
// gives one by one.
std::vector<std::string> CommandArguments();

// Number of arguments after the program name. Windows splits the raw
// command-line text; POSIX takes each argv element as one argument.
int ArgumentCount();

// Argument `i` (1-based) without its quotes; the program's path for 0; the
// empty text for any other index.
std::string ArgumentAt(int i);
