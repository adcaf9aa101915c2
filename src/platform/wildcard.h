// Matching a name against a search pattern (a pure rule, below the platform
// seam: the POSIX search matches with it), as a directory search does:
// "*" stands for any run of characters, "?" for exactly one, and the pattern
// "*.*" matches every name, dotted or not. Letter case is folded by the code
// page's rules when the conventions fold case. A double-byte character counts
// as one character.
#pragma once

#include <string_view>

#include "platform/conventions.h"

bool MatchesMask(std::string_view name, std::string_view pattern, const Conventions& c);

// True when the text holds "*" or "?".
bool HasWildcard(std::string_view text);
