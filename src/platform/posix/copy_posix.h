// Copying and moving single files on POSIX without ever exposing a partial
// file under the target's name.
#pragma once

#include <cstdint>
#include <string>

namespace platform::posix {

// Copies content, last-write time and permission bits of `from` to `to`.
// The data goes to an unnamed (or, where the file system cannot, a
// temporary) file in the target's directory that takes the name `to` only
// when complete; an existing `to` is then replaced in one step. Refuses an
// existing target that is read-only, hidden or the source itself.
uint32_t CopyReplacing(const std::string& from, const std::string& to);

// Makes `to` a symbolic link with the same target as the link `from`,
// replacing a file or link of that name in one step.
uint32_t CopyLinkReplacing(const std::string& from, const std::string& to);

// Renames without replacing. Across file systems a file (or a link) is
// copied completely, put in place without replacing, and only then is the
// source removed; a directory is refused.
uint32_t MoveNoReplace(const std::string& from, const std::string& to);

}  // namespace platform::posix
