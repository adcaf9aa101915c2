#include "platform/win32/errors_win32.h"

#include "platform/platform.h"
#include "platform/windows_rules.h"

namespace platform::win32 {

uint32_t ErrorOf(NTSTATUS status) {
  if (NT_SUCCESS(status)) return 0;
  const ULONG error = RtlNtStatusToDosError(status);
  // A status Windows has no code for (ERROR_MR_MID_NOT_FOUND) is still a
  // failure; it shows as its own number.
  if (error == 0 || error == ERROR_MR_MID_NOT_FOUND) return static_cast<uint32_t>(status);
  return error;
}

uint32_t StepErrorOf(NTSTATUS status) {
  switch (static_cast<uint32_t>(status)) {
    case nt_status::kObjectNameNotFound:
    case nt_status::kObjectPathNotFound:
    case nt_status::kNotADirectory:
    case nt_status::kDeletePending:
      return kErrorPathNotFound;
    default:
      return ErrorOf(status);
  }
}

}  // namespace platform::win32
