#include "prims/expand.h"

#include <algorithm>

#include "main/errors.h"
#include "main/step_log.h"
#include "main/texts.h"
#include "platform/platform.h"

std::string ReadEnvVar(const std::string& name) { return platform::EnvironmentValue(name); }

std::string ExpandEnvRefs(const std::string& path) {
  std::optional<std::string> unset;
  return ExpandEnvRefs(path, unset);
}

std::string ExpandEnvRefs(const std::string& path, std::optional<std::string>& unset) {
  // Everything before the first "%" is final, so the text is consumed from
  // the front: `done` holds the final part, `pending` the rest in reverse
  // order, so that a value is put back in front of the rest by appending it.
  // Each byte is thus moved once for every time it is brought in.
  if (path.find('%') == std::string::npos) return path;
  std::string done;
  std::string pending(path.rbegin(), path.rend());
  size_t references = 0;
  size_t valueBytes = 0;
  for (;;) {
    size_t open = pending.rfind('%');
    if (open == std::string::npos) break;
    done.append(pending.rbegin(), pending.rbegin() + static_cast<long>(pending.size() - 1 - open));
    pending.resize(open + 1);  // keeps the opening "%" on top
    if (open == 0) break;      // no partner: the "%" stays with the rest
    size_t close = pending.rfind('%', open - 1);
    if (close == std::string::npos) break;
    if (references == kExpansionReferenceLimit || valueBytes > kExpansionValueLimit) break;
    std::string name(pending.rbegin() + 1, pending.rbegin() + static_cast<long>(open - close));
    std::string value = ReadEnvVar(name);
    if (value.empty() && !name.empty() && !unset) unset = name;
    pending.resize(close);
    pending.append(value.rbegin(), value.rend());
    ++references;
    valueBytes += value.size();
  }
  done.append(pending.rbegin(), pending.rend());
  return done;
}

std::string ExpandRemovedPath(const std::string& path) {
  std::optional<std::string> unset;
  std::string expanded = ExpandEnvRefs(path, unset);
  if (unset) {
    std::string text = ProgramText(kTextVariableNotSet);
    const size_t at = text.find("%s");
    if (at != std::string::npos) text.replace(at, 2, *unset);
    Refuse(EInOutError(text, platform::kErrorEnvVarNotFound), path);
  }
  return expanded;
}

bool IsDirectory(const std::string& path) {
  // One query answers both "does it exist" and "is it a directory": a word
  // that cannot be read (missing path, wildcard) is never a directory.
  uint32_t attributes = platform::FileAttributes(path);
  return (attributes != platform::kNoAttributes && (attributes & platform::kAttrDirectory)) || MadeInDryRun(path);
}

bool IsDirectory(platform::TreeHandle tree, const std::string& name) {
  uint32_t attributes = platform::FileAttributes(tree, name);
  return attributes != platform::kNoAttributes && (attributes & platform::kAttrDirectory);
}
