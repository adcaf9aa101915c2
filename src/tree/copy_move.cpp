#include "tree/copy_move.h"

#include <algorithm>

#include "main/errors.h"
#include "main/steps.h"
#include "main/texts.h"
#include "platform/platform.h"
#include "prims/expand.h"
#include "prims/fs.h"
#include "prims/path.h"
#include "prims/text.h"
#include "tree/file_steps.h"
#include "tree/listing.h"
#include "tree/mask.h"

namespace {

enum class Transfer { kCopy, kMove };

bool IsLinkAttributes(uint32_t attributes) {
  return attributes != platform::kNoAttributes && (attributes & platform::kAttrReparsePoint);
}

bool IsDirectoryAttributes(uint32_t attributes) {
  return attributes != platform::kNoAttributes && (attributes & platform::kAttrDirectory);
}

// A link named by its path goes as a link: moved itself, or recreated where
// the platform can make links (elsewhere a copy leaves it out).
void TransferLink(Transfer how, const std::string& from, const std::string& to) {
  if (how == Transfer::kCopy) {
    CopyLinkStep(from, to);
  } else {
    MoveFileStep(from, to);
  }
}

// One entry (not a directory) below the tree `from` to a name below `to`,
// with the attribute word it was seen with: a link goes as a link, anything
// else as a file. Failures are passed over; the log shows the entry as
// `shownFrom` and `shownTo`.
void TransferEntry(Transfer how, platform::TreeHandle from, const std::string& name, uint32_t attributes,
                   platform::TreeHandle to, const std::string& toName, const ShownPath& shownFrom,
                   const ShownPath& shownTo) {
  if (how == Transfer::kMove) {
    MoveFileStep(from, name, to, toName, shownFrom, shownTo);
  } else if (IsLinkAttributes(attributes)) {
    CopyLinkStep(from, name, to, toName, shownFrom, shownTo);
  } else {
    CopyFileStep(from, name, to, toName, attributes, shownFrom, shownTo);
  }
}

// The file steps of a tree or a mask: the entry below the operation's
// source `source` to its counterpart below `target` (both as the caller
// named them, ending in a separator).
FileSteps::Action TransferAction(Transfer how, const std::string& source, const std::string& target) {
  return [how, &source, &target](const FileSteps::Step& step) {
    TransferEntry(how, step.from, step.name, step.attributes, step.to, step.toName,
                  ShownPath(source, step.directory, step.leaf), ShownPath(target, step.toDirectory, step.leaf));
  };
}

// The name of the source directory: every character after the last
// separator once the trailing one is dropped (C: for the root C:\).
std::string LastComponentOf(const std::string& source, const Conventions& c) {
  const std::string d = DropTrailingBackslash(source, c);
  const size_t k = LastDelimiterPos(std::string(1, c.separator), d, c.leadBytes);
  return CopyText(d, static_cast<long long>(k) + 1, static_cast<long long>(d.size() - k));
}

// Makes the target directory with its parents; afterwards it must be a
// directory, since names are appended to it.
void EnsureTargetDirectory(const std::string& target) {
  if (!DirectoryPresent(target)) EnsureDirectories(target);
  if (!IsDirectory(target)) {
    RaiseAbout(EInOutError(ProgramText(kTextUnableToCreateDirectory), platform::kErrorPathNotFound), target);
  }
}

// Partial files that runs which were stopped left in a target directory
// that was there before this run go before anything is put in it.
void ClearLeftovers(platform::TreeHandle to, const std::string& directory) {
  platform::RemoveAbandonedPartialFiles(to, directory);
}

// Lists the tree below `source` into PathList, shallowest first. A move
// acts on the tree's own file system only, so a mount point in it refuses
// the move before anything has moved.
void ListSource(Transfer how, platform::TreeHandle from, const std::string& source) {
  ListTree(from, source, kSearchEverything, how == Transfer::kMove ? MountPoints::kRefuse : MountPoints::kEnter);
  DistinctPaths(PathList);
  PathList = OrderByDepth(std::move(PathList), 1);
}

// Removes the directories a moved tree leaves behind (listed entries below
// `tree`), deepest first, and the source last. Files are never deleted
// here: a file that could not move keeps its directory, whose removal then
// raises.
void RemoveEmptiedTree(ScopedTree& tree, std::vector<TPathList::Node> directories, const std::string& source,
                       const Conventions& c) {
  if (tree) {
    // Deepest first; a stable order within one level.
    std::stable_sort(directories.begin(), directories.end(), [](TPathList::Node a, TPathList::Node b) {
      return PathList.LevelOf(a) > PathList.LevelOf(b);
    });
    RelativePaths names(PathList, "", c.separator);
    for (TPathList::Node directory : directories) RemoveDirChecked(tree.get(), names.Of(directory), source);
  }
  tree.Close();
  if (DirectoryPresent(source)) RemoveDirChecked(source);
}

void TransferTree(Transfer how, const std::string& source, const std::string& target, const Conventions& c) {
  const std::string lastComponent = LastComponentOf(source, c);
  const std::string plainSource = DropTrailingBackslash(source, c);
  const std::string treeTarget = AddTrailingBackslash(target, c) + lastComponent;
  if (IsLinkAttributes(platform::FileAttributes(plainSource))) {
    EnsureTargetDirectory(target);
    TransferLink(how, plainSource, treeTarget);
    return;
  }
  // Both sides are worked on through trees: the source below its root, the
  // target below the directory the caller named (a link there is the
  // caller's choice). Nothing below either is followed through a link.
  ScopedTree from(source, /*followLink=*/false);
  // A directory moved into itself or below itself would end with its
  // emptied tree removed under the files just moved into it. What the
  // target names decides, whatever links or ".." spell it.
  if (how == Transfer::kMove && from && platform::LiesWithin(treeTarget, from.get())) {
    Refuse(EInOutError(ProgramText(kTextCannotMoveIntoItself), platform::kErrorAccessDenied), plainSource, target);
  }
  // The whole tree is listed before anything changes: a name no file system
  // could hold, or a mount point in a moved tree, stops the run first.
  if (from) ListSource(how, from.get(), source);
  const bool targetWasThere = DirectoryPresent(target);
  EnsureTargetDirectory(target);
  if (from && !targetWasThere && platform::LiesWithin(target, from.get())) {
    // The target was made inside the tree: the copy holds the tree as it
    // is now, with the directories just made.
    PathList.clear();
    ListSource(how, from.get(), source);
  }
  const ScopedTree to(target, /*followLink=*/true);
  if (!to) RaiseAbout(EInOutError(ProgramText(kTextUnableToCreateDirectory), platform::kErrorPathNotFound), target);
  const std::string targetRoot = AddTrailingBackslash(target, c);

  if (!DirectoryPresent(to.get(), lastComponent)) {
    MakeDirChecked(to.get(), lastComponent, targetRoot);
  } else {
    ClearLeftovers(to.get(), lastComponent);
  }
  const std::string targetPrefix = lastComponent.empty() ? std::string() : lastComponent + c.separator;
  std::vector<TPathList::Node> movedDirectories;
  {
    // Files go on the workers, each as the walk reaches it: the
    // directories it needs exist by then (shallowest first).
    FileSteps files(from.get(), to.get(), lastComponent, TransferAction(how, source, targetRoot));
    // Each entry's relative names are spelled as it comes up, from the
    // names of the one before: no second list, and no cost that grows with
    // the depth of the tree.
    RelativePaths sourceNames(PathList, "", c.separator);
    RelativePaths targetNames(PathList, targetPrefix, c.separator);
    for (size_t i = 0; i < PathList.size(); ++i) {
      const TPathList::Node node = PathList.NodeAt(i);
      const std::string& name = sourceNames.Of(node);
      const uint32_t attributes = platform::FileAttributes(from.get(), name);
      if (IsDirectoryAttributes(attributes) && !IsLinkAttributes(attributes)) {
        const std::string& toName = targetNames.Of(node);
        if (!DirectoryPresent(to.get(), toName)) {
          MakeDirChecked(to.get(), toName, targetRoot);
        } else {
          ClearLeftovers(to.get(), toName);
        }
        if (how == Transfer::kMove) movedDirectories.push_back(node);
      } else {
        files.Add(DirectoryOfEntry(name, node), PathList.NameOf(node), attributes);
      }
    }
    files.Finish();
  }
  if (how == Transfer::kMove) RemoveEmptiedTree(from, std::move(movedDirectories), source, c);
}

void TransferMask(Transfer how, const std::string& source, const std::string& target) {
  // The mask's files are found before the target is made: a name no file
  // system could hold stops the run before anything changes.
  const MaskedFiles masked(source);
  const bool targetWasThere = DirectoryPresent(target);
  EnsureTargetDirectory(target);
  const ScopedTree to(target, /*followLink=*/true);
  if (!to) return;
  if (targetWasThere) ClearLeftovers(to.get(), "");
  const std::string targetRoot = AddTrailingBackslash(target);
  FileSteps files(masked.tree.get(), to.get(), "", TransferAction(how, masked.directory, targetRoot));
  for (size_t i = 0; i < masked.names.size(); ++i) files.Add("", masked.names[i], masked.attributes[i]);
}

// One file (or link) the caller named. A copy follows a link there, as the
// platform's copy does; a move takes the entry itself, through the trees of
// both directories, so that a move stopped after its copy finishes now.
void TransferFile(Transfer how, const std::string& source, const std::string& target, const Conventions& c) {
  const bool targetWasThere = DirectoryPresent(target);
  EnsureTargetDirectory(target);
  const std::string name = FileNamePart(source, c);
  const std::string toPath = AddTrailingBackslash(target, c) + name;
  const ScopedTree to(target, /*followLink=*/true);
  if (to && targetWasThere) ClearLeftovers(to.get(), "");
  if (how == Transfer::kCopy) {
    CopyFileStep(source, toPath);
    return;
  }
  const std::string directory = DirectoryPart(source, c);
  const ScopedTree from(directory.empty() ? "." : directory, /*followLink=*/true);
  if (!from || !to || name.empty()) {
    MoveFileStep(source, toPath);
    return;
  }
  MoveFileStep(from.get(), name, to.get(), name, source, toPath);
}

void TransferTarget(Transfer how, std::string source, std::string target) {
  const Conventions& c = platform::NativeConventions();
  target = NormalizeSeparators(ExpandEnvRefs(target), c);
  // A move removes what its source names: an unset variable must not widen it.
  source = NormalizeSeparators(how == Transfer::kMove ? ExpandRemovedPath(source) : ExpandEnvRefs(source), c);
  if (target.empty()) EnsureDirectories(target);  // raises: there is nowhere to put anything
  if (IsMaskPath(source)) {
    TransferMask(how, source, target);
  } else if (IsDirectory(source)) {
    TransferTree(how, AddTrailingBackslash(source, c), target, c);
  } else {
    TransferFile(how, source, target, c);
  }
}

}  // namespace

void CopyTarget(std::string source, std::string target) {
  TransferTarget(Transfer::kCopy, std::move(source), std::move(target));
}

void MoveTarget(std::string source, std::string target) {
  TransferTarget(Transfer::kMove, std::move(source), std::move(target));
}
