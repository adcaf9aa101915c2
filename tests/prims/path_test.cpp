#include "prims/path.h"

#include <gtest/gtest.h>

namespace {

LeadBytes Lead81() {
  LeadBytes lead;
  lead.set(0x81);
  return lead;
}

const Conventions kWin = WindowsConventions();
const Conventions kWinDouble = WindowsConventions(Lead81());
const Conventions kPosix = PosixConventions();

TEST(TrailingSeparator, AddAndDrop) {
  struct Row { std::string in; const Conventions* c; std::string added, dropped; } rows[] = {
      {"", &kWin, "\\", ""},
      {"C:\\a\\", &kWin, "C:\\a\\", "C:\\a"},
      {"C:\\a", &kWin, "C:\\a\\", "C:\\a"},
      {"\\", &kWin, "\\", ""},
      {"C:\\", &kWin, "C:\\", "C:"},
      {"C:\\x\\\\", &kWin, "C:\\x\\\\", "C:\\x\\"},  // exactly one goes
      {"a/", &kWin, "a/\\", "a/"},                   // "/" is no separator on Windows
      {"\x81\\", &kWinDouble, "\x81\\\\", "\x81\\"},  // a trail byte is no separator
      {"/tmp/a", &kPosix, "/tmp/a/", "/tmp/a"},
      {"/tmp/a/", &kPosix, "/tmp/a/", "/tmp/a"},
      {"/", &kPosix, "/", ""},
      {"a\\", &kPosix, "a\\/", "a\\"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.in);
    EXPECT_EQ(AddTrailingBackslash(row.in, *row.c), row.added);
    EXPECT_EQ(DropTrailingBackslash(row.in, *row.c), row.dropped);
  }
}

TEST(PathParts, FileNameAndDirectory) {
  struct Row { std::string in; const Conventions* c; std::string name, directory; } rows[] = {
      {"C:\\a\\b.txt", &kWin, "b.txt", "C:\\a\\"},
      {"C:b.txt", &kWin, "b.txt", "C:"},
      {"C:\\a\\", &kWin, "", "C:\\a\\"},
      {"b.txt", &kWin, "b.txt", ""},
      {"C:x", &kWin, "x", "C:"},
      {"a/b", &kWin, "a/b", ""},
      {"/tmp/a:b", &kPosix, "a:b", "/tmp/"},
      {"C:x", &kPosix, "C:x", ""},
      {"d\\\x81\\x", &kWinDouble, "\x81\\x", "d\\"},
      {"d\\\x81\\\\x", &kWinDouble, "x", "d\\\x81\\\\"},
      {"d\\\x81\\", &kWinDouble, "\x81\\", "d\\"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.in);
    EXPECT_EQ(FileNamePart(row.in, *row.c), row.name);
    EXPECT_EQ(DirectoryPart(row.in, *row.c), row.directory);
  }
}

// One spelling per name: runs of separators are one, "/" is a separator
// on Windows, and the openings of share and literal paths stay.
TEST(NormalizeSeparators, OneSpellingPerName) {
  struct Row { std::string in; const Conventions* c; std::string out; } rows[] = {
      {"X//", &kPosix, "X/"},                  {"M3//a", &kPosix, "M3/a"},
      {"//tmp///a//", &kPosix, "/tmp/a/"},     {"a\\\\b", &kPosix, "a\\\\b"},
      {"", &kPosix, ""},                       {"/", &kPosix, "/"},
      {"C:\\data/a.txt", &kWin, "C:\\data\\a.txt"},
      {"C:/x/*.txt", &kWin, "C:\\x\\*.txt"},   {"C:\\x\\\\\\deep", &kWin, "C:\\x\\deep"},
      {"X\\\\", &kWin, "X\\"},                 {"\\\\srv\\\\share", &kWin, "\\\\srv\\share"},
      {"//srv/share/", &kWin, "\\\\srv\\share\\"}, {"\\\\\\srv", &kWin, "\\\\srv"},
      {"\\\\", &kWin, "\\\\"},                 {"\\\\.\\C:/x", &kWin, "\\\\.\\C:\\x"},
      {"\\\\?\\C:\\a//b/", &kWin, "\\\\?\\C:\\a//b/"},  // literal: the caller's exact name
      {"d\\\x81\\\\\\x", &kWinDouble, "d\\\x81\\\\x"},  // the trail byte stays; the run after it is one
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.in);
    EXPECT_EQ(NormalizeSeparators(row.in, *row.c), row.out);
  }
}

TEST(IsRootPath, DrivesRootsAndShares) {
  struct Row { std::string in; const Conventions* c; bool root; } rows[] = {
      {"\\", &kWin, true},          {"C:\\", &kWin, true},     {"C:", &kWin, true},
      {"\\\\", &kWin, true},        {"c:\\\\", &kWin, true},   {"\\\\srv\\share", &kWin, true},
      {"\\\\srv\\share\\", &kWin, true}, {"\\\\srv\\share\\d", &kWin, false},
      {"C:\\a", &kWin, false},      {"", &kWin, false},        {"a", &kWin, false},
      {"/", &kPosix, true},         {"//", &kPosix, true},     {"/tmp", &kPosix, false},
      {"C:", &kPosix, false},
      // Extended-length and device forms name the same roots.
      {"\\\\?\\C:\\", &kWin, true},       {"\\\\?\\C:", &kWin, true},
      {"\\\\.\\C:\\", &kWin, true},       {"\\\\?\\C:\\x", &kWin, false},
      {"\\\\?\\UNC\\srv\\share\\", &kWin, true}, {"\\\\?\\unc\\srv\\share", &kWin, true},
      {"\\\\?\\UNC\\srv\\share\\d", &kWin, false},
      {"\\\\?\\Volume{0b1d2c3e-0000-0000-0000-100000000000}\\", &kWin, true},
      {"\\\\srv", &kWin, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.in);
    EXPECT_EQ(IsRootPath(row.in, *row.c), row.root);
  }
}

TEST(EndsInDotName, DotNamesAndWhatWindowsDropsToThem) {
  struct Row { std::string in; const Conventions* c; bool dot; } rows[] = {
      {"/.", &kPosix, true},       {"/x/..", &kPosix, true},   {"/x/./", &kPosix, true},
      {"..//", &kPosix, true},     {".", &kPosix, true},       {"/x/...", &kPosix, false},
      {"/x/.hidden", &kPosix, false}, {"/x/a.", &kPosix, false}, {"/", &kPosix, false},
      {"", &kPosix, false},        {"/x/. ", &kPosix, false},
      {"C:\\.", &kWin, true},      {"C:\\x\\..\\", &kWin, true}, {"Q:.", &kWin, true},
      {"Q:..", &kWin, true},       {"C:\\x\\...", &kWin, true}, {"C:\\x\\. .", &kWin, true},
      {"C:\\x\\a.", &kWin, false}, {"C:\\", &kWin, false},  {"C:\\x/.", &kWin, true},
      {"C:/x/../", &kWin, true},   {"/x\\..", &kPosix, false},
      {"\x81\\.", &kWinDouble, false},  // the trail byte 0x5C separates nothing
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.in);
    EXPECT_EQ(EndsInDotName(row.in, *row.c), row.dot);
  }
}

}  // namespace
