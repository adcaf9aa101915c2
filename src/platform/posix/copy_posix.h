// Copying and moving single entries on POSIX, from a name below one tree to
// a name below another, without ever exposing a partial file under the
// target's name and without following a link anywhere on the way.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/posix/tree_posix.h"

namespace platform::posix {

// Copies content, last-write time and permission bits of the regular file
// `fromName` to `toName`. The data goes to an unnamed (or, where the file
// system cannot, a temporary) file in the target's directory that takes the
// name only when complete; an existing target is then replaced in one step
// (a link there is replaced itself). Refuses an existing target that is a
// directory, read-only, hidden or the source itself. Holes of a sparse
// source stay holes. A named pipe, socket or device node is recreated as
// such (where the process may), never opened; a link at `fromName` is
// followed only with `followLink`, and otherwise refused.
// With `plainFileSeen` the caller has just seen a regular file at
// `fromName`, and no second look is taken before it is opened.
uint32_t CopyEntry(Tree& from, std::string_view fromName, Tree& to, std::string_view toName, bool followLink,
                   bool plainFileSeen = false);

// Makes `toName` a symbolic link with the same target as the link
// `fromName`, replacing a file or link of that name in one step.
uint32_t CopyLinkEntry(Tree& from, std::string_view fromName, Tree& to, std::string_view toName);

// Renames without replacing. Across file systems the entry is recreated
// completely (a file copied, a link, pipe, socket or device node made
// anew) with its owner and group where the process may set them, its mode
// (set-user-ID and set-group-ID bits only where the owner was kept) and
// its times, put in place without replacing, and only then is the source
// removed; a directory is refused. With `finishMoved`, a target name taken
// by a regular file whose content equals that of the regular file
// `fromName` (sizes first, then bytes; never the source itself under a
// second name) is what an earlier run left when it stopped between the
// copy and the removal of its source: the source is removed and 0 given.
uint32_t MoveEntry(Tree& from, std::string_view fromName, Tree& to, std::string_view toName, bool finishMoved);

}  // namespace platform::posix
