#include "tree/listing.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/platform.h"
#include "prims/fs.h"
#include "support/temp_dir.h"

namespace {

const Conventions kWin = WindowsConventions();
const Conventions kPosix = PosixConventions();

TEST(DistinctPaths, FirstOccurrenceWinsInOrder) {
  struct Row { TPathList in; const Conventions* c; TPathList out; } rows[] = {
      {{}, &kWin, {}},
      {{"a", "b", "a", "c", "b"}, &kWin, {"a", "b", "c"}},
      {{"C:\\A", "c:\\a", "C:\\a\\"}, &kWin, {"C:\\A", "C:\\a\\"}},
      {{"/t/A", "/t/a", "/t/A"}, &kPosix, {"/t/A", "/t/a"}},  // case-sensitive names
      {{"\xC4", "\xE4"}, &kWin, {"\xC4", "\xE4"}},           // ASCII folding only
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.in.size());
    EXPECT_EQ(DistinctPathList(row.in, *row.c), row.out);
  }
}

TEST(OrderByDepth, StableShallowestOrDeepestFirst) {
  const TPathList listed = {"C:\\s\\a.txt", "C:\\s\\d", "C:\\s\\d\\b.txt", "C:\\s\\e\\", "C:\\s\\d\\x\\y"};
  EXPECT_EQ(OrderByDepth(listed, 1, kWin),
            (TPathList{"C:\\s\\a.txt", "C:\\s\\d", "C:\\s\\e\\", "C:\\s\\d\\b.txt", "C:\\s\\d\\x\\y"}));
  EXPECT_EQ(OrderByDepth(listed, 0, kWin),
            (TPathList{"C:\\s\\d\\x\\y", "C:\\s\\d\\b.txt", "C:\\s\\a.txt", "C:\\s\\d", "C:\\s\\e\\"}));
  EXPECT_EQ(OrderByDepth(listed, 7, kWin), OrderByDepth(listed, 0, kWin));
  EXPECT_TRUE(OrderByDepth({}, 1, kWin).empty());
  EXPECT_TRUE(OrderByDepth({}, 0, kWin).empty());
  EXPECT_EQ(OrderByDepth({"/a/b", "/c"}, 1, kPosix), (TPathList{"/c", "/a/b"}));
}

// A list that is given up is reordered in place; the result must be the
// very order a copied list gets, for every mix of depths.
TEST(OrderByDepth, GivenUpListEndsInTheSameOrder) {
  const Conventions& native = platform::NativeConventions();
  const std::string sep(1, native.separator);
  TPathList listed;
  unsigned seed = 12345;
  for (int i = 0; i < 5000; ++i) {
    seed = seed * 1103515245 + 12345;
    std::string path = "r";
    for (unsigned level = 0; level < (seed >> 16) % 9; ++level) path += sep + "d" + std::to_string(level);
    listed.push_back(path + sep + "f" + std::to_string(i % 700));  // repeats too
  }
  for (unsigned char mode : {1, 0}) {
    SCOPED_TRACE(static_cast<int>(mode));
    const TPathList copied = OrderByDepth(listed, mode, native);
    TPathList given = listed;
    EXPECT_EQ(OrderByDepth(std::move(given), mode), copied);
  }
}

TEST(PathDepth, CountsTrueSeparatorsOnly) {
  LeadBytes lead;
  lead.set(0x81);
  EXPECT_EQ(PathDepth("C:\\a\\b", kWin), 2u);
  EXPECT_EQ(PathDepth("abc", kWin), 0u);
  EXPECT_EQ(PathDepth("C:\\\x81\\\\x", WindowsConventions(lead)), 2u);
  EXPECT_EQ(PathDepth("/a/b\\c", kPosix), 2u);
}

TEST(MakeRelative, RemovesTheFirstPrefixWithoutLetterCase) {
  struct Row { std::string entry, prefix, out; } rows[] = {
      {"C:\\Src\\sub\\a.txt", "C:\\Src\\", "sub\\a.txt"},
      {"C:\\src\\x", "c:\\SRC\\", "x"},
      {"D:\\other", "C:\\src\\", "D:\\other"},
      {"X\\C:\\src\\y", "C:\\src\\", "X\\y"},  // the first occurrence, wherever it is
      {"C:\\src\\", "C:\\src\\", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.entry);
    EXPECT_EQ(MakeRelative({row.entry}, row.prefix, kWin), TPathList{row.out});
  }
}

// Listed entries hold only their names; their paths are their directories'
// paths and the name, and duplicates are found by path all the same.
TEST(TPathList, ListedNamesSpellWholePathsAndFoldAsPathsDo) {
  const std::string sep(1, platform::NativeConventions().separator);
  TPathList list;
  const TPathList::Node root = list.AddRoot("top" + sep);
  const TPathList::Node upper = list.AddBelow(root, "A", true);
  list.AddBelow(upper, "x", true);
  const TPathList::Node lower = list.AddBelow(root, "a", true);
  list.AddBelow(lower, "x", true);
  list.AddBelow(lower, "y", true);
  const TPathList::Node hidden = list.AddBelow(root, "entered", false);  // entered, not listed
  list.AddBelow(hidden, "z", true);
  list.push_back("top" + sep + "A" + sep + "x");  // the same path, given whole
  EXPECT_EQ(list, (TPathList{"top" + sep + "A", "top" + sep + "A" + sep + "x", "top" + sep + "a",
                             "top" + sep + "a" + sep + "x", "top" + sep + "a" + sep + "y",
                             "top" + sep + "entered" + sep + "z", "top" + sep + "A" + sep + "x"}));
  EXPECT_EQ(FirstOccurrences(list, kPosix), (std::vector<char>{1, 1, 1, 1, 1, 1, 0}));
  EXPECT_EQ(FirstOccurrences(list, kWin), (std::vector<char>{1, 1, 0, 0, 1, 1, 0}));
  // Depth of the path: a listed name lies one below its directory.
  EXPECT_EQ(OrderByDepth(list, 0, platform::NativeConventions())[0], "top" + sep + "A" + sep + "x");
}

// The relative names of a walk are spelled from the one before; whatever
// order the walk takes, each must be the whole relative path.
TEST(RelativePaths, EveryEntryInAnyOrder) {
  TPathList list;
  const TPathList::Node root = list.AddRoot("r/");
  std::vector<TPathList::Node> directories = {root};
  std::vector<TPathList::Node> nodes;
  unsigned seed = 7;
  auto next = [&] { return (seed = seed * 1103515245 + 12345) >> 16; };
  for (int i = 0; i < 3000; ++i) {
    const TPathList::Node node = list.AddBelow(directories[next() % directories.size()], "n" + std::to_string(i), true);
    nodes.push_back(node);
    if (next() % 3 == 0) directories.push_back(node);
  }
  // Expected paths, spelled naively from the names up.
  auto naive = [&](TPathList::Node node) {
    std::string path;
    for (TPathList::Node at = node; !list.IsRoot(at); at = list.ParentOf(at)) {
      path = path.empty() ? list.NameOf(at) : list.NameOf(at) + "|" + path;
    }
    return path;
  };
  for (const char* order : {"list", "deepest first", "scattered"}) {
    SCOPED_TRACE(order);
    std::vector<TPathList::Node> walk = nodes;
    if (std::string(order) == "deepest first") {
      std::stable_sort(walk.begin(), walk.end(),
                       [&](TPathList::Node a, TPathList::Node b) { return list.LevelOf(a) > list.LevelOf(b); });
    } else if (std::string(order) == "scattered") {
      for (size_t i = walk.size(); i > 1; --i) std::swap(walk[i - 1], walk[next() % i]);
    }
    RelativePaths names(list, "pre|", '|');
    for (TPathList::Node node : walk) ASSERT_EQ(names.Of(node), "pre|" + naive(node));
  }
}

using ListTreeTest = TempDirTest;

TEST_F(ListTreeTest, DirectoryEntriesBeforeTheirSubtrees) {
  WriteFile("a.txt");
  MakeDir("d/e");
  WriteFile("d/b.txt");
  WriteFile("d/e/c.txt");
  WriteFile(".hidden");
  MakeDir("empty");
  PathList.clear();
  ListTree(Root(), kSearchEverything);
  const TPathList listed = PathList;
  auto at = [&](const char* relative) {
    return std::find(listed.begin(), listed.end(), Path(relative)) - listed.begin();
  };
  ASSERT_EQ(listed.size(), 7u);
  for (const char* relative : {"a.txt", "d", ".hidden", "empty", "d/b.txt", "d/e", "d/e/c.txt"}) {
    SCOPED_TRACE(relative);
    EXPECT_LT(at(relative), static_cast<long>(listed.size()));
  }
  // Every top-level entry precedes everything inside d, and d's entries
  // precede d\e's.
  for (const char* top : {"a.txt", "d", ".hidden", "empty"}) EXPECT_LT(at(top), at("d/b.txt"));
  EXPECT_LT(at("d/b.txt"), at("d/e/c.txt"));
  EXPECT_LT(at("d/e"), at("d/e/c.txt"));
  // Appends; never clears.
  ListTree(Root() + Separator(), kSearchEverything);
  EXPECT_EQ(PathList.size(), 14u);
  PathList.clear();
}

TEST_F(ListTreeTest, EmptyOrMissingDirectoryListsNothing) {
  PathList.clear();
  ListTree(Root(), kSearchEverything);
  ListTree(Path("missing"), kSearchEverything);
  EXPECT_TRUE(PathList.empty());
}

}  // namespace
