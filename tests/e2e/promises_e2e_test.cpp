// What the README promises callers and no other test would notice broken,
// end to end on both builds where it applies: a source that is itself a
// link, links on the way to a root, long and drive-relative paths, names
// holding an unpaired surrogate, system files under a mask, and where
// %NAME% is left as written or taken as empty text.
#include <sys/xattr.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>
#include <stdexcept>

#include "e2e/fixture.h"

namespace {

using RootLinks = E2ETest;

// A source that is itself a link is the link: "c" recreates it as a link
// and "m" moves it; the directory or file it leads to is never copied into
// the target nor moved away.
TEST_F(RootLinks, CopyAndMoveActOnTheLinkItself) {
  Write("real/r.txt", "R");
  Write("real/sub/s.txt", "S");
  Write("outside/file.txt", "F");
  fs::create_directory_symlink(Host("real"), Host("dirlink"));
  fs::create_symlink(Host("outside/file.txt"), Host("filelink"));
  auto expectTargetsWhole = [&] {
    EXPECT_EQ(Read("real/r.txt"), "R");
    EXPECT_EQ(Read("real/sub/s.txt"), "S");
    EXPECT_EQ(Read("outside/file.txt"), "F");
  };

  ExpectQuiet(Run({"c", P("dirlink"), "<>", P("copy")}));
  if (program().IsWine()) {
    // Windows links cannot be made under Wine: the link is left out.
    EXPECT_TRUE(IsDir("copy"));
    EXPECT_FALSE(Exists("copy/dirlink"));
  } else {
    ASSERT_TRUE(fs::is_symlink(Host("copy/dirlink")));
    EXPECT_EQ(fs::read_symlink(Host("copy/dirlink")), Host("real"));
  }
  expectTargetsWhole();

  if (program().IsWine()) {
    // Wine shows a link only as what it leads to, so the program cannot
    // move the link itself there: it must leave both where they are (a
    // single move that fails is passed over), never move what the link
    // leads to.
    ExpectQuiet(Run({"m", P("dirlink"), "<>", P("moved")}));
    ExpectQuiet(Run({"m", P("filelink"), "<>", P("moved")}));
    EXPECT_TRUE(fs::is_symlink(Host("dirlink")));
    EXPECT_TRUE(fs::is_symlink(Host("filelink")));
    EXPECT_FALSE(Exists("moved/dirlink"));
    EXPECT_FALSE(Exists("moved/filelink"));
    expectTargetsWhole();
    return;
  }
  ExpectQuiet(Run({"m", P("dirlink"), "<>", P("moved")}));
  ExpectQuiet(Run({"m", P("filelink"), "<>", P("moved")}));
  ASSERT_TRUE(fs::is_symlink(Host("moved/dirlink")));
  ASSERT_TRUE(fs::is_symlink(Host("moved/filelink")));
  EXPECT_EQ(fs::read_symlink(Host("moved/dirlink")), Host("real"));
  EXPECT_EQ(fs::read_symlink(Host("moved/filelink")), Host("outside/file.txt"));
  EXPECT_FALSE(Exists("dirlink"));
  EXPECT_FALSE(Exists("filelink"));
  expectTargetsWhole();
}

// Links on the way to a source, a target or a deleted tree are the caller's
// own and are followed as named.
TEST_F(RootLinks, LinksOnTheWayAreFollowedAsNamed) {
  Write("base/real/r.txt", "R");
  Write("base/real/sub/s.txt", "S");
  Write("base/tree/t.txt", "T");
  Write("base/single.txt", "1");
  Dir("targets");
  fs::create_directory_symlink(Host("base"), Host("via"));
  fs::create_directory_symlink(Host("targets"), Host("tvia"));
  const std::string via = P("via") + Sep(), tvia = P("tvia") + Sep();

  ExpectQuiet(Run({"c", via + "real", "<>", tvia + "copy"}));
  EXPECT_EQ(Read("targets/copy/real/r.txt"), "R");
  EXPECT_EQ(Read("targets/copy/real/sub/s.txt"), "S");
  ExpectQuiet(Run({"m", via + "real" + Sep() + "sub", "<>", tvia + "moved"}));
  EXPECT_EQ(Read("targets/moved/sub/s.txt"), "S");
  EXPECT_FALSE(Exists("base/real/sub"));
  ExpectQuiet(Run({"r", via + "single.txt", "<>", via + "renamed.txt"}));
  EXPECT_EQ(Read("base/renamed.txt"), "1");
  ExpectQuiet(Run({"make", tvia + "made" + Sep() + "deep"}));
  EXPECT_TRUE(IsDir("targets/made/deep"));
  ExpectQuiet(Run({"d", via + "tree"}));
  EXPECT_FALSE(Exists("base/tree"));
  ExpectQuiet(Run({"d", via + "real" + Sep() + "r.txt"}));
  EXPECT_FALSE(Exists("base/real/r.txt"));
  // The links themselves stay.
  EXPECT_TRUE(fs::is_symlink(Host("via")));
  EXPECT_TRUE(fs::is_symlink(Host("tvia")));
}

using LongPaths = E2ETest;

// "make" and "r" with paths beyond 260 characters, absolute and relative.
TEST_F(LongPaths, MakeAndRenameBeyondTheWindowsLimit) {
  std::string deep = "long";
  for (int level = 0; level < 6; ++level) deep += "/directory-with-a-name-of-fifty-characters-level-" + std::to_string(level);
  std::string relative = deep;
  for (char& ch : relative) {
    if (ch == '/') ch = program().Separator();
  }
  ASSERT_GT(P(deep).size(), 300u);
  ASSERT_GT(relative.size(), 300u);

  ExpectQuiet(Run({"make", P(deep)}));
  EXPECT_TRUE(IsDir(deep));
  ExpectQuiet(program().Run({"make", "rel" + Sep() + relative}, {}, Host("")));
  EXPECT_TRUE(IsDir("rel/" + deep));

  Write(deep + "/file.txt", "F");
  ExpectQuiet(Run({"r", P(deep + "/file.txt"), "<>", P(deep + "/renamed-file-with-a-long-name.txt")}));
  EXPECT_EQ(Read(deep + "/renamed-file-with-a-long-name.txt"), "F");
  EXPECT_FALSE(Exists(deep + "/file.txt"));
  const std::string parent = fs::path(deep).parent_path().string();
  ExpectQuiet(Run({"r", P(deep), "<>", P(parent + "/renamed-directory-with-a-long-name")}));
  EXPECT_EQ(Read(parent + "/renamed-directory-with-a-long-name/renamed-file-with-a-long-name.txt"), "F");
  EXPECT_FALSE(Exists(deep));
  ExpectQuiet(program().Run({"r", "rel" + Sep() + relative, "<>", "rel" + Sep() + relative + "-renamed"}, {}, Host("")));
  EXPECT_TRUE(IsDir("rel/" + deep + "-renamed"));
  EXPECT_FALSE(Exists("rel/" + deep));
}

// A drive letter that leads into the fixture, for drive-relative paths
// ("Q:name" is the name in drive Q:'s current directory); removed again at
// the end of the test.
class DriveQ {
 public:
  explicit DriveQ(const fs::path& target) {
    const char* prefix = std::getenv("WINEPREFIX");
    if (!prefix) throw std::runtime_error("WINEPREFIX is not set");
    drive_ = fs::path(prefix) / "dosdevices" / "q:";
    std::error_code ignored;
    fs::remove(drive_, ignored);
    fs::create_directory_symlink(target, drive_);
  }
  ~DriveQ() {
    std::error_code ignored;
    fs::remove(drive_, ignored);
  }

 private:
  fs::path drive_;
};

TEST_F(LongPaths, DriveRelativePathsOfEveryVerb) {
  if (!program().IsWine()) GTEST_SKIP() << "drive letters exist only on Windows";
  Dir("drive/cwd");
  Write("drive/cwd/copied.txt", "C");
  Write("drive/cwd/moved.txt", "M");
  Write("drive/cwd/old.txt", "O");
  Write("drive/cwd/gone.txt", "G");
  Write("drive/cwd/tree/t.txt", "T");
  Write("drive/root.txt", "R");
  std::string deep = "deep";
  for (int level = 0; level < 6; ++level) deep += "\\directory-with-a-name-of-fifty-characters-level-" + std::to_string(level);
  const DriveQ drive(Host("drive"));
  struct Row { std::string line; } rows[] = {
      {"make Q:made\\deeper"},         {"make Q:" + deep},
      {"c Q:copied.txt <> Q:copy"},    {"m Q:moved.txt <> Q:move"},
      {"r Q:old.txt <> Q:new.txt"},    {"d Q:gone.txt"},
      {"d Q:tree"},                    {"c Q:..\\root.txt <> Q:up"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    ExpectQuiet(program().RunRaw(row.line, {}, "Q:\\cwd"));
  }
  EXPECT_TRUE(IsDir("drive/cwd/made/deeper"));
  std::string hostDeep = deep;
  for (char& ch : hostDeep) {
    if (ch == '\\') ch = '/';
  }
  EXPECT_TRUE(IsDir("drive/cwd/" + hostDeep));
  EXPECT_EQ(Read("drive/cwd/copy/copied.txt"), "C");
  EXPECT_EQ(Read("drive/cwd/copied.txt"), "C");
  EXPECT_EQ(Read("drive/cwd/move/moved.txt"), "M");
  EXPECT_FALSE(Exists("drive/cwd/moved.txt"));
  EXPECT_EQ(Read("drive/cwd/new.txt"), "O");
  EXPECT_FALSE(Exists("drive/cwd/old.txt"));
  EXPECT_FALSE(Exists("drive/cwd/gone.txt"));
  EXPECT_FALSE(Exists("drive/cwd/tree"));
  EXPECT_EQ(Read("drive/cwd/up/root.txt"), "R");
  // Nothing landed in the drive's root, where "Q:name" read as "Q:\name"
  // would have put it.
  for (const char* name : {"made", "deep", "copy", "move", "new.txt", "up"}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(Exists(std::string("drive/") + name));
  }
}

// The names in `directory`, as bytes.
std::set<std::string> EntriesOf(const fs::path& directory) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) names.insert(entry.path().filename().string());
  return names;
}

// A name holding an unpaired surrogate (which NTFS holds) reaches the file
// system exactly as the caller wrote it. Wine 8 can hold no such name: it
// refuses to create one, and shows a stored name that would spell one as
// U+FFFD. So there the run must fail and leave nothing: a name changed on
// its way (the surrogate replaced by U+FFFD, or dropped) is one Wine would
// create.
TEST_F(LongPaths, UnpairedSurrogateReachesTheFileSystemUnchanged) {
  if (!program().IsWine()) GTEST_SKIP() << "Linux names are bytes; UTF-16 surrogates exist only on Windows";
  Write("src/a.txt", "A");
  const std::set<std::string> before = EntriesOf(Host(""));
  const std::string lone = "\xED\xA0\x80";  // U+D800, a high surrogate with no low one after it
  for (const std::string& name : {"lone" + lone, lone + "x" + lone}) {
    SCOPED_TRACE(name);
    ExpectReport(program().RunRaw("make " + P(name)), "Unable to create directory.");
    ExpectReport(program().RunRaw("c " + P("src/a.txt") + " <> " + P(name)), "Unable to create directory.");
    EXPECT_EQ(EntriesOf(Host("")), before);
  }
}

using SystemFiles = E2ETest;

// A mask selects plain files only: hidden and system files are passed over
// by copy, move and delete alike (a tree copy takes everything).
TEST_F(SystemFiles, MasksPassOverSystemFiles) {
  if (!program().IsWine()) GTEST_SKIP() << "Linux files have no system attribute";
  // Wine keeps the DOS attributes of a file in this extended attribute.
  auto mark = [&](const std::string& relative, const char* attributes) {
    ASSERT_EQ(setxattr(Host(relative).c_str(), "user.DOSATTRIB", attributes, std::strlen(attributes), 0), 0)
        << relative << ": " << std::strerror(errno);
  };
  for (const char* name : {"plain.txt", "system.txt", "both.txt"}) Write(std::string("data/") + name, name);
  mark("data/system.txt", "0x4");
  mark("data/both.txt", "0x6");
  ExpectQuiet(Run({"c", P("data") + Sep() + "*.txt", "<>", P("copy")}));
  EXPECT_EQ(Read("copy/plain.txt"), "plain.txt");
  EXPECT_FALSE(Exists("copy/system.txt"));
  EXPECT_FALSE(Exists("copy/both.txt"));
  ExpectQuiet(Run({"c", P("data"), "<>", P("tree")}));
  EXPECT_EQ(Read("tree/data/system.txt"), "system.txt");
  ExpectQuiet(Run({"m", P("data") + Sep() + "*.txt", "<>", P("moved")}));
  EXPECT_EQ(Read("moved/plain.txt"), "plain.txt");
  EXPECT_FALSE(Exists("moved/system.txt"));
  EXPECT_EQ(Read("data/system.txt"), "system.txt");
  EXPECT_EQ(Read("data/both.txt"), "both.txt");
  ExpectQuiet(Run({"d", P("data") + Sep() + "*.*"}));
  EXPECT_EQ(Read("data/system.txt"), "system.txt");
  EXPECT_EQ(Read("data/both.txt"), "both.txt");
}

using References = E2ETest;

// "r" leaves %NAME% as it is written, on both sides, even where the
// expansion names a file that exists.
TEST_F(References, RenameLeavesReferencesAsWritten) {
  const EnvList env = {{"FO_E2E_FROM", "expanded"}, {"FO_E2E_TO", "other"}};
  Write("%FO_E2E_FROM%.txt", "literal");
  Write("expanded.txt", "expanded");
  ExpectQuiet(Run({"r", P("%FO_E2E_FROM%.txt"), "<>", P("%FO_E2E_TO%.txt")}, env));
  EXPECT_EQ(Read("%FO_E2E_TO%.txt"), "literal");
  EXPECT_FALSE(Exists("%FO_E2E_FROM%.txt"));
  EXPECT_EQ(Read("expanded.txt"), "expanded");
  EXPECT_FALSE(Exists("other.txt"));
  ExpectQuiet(Run({"r", P("%FO_E2E_UNSET%"), "<>", P("renamed")}, env));  // names nothing: a silent failure
  EXPECT_FALSE(Exists("renamed"));
}

// A move's target, like a copy's, takes a reference to an unset or empty
// variable as the empty text (it removes nothing at the target).
TEST_F(References, UnsetReferenceInATargetIsEmptyText) {
  const EnvList env = {{"FO_E2E_EMPTY", ""}};
  struct Row { const char* verb; const char* reference; } rows[] = {
      {"m", "%FO_E2E_UNSET%"}, {"m", "%FO_E2E_EMPTY%"}, {"c", "%FO_E2E_UNSET%"}, {"c", "%FO_E2E_EMPTY%"},
  };
  int n = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.verb) + " " + row.reference);
    const std::string file = "f" + std::to_string(n++) + ".txt";
    Write("src/" + file, file);
    ExpectQuiet(Run({row.verb, P("src/" + file), "<>", P("dst") + Sep() + row.reference + "sub"}, env));
    EXPECT_EQ(Read("dst/sub/" + file), file);
    EXPECT_EQ(Exists("src/" + file), std::string(row.verb) == "c");
  }
  EXPECT_EQ(EntriesOf(Host("dst")), std::set<std::string>{"sub"});
}

}  // namespace
