#include "prims/fs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "main/errors.h"
#include "support/temp_dir.h"

namespace {

using FsTest = TempDirTest;

std::vector<std::string> SearchAll(const std::string& mask, uint32_t attributes) {
  std::vector<std::string> names;
  TSearchRec entry;
  if (FindFirstEntry(mask, attributes, entry) != 0) return names;
  do {
    names.push_back(entry.Name);
  } while (FindNextEntry(entry) == 0);
  std::sort(names.begin(), names.end());
  return names;
}

TEST_F(FsTest, PresenceAndAttributes) {
  WriteFile("f.txt");
  MakeDir("d");
  const std::string sep(1, Separator());
  struct Row { std::string path; bool directory, file; } rows[] = {
      {Path("f.txt"), false, true},
      {Path("d"), true, false},
      {Path("d") + sep, true, false},
      {Path("missing"), false, false},
      {"", false, false},
      {Path("*.txt"), false, true},  // a mask: the first match is a file
      {Path("f.txt") + sep, false, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    EXPECT_EQ(DirectoryPresent(row.path), row.directory);
    EXPECT_EQ(FilePresent(row.path), row.file);
  }
  EXPECT_EQ(ReadAttributes(Path("missing")), -1);
  EXPECT_EQ(ReadAttributes(Path("*.txt")), -1);
  EXPECT_TRUE(ReadAttributes(Path("d")) & platform::kAttrDirectory);
  EXPECT_FALSE(ReadAttributes(Path("f.txt")) & platform::kAttrDirectory);
}

TEST_F(FsTest, FilePresentNeedsADosTime) {
  WriteFile("old.txt");
  std::filesystem::last_write_time(Path("old.txt"),
                                   std::filesystem::file_time_type::clock::now() - std::chrono::hours(24 * 365 * 60));
  EXPECT_FALSE(FilePresent(Path("old.txt")));
  EXPECT_TRUE(DirectoryPresent(Root()));
}

TEST_F(FsTest, SearchWordsFilterEntries) {
  WriteFile("a.txt");
  WriteFile("b.log");
  MakeDir("sub");
  MakeDir("only");
  MakeDir("only/inner");
  using Names = std::vector<std::string>;
  EXPECT_EQ(SearchAll(Path("*"), kSearchEverything), (Names{".", "..", "a.txt", "b.log", "only", "sub"}));
  EXPECT_EQ(SearchAll(Path("*"), kSearchPlainFiles), (Names{"a.txt", "b.log"}));
  EXPECT_EQ(SearchAll(Path("*.txt"), kSearchPlainFiles), (Names{"a.txt"}));
  // Only subdirectories: nothing passes, and the search is left closed.
  TSearchRec entry;
  EXPECT_NE(FindFirstEntry(Path("only/*"), kSearchPlainFiles, entry), 0u);
  EXPECT_EQ(entry.Handle, platform::kNoSearch);
  EXPECT_EQ(entry.Name, "");
  EXPECT_NE(FindNextEntry(entry), 0u);
  EXPECT_EQ(entry.Name, "");
  EXPECT_NE(FindFirstEntry(Path("missing/*"), kSearchEverything, entry), 0u);
}

TEST_F(FsTest, EnsureDirectoriesCreatesEveryMissingParent) {
  const std::string sep(1, Separator());
  EXPECT_TRUE(EnsureDirectories(Path("a/b/c")));
  EXPECT_TRUE(IsDir("a/b/c"));
  EXPECT_TRUE(EnsureDirectories(Path("x/y") + sep));
  EXPECT_TRUE(IsDir("x/y"));
  EXPECT_TRUE(EnsureDirectories(Path("a/b/c")));  // present already
  // Two trailing separators: answered true, nothing created.
  EXPECT_TRUE(EnsureDirectories(Path("twice") + sep + sep));
  EXPECT_FALSE(Exists("twice"));
  WriteFile("file");
  EXPECT_FALSE(EnsureDirectories(Path("file")));
  EXPECT_FALSE(EnsureDirectories(Path("file/below")));
  EXPECT_TRUE(EnsureDirectories(sep));
}

TEST_F(FsTest, EnsureDirectoriesTakesRelativePathsOfAnyLength) {
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(Root());
  const std::string sep(1, Separator());
  EXPECT_TRUE(EnsureDirectories("newdir"));
  EXPECT_TRUE(EnsureDirectories("ab"));
  EXPECT_TRUE(EnsureDirectories("q" + sep + "cd"));
  EXPECT_TRUE(EnsureDirectories("abc" + sep + "def" + sep));
  std::filesystem::current_path(previous);
  for (const char* made : {"newdir", "ab", "q/cd", "abc/def"}) {
    SCOPED_TRACE(made);
    EXPECT_TRUE(IsDir(made));
  }
}

TEST_F(FsTest, EnsureDirectoriesRefusesTheEmptyPath) {
  try {
    EnsureDirectories("");
    FAIL() << "no error raised";
  } catch (const EInOutError& error) {
    EXPECT_EQ(error.Message(), "Unable to create directory");
    EXPECT_EQ(error.IoCode, 3);
    EXPECT_STREQ(error.ClassName(), "EInOutError");
  }
}

TEST_F(FsTest, CheckedDirectoryCallsRaiseThePlatformCode) {
  struct Row { const char* what; std::function<void()> call; int32_t code; std::string text; } rows[] = {
      {"existing file", [&] { MakeDirChecked(Path("d/f")); }, 183, "I/O error 183"},
      {"no parent", [&] { MakeDirChecked(Path("none/d")); }, 3, "Invalid filename"},
      {"not empty", [&] { RemoveDirChecked(Path("d")); }, 145, "I/O error 145"},
      {"missing", [&] { RemoveDirChecked(Path("missing")); }, 2, "File not found"},
  };
  MakeDir("d");
  WriteFile("d/f");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    try {
      row.call();
      ADD_FAILURE() << "no error raised";
    } catch (const EInOutError& error) {
      EXPECT_EQ(error.IoCode, row.code);
      EXPECT_EQ(error.Message(), row.text);
      EXPECT_NE(error.RaiseAddress(), 0u);
    }
    EXPECT_EQ(PendingIoCode, 0);
  }
  MakeDirChecked(Path("made"));
  EXPECT_TRUE(IsDir("made"));
  MakeDirChecked(Path("made"));  // made meanwhile by someone else: no failure
  EXPECT_TRUE(IsDir("made"));
  RemoveDirChecked(Path("made"));
  EXPECT_FALSE(Exists("made"));
}

// "make" ends with a report whenever the directory is not there at the end.
TEST_F(FsTest, MakeDirectoryPathTellsTheTruth) {
  const std::string sep(1, Separator());
  WriteFile("file");
  struct Row { std::string path; int32_t code; } rows[] = {
      {Path("file"), 183},                     // a file of that name
      {Path("file/sub"), 3},                   // a file in the way: no path there
      {Path("file") + sep + sep + "sub", 3},   // however the path is spelled
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    try {
      MakeDirectoryPath(row.path);
      ADD_FAILURE() << "no error raised";
    } catch (const EInOutError& error) {
      EXPECT_EQ(error.Message(), "Unable to create directory");
      EXPECT_EQ(error.IoCode, row.code);
    }
  }
  MakeDirectoryPath(Path("a/b/c"));
  EXPECT_TRUE(IsDir("a/b/c"));
  MakeDirectoryPath(Path("a/b/c"));  // present already
  MakeDirectoryPath(Path("a/b") + sep);
  // A run of separators is one: the part before it is made too.
  MakeDirectoryPath(Path("twice") + sep + sep);
  EXPECT_TRUE(IsDir("twice"));
  MakeDirectoryPath(Path("M3") + sep + sep + "a");
  EXPECT_TRUE(IsDir("M3/a"));
}

TEST_F(FsTest, NamesRootDirectoryHoweverSpelled) {
  const std::string sep(1, Separator());
  MakeDir("d");
  struct Row { std::string path; bool root; } rows[] = {
      {sep, true},
      {sep + ".", true},
      {sep + sep + ".", Separator() == '/'},  // on Windows \\. begins a device name
      {sep + "." + sep, true},
      {sep + "..", true},
      {Path("d"), false},
      {Path("d") + sep + "..", false},
      {"", false},
  };
  std::string up = Path("d");
  for (char ch : Root()) up += ch == Separator() ? sep + ".." : "";
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    EXPECT_EQ(NamesRootDirectory(row.path), row.root);
  }
  // As many ".." as the fixture is deep, and one more, lead to the root.
  SCOPED_TRACE(up);
  EXPECT_TRUE(NamesRootDirectory(up + sep + ".."));
}

TEST_F(FsTest, RenameNeverReplaces) {
  WriteFile("a", "A");
  WriteFile("b", "B");
  EXPECT_FALSE(RenamePath(Path("a"), Path("b")));
  EXPECT_EQ(ReadFile("a"), "A");
  EXPECT_EQ(ReadFile("b"), "B");
  EXPECT_TRUE(RenamePath(Path("a"), Path("c")));
  EXPECT_EQ(ReadFile("c"), "A");
  MakeDir("dir");
  EXPECT_TRUE(RenamePath(Path("dir"), Path("dir2")));
  EXPECT_TRUE(IsDir("dir2"));
  EXPECT_FALSE(RenamePath(Path("missing"), Path("x")));
}

}  // namespace
