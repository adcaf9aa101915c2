// The few operating-system services the program uses, named by what they do.
// Exactly one implementation is linked: win32/ calls the Windows functions,
// posix/ reproduces on Linux the Windows behaviour the program relies on.
// Nothing here includes the primitives or the front end: the pure rules the
// services need (conventions, the wildcard matcher, the texts) live beside
// this header.
//
// Error codes are Windows system error codes on every platform (2 file not
// found, 3 path not found, 5 access denied, 183 already exists, ...): the
// POSIX layer translates errno so that both builds report the same failure
// with the same number and text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/conventions.h"

// The types the services speak in. They live in a namespace of their own so
// that a test build can put a second implementation of the services beside
// the real one, speaking the same types.
namespace platform_types {

// Windows error codes the program names.
enum : uint32_t {
  kErrorFileNotFound = 2,
  kErrorPathNotFound = 3,
  kErrorTooManyOpenFiles = 4,
  kErrorAccessDenied = 5,
  kErrorNotSameDevice = 17,
  kErrorNoMoreFiles = 18,
  kErrorSharingViolation = 32,
  kErrorInvalidParameter = 87,
  kErrorDiskFull = 112,
  kErrorInvalidName = 123,
  kErrorEnvVarNotFound = 203,
  kErrorDirNotEmpty = 145,
  kErrorAlreadyExists = 183,
  kErrorFilenameTooLong = 206,
  kErrorDirectory = 267,
};

// Attribute bits of a file-system entry, as Windows reports them.
enum : uint32_t {
  kAttrReadOnly = 0x01,
  kAttrHidden = 0x02,
  kAttrSystem = 0x04,
  kAttrVolume = 0x08,
  kAttrDirectory = 0x10,
  kAttrArchive = 0x20,
  kAttrDevice = 0x40,  // POSIX: a named pipe, socket or device node
  kAttrReparsePoint = 0x400,
  kNoAttributes = 0xFFFFFFFFu,
};

// One entry delivered by a directory search.
struct FoundEntry {
  uint32_t attributes = 0;
  uint64_t size = 0;
  int64_t lastWriteTime = 0;  // 100 ns units since 1601-01-01 UTC
  std::string name;           // without its directory
};

// An open directory search; kNoSearch when none is open.
using SearchHandle = void*;
inline constexpr SearchHandle kNoSearch = nullptr;

// An open tree: a directory an operation works beneath (see OpenTree);
// kNoTree when none is open.
using TreeHandle = void*;
inline constexpr TreeHandle kNoTree = nullptr;

// An open step log (see OpenLog); kNoLog when none is open.
using LogHandle = void*;
inline constexpr LogHandle kNoLog = nullptr;

}  // namespace platform_types

namespace platform {

using namespace platform_types;

#include "platform/services.inc"

}  // namespace platform
