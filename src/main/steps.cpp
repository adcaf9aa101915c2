#include "main/steps.h"

#include "prims/path.h"

namespace {

using platform::kNoAttributes;
using platform::kNoTree;

bool Exists(uint32_t attributes) { return attributes != kNoAttributes; }

bool IsRealDirectory(uint32_t attributes) {
  return Exists(attributes) && (attributes & platform::kAttrDirectory) && !(attributes & platform::kAttrReparsePoint);
}

// What a copy onto an existing entry with these attributes gives: the
// platform refuses to replace a read-only or hidden file.
uint32_t JudgeCopyOnto(uint32_t target) {
  if (Exists(target) && !(target & platform::kAttrDirectory) &&
      (target & (platform::kAttrReadOnly | platform::kAttrHidden))) {
    return platform::kErrorAccessDenied;
  }
  return 0;
}

uint32_t JudgeNamedSource(const std::string& path) {
  return Exists(platform::FileAttributes(path)) ? 0u : uint32_t{platform::kErrorFileNotFound};
}

uint32_t JudgeDelete(uint32_t attributes, const ShownPath& shown) {
  if (Exists(attributes) && (attributes & (platform::kAttrReadOnly | platform::kAttrDirectory))) {
    RememberKeptInDryRun(shown);
    return platform::kErrorAccessDenied;
  }
  return 0;
}

uint32_t JudgeMakeDirectory(uint32_t existing) {
  return Exists(existing) && !IsRealDirectory(existing) ? uint32_t{platform::kErrorAlreadyExists} : 0u;
}

// What making `path` and the directories missing on its way would give:
// the longest part of it that exists, or that this dry run made, decides.
uint32_t JudgePathToMake(const std::string& path) {
  const Conventions& c = platform::NativeConventions();
  std::string at = path;
  for (bool last = true;; last = false) {
    if (MadeInDryRun(at)) return 0;
    const uint32_t attributes = platform::FileAttributes(at);
    if (Exists(attributes)) {
      if (attributes & platform::kAttrDirectory) return 0;
      return last ? platform::kErrorAlreadyExists : platform::kErrorPathNotFound;
    }
    std::string parent = DropTrailingBackslash(DirectoryPart(at, c), c);
    if (parent.empty() || parent == at) return 0;
    at = std::move(parent);
  }
}

// Runs `take` unless this is a dry run, where `judge` answers instead, and
// records the result.
template <class Take, class Judge>
uint32_t Step(StepKind kind, const ShownPath& path, const ShownPath& to, Take&& take, Judge&& judge) {
  const uint32_t result = DryRun() ? judge() : take();
  RecordStep(kind, path, to, result);
  return result;
}

}  // namespace

uint32_t DeleteFileStep(platform::TreeHandle tree, const std::string& name, uint32_t seenAttributes,
                        const ShownPath& shown) {
  return Step(
      StepKind::kDeleted, shown, {}, [&] { return platform::DeleteFile(tree, name, seenAttributes); },
      [&] {
        const uint32_t attributes = Exists(seenAttributes) ? seenAttributes : platform::FileAttributes(tree, name);
        return JudgeDelete(attributes, shown);
      });
}

uint32_t CopyFileStep(platform::TreeHandle fromTree, const std::string& from, platform::TreeHandle toTree,
                      const std::string& to, uint32_t seenAttributes, const ShownPath& shownFrom,
                      const ShownPath& shownTo) {
  return Step(
      StepKind::kCopied, shownFrom, shownTo,
      [&] { return platform::CopyFile(fromTree, from, toTree, to, seenAttributes); },
      [&] { return toTree == kNoTree ? 0 : JudgeCopyOnto(platform::FileAttributes(toTree, to)); });
}

uint32_t CopyLinkStep(platform::TreeHandle fromTree, const std::string& from, platform::TreeHandle toTree,
                      const std::string& to, const ShownPath& shownFrom, const ShownPath& shownTo) {
  return Step(
      StepKind::kCopied, shownFrom, shownTo, [&] { return platform::CopyLink(fromTree, from, toTree, to); },
      [] { return 0u; });
}

uint32_t MoveFileStep(platform::TreeHandle fromTree, const std::string& from, platform::TreeHandle toTree,
                      const std::string& to, const ShownPath& shownFrom, const ShownPath& shownTo) {
  return Step(
      StepKind::kMoved, shownFrom, shownTo, [&] { return platform::MoveFile(fromTree, from, toTree, to); },
      [&] { return Exists(platform::FileAttributes(fromTree, from)) ? 0u : uint32_t{platform::kErrorFileNotFound}; });
}

uint32_t MakeDirectoryStep(platform::TreeHandle tree, const std::string& name, const ShownPath& shown) {
  return Step(
      StepKind::kMadeDirectory, shown, {},
      [&] {
        const uint32_t error = platform::CreateDirectory(tree, name);
        if (error == platform::kErrorAlreadyExists && IsRealDirectory(platform::FileAttributes(tree, name))) return 0u;
        return error;
      },
      [&] { return tree == kNoTree ? 0 : JudgeMakeDirectory(platform::FileAttributes(tree, name)); });
}

uint32_t RemoveDirectoryStep(platform::TreeHandle tree, const std::string& name, const ShownPath& shown) {
  return Step(
      StepKind::kRemovedDirectory, shown, {}, [&] { return platform::RemoveDirectory(tree, name); },
      [&] { return HoldsKeptInDryRun(shown) ? platform::kErrorDirNotEmpty : 0u; });
}

uint32_t DeleteFileStep(const std::string& path) {
  return Step(
      StepKind::kDeleted, path, {}, [&] { return platform::DeleteFile(path); },
      [&] {
        const uint32_t attributes = platform::FileAttributes(path);
        return Exists(attributes) ? JudgeDelete(attributes, path) : platform::kErrorFileNotFound;
      });
}

uint32_t CopyFileStep(const std::string& from, const std::string& to) {
  return Step(
      StepKind::kCopied, from, to, [&] { return platform::CopyFile(from, to); },
      [&] {
        const uint32_t missing = JudgeNamedSource(from);
        return missing != 0 ? missing : JudgeCopyOnto(platform::FileAttributes(to));
      });
}

uint32_t CopyLinkStep(const std::string& from, const std::string& to) {
  return Step(
      StepKind::kCopied, from, to, [&] { return platform::CopyLink(from, to); },
      [&] { return JudgeNamedSource(from); });
}

uint32_t MoveFileStep(const std::string& from, const std::string& to) {
  return Step(
      StepKind::kMoved, from, to, [&] { return platform::MoveFile(from, to); },
      [&] { return JudgeNamedSource(from); });
}

uint32_t RenameStep(const std::string& from, const std::string& to) {
  return Step(
      StepKind::kRenamed, from, to, [&] { return platform::MoveFile(from, to); },
      [&] { return JudgeNamedSource(from); });
}

uint32_t MakeDirectoryStep(const std::string& path) {
  return Step(
      StepKind::kMadeDirectory, ShownDirectory(path), {},
      [&] {
        const uint32_t error = platform::CreateDirectory(path);
        if (error == platform::kErrorAlreadyExists && IsRealDirectory(platform::FileAttributes(path))) return 0u;
        return error;
      },
      [&] {
        const uint32_t error = JudgeMakeDirectory(platform::FileAttributes(path));
        if (error == 0) RememberMadeInDryRun(path);
        return error;
      });
}

uint32_t MakeDirectoryPathStep(const std::string& path) {
  return Step(
      StepKind::kMadeDirectory, ShownDirectory(path), {}, [&] { return platform::CreateDirectoryPath(path); },
      [&] {
        const uint32_t error = JudgePathToMake(path);
        if (error == 0) RememberMadeInDryRun(path);
        return error;
      });
}

uint32_t RemoveDirectoryStep(const std::string& path) {
  return Step(
      StepKind::kRemovedDirectory, ShownDirectory(path), {}, [&] { return platform::RemoveDirectory(path); },
      [&] { return HoldsKeptInDryRun(path) ? platform::kErrorDirNotEmpty : 0u; });
}

void NoteUnreadDirectory(const std::string& directory, uint32_t error) {
  if (error == 0 || error == platform::kErrorNoMoreFiles || error == platform::kErrorFileNotFound) return;
  RecordStep(StepKind::kPassedOver, directory, {}, error);
}

void NoteNothingSelected(const std::string& mask) {
  RecordStep(StepKind::kPassedOver, mask, {}, platform::kErrorFileNotFound);
}
