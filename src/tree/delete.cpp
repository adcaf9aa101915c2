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
#include "tree/wildcard.h"

namespace {

void DeleteTree(const std::string& path) {
  {
    // Every entry is removed through the tree it was listed in; a root that
    // is a link is not opened, and only the link itself goes below.
    const ScopedTree tree(path, /*followLink=*/false);
    if (tree) {
      ListTree(tree.get(), path, kSearchEverything);
      DistinctPaths(PathList);
      PathList = OrderByDepth(std::move(PathList), 0);
      // Files go on the workers; a directory goes here, once every file
      // handed out before it (everything inside it among them) has gone.
      // The attribute word read here goes with each file: a step needs no
      // second look at its entry.
      FileSteps files(tree.get(), platform::kNoTree,
                      [&](platform::TreeHandle from, platform::TreeHandle, size_t i, uint32_t attributes) {
                        DeleteFileStep(from, PathList[i].substr(path.size()), attributes, PathList[i]);
                      });
      for (size_t i = 0; i < PathList.size(); ++i) {
        const std::string name = PathList[i].substr(path.size());
        const uint32_t attributes = platform::FileAttributes(tree.get(), name);
        if (attributes != platform::kNoAttributes && (attributes & platform::kAttrDirectory)) {
          files.Finish();
          RemoveDirChecked(tree.get(), name, path);
        } else {
          files.Add(i, PathList[i], attributes);
        }
      }
      files.Finish();
    }
  }
  if (DirectoryPresent(path)) RemoveDirChecked(path);
}

// A root is refused however it is spelled (an unset variable in
// "%APPDIR%\", "/usr/..", "C:\."), and so is a path whose last name is "."
// or "..": it names a directory through another, and "link/." would reach
// through a link into what it leads to.
void RefuseDangerousDeletion(const std::string& path) {
  if (NamesRootDirectory(path)) {
    Refuse(EInOutError(ProgramText(kTextCannotDeleteRoot), platform::kErrorAccessDenied), path);
  }
  if (EndsInDotName(path, platform::NativeConventions())) {
    Refuse(EInOutError(ProgramText(kTextCannotDeleteDotName), platform::kErrorAccessDenied), path);
  }
}

}  // namespace

void DeleteTarget(std::string path) {
  path = ExpandRemovedPath(path);
  const bool mask = IsMaskPath(path);
  if (!mask) RefuseDangerousDeletion(path);
  if (IsDirectory(path) && !mask) path = AddTrailingBackslash(path);
  if (IsDirectory(path) && !mask) {
    DeleteTree(path);
  } else if (mask) {
    const MaskedFiles masked(path);
    FileSteps files(masked.tree.get(), platform::kNoTree,
                    [&](platform::TreeHandle from, platform::TreeHandle, size_t i, uint32_t) {
                      DeleteFileStep(from, masked.names[i], platform::kNoAttributes,
                                     ShownPath(masked.directory, masked.names[i]));
                    });
    for (size_t i = 0; i < masked.names.size(); ++i) files.Add(i, masked.names[i]);
  } else {
    DeleteFileStep(path);
  }
}
