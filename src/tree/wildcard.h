// The wildcard case shared by copy, move and delete: the plain files that a
// mask such as C:\data\*.txt selects.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/platform.h"

// True when `path` is a mask: it holds the text "*." (in any letter case).
bool IsMaskPath(const std::string& path);

// Calls `visit` for every plain file (not hidden, not system, not a
// directory) that the search for `mask` delivers, in the platform's order,
// with the mask's directory open as a tree, the file's name in it and its
// attribute word (a link to a file is delivered as the link). Only the last
// name of the mask is a pattern. Each name is checked again against the
// pattern, so a name that matched only through a short 8.3 alias is passed
// over. The search ends before the first visit; a name it delivered that
// cannot be used raises EInOutError then, before anything is touched. A
// mask whose directory cannot be opened visits nothing.
void ForEachMaskedFile(
    const std::string& mask,
    const std::function<void(platform::TreeHandle tree, const std::string& name, uint32_t attributes)>& visit);
