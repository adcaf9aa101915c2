#include "platform/posix/errors_posix.h"

#include <cerrno>

#include "platform/platform.h"

namespace platform::posix {

uint32_t TranslateErrno(int errnum, bool parentMissing) {
  switch (errnum) {
    case 0: return 0;
    case ENOENT: return parentMissing ? kErrorPathNotFound : kErrorFileNotFound;
    case ENOTDIR: return kErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR: return kErrorAccessDenied;
    case EMFILE:
    case ENFILE: return kErrorTooManyOpenFiles;
    case ENOSPC:
    case EDQUOT: return kErrorDiskFull;
    case EEXIST: return kErrorAlreadyExists;
    case ENOTEMPTY: return kErrorDirNotEmpty;
    case ENAMETOOLONG: return kErrorFilenameTooLong;
    case EBUSY:
    case ETXTBSY: return kErrorSharingViolation;
    case EXDEV: return 17;      // not the same device
    case EINVAL: return kErrorInvalidParameter;
    case ELOOP: return 1921;    // the name cannot be resolved
    case ENOMEM: return 8;      // not enough memory
    case EIO: return 1117;      // device I/O error
    default: return 31;         // device not functioning
  }
}

}  // namespace platform::posix
