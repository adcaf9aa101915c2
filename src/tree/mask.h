// The mask case shared by copy, move and delete: the plain files that a
// mask such as C:\data\*.txt selects.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "prims/fs.h"

// True when `path` is a mask: it holds the text "*." (in any letter case).
bool IsMaskPath(const std::string& path);

// The plain files (not hidden, not system, not directories) that the search
// for `mask` delivers, in the platform's order, with the mask's directory
// open as a tree: each file's name in it and its attribute word (a link to
// a file comes as the link). Only the last name of the mask is a pattern.
// Each name is checked again against the pattern, so a name that matched
// only through a short 8.3 alias is passed over. A name the search
// delivered that cannot be used raises EInOutError, before anything is
// touched. A mask whose directory cannot be opened selects nothing. A mask
// that selects nothing is noted in the step log: its source names nothing.
struct MaskedFiles {
  MaskedFiles(const std::string& mask);
  std::string directory;  // the mask's directory as named, with its separator ("" for none)
  ScopedTree tree;
  std::vector<std::string> names;
  std::vector<uint32_t> attributes;
};
