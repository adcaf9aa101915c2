// The Windows program's own rows, end to end: names the Win32 path rules
// would change, target directories just short of the plain path limit, a
// hard link that would hand a tree's writer a file it may not read, and the
// spellings of a volume's root. The path cases run on both builds (the
// promise is the same); the rest are Windows rules and run under Wine.
#include <unistd.h>

#include "e2e/fixture.h"

namespace {

class WindowsE2E : public E2ETest {};

// Row 11: names that end in a dot or a blank, which NTFS holds (and Linux
// too), go through every verb below a tree like any other name.
TEST_F(WindowsE2E, NamesEndingInDotsAndBlanks) {
  const std::vector<std::string> names = {"foo.", "foo ", "dd./g", "dd./h..", "sp ace /x ", "plain"};
  for (const std::string& name : names) Write("tree/" + name, name);
  ExpectQuiet(Run({"c", P("tree"), "<>", P("copy")}));
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    EXPECT_EQ(Read("copy/tree/" + name), name);
  }
  ExpectQuiet(Run({"m", P("copy/tree"), "<>", P("moved")}));
  EXPECT_FALSE(Exists("copy/tree"));
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    EXPECT_EQ(Read("moved/tree/" + name), name);
  }
  ExpectQuiet(Run({"d", P("moved/tree")}));
  EXPECT_FALSE(Exists("moved/tree"));
  ExpectQuiet(Run({"c", P("tree") + Sep() + "*.*", "<>", P("masked")}));
  EXPECT_EQ(Read("masked/foo."), "foo.");
  EXPECT_EQ(Read("masked/foo "), "foo ");
  EXPECT_EQ(Read("tree/dd./g"), "dd./g");
}

// Row 5: a single file copied or moved into a directory whose path is just
// short of the plain limit: the layer never hands Windows a path it would
// read otherwise (the checked program, run by e2e_wine_checked, ends with
// code 86 on such a path; Wine itself would accept it).
TEST_F(WindowsE2E, SingleFilesIntoDirectoriesNearThePlainLimit) {
  Write("f.txt", "content");
  const size_t base = P("").size() + 1;
  ASSERT_LT(base, 200u);
  for (size_t length = 218; length <= 247; length += 3) {
    SCOPED_TRACE(length);
    const std::string dir = std::string(length - base, 'd');
    ASSERT_EQ(P(dir).size(), length);
    ExpectQuiet(Run({"c", P("f.txt"), "<>", P(dir)}));
    EXPECT_EQ(Read(dir + "/f.txt"), "content");
    ExpectQuiet(Run({"c", P("f.txt"), "<>", P(dir)}));  // replacing
    EXPECT_EQ(Read(dir + "/f.txt"), "content");
    Write("m.txt", "moved");
    ExpectQuiet(Run({"m", P("m.txt"), "<>", P(dir + "/sub")}));
    EXPECT_EQ(Read(dir + "/sub/m.txt"), "moved");
    ExpectQuiet(Run({"d", P(dir)}));
    EXPECT_FALSE(Exists(dir));
  }
}

// Row 3: a file of a tree that is a second name (a hard link) of a file
// outside it is not copied: an elevated copy would hand the tree's writer
// the content of a file it may not read. The rest of the tree is copied.
TEST_F(WindowsE2E, HardLinksToFilesOutsideTheTreeAreNotCopied) {
  if (!program().IsWine()) GTEST_SKIP() << "a rule of the Windows program";
  Write("secret/key", "secret");
  Write("tree/a.txt", "A");
  ASSERT_EQ(link(Host("secret/key").c_str(), Host("tree/linked").c_str()), 0);
  ExpectQuiet(Run({"c", P("tree"), "<>", P("copy")}));
  EXPECT_EQ(Read("copy/tree/a.txt"), "A");
  EXPECT_FALSE(Exists("copy/tree/linked"));
  // The caller's own file, named as such, is the caller's choice.
  ExpectQuiet(Run({"c", P("tree/linked"), "<>", P("named")}));
  EXPECT_EQ(Read("named/linked"), "secret");
}

// Row 10: a volume's root spelled through the object name space. Wine
// resolves nothing below GLOBALROOT, so nothing can be deleted there; on
// Windows the root is refused from its open handle (see the layer's tests).
TEST_F(WindowsE2E, GlobalRootSpellingsDeleteNothing) {
  if (!program().IsWine()) GTEST_SKIP() << "Windows spellings";
  const char* prefix = std::getenv("WINEPREFIX");
  ASSERT_NE(prefix, nullptr);
  Write("jail/data/precious.txt", "keep");
  const fs::path drive = fs::path(prefix) / "dosdevices" / "q:";
  std::error_code ignored;
  fs::remove(drive, ignored);
  fs::create_directory_symlink(Host("jail"), drive);
  for (const char* line : {"d \\\\?\\GLOBALROOT\\??\\Q:\\", "d \\\\.\\GLOBALROOT\\??\\Q:\\", "d \\\\?\\GLOBALROOT\\??\\Q:\\data"}) {
    SCOPED_TRACE(line);
    const RunResult run = program().RunRaw(line);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(Read("jail/data/precious.txt"), "keep");
  }
  fs::remove(drive, ignored);
}

}  // namespace
