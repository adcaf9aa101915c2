#include "tree/wildcard.h"

#include "platform/wildcard.h"
#include "prims/fs.h"
#include "prims/path.h"
#include "prims/text.h"
#include "tree/listing.h"

#include <utility>
#include <vector>

bool IsMaskPath(const std::string& path) { return ContainsTextCI(path, "*."); }

void ForEachMaskedFile(
    const std::string& mask,
    const std::function<void(platform::TreeHandle tree, const std::string& name, uint32_t attributes)>& visit) {
  const Conventions& c = platform::NativeConventions();
  const std::string directory = DirectoryPart(mask, c);
  const std::string pattern = FileNamePart(mask, c);
  // The mask's directory is the caller's: a link there is followed. The
  // files are then acted on in the directory that was searched.
  const ScopedTree tree(directory.empty() ? "." : directory, /*followLink=*/true);
  if (!tree) return;
  // The whole search comes first: a name that cannot be used stops the
  // operation before any file is touched.
  std::vector<std::pair<std::string, uint32_t>> files;
  {
    TSearchRec entry;
    if (FindFirstEntry(tree.get(), "", pattern, kSearchPlainFiles, entry) != 0) return;
    do {
      if (!platform::IsUsableEntryName(entry.Name)) RaiseUnusableName(entry.Name);
      if (MatchesMask(entry.Name, pattern, c)) files.emplace_back(entry.Name, entry.Attributes);
    } while (FindNextEntry(entry) == 0);
  }
  for (const auto& [name, attributes] : files) visit(tree.get(), name, attributes);
}
