// Translation of errno values into the Windows error codes the program
// reports, so that both builds name the same failure the same way.
#pragma once

#include <cstdint>

namespace platform::posix {

// The Windows code for `errnum`. ENOENT gives 3 (path not found) when
// `parentMissing`, else 2 (file not found).
uint32_t TranslateErrno(int errnum, bool parentMissing);

}  // namespace platform::posix
