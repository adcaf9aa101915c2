#include "tree/listing.h"

#include <algorithm>
#include <string_view>
#include <unordered_set>

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

}  // namespace

void CollectLevel(const std::string& dir, uint32_t attributes, TPathList& out,
                  TPathList& subdirectories) {
  // One search delivers both what is listed and what is entered next.
  // An entry is listed when it passes the requested word, and entered when
  // it is a directory (not a link) that passes the word with the directory
  // bit added.
  const uint32_t listSkip = ~attributes & 0x1E;
  const uint32_t enterSkip = ~(attributes | platform::kAttrDirectory) & 0x1E;
  TSearchRec entry;
  if (FindFirstEntry(dir + "*", attributes | platform::kAttrDirectory, entry) != 0) return;
  do {
    const bool directory = entry.Attributes & platform::kAttrDirectory;
    if (directory && IsDotEntry(entry.Name)) continue;
    if (!(entry.Attributes & listSkip)) out.push_back(dir + entry.Name);
    if (directory && !(entry.Attributes & enterSkip) && !IsLink(entry.Attributes)) {
      subdirectories.push_back(dir + entry.Name);
    }
  } while (FindNextEntry(entry) == 0);
}

TPathList& ListTree(const std::string& dir, uint32_t attributes) {
  const Conventions& c = platform::NativeConventions();
  const std::string root = AddTrailingBackslash(dir, c);
  // Asked without its trailing separator, a link is described itself
  // rather than what it leads to.
  if (IsLink(platform::FileAttributes(DropTrailingBackslash(root, c)))) return PathList;
  // Depth-first with an explicit stack, so that a deep tree cannot exhaust
  // the call stack. Each frame holds one directory's subdirectories.
  struct Frame {
    TPathList subdirectories;
    size_t next = 0;
  };
  std::vector<Frame> stack(1);
  CollectLevel(root, attributes, PathList, stack.back().subdirectories);
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next == top.subdirectories.size()) {
      stack.pop_back();
      continue;
    }
    std::string subdirectory = AddTrailingBackslash(top.subdirectories[top.next++], c);
    Frame child;
    CollectLevel(subdirectory, attributes, PathList, child.subdirectories);
    stack.push_back(std::move(child));
  }
  return PathList;
}

TPathList DistinctPathList(const TPathList& list, const Conventions& c) {
  TPathList result;
  result.reserve(list.size());
  if (c.foldCase) {
    std::unordered_set<std::string> seen;
    seen.reserve(list.size());
    for (const std::string& path : list) {
      if (seen.insert(LowerAscii(path)).second) result.push_back(path);
    }
  } else {
    std::unordered_set<std::string_view> seen;
    seen.reserve(list.size());
    for (const std::string& path : list) {
      if (seen.insert(path).second) result.push_back(path);
    }
  }
  return result;
}

void DistinctPaths(const TPathList& list) {
  TPathList result = DistinctPathList(list, platform::NativeConventions());
  PathList = std::move(result);
}

size_t PathDepth(const std::string& path, const Conventions& c) {
  size_t depth = 0;
  for (size_t i = 0; i < path.size(); ++i) {
    if (path[i] == c.separator && !IsTrailByte(path, i, c.leadBytes)) ++depth;
  }
  return depth;
}

TPathList OrderByDepth(const TPathList& list, unsigned char mode, const Conventions& c) {
  // A stable counting sort on depth: one pass to measure, one to place.
  std::vector<size_t> depths(list.size());
  size_t deepest = 0;
  for (size_t i = 0; i < list.size(); ++i) {
    depths[i] = PathDepth(DropTrailingBackslash(list[i], c), c);
    deepest = std::max(deepest, depths[i]);
  }
  std::vector<size_t> start(deepest + 2, 0);
  for (size_t depth : depths) {
    size_t slot = mode == 1 ? depth : deepest - depth;
    ++start[slot + 1];
  }
  for (size_t i = 1; i < start.size(); ++i) start[i] += start[i - 1];
  TPathList result(list.size());
  for (size_t i = 0; i < list.size(); ++i) {
    size_t slot = mode == 1 ? depths[i] : deepest - depths[i];
    result[start[slot]++] = list[i];
  }
  return result;
}

TPathList OrderByDepth(const TPathList& list, unsigned char mode) {
  return OrderByDepth(list, mode, platform::NativeConventions());
}

TPathList MakeRelative(const TPathList& list, const std::string& prefix, const Conventions& c) {
  // Nearly every entry begins with the prefix, and an occurrence at the
  // start is the first one: compare the start directly and fall back to the
  // general search only for the others.
  const std::string upperPrefix = UpperCopy(prefix, c);
  TPathList result;
  result.reserve(list.size());
  for (const std::string& entry : list) {
    const size_t n = prefix.size();
    const bool cutsCharacter = n < entry.size() && IsTrailByte(entry, n, c.leadBytes);
    if (n > 0 && entry.size() >= n && !cutsCharacter &&
        UpperCopy(std::string_view(entry).substr(0, n), c) == upperPrefix) {
      result.push_back(entry.substr(n));
    } else {
      result.push_back(ReplaceText(entry, prefix, "", kIgnoreCase, c));
    }
  }
  return result;
}

TPathList MakeRelative(const TPathList& list, const std::string& prefix) {
  return MakeRelative(list, prefix, platform::NativeConventions());
}
