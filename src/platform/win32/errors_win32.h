// Native status codes (NTSTATUS) as the Windows system error codes the
// program speaks in.
#pragma once

#include <windows.h>
#include <winternl.h>

#include <cstdint>

namespace platform::win32 {

// The Windows error code of a native status, as the Win32 function doing the
// same would report it (STATUS_OBJECT_NAME_NOT_FOUND is 2, a name collision
// 183, a directory that is not empty 145, a read-only file 5, ...). 0 for
// success; never 0 for a failure.
uint32_t ErrorOf(NTSTATUS status);

// The error of a step whose directory on the way is missing, a file or a
// link: 3 (path not found), as a path through it would fail.
uint32_t StepErrorOf(NTSTATUS status);

}  // namespace platform::win32
