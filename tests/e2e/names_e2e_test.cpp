// Names and paths of every kind, end to end on both builds: names outside
// any 8-bit code page, names that a lossy conversion would turn into
// separators, paths longer than the Windows limit of 260 characters, and a
// copy killed half-way onto an existing file.
#include <sys/xattr.h>

#include <cstring>

#include "e2e/fixture.h"

namespace {

class Names : public E2ETest {};

// Chinese, Greek, Arabic, combining accents, Japanese, a character outside
// the Basic Multilingual Plane: none of them exists in the ANSI code page
// 1252 that the Wine prefix runs with.
const std::vector<std::string> kForeignNames = {
    "\xE4\xB8\xAD\xE6\x96\x87\xE5\x90\x8D.txt",                          // 中文名.txt
    "\xCE\x95\xCE\xBB\xCE\xBB\xCE\xB7\xCE\xBD\xCE\xB9\xCE\xBA\xCE\xAC",  // Ελληνικά
    "\xD8\xB9\xD8\xB1\xD8\xA8\xD9\x8A",                                  // عربي
    "e\xCC\x81te\xCC\x81",                                               // e + combining acute
    "\xF0\x9F\x98\x80 smile",                                            // outside the BMP
    "\xC5\x81" "dir/\xE5\xAD\x90.bin",                                   // Łdir/子.bin
    "\xE8\xA1\xA8\xE3\x82\xBD/x.txt",  // 表ソ/x.txt: in Shift-JIS both end in the byte 0x5C, a backslash
};

TEST_F(Names, NamesOutsideTheCodePageRoundTrip) {
  for (const std::string& name : kForeignNames) Write("src/" + name, name);
  auto expectAll = [&](const std::string& at) {
    for (const std::string& name : kForeignNames) {
      SCOPED_TRACE(at + "/" + name);
      EXPECT_EQ(Read(at + "/" + name), name);
    }
  };
  ExpectQuiet(Run({"c", P("src"), "<>", P("copy")}));
  expectAll("copy/src");
  ExpectQuiet(Run({"m", P("copy/src"), "<>", P("moved")}));
  expectAll("moved/src");
  EXPECT_FALSE(Exists("copy/src"));
  ExpectQuiet(Run({"d", P("moved/src")}));
  EXPECT_FALSE(Exists("moved/src"));

  // The same names on the command line and through a variable.
  const std::string chinese = kForeignNames[0];
  ExpectQuiet(Run({"c", P("src/" + chinese), "<>", P("\xC5\x81" "target")}));  // Łtarget, not Ltarget
  EXPECT_EQ(Read("\xC5\x81" "target/" + chinese), chinese);
  EXPECT_FALSE(Exists("Ltarget"));
  ExpectQuiet(Run({"c", P("src") + Sep() + "%FO_E2E_NAME%", "<>", P("viaenv")}, {{"FO_E2E_NAME", kForeignNames[4]}}));
  EXPECT_EQ(Read("viaenv/" + kForeignNames[4]), kForeignNames[4]);
  ExpectQuiet(Run({"make", P("\xCE\xA9/\xF0\x9F\x98\x80")}));
  EXPECT_TRUE(IsDir("\xCE\xA9/\xF0\x9F\x98\x80"));
  ExpectQuiet(Run({"r", P("\xCE\xA9"), "<>", P("\xCE\xA9\xCE\xA9")}));
  EXPECT_TRUE(IsDir("\xCE\xA9\xCE\xA9/\xF0\x9F\x98\x80"));
}

// "..／victim／x.txt" holds fullwidth solidi (U+FF0F), not separators; a
// conversion with best fit would make it "../victim/x.txt".
TEST_F(Names, FullwidthSolidusNeverLeavesTheTree) {
  const std::string name = "..\xEF\xBC\x8Fvictim\xEF\xBC\x8Fx.txt";
  Write("victim/x.txt", "victim");
  Write("tree/" + name, "inside");
  Write("tree/sub/" + name, "inside too");
  ExpectQuiet(Run({"c", P("tree"), "<>", P("copy")}));
  EXPECT_EQ(Read("copy/tree/" + name), "inside");
  EXPECT_EQ(Read("copy/tree/sub/" + name), "inside too");
  ExpectQuiet(Run({"m", P("tree"), "<>", P("moved")}));
  EXPECT_EQ(Read("moved/tree/" + name), "inside");
  ExpectQuiet(Run({"d", P("moved")}));
  ExpectQuiet(Run({"d", P("copy/tree")}));
  EXPECT_FALSE(Exists("copy/tree"));
  EXPECT_FALSE(Exists("moved"));
  EXPECT_EQ(Read("victim/x.txt"), "victim");
}

// A node_modules-like tree whose deepest path is about 400 characters, from
// an absolute and from a relative path.
TEST_F(Names, PathsLongerThanTheWindowsLimit) {
  std::string deep = "tree";
  for (int level = 0; level < 9; ++level) {
    deep += "/package-with-a-rather-long-name-number-" + std::to_string(level);
    Write(deep + "/index.js", "level " + std::to_string(level));
  }
  ASSERT_GT(P(deep + "/index.js").size(), 400u);
  auto expectTree = [&](const std::string& at) {
    std::string path = at;
    for (int level = 0; level < 9; ++level) {
      path += "/package-with-a-rather-long-name-number-" + std::to_string(level);
      SCOPED_TRACE(path);
      EXPECT_EQ(Read(path + "/index.js"), "level " + std::to_string(level));
    }
  };
  ExpectQuiet(Run({"c", P("tree"), "<>", P("copy")}));
  expectTree("copy/tree");
  ExpectQuiet(program().Run({"c", "tree", "<>", "relative"}, {}, Host("")));
  expectTree("relative/tree");
  ExpectQuiet(Run({"m", P("copy/tree"), "<>", P("moved")}));
  expectTree("moved/tree");
  EXPECT_FALSE(Exists("copy/tree"));
  ExpectQuiet(program().Run({"m", "relative" + Sep() + "tree", "<>", "moved2"}, {}, Host("")));
  expectTree("moved2/tree");
  ExpectQuiet(Run({"d", P("moved")}));
  ExpectQuiet(program().Run({"d", "moved2"}, {}, Host("")));
  EXPECT_FALSE(Exists("moved"));
  EXPECT_FALSE(Exists("moved2"));
  // One long file on its own, copied, moved and deleted by its path.
  const std::string file = deep + "/index.js";
  ExpectQuiet(Run({"c", P(file), "<>", P(deep + "/again")}));
  EXPECT_EQ(Read(deep + "/again/index.js"), "level 8");
  ExpectQuiet(Run({"d", P(deep + "/again/index.js")}));
  EXPECT_FALSE(Exists(deep + "/again/index.js"));
}

// A copy killed half-way onto an existing file leaves the old file whole.
// A partial copy it leaves is hidden, says what it is, and goes with the
// next copy of that name. Each kill strikes while the program is seen
// writing the copy (see RunKilledMidCopy), however fast the file system
// copies.
TEST_F(Names, KilledCopyKeepsTheOldFile) {
  if (!program().IsWine() && ClonesFiles()) GTEST_SKIP() << kClonedCopy;
  const uintmax_t size = uintmax_t{512} << 20;
  {
    std::ofstream out(Host("big.bin"), std::ios::binary);
    std::string block(1 << 20, 'b');
    for (uintmax_t i = 0; i < size / block.size(); ++i) out.write(block.data(), static_cast<std::streamsize>(block.size()));
    out.close();
    ASSERT_TRUE(out) << "the source could not be written";
  }
  ASSERT_EQ(fs::file_size(Host("big.bin")), size);
  Write("target/big.bin", "old content");
  int caught = 0;
  for (int run = 0; run < 8 && caught < 3; ++run) {
    SCOPED_TRACE(run);
    const RunResult copy = program().RunKilledMidCopy({"c", P("big.bin"), "<>", P("target")}, Host("target"), size);
    if (!copy.killed) {
      // Ended before it was seen half-way (a loaded machine): a whole copy.
      ExpectQuiet(copy);
      EXPECT_EQ(fs::file_size(Host("target/big.bin")), size);
      Write("target/big.bin", "old content");
      continue;
    }
    ++caught;
    EXPECT_EQ(Read("target/big.bin"), "old content") << "killed with " << copy.partialBytes << " bytes copied";
    for (const auto& entry : fs::directory_iterator(Host("target"))) {
      const std::string leftover = entry.path().filename().string();
      if (leftover == "big.bin") continue;
      // Only a partial copy of the Windows build may stay behind, hidden.
      EXPECT_TRUE(program().IsWine() && leftover.rfind("~fileop-partial-", 0) == 0) << leftover;
      // Wine keeps a hidden bit in this attribute; its copy function never
      // calls the progress routine that hides the partial copy at once on
      // Windows, so there the bit may be missing.
      char attributes[32] = {};
      if (getxattr(entry.path().c_str(), "user.DOSATTRIB", attributes, sizeof attributes - 1) > 0) {
        EXPECT_TRUE(std::strtoul(attributes, nullptr, 16) & 0x2) << "not hidden: " << attributes;
      }
    }
  }
  EXPECT_EQ(caught, 3) << "runs killed half-way";
  ExpectQuiet(Run({"c", P("big.bin"), "<>", P("target")}));
  EXPECT_EQ(fs::file_size(Host("target/big.bin")), size);
  size_t entries = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(Host("target"))) ++entries;
  EXPECT_EQ(entries, 1u) << "a partial copy stayed after a complete one";
}

// Run as a service or a task with nobody logged on, no box can be seen: the
// report goes to standard error and the run ends at once.
TEST_F(Names, NoBoxWithoutAVisibleWindowStation) {
  if (!program().IsWine()) GTEST_SKIP() << "window stations exist only on Windows";
  const RunResult run = program().RunRaw("make", {{"FILEOP_RAW_HIDDEN_STATION", "1"}});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_FALSE(run.boxShown);
  EXPECT_LT(run.seconds, 60);  // a box nobody sees would wait for ever
  EXPECT_NE(run.errorOutput.find("Exception EInOutError in module fileop.exe at "), std::string::npos)
      << run.errorOutput.substr(0, 1000);
  EXPECT_NE(run.errorOutput.find("Unable to create directory."), std::string::npos);
}

}  // namespace
