#include "platform/fault_platform.h"

#include <array>
#include <map>
#include <mutex>
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
  std::map<std::string, uint32_t> pathFailures;                      // path suffix -> code
  std::map<std::string, std::function<void(const std::string&)>> pathActions;
  int calls = 0;
};

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::array<Plan, static_cast<size_t>(Service::kCount)>& Plans() {
  static std::array<Plan, static_cast<size_t>(Service::kCount)> plans;
  return plans;
}

// Calls come from several threads when file steps run on workers.
std::recursive_mutex& PlanLock() {
  static std::recursive_mutex lock;
  return lock;
}

// Counts a call; runs what was planned before it; returns the code it must
// fail with, if any.
std::optional<uint32_t> Enter(Service service, const std::string& path) {
  std::function<void(const std::string&)> action;
  std::optional<uint32_t> failure;
  {
    std::lock_guard<std::recursive_mutex> hold(PlanLock());
    Plan& plan = Plans()[static_cast<size_t>(service)];
    const int call = ++plan.calls;
    if (auto planned = plan.actions.find(call); planned != plan.actions.end()) action = planned->second;
    if (auto planned = plan.failures.find(call); planned != plan.failures.end()) failure = planned->second;
    for (const auto& [suffix, planned] : plan.pathActions) {
      if (EndsWith(path, suffix)) action = planned;
    }
    for (const auto& [suffix, code] : plan.pathFailures) {
      if (EndsWith(path, suffix)) failure = code;
    }
  }
  if (action) action(path);
  return failure;
}

}  // namespace

void FailCall(Service service, int nth, uint32_t code) {
  std::lock_guard<std::recursive_mutex> hold(PlanLock());
  Plan& plan = Plans()[static_cast<size_t>(service)];
  plan.failures[plan.calls + nth] = code;
}

void BeforeCall(Service service, int nth, std::function<void(const std::string&)> action) {
  std::lock_guard<std::recursive_mutex> hold(PlanLock());
  Plan& plan = Plans()[static_cast<size_t>(service)];
  plan.actions[plan.calls + nth] = std::move(action);
}

void FailPath(Service service, const std::string& suffix, uint32_t code) {
  std::lock_guard<std::recursive_mutex> hold(PlanLock());
  Plans()[static_cast<size_t>(service)].pathFailures[suffix] = code;
}

void BeforePath(Service service, const std::string& suffix, std::function<void(const std::string&)> action) {
  std::lock_guard<std::recursive_mutex> hold(PlanLock());
  Plans()[static_cast<size_t>(service)].pathActions[suffix] = std::move(action);
}

std::map<std::string, std::string>& FoundNames() {
  static std::map<std::string, std::string> names;
  return names;
}

void ReplaceFoundName(const std::string& name, const std::string& replacement) {
  std::lock_guard<std::recursive_mutex> hold(PlanLock());
  FoundNames()[name] = replacement;
}

void Found(platform::FoundEntry& entry) {
  std::lock_guard<std::recursive_mutex> hold(PlanLock());
  if (auto replaced = FoundNames().find(entry.name); replaced != FoundNames().end()) entry.name = replaced->second;
}

void Reset() {
  std::lock_guard<std::recursive_mutex> hold(PlanLock());
  for (Plan& plan : Plans()) plan = Plan{};
  FoundNames().clear();
}

int CallCount(Service service) {
  std::lock_guard<std::recursive_mutex> hold(PlanLock());
  return Plans()[static_cast<size_t>(service)].calls;
}

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

std::mutex& TreeRootsLock() {
  static std::mutex lock;
  return lock;
}

std::string RootOf(TreeHandle tree) {
  std::lock_guard<std::mutex> hold(TreeRootsLock());
  return TreeRoots()[tree];
}

void RememberRoot(TreeHandle tree, const std::string& root) {
  std::lock_guard<std::mutex> hold(TreeRootsLock());
  TreeRoots()[tree] = root;
}

std::string FullPath(TreeHandle tree, const std::string& name) {
  std::string path = RootOf(tree);
  const char separator = platform_real::NativeConventions().separator;
  if (!path.empty() && path.back() != separator && !name.empty()) path += separator;
  return path + name;
}

}  // namespace

TreeHandle OpenTree(const std::string& root, bool followLink, uint32_t& error) {
  TreeHandle tree = platform_real::OpenTree(root, followLink, error);
  if (tree != kNoTree) RememberRoot(tree, root);
  return tree;
}

TreeHandle ShareTree(TreeHandle tree, const std::string& directory, uint32_t& error) {
  TreeHandle shared = platform_real::ShareTree(tree, directory, error);
  if (shared != kNoTree) RememberRoot(shared, FullPath(tree, directory));
  return shared;
}

void CloseTree(TreeHandle tree) {
  {
    std::lock_guard<std::mutex> hold(TreeRootsLock());
    TreeRoots().erase(tree);
  }
  platform_real::CloseTree(tree);
}

unsigned UsableProcessors() { return platform_real::UsableProcessors(); }

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
  SearchHandle search = platform_real::FindFirst(tree, directory, pattern, entry, error, kindsOnly);
  if (search != kNoSearch) faults::Found(entry);
  return search;
}

uint32_t CreateDirectory(TreeHandle tree, const std::string& name) {
  if (auto code = Enter(Service::kCreateDirectory, FullPath(tree, name))) return *code;
  return platform_real::CreateDirectory(tree, name);
}

uint32_t RemoveDirectory(TreeHandle tree, const std::string& name) {
  if (auto code = Enter(Service::kRemoveDirectory, FullPath(tree, name))) return *code;
  return platform_real::RemoveDirectory(tree, name);
}

uint32_t DeleteFile(TreeHandle tree, const std::string& name, uint32_t seenAttributes) {
  if (auto code = Enter(Service::kDeleteFile, FullPath(tree, name))) return *code;
  return platform_real::DeleteFile(tree, name, seenAttributes);
}

uint32_t MoveFile(TreeHandle fromTree, const std::string& from, TreeHandle toTree, const std::string& to) {
  if (auto code = Enter(Service::kMoveFile, FullPath(fromTree, from))) return *code;
  return platform_real::MoveFile(fromTree, from, toTree, to);
}

uint32_t CopyFile(TreeHandle fromTree, const std::string& from, TreeHandle toTree, const std::string& to,
                  uint32_t seenAttributes) {
  if (auto code = Enter(Service::kCopyFile, FullPath(fromTree, from))) return *code;
  return platform_real::CopyFile(fromTree, from, toTree, to, seenAttributes);
}

uint32_t CopyLink(TreeHandle fromTree, const std::string& from, TreeHandle toTree, const std::string& to) {
  if (auto code = Enter(Service::kCopyLink, FullPath(fromTree, from))) return *code;
  return platform_real::CopyLink(fromTree, from, toTree, to);
}

void RemoveAbandonedPartialFiles(TreeHandle tree, const std::string& directory) {
  if (Enter(Service::kRemoveAbandonedPartialFiles, FullPath(tree, directory))) return;
  platform_real::RemoveAbandonedPartialFiles(tree, directory);
}

bool IsMountPoint(TreeHandle tree, const std::string& name) {
  if (Enter(Service::kIsMountPoint, FullPath(tree, name))) return true;
  return platform_real::IsMountPoint(tree, name);
}

bool LiesWithin(const std::string& path, TreeHandle tree) {
  if (Enter(Service::kLiesWithin, path)) return true;
  return platform_real::LiesWithin(path, tree);
}

bool IsNamespaceRoot(TreeHandle tree) { return platform_real::IsNamespaceRoot(tree); }

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
bool IsUsableEntryName(const std::string& name) { return platform_real::IsUsableEntryName(name); }
void FindClose(SearchHandle search) { platform_real::FindClose(search); }
// The step log's services, as they are.
LogHandle OpenLog(const std::string& path, uint32_t& error) { return platform_real::OpenLog(path, error); }
LogHandle StandardErrorLog() { return platform_real::StandardErrorLog(); }
uint32_t AppendLog(LogHandle log, std::string_view text) { return platform_real::AppendLog(log, text); }
void CloseLog(LogHandle log) { platform_real::CloseLog(log); }
std::string ErrorMessageText(uint32_t code) { return platform_real::ErrorMessageText(code); }
uint32_t ProcessId() { return platform_real::ProcessId(); }

uint32_t FileAttributes(const std::string& path) {
  if (Enter(Service::kFileAttributes, path)) return kNoAttributes;
  return platform_real::FileAttributes(path);
}

SearchHandle FindFirst(const std::string& mask, FoundEntry& entry, uint32_t& error, bool kindsOnly) {
  if (auto code = Enter(Service::kFindFirst, mask)) {
    error = *code;
    return kNoSearch;
  }
  SearchHandle search = platform_real::FindFirst(mask, entry, error, kindsOnly);
  if (search != kNoSearch) faults::Found(entry);
  return search;
}

bool FindNext(SearchHandle search, FoundEntry& entry, uint32_t& error) {
  if (auto code = Enter(Service::kFindNext, entry.name)) {
    error = *code;
    return false;
  }
  if (!platform_real::FindNext(search, entry, error)) return false;
  faults::Found(entry);
  return true;
}

uint32_t CreateDirectory(const std::string& path) {
  if (auto code = Enter(Service::kCreateDirectory, path)) return *code;
  return platform_real::CreateDirectory(path);
}

uint32_t CreateDirectoryPath(const std::string& path) {
  if (auto code = Enter(Service::kCreateDirectoryPath, path)) return *code;
  return platform_real::CreateDirectoryPath(path);
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
