// The verb "d".
#pragma once

#include <string>

// Deletes one file, the plain files matching a mask (a path holding "*."),
// or a directory with everything below it, after expanding %NAME%
// references. A tree goes deepest first, the directory itself last; a link
// is removed itself, never what it leads to. File deletions that fail are
// passed over; a directory that cannot be removed raises EInOutError, and
// so does a path that names a root ("Cannot delete a root directory"),
// before anything is deleted.
void DeleteTarget(std::string path);
