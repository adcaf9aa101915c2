// Copy and move, end to end, on both builds.
#include <sys/mount.h>

#include <cstring>
#include <random>
#include <thread>

#include "e2e/fixture.h"

namespace {

// A fixed last-write time in whole seconds, so that both builds can keep it
// exactly (Windows counts in 100 ns steps).
const fs::file_time_type kOldTime =
    fs::file_time_type::clock::now() - std::chrono::duration_cast<fs::file_time_type::duration>(
                                           std::chrono::seconds(86400 * 400 + 17));

class CopyMove : public E2ETest {
 protected:
  // A small source tree: files, a hidden file, an empty subdirectory.
  void MakeTree(const std::string& root) const {
    Write(root + "/a.txt", "A");
    Write(root + "/.hidden", "H");
    Write(root + "/sub/b.txt", "B");
    Dir(root + "/sub/empty");
  }
  void ExpectTree(const std::string& root) const {
    EXPECT_EQ(Read(root + "/a.txt"), "A");
    EXPECT_EQ(Read(root + "/.hidden"), "H");
    EXPECT_EQ(Read(root + "/sub/b.txt"), "B");
    EXPECT_TRUE(IsDir(root + "/sub/empty"));
  }
};

TEST_F(CopyMove, CopyFileCreatesTheTargetThenReplaces) {
  Write("a/f.txt", "one");
  ExpectQuiet(Run({"c", P("a/f.txt"), "<>", P("t/deep/er")}));
  EXPECT_EQ(Read("t/deep/er/f.txt"), "one");
  Write("a/f.txt", "two");
  ExpectQuiet(Run({"c", P("a/f.txt"), "<>", P("t/deep/er")}));
  EXPECT_EQ(Read("t/deep/er/f.txt"), "two");
  // A target is always a directory, whatever its name looks like.
  ExpectQuiet(Run({"c", P("a/f.txt"), "<>", P("new.txt")}));
  EXPECT_EQ(Read("new.txt/f.txt"), "two");
  // A missing source: nothing copied, the target exists all the same.
  ExpectQuiet(Run({"c", P("a/none.txt"), "<>", P("made")}));
  EXPECT_TRUE(IsDir("made"));
}

TEST_F(CopyMove, MoveFileNeverReplaces) {
  Write("a/f.txt", "first");
  ExpectQuiet(Run({"m", P("a/f.txt"), "<>", P("t")}));
  EXPECT_EQ(Read("t/f.txt"), "first");
  EXPECT_FALSE(Exists("a/f.txt"));
  Write("a/f.txt", "second");
  ExpectQuiet(Run({"m", P("a/f.txt"), "<>", P("t")}));
  EXPECT_EQ(Read("a/f.txt"), "second");
  EXPECT_EQ(Read("t/f.txt"), "first");
}

TEST_F(CopyMove, TreeArrivesUnderItsOwnName) {
  MakeTree("src");
  for (const std::string& tail : {std::string(), Sep()}) {
    SCOPED_TRACE("tail [" + tail + "]");
    ExpectQuiet(Run({"c", P("src") + tail, "<>", P("dst")}));
    ExpectTree("dst/src");
    ExpectTree("src");
  }
  MakeTree("msrc");
  ExpectQuiet(Run({"m", P("msrc"), "<>", P("mdst")}));
  ExpectTree("mdst/msrc");
  EXPECT_FALSE(Exists("msrc"));
  Dir("empty");
  ExpectQuiet(Run({"m", P("empty"), "<>", P("mdst")}));
  EXPECT_TRUE(IsDir("mdst/empty"));
  EXPECT_FALSE(Exists("empty"));
}

TEST_F(CopyMove, MergesIntoAnExistingTree) {
  MakeTree("src");
  Write("dst/src/a.txt", "old");
  Write("dst/src/mine.txt", "mine");
  ExpectQuiet(Run({"c", P("src"), "<>", P("dst")}));
  ExpectTree("dst/src");
  EXPECT_EQ(Read("dst/src/mine.txt"), "mine");
  // A move leaves both files where a name is taken, and says so when the
  // source directory cannot go because of it.
  Write("msrc/a.txt", "new");
  Write("msrc/b.txt", "B");
  Write("mdst/msrc/a.txt", "old");
  ExpectReport(Run({"m", P("msrc"), "<>", P("mdst")}), "I/O error 145.");
  EXPECT_EQ(Read("msrc/a.txt"), "new");
  EXPECT_EQ(Read("mdst/msrc/a.txt"), "old");
  EXPECT_EQ(Read("mdst/msrc/b.txt"), "B");
  EXPECT_FALSE(Exists("msrc/b.txt"));
}

TEST_F(CopyMove, MaskCopiesAndMovesPlainMatchingFiles) {
  Write("data/a.txt", "A");
  Write("data/b.txt", "B");
  Write("data/.h.txt", "H");
  Write("data/c.log", "C");
  Write("data/d.txt/inner.txt", "I");
  Write("data/ab.txt", "AB");
  ExpectQuiet(Run({"c", P("data") + Sep() + "*.txt", "<>", P("t")}));
  EXPECT_EQ(Read("t/a.txt"), "A");
  EXPECT_EQ(Read("t/ab.txt"), "AB");
  EXPECT_FALSE(Exists("t/.h.txt"));
  EXPECT_FALSE(Exists("t/c.log"));
  EXPECT_FALSE(Exists("t/d.txt"));
  ExpectQuiet(Run({"m", P("data") + Sep() + "a*.txt", "<>", P("m")}));
  EXPECT_EQ(Read("m/a.txt"), "A");
  EXPECT_EQ(Read("m/ab.txt"), "AB");
  EXPECT_FALSE(Exists("m/b.txt"));
  EXPECT_FALSE(Exists("data/a.txt"));
  EXPECT_TRUE(Exists("data/b.txt"));
  EXPECT_TRUE(IsDir("data"));
  ExpectQuiet(Run({"c", P("none") + Sep() + "*.txt", "<>", P("t2")}));
  EXPECT_TRUE(IsDir("t2"));
}

TEST_F(CopyMove, NamesOnlyLongNamesMatch) {
  // x.html has the short alias X~1.HTM on Windows, which *.htm would match.
  Write("web/x.html", "long");
  Write("web/y.htm", "short");
  ExpectQuiet(Run({"c", P("web") + Sep() + "*.htm", "<>", P("t")}));
  EXPECT_TRUE(Exists("t/y.htm"));
  EXPECT_FALSE(Exists("t/x.html"));
  ExpectQuiet(Run({"d", P("web") + Sep() + "*.htm"}));
  EXPECT_EQ(Read("web/x.html"), "long");
  EXPECT_FALSE(Exists("web/y.htm"));
}

TEST_F(CopyMove, ExpandsReferencesInBothPaths) {
  Write("s/a.txt", "A");
  const EnvList env = {{"FO_E2E_SRC", P("s")}, {"FO_E2E_DST", P("d")}};
  ExpectQuiet(Run({"c", "%FO_E2E_SRC%" + Sep() + "a.txt", "<>", "%FO_E2E_DST%" + Sep() + "x"}, env));
  EXPECT_EQ(Read("d/x/a.txt"), "A");
  ExpectQuiet(Run({"m", "%FO_E2E_SRC%", "<>", "%FO_E2E_DST%"}, env));
  EXPECT_EQ(Read("d/s/a.txt"), "A");
  EXPECT_FALSE(Exists("s"));
}

TEST_F(CopyMove, OntoThemselves) {
  Write("a/f.txt", "F");
  Write("a/src/g.txt", "G");
  ExpectQuiet(Run({"c", P("a/f.txt"), "<>", P("a")}));
  ExpectQuiet(Run({"m", P("a/f.txt"), "<>", P("a")}));
  ExpectQuiet(Run({"c", P("a/src"), "<>", P("a")}));
  EXPECT_EQ(Read("a/f.txt"), "F");
  EXPECT_EQ(Read("a/src/g.txt"), "G");
  for (const std::string& target : {P("a"), P("a/src"), P("a/src/sub")}) {
    SCOPED_TRACE(target);
    ExpectReport(Run({"m", P("a/src"), "<>", target}), "Cannot move a directory into itself.");
    EXPECT_EQ(Read("a/src/g.txt"), "G");
    EXPECT_FALSE(Exists("a/src/sub"));
  }
}

TEST_F(CopyMove, CopyIntoItsOwnSubtreeEnds) {
  Write("src/f.txt", "F");
  ExpectQuiet(Run({"c", P("src"), "<>", P("src/sub")}));
  EXPECT_EQ(Read("src/sub/src/f.txt"), "F");
  EXPECT_TRUE(IsDir("src/sub/src/sub"));  // listed while still empty
  EXPECT_FALSE(Exists("src/sub/src/sub/src"));
}

TEST_F(CopyMove, FileInTheTargetWithADirectorysNameStopsTheRun) {
  // Shallowest first: a.txt (one level down) comes before sub\deeper (two).
  Write("src/a.txt", "A");
  Write("src/sub/deeper/b.txt", "B");
  Write("dst/src/sub/deeper", "a file");
  ExpectReport(Run({"c", P("src"), "<>", P("dst")}), "I/O error 183.");
  EXPECT_EQ(Read("dst/src/a.txt"), "A");  // what came before stays
  EXPECT_EQ(Read("dst/src/sub/deeper"), "a file");
  // (A name taken by the same content would count as moved.)
  Write("dst/src/a.txt", "another A");
  ExpectReport(Run({"m", P("src"), "<>", P("dst")}), "I/O error 183.");
  EXPECT_EQ(Read("src/sub/deeper/b.txt"), "B");
  EXPECT_EQ(Read("src/a.txt"), "A");  // its name was taken: it stayed
}

TEST_F(CopyMove, TargetThatIsAFileIsReportedBeforeAnything) {
  Write("a/f.txt", "F");
  Write("x.txt", "X");
  ExpectReport(Run({"c", P("a/f.txt"), "<>", P("x.txt")}), "Unable to create directory.");
  ExpectReport(Run({"m", P("a/f.txt"), "<>", P("x.txt")}), "Unable to create directory.");
  EXPECT_EQ(Read("x.txt"), "X");
  EXPECT_EQ(Read("a/f.txt"), "F");
  EXPECT_FALSE(Exists("x.txtf.txt"));
}

TEST_F(CopyMove, LinksStayLinks) {
  Write("outside/o.txt", "O");
  Write("src/a.txt", "A");
  fs::create_directory_symlink(Host("outside"), Host("src/dirlink"));
  fs::create_symlink("a.txt", Host("src/filelink"));
  ExpectQuiet(Run({"c", P("src"), "<>", P("dst")}));
  EXPECT_EQ(Read("dst/src/a.txt"), "A");
  if (program().IsWine()) {
    // Links are left out of copies where the platform cannot make them.
    // Wine marks only links to directories as links; a link to a file looks
    // like the file itself there, but what it opens is not the entry named
    // (it lies elsewhere), so the copy leaves it out too, never reading
    // through it.
    EXPECT_FALSE(Exists("dst/src/dirlink"));
    EXPECT_FALSE(Exists("dst/src/filelink"));
  } else {
    EXPECT_EQ(fs::read_symlink(Host("dst/src/dirlink")), Host("outside"));
    EXPECT_EQ(fs::read_symlink(Host("dst/src/filelink")), fs::path("a.txt"));
    ExpectQuiet(Run({"m", P("src"), "<>", P("mdst")}));
    EXPECT_EQ(fs::read_symlink(Host("mdst/src/dirlink")), Host("outside"));
    EXPECT_FALSE(Exists("src"));
  }
  EXPECT_EQ(Read("outside/o.txt"), "O");
}

// Two copies into one new target at once race to create its directories;
// the one that loses finds them made and carries on.
TEST_F(CopyMove, TwoCopiesIntoOneTargetAtOnce) {
  for (int d = 0; d < 4; ++d) {
    for (int f = 0; f < 5; ++f) Write("src/d" + std::to_string(d) + "/e/f" + std::to_string(f), std::to_string(d * 10 + f));
  }
  const int rounds = program().IsWine() ? 8 : 60;
  int reports = 0, wrong = 0;
  for (int round = 0; round < rounds; ++round) {
    const std::string target = "t" + std::to_string(round) + "/deep/er";
    RunResult first, second;
    std::thread other([&] { second = Run({"c", P("src"), "<>", P(target)}); });
    first = Run({"c", P("src"), "<>", P(target)});
    other.join();
    for (const RunResult* run : {&first, &second}) {
      if (run->exitCode != 0 || !run->report.empty()) {
        ++reports;
        ADD_FAILURE() << "round " << round << ": exit " << run->exitCode << ", report [" << run->report << "]";
      }
    }
    for (int d = 0; d < 4; ++d) {
      for (int f = 0; f < 5; ++f) {
        wrong += Read(target + "/src/d" + std::to_string(d) + "/e/f" + std::to_string(f)) != std::to_string(d * 10 + f);
      }
    }
  }
  EXPECT_EQ(reports, 0);
  EXPECT_EQ(wrong, 0);
}

std::string RandomBytes(size_t size, unsigned seed) {
  std::mt19937_64 random(seed);
  std::string bytes(size, '\0');
  for (size_t i = 0; i + 8 <= size; i += 8) {
    uint64_t v = random();
    std::memcpy(&bytes[i], &v, 8);
  }
  return bytes;
}

TEST_F(CopyMove, LargeFileIsByteExactWithItsTime) {
  const std::string content = RandomBytes(40 << 20, 7);
  Write("big/blob.bin", content);
  fs::last_write_time(Host("big/blob.bin"), std::chrono::time_point_cast<std::chrono::seconds>(kOldTime));
  const auto stamp = fs::last_write_time(Host("big/blob.bin"));
  ExpectQuiet(Run({"c", P("big/blob.bin"), "<>", P("copy")}));
  EXPECT_TRUE(Read("copy/blob.bin") == content);
  EXPECT_EQ(fs::last_write_time(Host("copy/blob.bin")), stamp);
  ExpectQuiet(Run({"m", P("copy/blob.bin"), "<>", P("moved")}));
  EXPECT_TRUE(Read("moved/blob.bin") == content);
  EXPECT_EQ(fs::last_write_time(Host("moved/blob.bin")), stamp);
}

TEST_F(CopyMove, TreeOfThousandsIsExactWithTimes) {
  const auto stamp = std::chrono::time_point_cast<std::chrono::seconds>(kOldTime);
  std::vector<std::string> files;
  for (int d = 0; d < 20; ++d) {
    for (int f = 0; f < 150; ++f) {
      std::string name = "tree/d" + std::to_string(d) + "/s" + std::to_string(f % 3) + "/f" + std::to_string(f);
      Write(name, RandomBytes(64 + (f * 37) % 3000, d * 1000 + f));
      fs::last_write_time(Host(name), stamp);
      files.push_back(name.substr(5));
    }
  }
  ExpectQuiet(Run({"c", P("tree"), "<>", P("out")}));
  ExpectQuiet(Run({"m", P("tree"), "<>", P("moved")}));
  EXPECT_FALSE(Exists("tree"));
  size_t mismatches = 0;
  for (const std::string& file : files) {
    const std::string expected = Read("moved/tree/" + file);
    if (Read("out/tree/" + file) != expected || expected.empty() ||
        fs::last_write_time(Host("out/tree/" + file)) != stamp ||
        fs::last_write_time(Host("moved/tree/" + file)) != stamp) {
      ++mismatches;
    }
  }
  EXPECT_EQ(mismatches, 0u);
}

// A copy that runs out of room leaves no partial file and keeps the old
// content of a file it was replacing. The room is Linux's on both builds;
// what each does when it runs out is its own.
TEST_F(CopyMove, FullDiskLeavesNoPartialFile) {
  Dir("small");
  if (mount("tmpfs", Host("small").c_str(), "tmpfs", 0, "size=4m") != 0) {
    GTEST_SKIP() << "cannot mount a small tmpfs here (" << std::strerror(errno) << ")";
  }
  struct Unmount {
    fs::path at;
    ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
  } unmount{Host("small")};
  Write("small/src/big.bin", "old content");
  Write("src/big.bin", RandomBytes(6 << 20, 3));
  Write("src/tiny.txt", "tiny");
  ExpectQuiet(Run({"c", P("src"), "<>", P("small")}));
  EXPECT_EQ(Read("small/src/big.bin"), "old content");
  EXPECT_EQ(Read("small/src/tiny.txt"), "tiny");
  size_t entries = 0;
  for ([[maybe_unused]] const auto& e : fs::recursive_directory_iterator(Host("small"))) ++entries;
  EXPECT_EQ(entries, 3u);  // src, src/big.bin, src/tiny.txt: no temporary left
  Write("src2/fresh.bin", RandomBytes(6 << 20, 4));
  ExpectQuiet(Run({"c", P("src2/fresh.bin"), "<>", P("small/t")}));
  EXPECT_FALSE(Exists("small/t/fresh.bin"));
  // A move to another file system that runs out of room leaves the source
  // as it was; one that fits arrives whole and only then leaves.
  const std::string payload = RandomBytes(6 << 20, 5);
  Write("src2/moved.bin", payload);
  ExpectQuiet(Run({"m", P("src2/moved.bin"), "<>", P("small/m")}));
  EXPECT_TRUE(Read("src2/moved.bin") == payload);
  EXPECT_FALSE(Exists("small/m/moved.bin"));
  Write("src2/fits.bin", "fits");
  ExpectQuiet(Run({"m", P("src2/fits.bin"), "<>", P("small/m")}));
  EXPECT_EQ(Read("small/m/fits.bin"), "fits");
  EXPECT_FALSE(Exists("src2/fits.bin"));
}

}  // namespace
