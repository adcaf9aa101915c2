// A test-only platform layer: the real services, with faults planned by the
// test. The program's logic is linked against it unchanged (it speaks the
// same interface); the real implementation sits beside it under another
// namespace name.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/platform.h"

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
  kCreateDirectoryPath,
  // A planned failure of these three stands for the answer that stops the
  // logic: the directory is a mount point, the path lies within the tree;
  // the clean-up of partial files is passed over. Actions see the path.
  kIsMountPoint,
  kLiesWithin,
  kRemoveAbandonedPartialFiles,
  kCount,
};

// The nth call of `service` from now on (1 = the next) fails with `code`
// instead of running: an attribute query then finds nothing, a search ends.
void FailCall(Service service, int nth, uint32_t code);

// `action` runs just before the nth call of `service` from now on, with the
// call's (first) path; the call itself then runs as usual. For making a file
// vanish or appear between two calls.
void BeforeCall(Service service, int nth, std::function<void(const std::string& path)> action);

// Every call of `service` whose (first) path ends with `suffix` fails with
// `code`, or has `action` run just before it: the same call whatever thread
// makes it, and in whatever order the calls come.
void FailPath(Service service, const std::string& suffix, uint32_t code);
void BeforePath(Service service, const std::string& suffix, std::function<void(const std::string& path)> action);

// A directory search delivers `replacement` where the file system holds
// `name`: a name a faulty search could hand over (the entry itself stays).
void ReplaceFoundName(const std::string& name, const std::string& replacement);

// Applies ReplaceFoundName to an entry a search delivered.
void Found(platform_types::FoundEntry& entry);

// Forgets every planned fault and starts the counts afresh.
void Reset();

// Calls of `service` since the last Reset.
int CallCount(Service service);

}  // namespace faults
