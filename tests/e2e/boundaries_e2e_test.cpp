// Where a tree operation stops and what a path names, end to end: mount
// points inside a deleted or moved tree, a move into itself however the
// target is spelled, runs of separators, and trees thousands of levels
// deep.
#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstring>
#include <functional>

#include "e2e/fixture.h"

namespace {

// A chain of directories `levels` deep below a directory, each named "n",
// with a file at the bottom; made, measured and removed one level at a time
// from a descriptor of the level above, since its path is far longer than
// one system call takes.
class Chain {
 public:
  static void Make(const fs::path& top, int levels, const std::string& bottomFile) {
    int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    for (int i = 0; i < levels; ++i) {
      ASSERT_EQ(mkdirat(fd, "n", 0777), 0) << "level " << i;
      const int next = openat(fd, "n", O_RDONLY | O_DIRECTORY);
      close(fd);
      ASSERT_GE(next, 0);
      fd = next;
    }
    const int file = openat(fd, "bottom.txt", O_WRONLY | O_CREAT | O_EXCL, 0644);
    ASSERT_GE(file, 0);
    ASSERT_EQ(write(file, bottomFile.data(), bottomFile.size()), static_cast<ssize_t>(bottomFile.size()));
    close(file);
    close(fd);
  }

  // How many levels of "n" lie below `top`, and what the bottom file holds
  // (empty when there is none).
  static int Depth(const fs::path& top, std::string* bottomFile = nullptr) {
    int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return -1;
    int depth = 0;
    for (;;) {
      const int next = openat(fd, "n", O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
      if (next < 0) break;
      close(fd);
      fd = next;
      ++depth;
    }
    if (bottomFile) {
      bottomFile->clear();
      const int file = openat(fd, "bottom.txt", O_RDONLY);
      if (file >= 0) {
        char buffer[256];
        const ssize_t n = read(file, buffer, sizeof buffer);
        if (n > 0) bottomFile->assign(buffer, static_cast<size_t>(n));
        close(file);
      }
    }
    close(fd);
    return depth;
  }

  // Removes whatever is left below `top` (after a failed run), bottom up.
  static void Remove(const fs::path& top) {
    std::vector<int> chain;
    int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY);
    while (fd >= 0) {
      chain.push_back(fd);
      fd = openat(fd, "n", O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    }
    for (size_t i = chain.size(); i-- > 0;) {
      unlinkat(chain[i], "bottom.txt", 0);
      unlinkat(chain[i], "n", AT_REMOVEDIR);
      close(chain[i]);
    }
  }
};

using Boundaries = E2ETest;

// A mount point inside a tree: a delete or a move of the tree would act on
// another file system than the one it was named on, so both are refused
// before anything changes, with the mount point named; a copy reads through
// it.
TEST_F(Boundaries, MountPointsInATreeStopDeleteAndMove) {
  if (program().IsWine()) {
    GTEST_SKIP() << "mount points are Linux's here; on Windows a mount point is a name surrogate, a link, which "
                    "the link tests cover";
  }
  struct Row { const char* what; std::function<int(const fs::path&)> mount; } rows[] = {
      {"tmpfs", [](const fs::path& at) { return mount("tmpfs", at.c_str(), "tmpfs", 0, "size=1m"); }},
      {"bind mount of a directory of the same file system",
       [this](const fs::path& at) { return mount(Host("elsewhere").c_str(), at.c_str(), nullptr, MS_BIND, nullptr); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Write("elsewhere/keep.txt", "keep");
    Write("tree/top.txt", "top");
    Write("tree/sub/inner.txt", "inner");
    Dir("tree/sub/mounted");
    if (row.mount(Host("tree/sub/mounted")) != 0) {
      GTEST_SKIP() << "cannot mount here (" << std::strerror(errno) << "): run the tests as root";
    }
    struct Unmount {
      fs::path at;
      ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
    } unmount{Host("tree/sub/mounted")};
    Write("tree/sub/mounted/x.txt", "x");
    const std::string message =
        "Another file system is mounted inside the tree at " + P("tree/sub/mounted") + ".";
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"d", P("tree")}, std::vector<std::string>{"m", P("tree"), "<>", P("moved")}}) {
      SCOPED_TRACE(args[0]);
      ExpectReport(Run(args), message);
      EXPECT_EQ(Read("tree/top.txt"), "top");
      EXPECT_EQ(Read("tree/sub/inner.txt"), "inner");
      EXPECT_EQ(Read("tree/sub/mounted/x.txt"), "x");
      EXPECT_FALSE(Exists("moved"));
    }
    ExpectQuiet(Run({"c", P("tree"), "<>", P("copy")}));
    EXPECT_EQ(Read("copy/tree/sub/mounted/x.txt"), "x");
    EXPECT_EQ(Read("elsewhere/keep.txt"), "keep");
    umount2(Host("tree/sub/mounted").c_str(), MNT_DETACH);
    fs::remove_all(Host("tree"));
    fs::remove_all(Host("copy"));
  }
}

// What the target names decides whether a directory would move into
// itself: a link or ".." in its spelling does not hide it.
TEST_F(Boundaries, MoveIntoItselfIsKnownByWhatTheTargetNames) {
  Write("X/f.txt", "F");
  Dir("X/sub");
  Dir("Y");
  fs::create_directory_symlink(Host("X"), Host("XL"));
  const std::string sep = Sep();
  for (const std::string& target : {P("XL") + sep + "sub", P("XL"), P("XL") + sep + "sub" + sep + "new" + sep + "deeper",
                                    P("Y") + sep + ".." + sep + "X" + sep + "sub"}) {
    SCOPED_TRACE(target);
    ExpectReport(Run({"m", P("X"), "<>", target}), "Cannot move a directory into itself.");
    EXPECT_EQ(Read("X/f.txt"), "F");
    EXPECT_TRUE(IsDir("X/sub"));
    EXPECT_FALSE(Exists("X/sub/X"));
    EXPECT_FALSE(Exists("X/sub/new"));
  }
  // A sibling reached through the same link is not inside.
  ExpectQuiet(Run({"m", P("X") + sep + "sub", "<>", P("XL") + sep + ".." + sep + "Y"}));
  EXPECT_TRUE(IsDir("Y/sub"));
  EXPECT_FALSE(Exists("X/sub"));
}

// A run of separators is one separator, at the end of a source as inside a
// target or a made path; on Windows "/" is a separator too.
TEST_F(Boundaries, RunsOfSeparatorsNameWhatOneWouldName) {
  const std::string sep = Sep();
  Write("X/f.txt", "F");
  ExpectQuiet(Run({"c", P("X") + sep + sep, "<>", P("T")}));
  EXPECT_EQ(Read("T/X/f.txt"), "F");
  ExpectQuiet(Run({"c", P("X") + sep + sep + sep + sep, "<>", P("T2")}));
  EXPECT_EQ(Read("T2/X/f.txt"), "F");
  ExpectQuiet(Run({"make", P("M3") + sep + sep + "a"}));
  EXPECT_TRUE(IsDir("M3/a"));
  ExpectQuiet(Run({"c", P("X/f.txt"), "<>", P("T1") + sep + sep + "T2"}));
  EXPECT_EQ(Read("T1/T2/f.txt"), "F");
  ExpectQuiet(Run({"m", P("T2") + sep + sep + "X" + sep, "<>", P("M3") + sep + sep}));
  EXPECT_EQ(Read("M3/X/f.txt"), "F");
  EXPECT_FALSE(Exists("T2/X"));
  ExpectQuiet(Run({"d", P("T") + sep + sep + "X" + sep + sep}));
  EXPECT_FALSE(Exists("T/X"));
  EXPECT_TRUE(IsDir("T"));
  if (!program().IsWine()) return;
  // Windows reads "/" as "\" in every path a caller hands over.
  Write("data/a.txt", "A");
  Write("data/b.txt", "B");
  Write("data/c.log", "C");
  ExpectQuiet(Run({"c", P("data") + "/a.txt", "<>", P("W1")}));
  EXPECT_EQ(Read("W1/a.txt"), "A");
  std::string forward = P("data");
  for (char& ch : forward) {
    if (ch == '\\') ch = '/';
  }
  ExpectQuiet(Run({"c", forward + "/*.txt", "<>", P("W2")}));
  EXPECT_EQ(Read("W2/a.txt"), "A");
  EXPECT_EQ(Read("W2/b.txt"), "B");
  EXPECT_FALSE(Exists("W2/c.log"));
  // (Not "x": Windows would find the "X" above under that name.)
  ExpectQuiet(Run({"make", P("fwd") + "/deep"}));
  EXPECT_TRUE(IsDir("fwd/deep"));
  ExpectQuiet(Run({"m", P("data") + "/c.log", "<>", P("W3")}));
  EXPECT_EQ(Read("W3/c.log"), "C");
  ExpectQuiet(Run({"d", forward + "/b.txt"}));
  EXPECT_FALSE(Exists("data/b.txt"));
}

// Making, copying, moving and deleting a chain of directories thousands of
// levels deep each take time linear in the depth: the bound is generous
// for a loaded machine and a sanitizer build, and still fails for the cost
// that grows with the square of the depth.
TEST_F(Boundaries, ThousandsOfLevelsAreLinear) {
  // Under Wine each name the program opens relative to a held directory is
  // looked up again along the directory's whole path, so the cost there
  // grows with the square of the depth whatever the program does: a few
  // hundred levels show that the steps work at depth, and the native run
  // shows the program's own cost.
  const int levels = program().IsWine() ? 300 : 16000;
  // Processor time, which a busy machine does not inflate (16,000 levels
  // take well under a second natively; the square of the depth, minutes).
  // Under Wine the wineserver does much of the work, so the wall time is
  // bounded there, for a hang only.
  const double bound = program().IsWine() ? 120.0 : 5.0;
  struct Cleanup {
    std::function<void()> run;
    ~Cleanup() { run(); }
  } cleanup{[this] {
    for (const char* top : {"src", "copy", "moved", "made"}) Chain::Remove(Host(top));
  }};
  Dir("src");
  Chain::Make(Host("src"), levels, "bottom");
  std::string made = P("made");
  for (int i = 0; i < levels; ++i) made += Sep() + "n";
  const std::vector<std::vector<std::string>> runs = {
      {"make", made},
      {"c", P("src"), "<>", P("copy")},
      {"m", P("copy") + Sep() + "src", "<>", P("moved")},
      {"d", P("moved")},
      {"d", P("made")},
  };
  for (const auto& args : runs) {
    SCOPED_TRACE(args[0] + " " + args.back().substr(0, 60));
    const RunResult result = Run(args);
    ExpectQuiet(result);
    EXPECT_LT(program().IsWine() ? result.seconds : result.cpuSeconds, bound);
    if (args[0] == "make") {
      EXPECT_EQ(Chain::Depth(Host("made")), levels);
    }
    if (args[0] == "c") {
      std::string bottom;
      EXPECT_EQ(Chain::Depth(Host("copy/src"), &bottom), levels);
      EXPECT_EQ(bottom, "bottom");
    }
    if (args[0] == "m") {
      std::string bottom;
      EXPECT_EQ(Chain::Depth(Host("moved/src"), &bottom), levels);
      EXPECT_EQ(bottom, "bottom");
      EXPECT_FALSE(Exists("copy/src"));
    }
  }
  EXPECT_FALSE(Exists("moved"));
  EXPECT_FALSE(Exists("made"));
  std::string bottom;
  EXPECT_EQ(Chain::Depth(Host("src"), &bottom), levels);  // the source stays as it was
  EXPECT_EQ(bottom, "bottom");
}

}  // namespace
