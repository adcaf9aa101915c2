// The verb "d".
#pragma once

#include <string>

// Deletes one file, the plain files matching a mask (a path holding "*."),
// or a directory with everything below it, after expanding %NAME%
// references. A tree goes deepest first, the directory itself last; a link
// is removed itself, never what it leads to. File deletions that fail are
// passed over; a directory that cannot be removed raises EInOutError.
// Before anything is deleted, EInOutError also refuses a path that names a
// root however it is spelled ("Cannot delete a root directory"), a path
// whose last name is "." or "..", and a reference to an unset or empty
// variable, which would widen the path ("Environment variable %s is not
// set").
void DeleteTarget(std::string path);
