#include "tree/wildcard.h"

#include "prims/fs.h"
#include "prims/mask.h"
#include "prims/path.h"
#include "prims/text.h"

bool IsMaskPath(const std::string& path) { return ContainsTextCI(path, "*."); }

void ForEachMaskedFile(const std::string& mask,
                       const std::function<void(const std::string& path, const std::string& name)>& visit) {
  const Conventions& c = platform::NativeConventions();
  const std::string directory = DirectoryPart(mask, c);
  const std::string pattern = FileNamePart(mask, c);
  TSearchRec entry;
  if (FindFirstEntry(mask, kSearchPlainFiles, entry) != 0) return;
  do {
    if (MatchesMask(entry.Name, pattern, c)) visit(directory + entry.Name, entry.Name);
  } while (FindNextEntry(entry) == 0);
}
