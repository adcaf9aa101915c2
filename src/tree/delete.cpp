#include "tree/delete.h"

#include "main/errors.h"
#include "main/texts.h"
#include "platform/platform.h"
#include "prims/expand.h"
#include "prims/fs.h"
#include "prims/path.h"
#include "tree/listing.h"
#include "tree/wildcard.h"

namespace {

void DeleteTree(const std::string& path) {
  ListTree(path, kSearchEverything);
  DistinctPaths(PathList);
  PathList = OrderByDepth(std::move(PathList), 0);
  for (const std::string& entry : PathList) {
    if (IsDirectory(entry)) {
      RemoveDirChecked(entry);
    } else {
      platform::DeleteFile(entry);
    }
  }
  if (DirectoryPresent(path)) RemoveDirChecked(path);
}

}  // namespace

void DeleteTarget(std::string path) {
  path = ExpandEnvRefs(path);
  const bool mask = IsMaskPath(path);
  // An unset variable in "%APPDIR%\" must not wipe a drive.
  if (!mask && IsRootPath(path, platform::NativeConventions())) {
    Raise(EInOutError(ProgramText(kTextCannotDeleteRoot), platform::kErrorAccessDenied));
  }
  if (IsDirectory(path) && !mask) path = AddTrailingBackslash(path);
  if (IsDirectory(path) && !mask) {
    DeleteTree(path);
  } else if (mask) {
    ForEachMaskedFile(path, [](const std::string& file, const std::string&) {
      platform::DeleteFile(file);
    });
  } else {
    platform::DeleteFile(path);
  }
}
