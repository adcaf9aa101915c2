// A test-only platform layer: the real services, with faults planned by the
// test. The program's logic is linked against it unchanged (it speaks the
// same interface); the real implementation sits beside it under another
// namespace name.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace faults {

enum class Service {
  kFileAttributes,
  kFindFirst,
  kFindNext,
  kCreateDirectory,
  kRemoveDirectory,
  kDeleteFile,
  kMoveFile,
  kCopyFile,
  kCopyLink,
  kCount,
};

// The nth call of `service` from now on (1 = the next) fails with `code`
// instead of running: an attribute query then finds nothing, a search ends.
void FailCall(Service service, int nth, uint32_t code);

// `action` runs just before the nth call of `service` from now on, with the
// call's (first) path; the call itself then runs as usual. For making a file
// vanish or appear between two calls.
void BeforeCall(Service service, int nth, std::function<void(const std::string& path)> action);

// Forgets every planned fault and starts the counts afresh.
void Reset();

// Calls of `service` since the last Reset.
int CallCount(Service service);

}  // namespace faults
