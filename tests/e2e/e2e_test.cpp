// The front end, end to end: argument splitting, verb matching, "r" and
// "make", exit codes and the failure report.
#include <sys/mount.h>

#include <cerrno>
#include <cstring>

#include "e2e/fixture.h"

namespace {

using FrontEnd = E2ETest;

TEST_F(FrontEnd, NothingToDoEndsQuietly) {
  ExpectQuiet(Run({}));
  // Each near-verb is given paths that exist: one taken for d, m or r would
  // remove or rename them, one taken for c or make would create "made".
  Write("kept/f.txt", "K");
  for (const char* verb : {"copy", "del", "mk", "x", "makes", "cc"}) {
    SCOPED_TRACE(verb);
    ExpectQuiet(Run({verb, P("kept/f.txt")}));
    ExpectQuiet(Run({verb, P("kept"), "<>", P("made")}));
    ExpectQuiet(Run({verb, P("made")}));
    EXPECT_EQ(Read("kept/f.txt"), "K");
    EXPECT_FALSE(Exists("made"));
  }
}

TEST_F(FrontEnd, MakeCreatesTheWholePathInAnyLetterCase) {
  ExpectQuiet(Run({"make", P("a/b/c")}));
  EXPECT_TRUE(IsDir("a/b/c"));
  ExpectQuiet(Run({"MAKE", P("d/e")}));
  EXPECT_TRUE(IsDir("d/e"));
  ExpectQuiet(Run({" Make ", P("f")}));
  EXPECT_TRUE(IsDir("f"));
  ExpectQuiet(Run({"make", P("a/b/c")}));  // present already
}

TEST_F(FrontEnd, ArgumentsAreJoinedWithSingleBlanks) {
  // A quoted argument keeps its blanks; separate arguments are joined by one.
  ExpectQuiet(Run({"make", P("My  Dir")}));
  EXPECT_TRUE(IsDir("My  Dir"));
  ExpectQuiet(Run({"make", P("two"), "words"}));
  EXPECT_TRUE(IsDir("two words"));
}

TEST_F(FrontEnd, MakeLeavesReferencesAlone) {
  ExpectQuiet(Run({"make", P("%FO_E2E_VAR%") + Sep() + "x"}, {{"FO_E2E_VAR", "expanded"}}));
  EXPECT_TRUE(IsDir("%FO_E2E_VAR%/x"));
  EXPECT_FALSE(Exists("expanded"));
}

TEST_F(FrontEnd, RenameSplitsAtTheMarker) {
  Write("a", "A");
  ExpectQuiet(Run({"r", P("a"), "<>", P("b")}));
  EXPECT_EQ(Read("b"), "A");
  ExpectQuiet(Run({"R", P("b") + "<>" + P("c")}));  // glued to its neighbours
  EXPECT_EQ(Read("c"), "A");
  ExpectQuiet(Run({"r", P("c") + " <> " + P("d")}));  // quotes do not protect "<>"
  EXPECT_EQ(Read("d"), "A");
  Write("e", "E");
  ExpectQuiet(Run({"r", P("d"), "<>", P("e")}));  // never replaces: a silent failure
  EXPECT_EQ(Read("d"), "A");
  EXPECT_EQ(Read("e"), "E");
  ExpectQuiet(Run({"r", P("d")}));  // no target
  EXPECT_EQ(Read("d"), "A");
  ExpectQuiet(Run({"r", P("d"), "<>", P("f"), "<>", P("g")}));  // the second "<>" stays in the target
  EXPECT_EQ(Read("d"), "A");
  Dir("dir");
  ExpectQuiet(Run({"r", P("dir"), "<>", P("dir2")}));
  EXPECT_TRUE(IsDir("dir2"));
}

// "make" reports when the directory is not there at the end.
TEST_F(FrontEnd, MakeThatCreatesNothingReports) {
  Write("file", "F");
  ExpectReport(Run({"make", P("file")}), "Unable to create directory.");
  ExpectReport(Run({"make", P("file/sub")}), "Unable to create directory.");
  EXPECT_EQ(Read("file"), "F");
  if (program().IsWine()) {
    // Wine runs every program as the owner of its prefix (root here), whom
    // no permission stops: a read-only file system stands in.
    Dir("locked");
    if (mount("tmpfs", Host("locked").c_str(), "tmpfs", MS_RDONLY, "size=1m") != 0) {
      GTEST_SKIP() << "cannot mount a read-only tmpfs here (needs root): " << std::strerror(errno);
    }
    struct Unmount {
      fs::path at;
      ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
    } unmount{Host("locked")};
    ExpectReport(Run({"make", P("locked/new/deeper")}), "Unable to create directory.");
    EXPECT_FALSE(Exists("locked/new"));
    return;
  }
  if (!program().CanRunUnprivileged()) {
    GTEST_SKIP() << "needs root and setpriv to run the program as an unprivileged user";
  }
  Dir("locked");  // the fixture's own user's, mode 755: closed to others
  fs::permissions(Host(""), fs::perms::others_exec, fs::perm_options::add);
  ExpectReport(program().RunUnprivileged({"make", P("locked/new/deeper")}), "Unable to create directory.");
  EXPECT_FALSE(Exists("locked/new"));
}

TEST_F(FrontEnd, MakeWithoutPathReports) {
  ExpectReport(Run({"make"}), "Unable to create directory.");
}

TEST_F(FrontEnd, CopyOrMoveWithoutTargetReports) {
  Write("a.txt");
  ExpectReport(Run({"c", P("a.txt")}), "Unable to create directory.");
  ExpectReport(Run({"m", P("a.txt")}), "Unable to create directory.");
  ExpectReport(Run({"c", P("a.txt"), "<>"}), "Unable to create directory.");
  EXPECT_TRUE(Exists("a.txt"));
}

// Windows builds its arguments from the raw command-line text.
TEST_F(FrontEnd, RawCommandLineSplitting) {
  if (!program().IsWine()) GTEST_SKIP() << "raw command lines exist only on Windows";
  struct Row { std::string line; const char* made; } rows[] = {
      {"make\t" + P("tab"), "tab"},
      {"\"\" make " + P("pair"), "pair"},
      {"\"  Make  \" " + P("quoted"), "quoted"},
      {"make \"" + P("q a") + "\"\"b\"", "q ab"},
      {"make \"" + P("open end"), "open end"},
      {"make " + P("lone") + " \"", "lone"},
      {"make  " + P("m") + "   \"x  y\"", "m x  y"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    ExpectQuiet(program().RunRaw(row.line));
    EXPECT_TRUE(IsDir(row.made));
  }
}

}  // namespace
