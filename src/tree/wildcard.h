// The wildcard case shared by copy, move and delete: the plain files that a
// mask such as C:\data\*.txt selects.
#pragma once

#include <functional>
#include <string>

// True when `path` is a mask: it holds the text "*." (in any letter case).
bool IsMaskPath(const std::string& path);

// Calls `visit` with the full path and the name of every plain file (not
// hidden, not system, not a directory) that the search for `mask` delivers,
// in the platform's order. Each name is checked again against the mask's
// pattern, so a name that matched only through a short 8.3 alias is passed
// over. The full path is the mask's directory followed by the name.
void ForEachMaskedFile(const std::string& mask,
                       const std::function<void(const std::string& path, const std::string& name)>& visit);
