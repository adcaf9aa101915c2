// Any tree the file system can hold is copied, moved and deleted exactly:
// pipes, sockets and device nodes are recreated, never opened; holes stay
// holes; trees deeper than PATH_MAX and names holding wildcards, line
// breaks and bytes that are no UTF-8 are handled completely. Linux only:
// Windows names can hold none of these.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "e2e/fixture.h"

namespace {

class AnyTree : public E2ETest {
 protected:
  void SetUp() override {
    E2ETest::SetUp();
    if (program().IsWine()) GTEST_SKIP() << "POSIX file kinds and names; Windows has none of them";
  }

  void TearDown() override {
    if (mounted_) umount2(Host("other").c_str(), MNT_DETACH);
    if (!elsewhere_.empty()) fs::remove_all(elsewhere_);
    E2ETest::TearDown();
  }

  // A new directory on a second file system, for moves that cross devices:
  // on a tmpfs of the fixture's own (root may mount one), else in /dev/shm
  // where that is another file system. Empty, with the reason in `why`,
  // where there is none.
  fs::path OtherFileSystem(std::string& why) {
    Dir("other");
    if (mount("tmpfs", Host("other").c_str(), "tmpfs", 0, "size=64m") == 0) {
      mounted_ = true;
      return Host("other/across");
    }
    why = std::string("cannot mount a tmpfs here (") + std::strerror(errno) + ") and /dev/shm is ";
    struct stat here, shm;
    if (stat(Host("").c_str(), &here) != 0 || stat("/dev/shm", &shm) != 0) {
      why += "missing";
      return {};
    }
    if (here.st_dev == shm.st_dev) {
      why += "on the fixture's own file system";
      return {};
    }
    elsewhere_ = fs::path("/dev/shm") / ("fileop-across-" + std::to_string(getpid()));
    fs::remove_all(elsewhere_);
    return elsewhere_;
  }

  mode_t Kind(const std::string& relative) const {
    struct stat st;
    return lstat(Host(relative).c_str(), &st) == 0 ? st.st_mode & S_IFMT : 0;
  }

 private:
  bool mounted_ = false;
  fs::path elsewhere_;
};

// A pipe, a socket and (as root) a device node, beside an ordinary file.
TEST_F(AnyTree, SpecialFilesAreRecreatedNeverOpened) {
  Write("src/plain.txt", "P");
  ASSERT_EQ(mkfifo(Host("src/pipe").c_str(), 0644), 0);
  ASSERT_EQ(mknod(Host("src/sock").c_str(), S_IFSOCK | 0644, 0), 0);
  const bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(mknod(Host("src/null").c_str(), S_IFCHR | 0600, makedev(1, 3)), 0);
  }
  auto expectKinds = [&](const std::string& at) {
    SCOPED_TRACE(at);
    EXPECT_EQ(Read(at + "/plain.txt"), "P");
    EXPECT_EQ(Kind(at + "/pipe"), S_IFIFO);
    EXPECT_EQ(Kind(at + "/sock"), S_IFSOCK);
    if (root) {
      EXPECT_EQ(Kind(at + "/null"), S_IFCHR);
    }
  };
  // Every run ends at once: a pipe that were opened for reading would wait
  // for a writer for ever (a bound only such a wait reaches on a busy
  // machine).
  const RunResult copy = Run({"c", P("src"), "<>", P("copy")});
  ExpectQuiet(copy);
  EXPECT_LT(copy.seconds, 60);
  expectKinds("copy/src");
  expectKinds("src");

  ExpectQuiet(Run({"m", P("copy/src"), "<>", P("moved")}));
  expectKinds("moved/src");
  EXPECT_FALSE(Exists("copy/src"));

  const RunResult gone = Run({"d", P("src")});
  ExpectQuiet(gone);
  EXPECT_FALSE(Exists("src"));

  std::string why;
  const fs::path across = OtherFileSystem(why);
  if (across.empty()) GTEST_SKIP() << "no second file system to move across: " << why;
  ExpectQuiet(Run({"m", P("moved/src"), "<>", across.string()}));
  EXPECT_FALSE(Exists("moved/src"));
  struct stat st;
  EXPECT_EQ(lstat((across / "src/pipe").c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  EXPECT_EQ(lstat((across / "src/sock").c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  if (root) {
    EXPECT_EQ(lstat((across / "src/null").c_str(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_EQ(st.st_rdev, makedev(1, 3));
  }
}

// A sparse file: its holes are not written as zeros.
TEST_F(AnyTree, SparseFilesKeepTheirHoles) {
  constexpr off_t kSize = off_t{1} << 30;
  Dir("src");
  {
    const int fd = open(Host("src/sparse.bin").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, kSize), 0);
    ASSERT_EQ(pwrite(fd, "head", 4, 0), 4);
    ASSERT_EQ(pwrite(fd, "middle", 6, kSize / 2), 6);
    ASSERT_EQ(pwrite(fd, "tail", 4, kSize - 4), 4);
    close(fd);
  }
  auto expectSparse = [&](const std::string& relative) {
    SCOPED_TRACE(relative);
    struct stat st;
    ASSERT_EQ(stat(Host(relative).c_str(), &st), 0);
    EXPECT_EQ(st.st_size, kSize);
    EXPECT_LT(st.st_blocks * 512, 16 << 20) << "holes were filled";
    const int fd = open(Host(relative).c_str(), O_RDONLY);
    char buffer[8] = {};
    EXPECT_EQ(pread(fd, buffer, 4, 0), 4);
    EXPECT_EQ(std::string(buffer, 4), "head");
    EXPECT_EQ(pread(fd, buffer, 6, kSize / 2), 6);
    EXPECT_EQ(std::string(buffer, 6), "middle");
    EXPECT_EQ(pread(fd, buffer, 4, kSize - 4), 4);
    EXPECT_EQ(std::string(buffer, 4), "tail");
    EXPECT_EQ(pread(fd, buffer, 4, 4096 * 16), 4);
    EXPECT_EQ(std::string(buffer, 4), std::string(4, '\0'));
    close(fd);
  };
  ExpectQuiet(Run({"c", P("src"), "<>", P("copy")}));
  expectSparse("copy/src/sparse.bin");
  ExpectQuiet(Run({"c", P("src/sparse.bin"), "<>", P("single")}));
  expectSparse("single/sparse.bin");
  std::string why;
  const fs::path across = OtherFileSystem(why);
  if (across.empty()) GTEST_SKIP() << "no second file system to move across: " << why;
  ExpectQuiet(Run({"m", P("copy/src"), "<>", across.string()}));
  EXPECT_FALSE(Exists("copy/src"));
  expectSparse(fs::relative(across / "src/sparse.bin", Host("")).string());
}

// Builds and checks trees with the *at calls: their paths may be longer than
// any single call accepts.
class DeepTree {
 public:
  explicit DeepTree(const fs::path& root) : root_(root) {}

  // `levels` directories of names of 200 bytes, a file in each.
  void Make(int levels) const {
    int fd = open(root_.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    for (int level = 0; level < levels; ++level) {
      const std::string name = Name(level);
      ASSERT_EQ(mkdirat(fd, name.c_str(), 0755), 0) << level;
      const int file = openat(fd, ("f" + std::to_string(level)).c_str(), O_WRONLY | O_CREAT, 0644);
      ASSERT_GE(file, 0);
      const std::string content = "level " + std::to_string(level);
      ASSERT_EQ(write(file, content.data(), content.size()), static_cast<ssize_t>(content.size()));
      close(file);
      const int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
      close(fd);
      fd = next;
      ASSERT_GE(fd, 0);
    }
    close(fd);
  }

  // The number of levels whose file is there with its content.
  int CountWhole(const fs::path& at, int levels) const {
    int fd = open(at.c_str(), O_RDONLY | O_DIRECTORY);
    int whole = 0;
    for (int level = 0; fd >= 0 && level < levels; ++level) {
      const int file = openat(fd, ("f" + std::to_string(level)).c_str(), O_RDONLY);
      if (file >= 0) {
        char buffer[64];
        const ssize_t n = read(file, buffer, sizeof buffer);
        whole += n > 0 && std::string(buffer, static_cast<size_t>(n)) == "level " + std::to_string(level);
        close(file);
      }
      const int next = openat(fd, Name(level).c_str(), O_RDONLY | O_DIRECTORY);
      close(fd);
      fd = next;
    }
    if (fd >= 0) close(fd);
    return whole;
  }

  // Removes what Make made below `at`, however deep (std::filesystem cannot).
  static void Remove(const fs::path& at) {
    std::vector<int> chain{open(at.c_str(), O_RDONLY | O_DIRECTORY)};
    if (chain.back() < 0) return;
    std::vector<std::string> names;
    for (;;) {
      int fd = chain.back();
      int next = -1;
      for (int level = 0; level < 100 && next < 0; ++level) {
        next = openat(fd, Name(level).c_str(), O_RDONLY | O_DIRECTORY);
        if (next >= 0) names.push_back(Name(level));
      }
      for (int level = 0; level < 100; ++level) unlinkat(fd, ("f" + std::to_string(level)).c_str(), 0);
      if (next < 0) break;
      chain.push_back(next);
    }
    for (size_t i = chain.size() - 1; i > 0; --i) {
      close(chain[i]);
      unlinkat(chain[i - 1], names[i - 1].c_str(), AT_REMOVEDIR);
    }
    close(chain[0]);
  }

  static std::string Name(int level) { return std::string(200, static_cast<char>('a' + level % 26)) + std::to_string(level); }

 private:
  fs::path root_;
};

TEST_F(AnyTree, TreesDeeperThanPathMax) {
  constexpr int kLevels = 40;  // about 8,000 bytes of path
  Dir("src");
  DeepTree(Host("src")).Make(kLevels);
  ExpectQuiet(Run({"c", P("src"), "<>", P("copy")}));
  EXPECT_EQ(DeepTree(Host("")).CountWhole(Host("copy/src"), kLevels), kLevels);
  ExpectQuiet(Run({"m", P("copy/src"), "<>", P("moved")}));
  EXPECT_EQ(DeepTree(Host("")).CountWhole(Host("moved/src"), kLevels), kLevels);
  EXPECT_FALSE(Exists("copy/src"));
  ExpectQuiet(Run({"d", P("moved")}));
  EXPECT_FALSE(Exists("moved"));
  DeepTree::Remove(Host("src"));
}

// Wildcards are patterns only in the last name of a mask; everywhere else a
// name is taken as it is written.
TEST_F(AnyTree, NamesWithWildcardsLineBreaksAndForeignBytes) {
  const std::vector<std::string> names = {"star*", "what?", "dir?/inner*.txt", "line\nbreak", "latin1-\xE9\xFF",
                                          "dir?/sub\n/x", "*.*", "[a]"};
  for (const std::string& name : names) Write("src/" + name, name);
  auto expectAll = [&](const std::string& at) {
    for (const std::string& name : names) {
      SCOPED_TRACE(at + "/" + name);
      EXPECT_EQ(Read(at + "/" + name), name);
    }
  };
  ExpectQuiet(Run({"c", P("src"), "<>", P("copy")}));
  expectAll("copy/src");
  ExpectQuiet(Run({"c", P("src/star*"), "<>", P("single")}));  // not a mask: no "*."
  EXPECT_EQ(Read("single/star*"), "star*");
  ExpectQuiet(Run({"c", P("src/dir?"), "<>", P("single")}));
  EXPECT_EQ(Read("single/dir?/inner*.txt"), "dir?/inner*.txt");
  ExpectQuiet(Run({"m", P("copy/src"), "<>", P("moved")}));
  expectAll("moved/src");
  EXPECT_FALSE(Exists("copy/src"));
  ExpectQuiet(Run({"d", P("moved/src")}));
  EXPECT_FALSE(Exists("moved/src"));
  // A mask's directory with a wildcard in its name is taken literally.
  ExpectQuiet(Run({"d", P("src/dir?") + "/*.txt"}));
  EXPECT_FALSE(Exists("src/dir?/inner*.txt"));
  EXPECT_TRUE(Exists("src/dir?/sub\n/x"));
}

}  // namespace
