#include "tree/listing.h"

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <utility>

#include "main/errors.h"
#include "main/log_format.h"
#include "main/steps.h"
#include "main/texts.h"
#include "platform/platform.h"
#include "prims/fs.h"
#include "prims/path.h"
#include "prims/text.h"

TPathList PathList;

namespace {

bool IsDotEntry(const std::string& name) { return name == "." || name == ".."; }

bool IsLink(uint32_t attributes) {
  return attributes != platform::kNoAttributes && (attributes & platform::kAttrReparsePoint);
}

// `dir` followed by `name` in a string of exactly that size: a million
// listed paths must not each carry the spare room that appending leaves.
std::string JoinExactly(const std::string& dir, const std::string& name) {
  std::string path;
  path.reserve(dir.size() + name.size());
  path.append(dir).append(name);
  return path;
}

}  // namespace

void RaiseUnusableName(const std::string& directory, const std::string& name) {
  std::string text = ProgramText(kTextUnusableName);
  const size_t at = text.find("%s");
  // Such a name may hold a line break: the report shows it escaped.
  if (at != std::string::npos) text.replace(at, 2, ShownInReport(name));
  Refuse(EInOutError(text, platform::kErrorInvalidName), directory + name);
}

void CollectLevel(platform::TreeHandle tree, const std::string& root, const std::string& dir,
                  uint32_t attributes, TPathList& out, TPathList& subdirectories) {
  // One search delivers both what is listed and what is entered next.
  // An entry is listed when it passes the requested word, and entered when
  // it is a directory (not a link) that passes the word with the directory
  // bit added.
  const uint32_t listSkip = ~attributes & 0x1E;
  const uint32_t enterSkip = ~(attributes | platform::kAttrDirectory) & 0x1E;
  // Only the kind of each entry matters here, which most directory listings
  // tell without a query per entry.
  platform::FoundEntry entry;
  uint32_t error = 0;
  ScopedSearch search(platform::FindFirst(tree, dir.substr(root.size()), "*", entry, error, /*kindsOnly=*/true));
  if (!search) return NoteUnreadDirectory(dir, error);
  do {
    const bool directory = entry.attributes & platform::kAttrDirectory;
    if (directory && IsDotEntry(entry.name)) continue;
    // A name that no file system could hold honestly may lead elsewhere
    // once joined to a path: the whole operation stops before any change.
    if (!platform::IsUsableEntryName(entry.name)) RaiseUnusableName(dir, entry.name);
    if (!(entry.attributes & listSkip)) out.push_back(JoinExactly(dir, entry.name));
    if (directory && !(entry.attributes & enterSkip) && !IsLink(entry.attributes)) {
      subdirectories.push_back(JoinExactly(dir, entry.name));
    }
  } while (platform::FindNext(search.get(), entry, error));
  NoteUnreadDirectory(dir, error);
}

TPathList& ListTree(const std::string& dir, uint32_t attributes) {
  // A root that is a link is not opened: it is listed as nothing.
  const ScopedTree tree(dir, /*followLink=*/false);
  if (!tree) return PathList;
  return ListTree(tree.get(), dir, attributes);
}

TPathList& ListTree(platform::TreeHandle tree, const std::string& dir, uint32_t attributes) {
  const Conventions& c = platform::NativeConventions();
  const std::string root = AddTrailingBackslash(dir, c);
  // Depth-first with an explicit stack, so that a deep tree cannot exhaust
  // the call stack. Each frame holds one directory's subdirectories.
  struct Frame {
    TPathList subdirectories;
    size_t next = 0;
  };
  std::vector<Frame> stack(1);
  CollectLevel(tree, root, root, attributes, PathList, stack.back().subdirectories);
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next == top.subdirectories.size()) {
      stack.pop_back();
      continue;
    }
    std::string subdirectory = AddTrailingBackslash(top.subdirectories[top.next++], c);
    Frame child;
    CollectLevel(tree, root, subdirectory, attributes, PathList, child.subdirectories);
    stack.push_back(std::move(child));
  }
  return PathList;
}

namespace {

// The comparison key of a path: its bytes, ASCII-lowered where names fold
// case. Written into `scratch` to spare an allocation per path.
std::string_view KeyOf(const std::string& path, bool fold, std::string& scratch) {
  if (!fold) return path;
  scratch.assign(path);
  for (char& ch : scratch) {
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch + 0x20);
  }
  return scratch;
}

// 64-bit FNV-1a, then mixed so that the top bits spread well.
uint64_t HashKey(std::string_view key) {
  uint64_t h = 1469598103934665603ull;
  for (unsigned char ch : key) h = (h ^ ch) * 1099511628211ull;
  h ^= h >> 29;
  h *= 0xbf58476d1ce4e5b9ull;
  return h ^ (h >> 32);
}

}  // namespace

std::vector<char> FirstOccurrences(const TPathList& list, const Conventions& c) {
  // A hash set over a million paths misses the cache on nearly every probe.
  // Instead the paths' hashes are first partitioned by their top bits into
  // groups small enough to stay in cache (each group keeping list order),
  // and each group is de-duplicated with a small table of its own: the first
  // occurrence wins. Paths are read again only when two hashes agree.
  struct Hashed {
    uint64_t hash;
    uint32_t index;
  };
  const size_t n = list.size();
  std::string scratch, other;
  unsigned bits = 0;
  while ((n >> bits) > 2048) ++bits;
  const size_t groups = size_t{1} << bits;
  auto groupOf = [bits](uint64_t h) { return bits == 0 ? 0 : static_cast<size_t>(h >> (64 - bits)); };

  std::vector<uint64_t> hashes(n);
  std::vector<uint32_t> start(groups + 1, 0);
  for (size_t i = 0; i < n; ++i) {
    hashes[i] = HashKey(KeyOf(list[i], c.foldCase, scratch));
    ++start[groupOf(hashes[i]) + 1];
  }
  for (size_t g = 1; g <= groups; ++g) start[g] += start[g - 1];
  std::vector<Hashed> grouped(n);
  {
    std::vector<uint32_t> next(start.begin(), start.end() - 1);
    for (size_t i = 0; i < n; ++i) grouped[next[groupOf(hashes[i])]++] = {hashes[i], static_cast<uint32_t>(i)};
  }

  std::vector<char> keep(n, 0);
  std::vector<uint32_t> table;  // positions in `grouped`
  for (size_t g = 0; g < groups; ++g) {
    const size_t first = start[g], size = start[g + 1] - start[g];
    if (size == 0) continue;
    size_t slots = 16;
    while (slots < size * 2) slots <<= 1;
    table.assign(slots, UINT32_MAX);
    for (size_t k = first; k < first + size; ++k) {
      const Hashed& entry = grouped[k];
      size_t slot = static_cast<size_t>(entry.hash) & (slots - 1);
      bool duplicate = false;
      while (table[slot] != UINT32_MAX) {
        const Hashed& seen = grouped[table[slot]];
        if (seen.hash == entry.hash &&
            KeyOf(list[seen.index], c.foldCase, other) == KeyOf(list[entry.index], c.foldCase, scratch)) {
          duplicate = true;
          break;
        }
        slot = (slot + 1) & (slots - 1);
      }
      if (!duplicate) {
        table[slot] = static_cast<uint32_t>(k);
        keep[entry.index] = 1;
      }
    }
  }
  return keep;
}

TPathList DistinctPathList(const TPathList& list, const Conventions& c) {
  const std::vector<char> keep = FirstOccurrences(list, c);
  TPathList result;
  result.reserve(list.size());
  for (size_t i = 0; i < list.size(); ++i) {
    if (keep[i]) result.push_back(list[i]);
  }
  return result;
}

void DistinctPaths(const TPathList& list) {
  if (&list != &PathList) {
    PathList = DistinctPathList(list, platform::NativeConventions());
    return;
  }
  // The list replaces itself: its survivors move instead of being copied.
  const std::vector<char> keep = FirstOccurrences(PathList, platform::NativeConventions());
  size_t kept = 0;
  for (size_t i = 0; i < PathList.size(); ++i) {
    if (!keep[i]) continue;
    if (kept != i) PathList[kept] = std::move(PathList[i]);
    ++kept;
  }
  PathList.resize(kept);
}

size_t PathDepth(const std::string& path, const Conventions& c) {
  size_t depth = 0;
  for (size_t i = 0; i < path.size(); ++i) {
    if (path[i] == c.separator && !IsTrailByte(path, i, c.leadBytes)) ++depth;
  }
  return depth;
}

namespace {

// Where each entry goes in a stable counting sort on depth.
std::vector<uint32_t> DepthOrderPlaces(const TPathList& list, unsigned char mode, const Conventions& c) {
  std::vector<uint32_t> places(list.size());
  size_t deepest = 0;
  for (size_t i = 0; i < list.size(); ++i) {
    places[i] = static_cast<uint32_t>(PathDepth(DropTrailingBackslash(list[i], c), c));
    deepest = std::max<size_t>(deepest, places[i]);
  }
  std::vector<size_t> start(deepest + 2, 0);
  for (uint32_t& depth : places) {
    depth = static_cast<uint32_t>(mode == 1 ? depth : deepest - depth);
    ++start[depth + 1];
  }
  for (size_t i = 1; i < start.size(); ++i) start[i] += start[i - 1];
  for (uint32_t& slot : places) slot = static_cast<uint32_t>(start[slot]++);
  return places;
}

}  // namespace

TPathList OrderByDepth(const TPathList& list, unsigned char mode, const Conventions& c) {
  const std::vector<uint32_t> places = DepthOrderPlaces(list, mode, c);
  TPathList result(list.size());
  for (size_t i = 0; i < list.size(); ++i) result[places[i]] = list[i];
  return result;
}

TPathList OrderByDepth(const TPathList& list, unsigned char mode) {
  return OrderByDepth(list, mode, platform::NativeConventions());
}

TPathList OrderByDepth(TPathList&& list, unsigned char mode) {
  // Reordered where it stands, one cycle of the permutation at a time, so
  // that a million paths never exist twice.
  TPathList given = std::move(list);
  std::vector<uint32_t> places = DepthOrderPlaces(given, mode, platform::NativeConventions());
  for (size_t i = 0; i < given.size(); ++i) {
    while (places[i] != i) {
      const uint32_t target = places[i];
      std::swap(given[i], given[target]);
      std::swap(places[i], places[target]);
    }
  }
  return given;
}

RelativeNames::RelativeNames(const std::string& prefix, const Conventions& c)
    : prefix_(prefix), upperPrefix_(UpperCopy(prefix, c)), c_(c) {}

std::string RelativeNames::Of(const std::string& entry) const {
  // Nearly every entry begins with the prefix, and an occurrence at the
  // start is the first one: compare the start directly and fall back to the
  // general search only for the others.
  const size_t n = prefix_.size();
  const bool cutsCharacter = n < entry.size() && IsTrailByte(entry, n, c_.leadBytes);
  if (n > 0 && entry.size() >= n && !cutsCharacter) {
    thread_local std::string start;  // reused: no allocation per entry
    start.assign(entry, 0, n);
    c_.upperInPlace(start, c_.leadBytes);
    if (start == upperPrefix_) return std::string(entry, n);
  }
  return ReplaceText(entry, prefix_, "", kIgnoreCase, c_);
}

TPathList MakeRelative(const TPathList& list, const std::string& prefix, const Conventions& c) {
  const RelativeNames names(prefix, c);
  TPathList result;
  result.reserve(list.size());
  for (const std::string& entry : list) result.push_back(names.Of(entry));
  return result;
}

TPathList MakeRelative(const TPathList& list, const std::string& prefix) {
  return MakeRelative(list, prefix, platform::NativeConventions());
}
