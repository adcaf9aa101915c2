// Delete, copy and move, end to end, on trees in the fixture directory.
#include <cstdlib>

#include "e2e/fixture.h"

namespace {

using Delete = E2ETest;

TEST_F(Delete, FileThenNothing) {
  Write("x/f.txt");
  ExpectQuiet(Run({"d", P("x/f.txt")}));
  EXPECT_FALSE(Exists("x/f.txt"));
  ExpectQuiet(Run({"d", P("x/f.txt")}));  // a second run finds nothing
  EXPECT_TRUE(IsDir("x"));
  ExpectQuiet(Run({"d"}));                // an empty path deletes nothing
}

TEST_F(Delete, TreeWithHiddenFilesAndEmptyDirectories) {
  for (const std::string& tail : {std::string(), Sep()}) {
    SCOPED_TRACE("tail [" + tail + "]");
    Write("t/a.txt");
    Write("t/.hidden");
    Write("t/sub/.h/deep.txt");
    Dir("t/empty/emptier");
    Write("keep.txt");
    ExpectQuiet(Run({"d", P("t") + tail}));
    EXPECT_FALSE(Exists("t"));
    EXPECT_TRUE(Exists("keep.txt"));
    ExpectQuiet(Run({"d", P("t") + tail}));
  }
}

TEST_F(Delete, MaskTakesOnlyPlainMatchingFiles) {
  Write("m/a.tmp");
  Write("m/B.TMP");
  Write("m/c.txt");
  Write("m/.h.tmp");
  Write("m/x.tmpl");
  Write("m/sub.tmp/inner.tmp");
  ExpectQuiet(Run({"d", P("m") + Sep() + "*.tmp"}));
  EXPECT_FALSE(Exists("m/a.tmp"));
  EXPECT_EQ(Exists("m/B.TMP"), !program().IsWine());  // letter case counts on Linux only
  EXPECT_TRUE(Exists("m/c.txt"));
  EXPECT_TRUE(Exists("m/.h.tmp"));  // hidden
  EXPECT_TRUE(Exists("m/x.tmpl"));
  EXPECT_TRUE(Exists("m/sub.tmp/inner.tmp"));
  ExpectQuiet(Run({"d", P("m") + Sep() + "*.*"}));
  EXPECT_FALSE(Exists("m/c.txt"));
  EXPECT_FALSE(Exists("m/x.tmpl"));
  EXPECT_TRUE(Exists("m/.h.tmp"));
  EXPECT_TRUE(IsDir("m/sub.tmp"));
}

TEST_F(Delete, MaskWithTextBeforeTheStar) {
  Write("m/ab.txt");
  Write("m/b.txt");
  Write("m/a");
  ExpectQuiet(Run({"d", P("m") + Sep() + "a*.txt"}));
  EXPECT_FALSE(Exists("m/ab.txt"));
  EXPECT_TRUE(Exists("m/b.txt"));
  EXPECT_TRUE(Exists("m/a"));
}

TEST_F(Delete, MaskWhoseDirectoryIsMissing) {
  ExpectQuiet(Run({"d", P("none") + Sep() + "*.txt"}));
}

TEST_F(Delete, ExpandsReferences) {
  Write("e/a.tmp");
  Write("e/b.txt");
  ExpectQuiet(Run({"d", "%FO_E2E_DIR%" + Sep() + "*.tmp"}, {{"FO_E2E_DIR", P("e")}}));
  EXPECT_FALSE(Exists("e/a.tmp"));
  EXPECT_TRUE(Exists("e/b.txt"));
  ExpectQuiet(Run({"d", "%FO_E2E_DIR%"}, {{"FO_E2E_DIR", P("e")}}));
  EXPECT_FALSE(Exists("e"));
}

TEST_F(Delete, ReadOnlyFileStopsTheTreeWithAReport) {
  Write("t/sub/ro.txt", "kept");
  Write("t/other.txt");
  ReadOnly("t/sub/ro.txt");
  ExpectReport(Run({"d", P("t")}), "I/O error 145.");
  EXPECT_EQ(Read("t/sub/ro.txt"), "kept");
  // The read-only file alone: its deletion fails silently.
  ExpectQuiet(Run({"d", P("t/sub/ro.txt")}));
  EXPECT_EQ(Read("t/sub/ro.txt"), "kept");
}

// Links lead out of the tree: the walk never follows one, and only the link
// itself is removed.
TEST_F(Delete, LinksAreRemovedNeverFollowed) {
  Write("outside/precious.txt", "keep");
  Write("t/a.txt");
  fs::create_directory_symlink(Host("outside"), Host("t/dirlink"));
  fs::create_symlink(Host("outside/precious.txt"), Host("t/filelink"));
  fs::create_directory_symlink(Host("t"), Host("t/loop"));
  fs::create_directory_symlink(Host("outside"), Host("toplink"));
  const RunResult tree = Run({"d", P("t")});
  const RunResult top = Run({"d", P("toplink") + Sep()});
  EXPECT_EQ(Read("outside/precious.txt"), "keep");
  if (program().IsWine()) {
    // Wine reports the links as links, but opens what a link leads to even
    // when asked for the link itself (Windows opens the link): the layer sees
    // that the entry opened is not the one named and refuses to act on it,
    // and the run stops with a report, harmlessly.
    ExpectReport(tree, "File access denied.");
    ExpectReport(top, "File access denied.");
    return;
  }
  ExpectQuiet(tree);
  ExpectQuiet(top);
  EXPECT_FALSE(Exists("t"));
  EXPECT_FALSE(Exists("toplink"));
  fs::create_directory_symlink(Host("outside"), Host("toplink"));
  ExpectQuiet(Run({"d", P("toplink")}));
  EXPECT_FALSE(Exists("toplink"));
  EXPECT_EQ(Read("outside/precious.txt"), "keep");
}

// A path whose last name is "." or ".." names a directory through another:
// "link/." would reach into what the link leads to. Refused; the link
// itself still goes with "link" and "link/".
TEST_F(Delete, DotNamesAreRefused) {
  Write("outside/precious.txt", "keep");
  Write("t/a/f.txt", "F");
  fs::create_directory_symlink(Host("outside"), Host("link"));
  for (const std::string& path : {P("t/a") + Sep() + ".", P("t/a") + Sep() + "..", P("t/a") + Sep() + "." + Sep(),
                                  P("link") + Sep() + ".", P("link") + Sep() + ".." + Sep()}) {
    SCOPED_TRACE(path);
    ExpectReport(Run({"d", path}), "Cannot delete the . or .. entry of a directory.");
  }
  if (program().IsWine()) {
    // "/" separates names on Windows too, and a last name of dots alone is
    // dropped by the name layer: both still name the directory.
    ExpectReport(Run({"d", P("t/a") + "/."}), "Cannot delete the . or .. entry of a directory.");
    ExpectReport(Run({"d", P("t/a") + "\\..."}), "Cannot delete the . or .. entry of a directory.");
  }
  EXPECT_EQ(Read("t/a/f.txt"), "F");
  EXPECT_EQ(Read("outside/precious.txt"), "keep");
  if (program().IsWine()) return;  // Wine will not remove a directory link (see LinksAreRemovedNeverFollowed)
  ExpectQuiet(Run({"d", P("link") + Sep()}));
  EXPECT_FALSE(Exists("link"));
  EXPECT_EQ(Read("outside/precious.txt"), "keep");
}

// An unset or empty variable must not widen what "d" or "m" removes; "c"
// removes nothing and keeps the plain expansion.
TEST_F(Delete, UnsetVariablesAreRefusedForDeleteAndMove) {
  Write("app/sub/f.txt", "F");
  const EnvList env = {{"FO_E2E_APP", P("app")}};
  for (const char* name : {"FO_E2E_NOPE", "FO_E2E_EMPTY"}) {
    SCOPED_TRACE(name);
    EnvList withEmpty = env;
    withEmpty.emplace_back("FO_E2E_EMPTY", "");
    const std::string ref = std::string("%") + name + "%";
    const std::string message = std::string("Environment variable ") + name + " is not set.";
    ExpectReport(Run({"d", "%FO_E2E_APP%" + Sep() + ref}, withEmpty), message);
    ExpectReport(Run({"d", "%FO_E2E_APP%" + Sep() + ref + Sep() + "*.txt"}, withEmpty), message);
    ExpectReport(Run({"m", "%FO_E2E_APP%" + Sep() + ref, "<>", P("moved")}, withEmpty), message);
    EXPECT_FALSE(Exists("moved"));  // refused before the target is made
    EXPECT_EQ(Read("app/sub/f.txt"), "F");
  }
  ExpectQuiet(Run({"c", "%FO_E2E_APP%" + Sep() + "sub" + Sep() + "%FO_E2E_NOPE%f.txt", "<>", P("copied")}, env));
  EXPECT_EQ(Read("copied/f.txt"), "F");
}

// A root is refused before anything is deleted, however it is spelled. The
// runs happen where a failed refusal could reach nothing but the fixture:
// inside a bare root directory on Linux, on a drive letter that leads to
// the fixture on Wine.
TEST_F(Delete, RootsAreRefused) {
  const std::string root = "Cannot delete a root directory.";
  const std::string dot = "Cannot delete the . or .. entry of a directory.";
  const std::string unset = "Environment variable FO_UNSET_APPDIR is not set.";
  struct Row { std::string line, message; };
  Write("jail/data/precious.txt", "keep");
  Dir("jail/cwd");
  Dir("jail/usr");
  Dir("jail/x");
  std::vector<std::pair<Row, RunResult>> runs;
  if (program().IsWine()) {
    const char* prefix = std::getenv("WINEPREFIX");
    ASSERT_NE(prefix, nullptr);
    const fs::path drive = fs::path(prefix) / "dosdevices" / "q:";
    std::error_code ignored;
    fs::remove(drive, ignored);
    fs::create_directory_symlink(Host("jail"), drive);
    // Wine has no shares to name here (\\server\share needs a network); the
    // share forms are covered by the path rules' own tests.
    const Row rows[] = {
        {"d Q:\\", root},           {"d Q:", root},             {"d \\", root},
        {"d \\\\", root},           {"d Q:\\.", root},          {"d Q:\\..", root},
        {"d Q:\\x\\..", root},      {"d Q:\\x\\..\\.", root},  {"d Q:\\cwd\\..\\", root},
        {"d Q:/x/../", root},        {"d \\\\?\\Q:\\", root},      {"d \\\\.\\Q:\\", root},
        {"d Q:.", dot},              {"d Q:\\x\\.", dot},         {"d %FO_UNSET_APPDIR%\\", unset},
        {"d %FO_UNSET_APPDIR%\\.", unset},
    };
    for (const Row& row : rows) runs.emplace_back(row, program().RunRaw(row.line, {}, "Q:\\cwd"));
    fs::remove(drive, ignored);
  } else {
    if (!program().CanRunJailed()) {
      GTEST_SKIP() << "needs root, chroot and a self-contained program to run in a bare root (the sanitizer "
                      "builds have none: their runtimes link only dynamically and need /proc; the native "
                      "build runs this test)";
    }
    // The program without arguments ends at once with exit code 0, if the
    // bare root can be entered at all.
    if (program().RunJailed(Host("jail"), {}).exitCode != 0) GTEST_SKIP() << "chroot is refused here";
    fs::create_directory_symlink("/", Host("jail/rootlink"));
    const Row rows[] = {
        {"/", root},           {"//", root},         {"/.", root},          {"//.", root},
        {"/./", root},         {"/..", root},        {"/usr/..", root},     {"/usr/../.", root},
        {"/x/../", root},      {"/rootlink/.", root},
        {"/x/.", dot},         {"%FO_UNSET_APPDIR%/", unset},               {"%FO_UNSET_APPDIR%/.", unset},
    };
    for (const Row& row : rows) runs.emplace_back(row, program().RunJailed(Host("jail"), {"d", row.line}));
  }
  const std::string module = program().IsWine() ? "fileop.exe" : "fileop";
  for (const auto& [row, run] : runs) {
    SCOPED_TRACE(row.line);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.report.find("Exception EInOutError in module " + module + " at "), std::string::npos) << run.report;
    EXPECT_NE(run.report.find("\n" + row.message + "\n"), std::string::npos) << run.report;
  }
  EXPECT_EQ(Read("jail/data/precious.txt"), "keep");
  EXPECT_TRUE(IsDir("jail/cwd"));
  EXPECT_TRUE(IsDir("jail/x"));
  EXPECT_TRUE(IsDir("jail/usr"));

  // A mask in a root is no root: it deletes the matching files there.
  Write("jail/x.tmp");
  Write("jail/keep.txt");
  if (program().IsWine()) {
    const fs::path drive = fs::path(std::getenv("WINEPREFIX")) / "dosdevices" / "q:";
    fs::create_directory_symlink(Host("jail"), drive);
    const RunResult mask = program().RunRaw("d \\*.tmp", {}, "Q:\\cwd");
    std::error_code ignored;
    fs::remove(drive, ignored);
    ExpectQuiet(mask);
  } else {
    ExpectQuiet(program().RunJailed(Host("jail"), {"d", "/*.tmp"}));
  }
  EXPECT_FALSE(Exists("jail/x.tmp"));
  EXPECT_TRUE(Exists("jail/keep.txt"));
  EXPECT_EQ(Read("jail/data/precious.txt"), "keep");
}

}  // namespace
