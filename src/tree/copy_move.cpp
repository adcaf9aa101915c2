#include "tree/copy_move.h"

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
#include "tree/wildcard.h"

namespace {

enum class Transfer { kCopy, kMove };

bool IsLinkAttributes(uint32_t attributes) {
  return attributes != platform::kNoAttributes && (attributes & platform::kAttrReparsePoint);
}

// One file named by its path to the path `to`, as the caller named them;
// failures are passed over (and logged).
void TransferFile(Transfer how, const std::string& from, const std::string& to) {
  if (how == Transfer::kCopy) {
    CopyFileStep(from, to);
  } else {
    MoveFileStep(from, to);
  }
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

bool IsDirectoryAttributes(uint32_t attributes) {
  return attributes != platform::kNoAttributes && (attributes & platform::kAttrDirectory);
}

// True when `inner` is `outer` or lies below it, comparing absolute paths
// by whole components (D:\a is not inside D:\ab), without letter case where
// names fold case.
bool IsSameOrInside(const std::string& inner, const std::string& outer, const Conventions& c) {
  std::string in = AddTrailingBackslash(platform::AbsolutePath(inner), c);
  std::string out = AddTrailingBackslash(platform::AbsolutePath(outer), c);
  if (c.foldCase) {
    in = UpperCopy(in, c);
    out = UpperCopy(out, c);
  }
  return in.size() >= out.size() && in.compare(0, out.size(), out) == 0;
}

// The name of the source directory: every character after the last
// separator once the trailing one is dropped (C: for the root C:\).
std::string LastComponentOf(const std::string& source, const Conventions& c) {
  const std::string d = DropTrailingBackslash(source, c);
  const size_t k = LastDelimiterPos(std::string(1, c.separator), d, c.leadBytes);
  return CopyText(d, static_cast<long long>(k) + 1, static_cast<long long>(d.size() - k));
}

// Removes the directories a moved tree leaves behind (named below `tree`),
// deepest first, and the source last. Files are never deleted here: a file
// that could not move keeps its directory, whose removal then raises.
void RemoveEmptiedTree(ScopedTree& tree, const TPathList& directories, const std::string& source) {
  if (tree) {
    for (const std::string& directory : OrderByDepth(directories, 0)) RemoveDirChecked(tree.get(), directory, source);
  }
  tree.Close();
  if (DirectoryPresent(source)) RemoveDirChecked(source);
}

void TransferTree(Transfer how, const std::string& source, const std::string& target, const Conventions& c) {
  const std::string lastComponent = LastComponentOf(source, c);
  const std::string treeTarget = AddTrailingBackslash(target + lastComponent, c);
  if (IsLinkAttributes(platform::FileAttributes(DropTrailingBackslash(source, c)))) {
    TransferLink(how, DropTrailingBackslash(source, c), DropTrailingBackslash(treeTarget, c));
    return;
  }
  // Both sides are worked on through trees: the source below its root, the
  // target below the directory the caller named (a link there is the
  // caller's choice). Nothing below either is followed through a link.
  ScopedTree from(source, /*followLink=*/false);
  const ScopedTree to(target, /*followLink=*/true);
  if (!to) RaiseAbout(EInOutError(ProgramText(kTextUnableToCreateDirectory), platform::kErrorPathNotFound), target);
  if (from) {
    ListTree(from.get(), source, kSearchEverything);
    DistinctPaths(PathList);
    PathList = OrderByDepth(std::move(PathList), 1);
  }
  // Each entry's relative name is made as it comes up rather than held in
  // a second list: the same names, without a million more strings.
  const RelativeNames relative(source, c);
  const std::string targetPrefix = lastComponent.empty() ? std::string() : lastComponent + c.separator;

  if (!DirectoryPresent(to.get(), lastComponent)) MakeDirChecked(to.get(), lastComponent, target);
  TPathList movedDirectories;
  {
    // Files go on the workers, each as the walk reaches it: the
    // directories it needs exist by then (shallowest first).
    FileSteps files(from.get(), to.get(),
                    [&](platform::TreeHandle fromTree, platform::TreeHandle toTree, size_t i, uint32_t attributes) {
                      const std::string name = relative.Of(PathList[i]);
                      TransferEntry(how, fromTree, name, attributes, toTree, targetPrefix + name, PathList[i],
                                    ShownPath(target, targetPrefix, name));
                    });
    for (size_t i = 0; i < PathList.size(); ++i) {
      const std::string name = relative.Of(PathList[i]);
      const uint32_t attributes = platform::FileAttributes(from.get(), name);
      if (IsDirectoryAttributes(attributes) && !IsLinkAttributes(attributes)) {
        const std::string toName = targetPrefix + name;
        if (!DirectoryPresent(to.get(), toName)) MakeDirChecked(to.get(), toName, target);
        if (how == Transfer::kMove) movedDirectories.push_back(name);
      } else {
        files.Add(i, PathList[i], attributes);
      }
    }
    files.Finish();
  }
  if (how == Transfer::kMove) RemoveEmptiedTree(from, movedDirectories, source);
}

void TransferTarget(Transfer how, std::string source, std::string target) {
  const Conventions& c = platform::NativeConventions();
  target = ExpandEnvRefs(target);
  // A move removes what its source names: an unset variable must not widen it.
  source = how == Transfer::kMove ? ExpandRemovedPath(source) : ExpandEnvRefs(source);
  const bool mask = IsMaskPath(source);

  // A directory moved into itself or below itself would end with its
  // emptied tree removed under the files just moved into it.
  if (how == Transfer::kMove && !mask && IsDirectory(source) && !target.empty() &&
      IsSameOrInside(AddTrailingBackslash(target, c) + LastComponentOf(source, c), source, c)) {
    Refuse(EInOutError(ProgramText(kTextCannotMoveIntoItself), platform::kErrorAccessDenied), source, target);
  }

  if (!DirectoryPresent(target)) EnsureDirectories(target);
  // Names are appended to the target below: it must be a directory by now.
  if (!IsDirectory(target)) {
    RaiseAbout(EInOutError(ProgramText(kTextUnableToCreateDirectory), platform::kErrorPathNotFound), target);
  }
  if (IsDirectory(source) && !mask) source = AddTrailingBackslash(source, c);
  target = AddTrailingBackslash(target, c);

  if (IsDirectory(source) && !mask) {
    TransferTree(how, source, target, c);
  } else if (mask) {
    const ScopedTree to(target, /*followLink=*/true);
    if (!to) return;
    const MaskedFiles masked(source);
    FileSteps files(masked.tree.get(), to.get(),
                    [&](platform::TreeHandle fromTree, platform::TreeHandle toTree, size_t i, uint32_t attributes) {
                      const std::string toName = FileNamePart(masked.names[i], c);
                      TransferEntry(how, fromTree, masked.names[i], attributes, toTree, toName,
                                    ShownPath(masked.directory, masked.names[i]), ShownPath(target, toName));
                    });
    for (size_t i = 0; i < masked.names.size(); ++i) files.Add(i, masked.names[i], masked.attributes[i]);
  } else {
    TransferFile(how, source, target + FileNamePart(source, c));
  }
}

}  // namespace

void CopyTarget(std::string source, std::string target) {
  TransferTarget(Transfer::kCopy, std::move(source), std::move(target));
}

void MoveTarget(std::string source, std::string target) {
  TransferTarget(Transfer::kMove, std::move(source), std::move(target));
}
