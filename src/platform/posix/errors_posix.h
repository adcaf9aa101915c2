// Translation of errno values into the Windows error codes the program
// reports, so that both builds name the same failure the same way.
#pragma once

#include <cstdint>
#include <string>

namespace platform::posix {

// The Windows code for `errnum`. ENOENT gives 3 (path not found) when
// `parentMissing`, else 2 (file not found).
uint32_t TranslateErrno(int errnum, bool parentMissing);

// TranslateErrno for a failure on `path`, looking up whether the path's
// directory exists when that decides between 2 and 3.
uint32_t ErrorFor(int errnum, const std::string& path);

}  // namespace platform::posix
