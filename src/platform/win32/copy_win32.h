// Copying and moving single entries on Windows, from a name below one tree
// to a name below another, relative to held directories: the source pinned
// while it is read, the data written to a private partial file that takes
// its name only when complete.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/win32/tree_win32.h"

namespace platform::win32 {

// Copies the main data stream and the named streams, the last-write time and
// the attributes (read-only, hidden, system, archive) of the regular file
// `fromName` below `from` to `toName` below `to`.
//
// The source is opened with read access and without delete sharing: while
// it is read nobody can delete, rename or replace it. A link at `fromName`
// is refused (error 5), or, with `followLink` (a path the caller named),
// followed. A file with more than one name is copied only when every name
// lies inside `from` (with `followLink`, the caller's own file, always):
// another name outside could be a file the tree's writer may not read,
// linked in to have an elevated copy hand its content over.
//
// The data goes to a partial file in the target's directory, created new
// relative to the held directory (never through a link, never an existing
// name) under an unpredictable name, hidden from the start and held open
// without sharing while it is written; it is handled by its handle alone and
// takes the name `toName` in one step, replacing an existing file there
// with POSIX semantics where the volume has them. An existing target that is
// a directory, read-only, hidden or system (when the source is not), or the
// source itself, is refused. Returns 0 or the error code.
uint32_t CopyEntry(Tree& from, std::string_view fromName, Tree& to, std::string_view toName, bool followLink);

// Moves `fromName` below `from` to `toName` below `to`, never replacing: a
// rename by handle relative to the target's held directory. With
// `finishEqual`, where `toName` is taken by a regular file whose content
// equals that of the regular file `fromName` (sizes first, then bytes), the
// source is removed as moved and 0 returned: what a move killed between its
// copy and the removal of its source left, finished by a second run. Across volumes a file is copied
// from its pinned source to a partial file written through to the disk,
// with its times and attributes, put in place without replacing, and only
// then is the source deleted by its handle; a directory or a link is
// refused there (error 17). Returns 0 or the error code.
uint32_t MoveEntry(Tree& from, std::string_view fromName, Tree& to, std::string_view toName, bool finishEqual);

// Removes from `directory` below `tree` the partial files of copies that
// ended without finishing them: plain files named as partial files that no
// live process holds open (a writer holds its partial file without sharing
// it). Links, directories and held files are left alone; failures are
// passed over.
void RemoveAbandoned(Tree& tree, std::string_view directory);

}  // namespace platform::win32
