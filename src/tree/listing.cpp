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

// --- The list ------------------------------------------------------------------

TPathList::TPathList(std::initializer_list<std::string> paths) {
  reserve(paths.size());
  for (const std::string& path : paths) push_back(path);
}

void TPathList::clear() {
  nodes_.clear();
  order_.clear();
}

void TPathList::reserve(size_t entries) {
  nodes_.reserve(entries);
  order_.reserve(entries);
}

void TPathList::swap(TPathList& other) noexcept {
  nodes_.swap(other.nodes_);
  order_.swap(other.order_);
}

void TPathList::push_back(std::string path) {
  order_.push_back(static_cast<Node>(nodes_.size()));
  nodes_.push_back({kNoNode, 0, static_cast<uint32_t>(Kind::kWhole), std::move(path)});
}

TPathList::Node TPathList::AddRoot(std::string root) {
  nodes_.push_back({kNoNode, 0, static_cast<uint32_t>(Kind::kRoot), std::move(root)});
  return static_cast<Node>(nodes_.size() - 1);
}

TPathList::Node TPathList::AddBelow(Node directory, std::string name, bool listed) {
  const Node node = static_cast<Node>(nodes_.size());
  nodes_.push_back({directory, nodes_[directory].level + 1u, static_cast<uint32_t>(Kind::kListed), std::move(name)});
  if (listed) order_.push_back(node);
  return node;
}

std::string TPathList::PathOf(Node node) const {
  // The names from the top down: collected upwards, then joined.
  std::vector<Node> chain;
  for (Node at = node; at != kNoNode; at = nodes_[at].parent) chain.push_back(at);
  size_t length = 0;
  for (Node at : chain) length += nodes_[at].name.size() + 1;
  const char separator = platform::NativeConventions().separator;
  std::string path;
  path.reserve(length);
  for (size_t i = chain.size(); i-- > 0;) {
    const Entry& entry = nodes_[chain[i]];
    if (i + 1 < chain.size() && !IsRoot(chain[i + 1])) path.push_back(separator);
    path.append(entry.name);
  }
  return path;
}

TPathList TPathList::Reordered(const std::vector<uint32_t>& positions) const {
  TPathList result;
  result.nodes_ = nodes_;
  result.order_.reserve(positions.size());
  for (uint32_t position : positions) result.order_.push_back(order_[position]);
  return result;
}

void TPathList::KeepOnly(const std::vector<char>& keep) {
  size_t kept = 0;
  for (size_t i = 0; i < order_.size(); ++i) {
    if (keep[i]) order_[kept++] = order_[i];
  }
  order_.resize(kept);
}

void TPathList::Permute(std::vector<uint32_t> places) {
  // One cycle of the permutation at a time, where the order stands.
  for (size_t i = 0; i < order_.size(); ++i) {
    while (places[i] != i) {
      const uint32_t target = places[i];
      std::swap(order_[i], order_[target]);
      std::swap(places[i], places[target]);
    }
  }
}

bool operator==(const TPathList& a, const TPathList& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

// --- Relative paths, one after another ----------------------------------------

RelativePaths::RelativePaths(const TPathList& list, std::string beginning, char separator)
    : list_(list), beginning_(beginning.size()), separator_(separator), text_(std::move(beginning)) {}

const std::string& RelativePaths::Of(TPathList::Node node) {
  // Climb from the node until a node the text already spells (or the root),
  // then keep the text up to it and append the names climbed over.
  climb_.clear();
  TPathList::Node at = node;
  for (;;) {
    if (list_.IsRoot(at) || list_.ParentOf(at) == TPathList::kNoNode) break;
    const uint32_t level = list_.LevelOf(at);
    if (level <= chain_.size() && chain_[level - 1] == at) break;
    climb_.push_back(at);
    at = list_.ParentOf(at);
  }
  const size_t kept = list_.IsRoot(at) || list_.ParentOf(at) == TPathList::kNoNode ? 0 : list_.LevelOf(at);
  chain_.resize(kept);
  ends_.resize(kept);
  text_.resize(kept == 0 ? beginning_ : ends_.back());
  for (size_t i = climb_.size(); i-- > 0;) {
    if (!chain_.empty()) text_.push_back(separator_);
    text_.append(list_.NameOf(climb_[i]));
    chain_.push_back(climb_[i]);
    ends_.push_back(text_.size());
  }
  return text_;
}

std::string_view DirectoryOfEntry(const std::string& relative, TPathList::Node node) {
  const size_t name = PathList.NameOf(node).size();
  const bool top = PathList.IsRoot(PathList.ParentOf(node));
  return std::string_view(relative).substr(0, relative.size() - name - (top ? 0 : 1));
}

// --- Listing ---------------------------------------------------------------------

namespace {

bool IsDotEntry(const std::string& name) { return name == "." || name == ".."; }

bool IsLink(uint32_t attributes) {
  return attributes != platform::kNoAttributes && (attributes & platform::kAttrReparsePoint);
}

[[noreturn]] void RefuseMountPoint(const std::string& path) {
  std::string text = ProgramText(kTextMountPoint);
  const size_t at = text.find("%s");
  if (at != std::string::npos) text.replace(at, 2, ShownInReport(path));
  Refuse(EInOutError(text, platform::kErrorNotSameDevice), path);
}

// The path of the listed directory `node` as the operation names it, with
// a separator at its end (a root's text has one already).
std::string DirectoryText(TPathList::Node node) {
  std::string text = PathList.PathOf(node);
  if (!PathList.IsRoot(node)) text.push_back(platform::NativeConventions().separator);
  return text;
}

// A search of `directory` that ended with `error` before the end of its
// entries (the log passes the directory over); its path is spelled only
// then.
void NoteIfUnread(TPathList::Node directory, uint32_t error) {
  if (error == 0 || error == platform::kErrorNoMoreFiles || error == platform::kErrorFileNotFound) return;
  NoteUnreadDirectory(DirectoryText(directory), error);
}

// What one directory of the walk still has to enter: its subdirectories, as
// nodes, and how long its relative name is.
struct Frame {
  std::vector<TPathList::Node> subdirectories;
  size_t next = 0;
  size_t nameLength = 0;
};

// Reads the directory `relative` (below the tree's root; its node is
// `directory`) and adds its entries below that node: listed when they pass
// the requested word; entered later when they are directories (not links)
// that pass it with the directory bit added.
void CollectLevel(platform::TreeHandle tree, const std::string& relative, TPathList::Node directory,
                  uint32_t attributes, std::vector<TPathList::Node>& subdirectories) {
  const uint32_t listSkip = ~attributes & 0x1E;
  const uint32_t enterSkip = ~(attributes | platform::kAttrDirectory) & 0x1E;
  // Only the kind of each entry matters here, which most directory listings
  // tell without a query per entry.
  platform::FoundEntry entry;
  uint32_t error = 0;
  ScopedSearch search(platform::FindFirst(tree, relative, "*", entry, error, /*kindsOnly=*/true));
  if (!search) return NoteIfUnread(directory, error);
  do {
    const bool isDirectory = entry.attributes & platform::kAttrDirectory;
    if (isDirectory && IsDotEntry(entry.name)) continue;
    // A name that no file system could hold honestly may lead elsewhere
    // once joined to a path: the whole operation stops before any change.
    if (!platform::IsUsableEntryName(entry.name)) RaiseUnusableName(DirectoryText(directory), entry.name);
    const bool listed = !(entry.attributes & listSkip);
    const bool entered = isDirectory && !(entry.attributes & enterSkip) && !IsLink(entry.attributes);
    if (!listed && !entered) continue;
    const TPathList::Node node = PathList.AddBelow(directory, std::move(entry.name), listed);
    if (entered) subdirectories.push_back(node);
  } while (platform::FindNext(search.get(), entry, error));
  NoteIfUnread(directory, error);
}

}  // namespace

void RaiseUnusableName(const std::string& directory, const std::string& name) {
  std::string text = ProgramText(kTextUnusableName);
  const size_t at = text.find("%s");
  // Such a name may hold a line break: the report shows it escaped.
  if (at != std::string::npos) text.replace(at, 2, ShownInReport(name));
  Refuse(EInOutError(text, platform::kErrorInvalidName), directory + name);
}

TPathList& ListTree(const std::string& dir, uint32_t attributes) {
  // A root that is a link is not opened: it is listed as nothing.
  const ScopedTree tree(dir, /*followLink=*/false);
  if (!tree) return PathList;
  return ListTree(tree.get(), dir, attributes);
}

TPathList& ListTree(platform::TreeHandle tree, const std::string& dir, uint32_t attributes, MountPoints mounts) {
  const Conventions& c = platform::NativeConventions();
  const TPathList::Node root = PathList.AddRoot(AddTrailingBackslash(dir, c));
  // Depth-first with an explicit stack, so that a deep tree cannot exhaust
  // the call stack. The relative name of the directory being read grows and
  // shrinks at its end, so each step costs the length of one name.
  std::string relative;
  std::vector<Frame> stack(1);
  CollectLevel(tree, relative, root, attributes, stack.back().subdirectories);
  while (!stack.empty()) {
    Frame& top = stack.back();
    relative.resize(top.nameLength);
    if (top.next == top.subdirectories.size()) {
      stack.pop_back();
      continue;
    }
    const TPathList::Node subdirectory = top.subdirectories[top.next++];
    if (!relative.empty()) relative.push_back(c.separator);
    relative.append(PathList.NameOf(subdirectory));
    if (mounts == MountPoints::kRefuse && platform::IsMountPoint(tree, relative)) {
      RefuseMountPoint(PathList.PathOf(subdirectory));
    }
    Frame child;
    child.nameLength = relative.size();
    CollectLevel(tree, relative, subdirectory, attributes, child.subdirectories);
    stack.push_back(std::move(child));
  }
  return PathList;
}

// --- Duplicates ------------------------------------------------------------------

namespace {

constexpr uint64_t kHashStart = 1469598103934665603ull;

// 64-bit FNV-1a over `text`, continuing from `h`; ASCII-lowered where names
// fold case. A path's hash continues its directory's, so each entry is
// hashed by its own name only.
uint64_t HashOn(uint64_t h, std::string_view text, bool fold) {
  for (unsigned char ch : text) {
    if (fold && ch >= 'A' && ch <= 'Z') ch = static_cast<unsigned char>(ch + 0x20);
    h = (h ^ ch) * 1099511628211ull;
  }
  return h;
}

// Spreads the top bits well.
uint64_t Mixed(uint64_t h) {
  h ^= h >> 29;
  h *= 0xbf58476d1ce4e5b9ull;
  return h ^ (h >> 32);
}

bool SamePath(const std::string& a, const std::string& b, bool fold) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (fold) {
      if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 0x20);
      if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 0x20);
    }
    if (x != y) return false;
  }
  return true;
}

// The hash of every node's path, in storage order (a node's directory comes
// before it).
std::vector<uint64_t> PathHashes(const TPathList& list, const Conventions& c) {
  std::vector<uint64_t> hashes(list.NodeCount());
  const char separator[1] = {platform::NativeConventions().separator};
  for (TPathList::Node node = 0; node < list.NodeCount(); ++node) {
    const TPathList::Node parent = list.ParentOf(node);
    uint64_t h = parent == TPathList::kNoNode ? kHashStart : hashes[parent];
    if (parent != TPathList::kNoNode && !list.IsRoot(parent)) h = HashOn(h, std::string_view(separator, 1), false);
    hashes[node] = HashOn(h, list.NameOf(node), c.foldCase);
  }
  return hashes;
}

}  // namespace

std::vector<char> FirstOccurrences(const TPathList& list, const Conventions& c) {
  // A hash set over a million paths misses the cache on nearly every probe.
  // Instead the paths' hashes are first partitioned by their top bits into
  // groups small enough to stay in cache (each group keeping list order),
  // and each group is de-duplicated with a small table of its own: the first
  // occurrence wins. Paths are spelled only when two hashes agree.
  struct Hashed {
    uint64_t hash;
    uint32_t index;
  };
  const size_t n = list.size();
  const std::vector<uint64_t> nodeHashes = PathHashes(list, c);
  unsigned bits = 0;
  while ((n >> bits) > 2048) ++bits;
  const size_t groups = size_t{1} << bits;
  auto groupOf = [bits](uint64_t h) { return bits == 0 ? 0 : static_cast<size_t>(h >> (64 - bits)); };

  std::vector<uint64_t> hashes(n);
  std::vector<uint32_t> start(groups + 1, 0);
  for (size_t i = 0; i < n; ++i) {
    hashes[i] = Mixed(nodeHashes[list.NodeAt(i)]);
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
        if (seen.hash == entry.hash && SamePath(list[seen.index], list[entry.index], c.foldCase)) {
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
  TPathList result = list;
  result.KeepOnly(FirstOccurrences(list, c));
  return result;
}

void DistinctPaths(const TPathList& list) {
  if (&list != &PathList) {
    PathList = DistinctPathList(list, platform::NativeConventions());
    return;
  }
  // The list replaces itself: it only forgets its later occurrences.
  PathList.KeepOnly(FirstOccurrences(PathList, platform::NativeConventions()));
}

size_t PathDepth(const std::string& path, const Conventions& c) {
  size_t depth = 0;
  for (size_t i = 0; i < path.size(); ++i) {
    if (path[i] == c.separator && !IsTrailByte(path, i, c.leadBytes)) ++depth;
  }
  return depth;
}

// --- Ordering by depth -----------------------------------------------------------

namespace {

// The depth of each entry's path without trailing separator: a whole path
// (or a root) counts its separators, a listed name lies one below its
// directory. Nodes come after their directories, so one pass does.
std::vector<uint32_t> Depths(const TPathList& list, const Conventions& c) {
  std::vector<uint32_t> nodeDepths(list.NodeCount());
  for (TPathList::Node node = 0; node < list.NodeCount(); ++node) {
    const TPathList::Node parent = list.ParentOf(node);
    nodeDepths[node] = parent == TPathList::kNoNode
                           ? static_cast<uint32_t>(PathDepth(DropTrailingBackslash(list.NameOf(node), c), c))
                           : nodeDepths[parent] + 1;
  }
  std::vector<uint32_t> depths(list.size());
  for (size_t i = 0; i < list.size(); ++i) depths[i] = nodeDepths[list.NodeAt(i)];
  return depths;
}

// Where each entry goes in a stable counting sort on depth.
std::vector<uint32_t> DepthOrderPlaces(const TPathList& list, unsigned char mode, const Conventions& c) {
  std::vector<uint32_t> places = Depths(list, c);
  size_t deepest = 0;
  for (uint32_t depth : places) deepest = std::max<size_t>(deepest, depth);
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
  std::vector<uint32_t> positions(list.size());
  for (size_t i = 0; i < list.size(); ++i) positions[places[i]] = static_cast<uint32_t>(i);
  return list.Reordered(positions);
}

TPathList OrderByDepth(const TPathList& list, unsigned char mode) {
  return OrderByDepth(list, mode, platform::NativeConventions());
}

TPathList OrderByDepth(TPathList&& list, unsigned char mode) {
  TPathList given;
  given.swap(list);
  given.Permute(DepthOrderPlaces(given, mode, platform::NativeConventions()));
  return given;
}

// --- Relative names ----------------------------------------------------------------

TPathList MakeRelative(const TPathList& list, const std::string& prefix, const Conventions& c) {
  TPathList result;
  result.reserve(list.size());
  for (size_t i = 0; i < list.size(); ++i) result.push_back(ReplaceText(list[i], prefix, "", kIgnoreCase, c));
  return result;
}

TPathList MakeRelative(const TPathList& list, const std::string& prefix) {
  return MakeRelative(list, prefix, platform::NativeConventions());
}
