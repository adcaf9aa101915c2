#include "platform/fault_platform.h"

#include <array>
#include <map>
#include <optional>

#include "platform/platform.h"

// The real services, compiled into this test build under this name.
namespace platform_real {
using namespace platform_types;
#include "platform/services.inc"
}  // namespace platform_real

namespace faults {
namespace {

struct Plan {
  std::map<int, uint32_t> failures;                                  // call number -> code
  std::map<int, std::function<void(const std::string&)>> actions;  // call number -> action
  int calls = 0;
};

std::array<Plan, static_cast<size_t>(Service::kCount)>& Plans() {
  static std::array<Plan, static_cast<size_t>(Service::kCount)> plans;
  return plans;
}

// Counts a call; runs what was planned before it; returns the code it must
// fail with, if any.
std::optional<uint32_t> Enter(Service service, const std::string& path) {
  Plan& plan = Plans()[static_cast<size_t>(service)];
  const int call = ++plan.calls;
  if (auto action = plan.actions.find(call); action != plan.actions.end()) action->second(path);
  if (auto failure = plan.failures.find(call); failure != plan.failures.end()) return failure->second;
  return std::nullopt;
}

}  // namespace

void FailCall(Service service, int nth, uint32_t code) {
  Plan& plan = Plans()[static_cast<size_t>(service)];
  plan.failures[plan.calls + nth] = code;
}

void BeforeCall(Service service, int nth, std::function<void(const std::string&)> action) {
  Plan& plan = Plans()[static_cast<size_t>(service)];
  plan.actions[plan.calls + nth] = std::move(action);
}

void Reset() {
  for (Plan& plan : Plans()) plan = Plan{};
}

int CallCount(Service service) { return Plans()[static_cast<size_t>(service)].calls; }

}  // namespace faults

namespace platform {

using faults::Enter;
using faults::Service;

namespace {

// The root each open tree was opened with, so that a planned action is
// handed the full path of the name a tree service acts on.
std::map<TreeHandle, std::string>& TreeRoots() {
  static std::map<TreeHandle, std::string> roots;
  return roots;
}

std::string FullPath(TreeHandle tree, const std::string& name) {
  std::string path = TreeRoots()[tree];
  const char separator = platform_real::NativeConventions().separator;
  if (!path.empty() && path.back() != separator && !name.empty()) path += separator;
  return path + name;
}

}  // namespace

TreeHandle OpenTree(const std::string& root, bool followLink, uint32_t& error) {
  TreeHandle tree = platform_real::OpenTree(root, followLink, error);
  if (tree != kNoTree) TreeRoots()[tree] = root;
  return tree;
}

void CloseTree(TreeHandle tree) {
  TreeRoots().erase(tree);
  platform_real::CloseTree(tree);
}

uint32_t FileAttributes(TreeHandle tree, const std::string& name) {
  if (Enter(Service::kFileAttributes, FullPath(tree, name))) return kNoAttributes;
  return platform_real::FileAttributes(tree, name);
}

SearchHandle FindFirst(TreeHandle tree, const std::string& directory, const std::string& pattern,
                       FoundEntry& entry, uint32_t& error, bool kindsOnly) {
  if (auto code = Enter(Service::kFindFirst, FullPath(tree, directory))) {
    error = *code;
    return kNoSearch;
  }
  return platform_real::FindFirst(tree, directory, pattern, entry, error, kindsOnly);
}

uint32_t CreateDirectory(TreeHandle tree, const std::string& name) {
  if (auto code = Enter(Service::kCreateDirectory, FullPath(tree, name))) return *code;
  return platform_real::CreateDirectory(tree, name);
}

uint32_t RemoveDirectory(TreeHandle tree, const std::string& name) {
  if (auto code = Enter(Service::kRemoveDirectory, FullPath(tree, name))) return *code;
  return platform_real::RemoveDirectory(tree, name);
}

uint32_t DeleteFile(TreeHandle tree, const std::string& name) {
  if (auto code = Enter(Service::kDeleteFile, FullPath(tree, name))) return *code;
  return platform_real::DeleteFile(tree, name);
}

uint32_t MoveFile(TreeHandle fromTree, const std::string& from, TreeHandle toTree, const std::string& to) {
  if (auto code = Enter(Service::kMoveFile, FullPath(fromTree, from))) return *code;
  return platform_real::MoveFile(fromTree, from, toTree, to);
}

uint32_t CopyFile(TreeHandle fromTree, const std::string& from, TreeHandle toTree, const std::string& to) {
  if (auto code = Enter(Service::kCopyFile, FullPath(fromTree, from))) return *code;
  return platform_real::CopyFile(fromTree, from, toTree, to);
}

uint32_t CopyLink(TreeHandle fromTree, const std::string& from, TreeHandle toTree, const std::string& to) {
  if (auto code = Enter(Service::kCopyLink, FullPath(fromTree, from))) return *code;
  return platform_real::CopyLink(fromTree, from, toTree, to);
}

const Conventions& NativeConventions() { return platform_real::NativeConventions(); }
void RecordArguments(int argc, char** argv) { platform_real::RecordArguments(argc, argv); }
std::optional<std::string> RawCommandLine() { return platform_real::RawCommandLine(); }
const std::vector<std::string>& RecordedArguments() { return platform_real::RecordedArguments(); }
std::string ProgramFilePath() { return platform_real::ProgramFilePath(); }
std::string EnvironmentValue(const std::string& name) { return platform_real::EnvironmentValue(name); }
std::string LoadText(unsigned id) { return platform_real::LoadText(id); }
void ShowFailureReport(const std::string& text, const std::string& title) {
  platform_real::ShowFailureReport(text, title);
}
bool ImageOfAddress(uintptr_t address, std::string& imageFile, uintptr_t& imageBase) {
  return platform_real::ImageOfAddress(address, imageFile, imageBase);
}
void ExitProcess(int code) { platform_real::ExitProcess(code); }
bool LocalDosDateTime(int64_t fileTime, uint32_t& dosDateTime) {
  return platform_real::LocalDosDateTime(fileTime, dosDateTime);
}
std::string AbsolutePath(const std::string& path) { return platform_real::AbsolutePath(path); }
bool IsNamespaceRoot(const std::string& path) { return platform_real::IsNamespaceRoot(path); }
bool IsUsableEntryName(const std::string& name) { return platform_real::IsUsableEntryName(name); }
void FindClose(SearchHandle search) { platform_real::FindClose(search); }

uint32_t FileAttributes(const std::string& path) {
  if (Enter(Service::kFileAttributes, path)) return kNoAttributes;
  return platform_real::FileAttributes(path);
}

SearchHandle FindFirst(const std::string& mask, FoundEntry& entry, uint32_t& error, bool kindsOnly) {
  if (auto code = Enter(Service::kFindFirst, mask)) {
    error = *code;
    return kNoSearch;
  }
  return platform_real::FindFirst(mask, entry, error, kindsOnly);
}

bool FindNext(SearchHandle search, FoundEntry& entry, uint32_t& error) {
  if (auto code = Enter(Service::kFindNext, entry.name)) {
    error = *code;
    return false;
  }
  return platform_real::FindNext(search, entry, error);
}

uint32_t CreateDirectory(const std::string& path) {
  if (auto code = Enter(Service::kCreateDirectory, path)) return *code;
  return platform_real::CreateDirectory(path);
}

uint32_t RemoveDirectory(const std::string& path) {
  if (auto code = Enter(Service::kRemoveDirectory, path)) return *code;
  return platform_real::RemoveDirectory(path);
}

uint32_t DeleteFile(const std::string& path) {
  if (auto code = Enter(Service::kDeleteFile, path)) return *code;
  return platform_real::DeleteFile(path);
}

uint32_t MoveFile(const std::string& from, const std::string& to) {
  if (auto code = Enter(Service::kMoveFile, from)) return *code;
  return platform_real::MoveFile(from, to);
}

uint32_t CopyFile(const std::string& from, const std::string& to) {
  if (auto code = Enter(Service::kCopyFile, from)) return *code;
  return platform_real::CopyFile(from, to);
}

uint32_t CopyLink(const std::string& from, const std::string& to) {
  if (auto code = Enter(Service::kCopyLink, from)) return *code;
  return platform_real::CopyLink(from, to);
}

}  // namespace platform
