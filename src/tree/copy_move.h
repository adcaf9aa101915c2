// The verbs "c" and "m".
#pragma once

#include <string>

// Copies one file, the plain files matching a mask, or a directory tree into
// the directory `target` (created with its parents when missing), replacing
// files of the same names. A directory arrives under its own name. Files
// that cannot be copied are passed over; a directory that cannot be created
// raises EInOutError, as does a target that is not a directory afterwards.
void CopyTarget(std::string source, std::string target);

// As CopyTarget, but moves: an existing file in the target is never
// replaced, and a tree's emptied source directories are removed afterwards.
// A file that could not move stays, with its directories, and the run then
// ends with EInOutError. Moving a directory into itself, and a source that
// refers to an unset or empty variable, are refused before anything
// happens.
void MoveTarget(std::string source, std::string target);
