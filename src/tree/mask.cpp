#include "tree/mask.h"

#include "main/steps.h"
#include "platform/wildcard.h"
#include "prims/fs.h"
#include "prims/path.h"
#include "prims/text.h"
#include "tree/listing.h"

bool IsMaskPath(const std::string& path) { return ContainsTextCI(path, "*."); }

namespace {

std::string DirectoryOfMask(const std::string& mask) {
  const std::string directory = DirectoryPart(mask, platform::NativeConventions());
  return directory.empty() ? "." : directory;
}

}  // namespace

MaskedFiles::MaskedFiles(const std::string& mask)
    // The mask's directory is the caller's: a link there is followed. The
    // files are then acted on in the directory that was searched.
    : directory(DirectoryPart(mask, platform::NativeConventions())), tree(DirectoryOfMask(mask), /*followLink=*/true) {
  if (tree.get() == platform::kNoTree) {
    NoteNothingSelected(mask);
    return;
  }
  const Conventions& c = platform::NativeConventions();
  const std::string pattern = FileNamePart(mask, c);
  TSearchRec entry;
  if (FindFirstEntry(tree.get(), "", pattern, kSearchPlainFiles, entry) != 0) {
    NoteNothingSelected(mask);
    return;
  }
  do {
    if (!platform::IsUsableEntryName(entry.Name)) RaiseUnusableName(directory, entry.Name);
    if (MatchesMask(entry.Name, pattern, c)) {
      names.push_back(entry.Name);
      attributes.push_back(entry.Attributes);
    }
  } while (FindNextEntry(entry) == 0);
  if (names.empty()) NoteNothingSelected(mask);
}
