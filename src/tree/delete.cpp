#include "tree/delete.h"

#include "main/errors.h"
#include "main/steps.h"
#include "main/texts.h"
#include "platform/platform.h"
#include "prims/expand.h"
#include "prims/fs.h"
#include "prims/path.h"
#include "tree/file_steps.h"
#include "tree/listing.h"
#include "tree/mask.h"

namespace {

[[noreturn]] void RefuseRoot(const std::string& path) {
  Refuse(EInOutError(ProgramText(kTextCannotDeleteRoot), platform::kErrorAccessDenied), path);
}

// Deletes everything below the open tree `tree` (whose root is `path`),
// deepest first, then the root itself.
void DeleteTree(ScopedTree& tree, const std::string& path) {
  const Conventions& c = platform::NativeConventions();
  if (tree) {
    // Another file system mounted in the tree is never emptied: the whole
    // delete is refused before anything goes.
    ListTree(tree.get(), path, kSearchEverything, MountPoints::kRefuse);
    DistinctPaths(PathList);
    PathList = OrderByDepth(std::move(PathList), 0);
    // Files go on the workers; a directory goes here, once every file
    // handed out before it (everything inside it among them) has gone.
    // The attribute word read here goes with each file: a step needs no
    // second look at its entry.
    FileSteps files(tree.get(), platform::kNoTree, "", [&path](const FileSteps::Step& step) {
      DeleteFileStep(step.from, step.name, step.attributes, ShownPath(path, step.directory, step.leaf));
    });
    RelativePaths names(PathList, "", c.separator);
    for (size_t i = 0; i < PathList.size(); ++i) {
      const TPathList::Node node = PathList.NodeAt(i);
      const std::string& name = names.Of(node);
      const uint32_t attributes = platform::FileAttributes(tree.get(), name);
      if (attributes != platform::kNoAttributes && (attributes & platform::kAttrDirectory)) {
        files.Finish();
        RemoveDirChecked(tree.get(), name, path);
      } else {
        files.Add(DirectoryOfEntry(name, node), PathList.NameOf(node), attributes);
      }
    }
    files.Finish();
  }
  // The root goes from its parent, once nothing holds it open.
  tree.Close();
  if (DirectoryPresent(path)) RemoveDirChecked(path);
}

void DeleteMask(const std::string& mask) {
  const MaskedFiles masked(mask);
  FileSteps files(masked.tree.get(), platform::kNoTree, "", [&masked](const FileSteps::Step& step) {
    DeleteFileStep(step.from, step.name, platform::kNoAttributes, ShownPath(masked.directory, step.leaf));
  });
  for (const std::string& name : masked.names) files.Add("", name);
}

}  // namespace

void DeleteTarget(std::string path) {
  const Conventions& c = platform::NativeConventions();
  path = NormalizeSeparators(ExpandRemovedPath(path), c);
  if (IsMaskPath(path)) {
    DeleteMask(path);
    return;
  }
  // A root is refused however it is spelled: by its text ("%APPDIR%\",
  // "/usr/..", "C:\."), and by what the directory opened for the delete
  // is. A path whose last name is "." or ".." names a directory through
  // another ("link/." would reach through a link into what it leads to).
  if (NamesRootDirectory(path)) RefuseRoot(path);
  const std::string named = path;
  const bool directory = IsDirectory(path);
  if (directory) path = AddTrailingBackslash(path, c);
  // Every entry is removed through the tree it was listed in; a root that
  // is a link is not opened, and only the link itself goes.
  ScopedTree tree(directory ? path : std::string(), /*followLink=*/false);
  if (tree && platform::IsNamespaceRoot(tree.get())) RefuseRoot(path);
  if (EndsInDotName(named, c)) {
    Refuse(EInOutError(ProgramText(kTextCannotDeleteDotName), platform::kErrorAccessDenied), named);
  }
  if (directory) {
    DeleteTree(tree, path);
  } else {
    DeleteFileStep(path);
  }
}
