// The POSIX platform layer gives Linux the Windows behaviour the program
// relies on; these tests pin that behaviour down.
#include <fcntl.h>
#include <grp.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <thread>

#include "platform/platform.h"
#include "platform/posix/errors_posix.h"
#include "platform/posix/partial_posix.h"
#include "platform/posix/resolver_posix.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using platform::posix::TranslateErrno;

TEST(TranslateErrno, WindowsCodes) {
  struct Row { int errnum; bool parentMissing; uint32_t code; } rows[] = {
      {ENOENT, false, 2}, {ENOENT, true, 3},  {ENOTDIR, false, 3}, {EACCES, false, 5},
      {EPERM, false, 5},  {EROFS, false, 5},  {EMFILE, false, 4},  {ENOSPC, false, 112},
      {EEXIST, false, 183}, {ENOTEMPTY, false, 145}, {ENAMETOOLONG, false, 206}, {0, false, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.errnum);
    EXPECT_EQ(TranslateErrno(row.errnum, row.parentMissing), row.code);
  }
}

class PosixPlatformTest : public TempDirTest {
 protected:
  int64_t MTime(const std::string& relative) const {
    struct stat st;
    EXPECT_EQ(stat(Path(relative).c_str(), &st), 0);
    return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  }
  // Names in the fixture's root, to see that no temporary file was left.
  size_t EntryCount(const std::string& relative) const {
    size_t n = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(Path(relative))) ++n;
    return n;
  }
  // WriteFile, with the directories on the way made first.
  void Put(const std::string& relative, std::string_view content = "x") const {
    fs::create_directories(fs::path(Path(relative)).parent_path());
    WriteFile(relative, content);
  }
  struct stat Status(const std::string& relative) const {
    struct stat st {};
    EXPECT_EQ(lstat(Path(relative).c_str(), &st), 0) << relative;
    return st;
  }

  // Mounts (as root) a tmpfs, or `from` bound again, at `relative`; false
  // with the reason where mounting is refused. Unmounted before the
  // fixture's directory is removed.
  bool MountTmpfs(const std::string& relative, std::string& why) {
    MakeDir(relative);
    return Mounted(mount("tmpfs", Path(relative).c_str(), "tmpfs", 0, "size=64m"), relative, why);
  }
  bool BindMount(const std::string& from, const std::string& relative, std::string& why) {
    MakeDir(relative);
    return Mounted(mount(from.c_str(), Path(relative).c_str(), nullptr, MS_BIND, nullptr), relative, why);
  }
  void TearDown() override {
    for (auto at = mounts_.rbegin(); at != mounts_.rend(); ++at) umount2(at->c_str(), MNT_DETACH);
    TempDirTest::TearDown();
  }

  // A directory in memory (a tmpfs of the test's own) for timing the
  // walks of deep chains, where the disk's own waits would count; a plain
  // directory where mounting is refused (false then: the time says little).
  bool MemoryDir(const std::string& relative) {
    std::string why;
    if (MountTmpfs(relative, why)) return true;
    MakeDir(relative);
    return false;
  }

  platform::TreeHandle Open(const std::string& relative, bool followLink = false) {
    uint32_t error = 0;
    platform::TreeHandle tree = platform::OpenTree(Path(relative), followLink, error);
    EXPECT_NE(tree, platform::kNoTree) << relative << " " << error;
    return tree;
  }

 private:
  bool Mounted(int result, const std::string& relative, std::string& why) {
    if (result != 0) {
      why = std::strerror(errno);
      return false;
    }
    mounts_.push_back(Path(relative));
    return true;
  }
  std::vector<std::string> mounts_;
};

// A tree handle closed at the end of its scope.
class TreeOwner {
 public:
  explicit TreeOwner(platform::TreeHandle tree) : tree_(tree) {}
  ~TreeOwner() {
    if (tree_ != platform::kNoTree) platform::CloseTree(tree_);
  }
  TreeOwner(const TreeOwner&) = delete;
  TreeOwner& operator=(const TreeOwner&) = delete;
  platform::TreeHandle get() const { return tree_; }

 private:
  platform::TreeHandle tree_;
};

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

TEST_F(PosixPlatformTest, AttributeWords) {
  WriteFile("plain");
  WriteFile(".hidden");
  WriteFile("ro");
  SetReadOnly("ro", true);
  MakeDir("dir");
  MakeDir(".hdir");
  fs::create_directory_symlink(Path("dir"), Path("dirlink"));
  fs::create_symlink(Path("plain"), Path("filelink"));
  fs::create_symlink(Path("missing"), Path("dangling"));
  ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0644), 0);
  struct Row { std::string path; uint32_t attributes; } rows[] = {
      {Path("plain"), 0x20},
      {Path(".hidden"), 0x22},
      {Path("ro"), 0x21},
      {Path("dir"), 0x10},
      {Path("dir") + "/", 0x10},
      {Path(".hdir"), 0x12},
      {Path("dirlink"), 0x410},
      {Path("dirlink") + "/", 0x410},  // the link itself, even with a separator
      {Path("filelink"), 0x420},
      {Path("dangling"), 0x420},
      {Path("fifo"), 0x60},  // never taken for a plain file
      {Path("plain") + "/", platform::kNoAttributes},
      {Path("missing"), platform::kNoAttributes},
      {Path("p*"), platform::kNoAttributes},
      {"", platform::kNoAttributes},
      {"/", 0x10},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    EXPECT_EQ(platform::FileAttributes(row.path), row.attributes);
  }
}

TEST_F(PosixPlatformTest, SearchIsCaseSensitiveAndListsDotEntries) {
  WriteFile("a.TXT");
  WriteFile("b.txt");
  platform::FoundEntry entry;
  uint32_t error = 0;
  std::vector<std::string> names;
  platform::SearchHandle search = platform::FindFirst(Path("*.txt"), entry, error);
  ASSERT_NE(search, platform::kNoSearch);
  do {
    names.push_back(entry.name);
  } while (platform::FindNext(search, entry, error));
  EXPECT_EQ(error, platform::kErrorNoMoreFiles);
  platform::FindClose(search);
  EXPECT_EQ(names, std::vector<std::string>{"b.txt"});

  search = platform::FindFirst(Path("b.txt"), entry, error);  // one name looked up directly
  ASSERT_NE(search, platform::kNoSearch);
  EXPECT_EQ(entry.name, "b.txt");
  EXPECT_FALSE(platform::FindNext(search, entry, error));
  platform::FindClose(search);

  EXPECT_EQ(platform::FindFirst(Path("none/*"), entry, error), platform::kNoSearch);
  EXPECT_EQ(error, platform::kErrorPathNotFound);
  EXPECT_EQ(platform::FindFirst(Path("*.none"), entry, error), platform::kNoSearch);
  EXPECT_EQ(error, platform::kErrorFileNotFound);
}

TEST_F(PosixPlatformTest, DeleteAndRemoveAsWindowsDoes) {
  WriteFile("ro");
  SetReadOnly("ro", true);
  EXPECT_EQ(platform::DeleteFile(Path("ro")), platform::kErrorAccessDenied);  // even for root
  EXPECT_TRUE(Exists("ro"));
  MakeDir("d");
  WriteFile("d/f");
  EXPECT_EQ(platform::DeleteFile(Path("d")), platform::kErrorAccessDenied);
  EXPECT_EQ(platform::RemoveDirectory(Path("d")), platform::kErrorDirNotEmpty);
  EXPECT_EQ(platform::RemoveDirectory(Path("d/f")), platform::kErrorDirectory);
  EXPECT_EQ(platform::DeleteFile(Path("missing")), platform::kErrorFileNotFound);
  EXPECT_EQ(platform::DeleteFile(Path("none/x")), platform::kErrorPathNotFound);

  fs::create_directory_symlink(Path("d"), Path("dirlink"));
  EXPECT_EQ(platform::DeleteFile(Path("dirlink")), platform::kErrorAccessDenied);
  EXPECT_EQ(platform::RemoveDirectory(Path("dirlink") + "/"), 0u);  // the link, not its target
  EXPECT_FALSE(Exists("dirlink"));
  EXPECT_TRUE(Exists("d/f"));
  fs::create_symlink(Path("d/f"), Path("filelink"));
  EXPECT_EQ(platform::RemoveDirectory(Path("filelink")), platform::kErrorDirectory);
  EXPECT_EQ(platform::DeleteFile(Path("filelink")), 0u);
  EXPECT_TRUE(Exists("d/f"));
}

TEST_F(PosixPlatformTest, MoveNeverReplaces) {
  WriteFile("a", "A");
  WriteFile("b", "B");
  EXPECT_EQ(platform::MoveFile(Path("a"), Path("b")), platform::kErrorAlreadyExists);
  EXPECT_EQ(platform::MoveFile(Path("a"), Path("a")), platform::kErrorAlreadyExists);
  EXPECT_EQ(ReadFile("a"), "A");
  EXPECT_EQ(ReadFile("b"), "B");
  EXPECT_EQ(platform::MoveFile(Path("a"), Path("c")), 0u);
  EXPECT_EQ(ReadFile("c"), "A");
  EXPECT_EQ(platform::MoveFile(Path("missing"), Path("x")), platform::kErrorFileNotFound);
}

TEST_F(PosixPlatformTest, CopyKeepsContentTimeAndReadOnlyBit) {
  std::string content(3 << 20, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 131 + i / 7);
  WriteFile("src", content);
  fs::last_write_time(Path("src"), fs::file_time_type::clock::now() - std::chrono::hours(1000));
  SetReadOnly("src", true);
  MakeDir("out");
  EXPECT_EQ(platform::CopyFile(Path("src"), Path("out/copy")), 0u);
  EXPECT_EQ(ReadFile("out/copy"), content);
  EXPECT_EQ(MTime("out/copy"), MTime("src"));
  EXPECT_EQ(platform::FileAttributes(Path("out/copy")) & platform::kAttrReadOnly, platform::kAttrReadOnly);
  // The read-only copy now refuses to be replaced, as on Windows.
  EXPECT_EQ(platform::CopyFile(Path("src"), Path("out/copy")), platform::kErrorAccessDenied);
  EXPECT_EQ(EntryCount("out"), 1u);
}

TEST_F(PosixPlatformTest, CopyRefusesHiddenTargetsAndItself) {
  WriteFile("src", "new");
  WriteFile(".hidden", "old");
  EXPECT_EQ(platform::CopyFile(Path("src"), Path(".hidden")), platform::kErrorAccessDenied);
  EXPECT_EQ(ReadFile(".hidden"), "old");
  EXPECT_NE(platform::CopyFile(Path("src"), Path("src")), 0u);
  EXPECT_EQ(ReadFile("src"), "new");
  fs::create_hard_link(Path("src"), Path("alias"));
  EXPECT_NE(platform::CopyFile(Path("src"), Path("alias")), 0u);
  EXPECT_EQ(ReadFile("src"), "new");
  WriteFile("plain", "old");
  EXPECT_EQ(platform::CopyFile(Path("src"), Path("plain")), 0u);
  EXPECT_EQ(ReadFile("plain"), "new");
  EXPECT_EQ(platform::CopyFile(Path("missing"), Path("x")), platform::kErrorFileNotFound);
  EXPECT_EQ(platform::CopyFile(Path("src"), Path("none/x")), platform::kErrorPathNotFound);
  EXPECT_EQ(EntryCount(""), 4u);  // src, .hidden, alias, plain: no temporary left
}

TEST_F(PosixPlatformTest, CopyLinkMakesTheSameLink) {
  fs::create_symlink("../elsewhere", Path("link"));
  EXPECT_EQ(platform::CopyLink(Path("link"), Path("copy")), 0u);
  EXPECT_EQ(fs::read_symlink(Path("copy")), fs::path("../elsewhere"));
}

// A second file system (tmpfs) makes moves cross devices.
TEST_F(PosixPlatformTest, MoveAcrossFileSystemsCopiesThenRemoves) {
  struct stat here, shm;
  if (stat(Root().c_str(), &here) != 0 || stat("/dev/shm", &shm) != 0 || here.st_dev == shm.st_dev) {
    GTEST_SKIP() << "no second file system at /dev/shm";
  }
  const std::string other = "/dev/shm/fileop-move-" + std::to_string(getpid());
  fs::create_directories(other);
  WriteFile("f", "payload");
  EXPECT_EQ(platform::MoveFile(Path("f"), other + "/f"), 0u);
  EXPECT_FALSE(Exists("f"));
  EXPECT_EQ(fs::file_size(other + "/f"), 7u);
  WriteFile("g", "mine");
  std::ofstream(other + "/g") << "theirs";
  EXPECT_EQ(platform::MoveFile(Path("g"), other + "/g"), platform::kErrorAlreadyExists);
  EXPECT_EQ(ReadFile("g"), "mine");
  MakeDir("dir");
  EXPECT_NE(platform::MoveFile(Path("dir"), other + "/dir"), 0u);
  EXPECT_TRUE(IsDir("dir"));
  fs::remove_all(other);
}

// Below a tree, no directory on the way to a name is ever entered through
// a link, and a link as the last name is acted on itself.
TEST_F(PosixPlatformTest, TreesNeverFollowALinkOnTheWay) {
  MakeDir("outside");
  WriteFile("outside/secret", "secret");
  MakeDir("tree/dir");
  WriteFile("tree/dir/own", "own");
  fs::create_directory_symlink(Path("outside"), Path("tree/link"));
  uint32_t error = 0;
  platform::TreeHandle tree = platform::OpenTree(Path("tree"), false, error);
  ASSERT_NE(tree, platform::kNoTree);
  MakeDir("copy");
  platform::TreeHandle copy = platform::OpenTree(Path("copy"), true, error);
  ASSERT_NE(copy, platform::kNoTree);

  struct Row { const char* what; uint32_t result, expected; } rows[] = {
      {"attributes through a link", platform::FileAttributes(tree, "link/secret"), platform::kNoAttributes},
      {"the link itself", platform::FileAttributes(tree, "link"), 0x410u},
      {"delete through a link", platform::DeleteFile(tree, "link/secret"), platform::kErrorPathNotFound},
      {"copy from through a link", platform::CopyFile(tree, "link/secret", copy, "x"), platform::kErrorPathNotFound},
      {"copy into through a link", platform::CopyFile(tree, "dir/own", tree, "link/own"), platform::kErrorPathNotFound},
      {"move through a link", platform::MoveFile(tree, "link/secret", copy, "y"), platform::kErrorPathNotFound},
      {"create through a link", platform::CreateDirectory(tree, "link/new"), platform::kErrorPathNotFound},
      {"a dot name", platform::FileAttributes(tree, "dir/../link"), platform::kNoAttributes},
      {"copy a link as a file", platform::CopyFile(tree, "link", copy, "z"), platform::kErrorAccessDenied},
      {"the link as a directory to remove", platform::RemoveDirectory(tree, "link"), 0u},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(row.result, row.expected);
  }
  EXPECT_EQ(ReadFile("outside/secret"), "secret");
  EXPECT_FALSE(Exists("outside/own"));
  EXPECT_FALSE(Exists("outside/new"));
  EXPECT_FALSE(Exists("tree/link"));
  EXPECT_FALSE(Exists("copy/x") || Exists("copy/y") || Exists("copy/z"));

  // A root that is a link opens only when the caller asks to follow it.
  fs::create_directory_symlink(Path("outside"), Path("rootlink"));
  EXPECT_EQ(platform::OpenTree(Path("rootlink"), false, error), platform::kNoTree);
  platform::TreeHandle followed = platform::OpenTree(Path("rootlink"), true, error);
  ASSERT_NE(followed, platform::kNoTree);
  EXPECT_EQ(platform::FileAttributes(followed, "secret"), 0x20u);
  platform::CloseTree(followed);
  platform::CloseTree(copy);
  platform::CloseTree(tree);
}

// Removed and made again, renamed: what a directory name means follows,
// though the tree keeps directories open between steps.
TEST_F(PosixPlatformTest, KeptDirectoriesFollowRemovalAndRenames) {
  MakeDir("t/d");
  WriteFile("t/d/f", "one");
  uint32_t error = 0;
  platform::TreeHandle tree = platform::OpenTree(Path("t"), false, error);
  ASSERT_NE(tree, platform::kNoTree);
  ASSERT_EQ(platform::DeleteFile(tree, "d/f"), 0u);
  ASSERT_EQ(platform::RemoveDirectory(tree, "d"), 0u);
  ASSERT_EQ(platform::CreateDirectory(tree, "d"), 0u);
  WriteFile("src", "two");
  platform::TreeHandle top = platform::OpenTree(Root(), false, error);
  EXPECT_EQ(platform::CopyFile(top, "src", tree, "d/g"), 0u);
  EXPECT_EQ(ReadFile("t/d/g"), "two");
  ASSERT_EQ(platform::MoveFile(tree, "d", tree, "e"), 0u);
  EXPECT_EQ(platform::FileAttributes(tree, "d/g"), platform::kNoAttributes);
  EXPECT_EQ(platform::CopyFile(top, "src", tree, "d/h"), platform::kErrorPathNotFound);
  EXPECT_EQ(platform::FileAttributes(tree, "e/g"), 0x20u);
  platform::CloseTree(top);
  platform::CloseTree(tree);
}

// However deep the tree, only a bounded number of its directories stays
// open, and every name in it is reached.
TEST_F(PosixPlatformTest, DeepChainsKeepFewDirectoriesOpen) {
  const int fd = open(Root().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  platform::posix::Resolver resolver(fd);
  std::string chain;
  for (int level = 0; level < 600; ++level) {
    const std::string name = "level" + std::to_string(level);
    const auto place = resolver.Locate(chain + name);
    ASSERT_EQ(place.error, 0u) << level;
    ASSERT_EQ(mkdirat(place.dir, name.c_str(), 0755), 0) << level;
    chain += name + "/";
    EXPECT_LE(resolver.KeptOpen(), 16u + 64u) << level;
  }
  // Deepest first, as a delete goes: every level is reached.
  for (int level = 599; level >= 0; --level) {
    chain.resize(chain.size() - ("level" + std::to_string(level) + "/").size());
    const auto place = resolver.Locate(chain + "level" + std::to_string(level));
    ASSERT_EQ(place.error, 0u) << level;
    ASSERT_EQ(unlinkat(place.dir, ("level" + std::to_string(level)).c_str(), AT_REMOVEDIR), 0) << level;
    resolver.Forget(chain + "level" + std::to_string(level));
    EXPECT_LE(resolver.KeptOpen(), 16u + 64u) << level;
  }
}

// Copies close their files in batches: however many files are copied, only
// a bounded number of descriptors stays open, and every copy is complete
// as soon as the call returns.
TEST_F(PosixPlatformTest, ManyCopiesKeepFewDescriptorsOpen) {
  auto openDescriptors = [] {
    size_t n = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator("/proc/self/fd")) ++n;
    return n;
  };
  MakeDir("out");
  const size_t before = openDescriptors();
  for (int i = 0; i < 500; ++i) {
    const std::string name = "f" + std::to_string(i);
    WriteFile(name, name);
    ASSERT_EQ(platform::CopyFile(Path(name), Path("out/" + name)), 0u);
    ASSERT_EQ(ReadFile("out/" + name), name);
  }
  EXPECT_LE(openDescriptors(), before + 64 + 4);
}

// Whatever the order of the names and however they are spelled (empty
// names, a name that begins with a kept directory's name, the directory
// itself), each reaches its own entry, and "." and ".." are refused.
TEST_F(PosixPlatformTest, ResolverReachesEveryNameHoweverSpelled) {
  for (const char* file : {"a/b/x", "a/bc/x", "a/b/c/x", "a/bb", "d/x"}) Put(file, file);
  const int fd = open(Root().c_str(), O_PATH | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  platform::posix::Resolver resolver(fd);
  struct Row { const char* name; const char* reaches; uint32_t error; } rows[] = {
      {"a/b/c/x", "a/b/c/x", 0},   {"a/bc/x", "a/bc/x", 0},     {"a/b/x", "a/b/x", 0},
      {"a//b///c//x", "a/b/c/x", 0}, {"/a/b/x/", "a/b/x", 0},   {"a/b/c", "a/b/c", 0},
      {"a/b", "a/b", 0},           {"a/bb", "a/bb", 0},         {"a/b/c/x", "a/b/c/x", 0},
      {"d/x", "d/x", 0},           {"a/b//c/x", "a/b/c/x", 0},  {"a", "a", 0},
      {"a/./b", nullptr, platform::kErrorInvalidName},          {"a/b/../b", nullptr, platform::kErrorInvalidName},
      {"a/b/c/..", nullptr, platform::kErrorInvalidName},       {"missing/x", nullptr, platform::kErrorPathNotFound},
      {"a/b/x/y", nullptr, platform::kErrorPathNotFound},       {"a/b/c/x", "a/b/c/x", 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const platform::posix::Resolver::Place place = resolver.Locate(row.name);
    ASSERT_EQ(place.error, row.error);
    if (row.error != 0) continue;
    struct stat reached;
    ASSERT_EQ(fstatat(place.dir, std::string(place.name).c_str(), &reached, AT_SYMLINK_NOFOLLOW), 0);
    EXPECT_TRUE(SameFile(reached, Status(row.reaches)));
  }
  const platform::posix::Resolver::Place root = resolver.Locate("//");
  EXPECT_EQ(root.dir, resolver.Root());
  EXPECT_TRUE(root.name.empty());
}

// A directory renamed away and made anew is reached anew once forgotten,
// whichever way the forgotten name is spelled.
TEST_F(PosixPlatformTest, ResolverForgetsDirectoriesHoweverSpelled) {
  const int fd = open(Root().c_str(), O_PATH | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  platform::posix::Resolver resolver(fd);
  int round = 0;
  for (const char* spelling : {"a/b", "a//b/", "/a/b", "a/b/"}) {
    SCOPED_TRACE(spelling);
    Put("a/b/c/x", "old");
    ASSERT_EQ(resolver.Locate("a/b/c/x").error, 0u);
    fs::rename(Path("a/b"), Path("gone" + std::to_string(round++)));
    Put("a/b/c/x", "new");
    resolver.Forget(spelling);
    const platform::posix::Resolver::Place place = resolver.Locate("a/b/c/x");
    ASSERT_EQ(place.error, 0u);
    struct stat reached;
    ASSERT_EQ(fstatat(place.dir, "x", &reached, 0), 0);
    EXPECT_TRUE(SameFile(reached, Status("a/b/c/x")));
    fs::remove_all(Path("a/b"));
  }
}

// A chain 16,000 levels deep (a path of 112 KB) made shallowest first,
// listed, and removed deepest first, as the tree operations go: a bounded
// number of directories open, and a few opens per level in all.
TEST_F(PosixPlatformTest, ResolverIsLinearInDepth) {
  constexpr size_t kLevels = 16000;
  const std::string name = "level_";
  const bool inMemory = MemoryDir("mem");
  const int fd = open(Path("mem").c_str(), O_PATH | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  platform::posix::Resolver resolver(fd);
  const auto start = std::chrono::steady_clock::now();
  std::string path, dir;
  size_t mostKept = 0;
  for (size_t level = 0; level < kLevels; ++level) {
    dir.assign(path).append(name);
    const auto place = resolver.Locate(dir);
    ASSERT_EQ(place.error, 0u) << level;
    ASSERT_EQ(mkdirat(place.dir, name.c_str(), 0755), 0) << level;
    path.assign(dir).push_back('/');
    mostKept = std::max(mostKept, resolver.KeptOpen());
  }
  path.clear();
  for (size_t level = 0; level < kLevels; ++level) {
    dir.assign(path).append(name);
    uint32_t error = 0;
    const int listed = resolver.OpenDirectory(dir, error);
    ASSERT_GE(listed, 0) << level;
    close(listed);
    path.assign(dir).push_back('/');
  }
  for (size_t level = kLevels; level-- > 0;) {
    path.resize(path.size() - name.size() - 1);
    dir.assign(path).append(name);
    const auto place = resolver.Locate(dir);
    ASSERT_EQ(place.error, 0u) << level;
    ASSERT_EQ(unlinkat(place.dir, name.c_str(), AT_REMOVEDIR), 0) << level;
    resolver.Forget(dir);
    mostKept = std::max(mostKept, resolver.KeptOpen());
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LE(mostKept, 80u);
  // Down twice and back up once: one open per level each way down, and a
  // few per level up.
  EXPECT_LE(resolver.Opened(), 6 * kLevels);
  if (inMemory) {
    EXPECT_LT(seconds, 20.0);
  }
  EXPECT_FALSE(Exists("mem/" + name));
}

// The names of a chain of `levels` directories named `name`.
std::string ChainPath(const std::string& name, size_t levels) {
  std::string path;
  for (size_t level = 0; level < levels; ++level) path.append(name).push_back('/');
  return path;
}

// Removes a chain below `tree` deepest first through the tree services.
void RemoveChain(platform::TreeHandle tree, const std::string& name, size_t levels) {
  std::string path = ChainPath(name, levels);
  for (size_t level = levels; level-- > 0;) {
    path.resize(path.size() - 1);
    ASSERT_EQ(platform::RemoveDirectory(tree, path), 0u) << level;
    path.resize(path.size() - name.size());
  }
}

TEST_F(PosixPlatformTest, CreateDirectoryPathMakesWhatIsMissing) {
  Put("file");
  MakeDir("real");
  fs::create_directory_symlink(Path("real"), Path("link"));
  fs::create_symlink(Path("nowhere"), Path("dangling"));
  struct Row { std::string path; uint32_t code; const char* made; } rows[] = {
      {Path("new/deep/dir"), 0, "new/deep/dir"},
      {Path("new/deep/dir"), 0, "new/deep/dir"},           // there already
      {Path("double//sep///dir//"), 0, "double/sep/dir"},
      {Path("link/through/link"), 0, "real/through/link"},  // links on the way are followed
      {Path("up/../beside"), 0, "beside"},
      {Path("real/./dot"), 0, "real/dot"},
      {Path("file"), platform::kErrorAlreadyExists, nullptr},
      {Path("file/sub"), platform::kErrorPathNotFound, nullptr},
      {Path("dangling"), platform::kErrorAlreadyExists, nullptr},
      {Path("dangling/sub"), platform::kErrorPathNotFound, nullptr},
      {Path(std::string(300, 'n') + "/x"), platform::kErrorFilenameTooLong, nullptr},
      {"", platform::kErrorPathNotFound, nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    EXPECT_EQ(platform::CreateDirectoryPath(row.path), row.code);
    if (row.made) {
      EXPECT_TRUE(IsDir(row.made));
    }
  }
  EXPECT_TRUE(IsDir("up"));
  EXPECT_FALSE(Exists("nowhere"));
  // A relative path starts at the current directory.
  const fs::path before = fs::current_path();
  fs::current_path(Root());
  EXPECT_EQ(platform::CreateDirectoryPath("rel/a"), 0u);
  fs::current_path(before);
  EXPECT_TRUE(IsDir("rel/a"));
}

// 16,000 levels, a path of 112 KB: made in a time linear in the path's
// length with memory a small multiple of it, again when two make it at
// once, and again when it exists.
TEST_F(PosixPlatformTest, CreateDirectoryPathIsLinearInDepth) {
  constexpr size_t kLevels = 16000;
  const std::string name = "level_";
  const bool inMemory = MemoryDir("mem");
  const std::string path = Path("mem/") + ChainPath(name, kLevels);
  ASSERT_GT(path.size(), 100000u);

  // In a child of its own, so that its peak memory is its own.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const auto start = std::chrono::steady_clock::now();
    const uint32_t code = platform::CreateDirectoryPath(path);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::ifstream status("/proc/self/status");
    long rss = 0, peak = 0;
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("VmRSS:", 0) == 0) rss = std::stol(line.substr(6));
      if (line.rfind("VmHWM:", 0) == 0) peak = std::stol(line.substr(6));
    }
    // Exit 0 only when made in time, with at most 4 MiB above what the
    // process holds now (the path is 112 KB).
    _exit(code != 0 ? 1 : inMemory && seconds > 10 ? 2 : peak - rss > 4096 ? 3 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: failed, 2: too slow, 3: too much memory";
  EXPECT_EQ(platform::FileAttributes(path), 0x10u);
  EXPECT_EQ(platform::CreateDirectoryPath(path + "/../" + name), 0u);  // there already

  // Two at once, each finding the other's directories: no failure.
  TreeOwner tree(Open("mem"));
  RemoveChain(tree.get(), name, kLevels);
  uint32_t codes[2] = {1, 1};
  std::thread other([&] { codes[1] = platform::CreateDirectoryPath(path); });
  codes[0] = platform::CreateDirectoryPath(path);
  other.join();
  EXPECT_EQ(codes[0], 0u);
  EXPECT_EQ(codes[1], 0u);
  EXPECT_EQ(platform::FileAttributes(path), 0x10u);
  RemoveChain(tree.get(), name, kLevels);
}

// What a path names decides, not how it is spelled: links and ".." are
// resolved, and a path that does not exist yet is judged by its longest
// existing part.
TEST_F(PosixPlatformTest, LiesWithinJudgesByIdentity) {
  MakeDir("x/sub/deeper");
  MakeDir("x2");
  MakeDir("outside");
  Put("x/file");
  fs::create_directory_symlink(Path("x"), Path("xl"));
  fs::create_directory_symlink(Path("outside"), Path("x/away"));
  TreeOwner tree(Open("x"));
  struct Row { std::string path; bool within; } rows[] = {
      {Path("x"), true},
      {Path("x/"), true},
      {Path("x/sub/deeper"), true},
      {Path("x/sub/missing/more"), true},
      {Path("xl/sub"), true},                   // through a link to the tree
      {Path("x2/../x/sub"), true},
      {Path("x/file/new"), true},               // judged by x
      {Path("x/sub/../.."), false},
      {Path("x2"), false},                      // a name that only begins like it
      {Path("x/away/new"), false},              // a link inside leads out
      {Path("missing/x/sub"), false},
      {Path(""), false},
      {"/", false},
      {"", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    EXPECT_EQ(platform::LiesWithin(row.path, tree.get()), row.within);
  }
  // A path far longer than one call takes, below the tree.
  const std::string chain = ChainPath("level_", 2000);
  ASSERT_EQ(platform::CreateDirectoryPath(Path("x/") + chain), 0u);
  EXPECT_TRUE(platform::LiesWithin(Path("xl/") + chain + "missing", tree.get()));
  EXPECT_FALSE(platform::LiesWithin(Path("x2/") + chain, tree.get()));
  RemoveChain(tree.get(), "level_", 2000);
}

TEST_F(PosixPlatformTest, NamespaceRootByTheOpenRoot) {
  uint32_t error = 0;
  TreeOwner top(platform::OpenTree("/", false, error));
  ASSERT_NE(top.get(), platform::kNoTree);
  EXPECT_TRUE(platform::IsNamespaceRoot(top.get()));
  TreeOwner here(Open(""));
  EXPECT_FALSE(platform::IsNamespaceRoot(here.get()));
  EXPECT_FALSE(platform::IsNamespaceRoot(platform::kNoTree));
  std::string why;
  if (!BindMount("/", "rootbind", why)) GTEST_SKIP() << "cannot bind-mount / here: " << why;
  TreeOwner bound(Open("rootbind"));
  EXPECT_TRUE(platform::IsNamespaceRoot(bound.get()));
}

// Another file system, or a directory bound again, inside a tree is a
// mount point; a link to one is not, nor is anything on the root's mount.
TEST_F(PosixPlatformTest, MountPointsInsideATree) {
  MakeDir("t/plain/sub");
  MakeDir("elsewhere/inner");
  std::string why;
  if (!MountTmpfs("t/tm", why)) GTEST_SKIP() << "cannot mount a tmpfs here: " << why;
  MakeDir("t/tm/inner");
  if (!BindMount(Path("elsewhere"), "t/bm", why)) GTEST_SKIP() << "cannot bind-mount here: " << why;
  fs::create_directory_symlink(Path("t/tm"), Path("t/link"));
  TreeOwner tree(Open("t"));
  struct Row { const char* name; bool mountPoint; } rows[] = {
      {"tm", true}, {"bm", true}, {"tm/inner", true}, {"bm/inner", true},
      {"plain", false}, {"plain/sub", false}, {"link", false}, {"", false}, {"missing", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(platform::IsMountPoint(tree.get(), row.name), row.mountPoint);
  }
  // A root that is itself a mount point: what lies on it is on its mount.
  TreeOwner mounted(Open("t/tm"));
  EXPECT_FALSE(platform::IsMountPoint(mounted.get(), "inner"));
}

TEST_F(PosixPlatformTest, PartialNamesAreUnpredictableAndRecognised) {
  std::set<std::string> names;
  for (int i = 0; i < 2000; ++i) {
    const std::string name = platform::posix::NewPartialName();
    EXPECT_TRUE(platform::posix::IsPartialName(name)) << name;
    EXPECT_EQ(name[0], '.');
    names.insert(name);
  }
  EXPECT_EQ(names.size(), 2000u);
  std::string name = *names.begin();
  struct Row { std::string name; bool partial; } rows[] = {
      {name, true},
      {".fileop-1-0.tmp", false},
      {name.substr(1), false},
      {name + "x", false},
      {std::string(name).replace(10, 1, "A"), false},
      {std::string(name).replace(10, 1, "/"), false},
      {"", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(platform::posix::IsPartialName(row.name), row.partial);
  }
}

// A partial file goes only when it is a plain file that no live process
// holds: not a live writer's, not a link (nor what it leads to), not a
// directory, a pipe, or a name of another form.
TEST_F(PosixPlatformTest, OnlyAbandonedPartialFilesAreRemoved) {
  using platform::posix::NewPartialName;
  MakeDir("t/d");
  Put("victim", "victim");
  const std::string abandoned = NewPartialName(), live = NewPartialName(), dead = NewPartialName(),
                    link = NewPartialName(), dir = NewPartialName(), fifo = NewPartialName();
  Put("t/d/" + abandoned, "left by a killed run");
  Put("t/d/" + live, "being written");
  Put("t/d/.fileop-1-0.tmp", "another form");
  Put("t/d/plain", "plain");
  fs::create_symlink(Path("victim"), Path("t/d/" + link));
  MakeDir("t/d/" + dir);
  ASSERT_EQ(mkfifo(Path("t/d/" + fifo).c_str(), 0644), 0);
  // A live writer holds its file; a writer that died held its file too.
  const int writer = open(Path("t/d/" + live).c_str(), O_WRONLY);
  ASSERT_GE(writer, 0);
  ASSERT_TRUE(platform::posix::HoldAsWritten(writer));
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const int fd = open(Path("t/d/" + dead).c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    _exit(fd >= 0 && platform::posix::HoldAsWritten(fd) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_EQ(status, 0);

  TreeOwner tree(Open("t"));
  const auto start = std::chrono::steady_clock::now();
  platform::RemoveAbandonedPartialFiles(tree.get(), "d");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));  // the pipe was never opened
  struct Row { std::string name; bool stays; } rows[] = {
      {abandoned, false}, {dead, false}, {live, true}, {link, true}, {dir, true}, {fifo, true},
      {".fileop-1-0.tmp", true}, {"plain", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(Exists("t/d/" + row.name), row.stays);
  }
  EXPECT_EQ(ReadFile("victim"), "victim");
  close(writer);
  platform::RemoveAbandonedPartialFiles(tree.get(), "d");  // its writer is gone now
  EXPECT_FALSE(Exists("t/d/" + live));
  platform::RemoveAbandonedPartialFiles(tree.get(), "missing");  // passed over
  platform::RemoveAbandonedPartialFiles(tree.get(), "d/" + link);
  EXPECT_EQ(ReadFile("victim"), "victim");
}

// Names that look like partial files, planted in a copy's target, never
// make a copy fail nor lead it anywhere; a copy to a new name makes no
// partial name at all.
TEST_F(PosixPlatformTest, CopiesSucceedBesidePlantedPartialNames) {
  using platform::posix::IsPartialName;
  using platform::posix::NewPartialName;
  Put("src/a", "new a");
  Put("src/b", "new b");
  Put("victim", "victim");
  MakeDir("dst");
  for (int pid : {1, getpid()}) {
    for (int n = 0; n < 4; ++n) {
      fs::create_symlink(Path("victim"), Path("dst/.fileop-" + std::to_string(pid) + "-" + std::to_string(n) + ".tmp"));
    }
  }
  fs::create_symlink(Path("victim"), Path("dst/" + NewPartialName()));
  MakeDir("dst/" + NewPartialName());
  Put("dst/a", "old a");
  Put("dst/b", "old b");
  const size_t planted = EntryCount("dst");
  TreeOwner from(Open("src"));
  TreeOwner to(Open("dst"));
  for (int round = 0; round < 20; ++round) {
    ASSERT_EQ(platform::CopyFile(from.get(), "a", to.get(), "a"), 0u) << round;  // replacing
    ASSERT_EQ(platform::CopyFile(Path("src/b"), Path("dst/b")), 0u) << round;
  }
  EXPECT_EQ(ReadFile("dst/a"), "new a");
  EXPECT_EQ(ReadFile("dst/b"), "new b");
  EXPECT_EQ(ReadFile("victim"), "victim");
  EXPECT_EQ(EntryCount("dst"), planted);
  ASSERT_EQ(platform::CopyFile(from.get(), "a", to.get(), "fresh"), 0u);
  EXPECT_EQ(EntryCount("dst"), planted + 1);
  for (const auto& entry : fs::directory_iterator(Path("dst"))) {
    if (IsPartialName(entry.path().filename().string())) {
      EXPECT_TRUE(entry.is_symlink() || entry.is_directory());
    }
  }
}

// A move that finds its name taken by a file of equal content finishes
// what an earlier run began: the source goes. Nothing else counts as
// equal, and a rename by path never does this.
TEST_F(PosixPlatformTest, MoveFinishesWhatAnEarlierRunCopied) {
  std::string big(300000, 'b');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 23);
  std::string bigOther = big;
  bigOther.back() = '#';
  MakeDir("dst");
  TreeOwner from(Open(""));
  TreeOwner to(Open("dst"));
  struct Row {
    const char* what;
    std::function<void()> setUp;
    uint32_t code;
    bool sourceStays;
  } rows[] = {
      {"equal", [&] { Put("s", "same"); Put("dst/s", "same"); }, 0, false},
      {"equal and large", [&] { Put("s", big); Put("dst/s", big); }, 0, false},
      {"empty", [&] { Put("s", ""); Put("dst/s", ""); }, 0, false},
      {"read-only source", [&] { Put("s", "same"); SetReadOnly("s", true); Put("dst/s", "same"); }, 0, false},
      {"last byte differs", [&] { Put("s", big); Put("dst/s", bigOther); }, platform::kErrorAlreadyExists, true},
      {"size differs", [&] { Put("s", "same"); Put("dst/s", "same!"); }, platform::kErrorAlreadyExists, true},
      {"a link to an equal file",
       [&] { Put("s", "same"); Put("eq", "same"); fs::create_symlink(Path("eq"), Path("dst/s")); },
       platform::kErrorAlreadyExists, true},
      {"the source is a link",
       [&] { Put("eq", "same"); fs::create_symlink(Path("eq"), Path("s")); Put("dst/s", "same"); },
       platform::kErrorAlreadyExists, true},
      {"a directory", [&] { Put("s", "same"); MakeDir("dst/s"); }, platform::kErrorAlreadyExists, true},
      {"the source under a second name",
       [&] { Put("s", "same"); fs::create_hard_link(Path("s"), Path("dst/s")); }, platform::kErrorAlreadyExists, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    row.setUp();
    const std::string target = fs::is_symlink(Path("dst/s")) ? "" : ReadFile("dst/s");
    EXPECT_EQ(platform::MoveFile(from.get(), "s", to.get(), "s"), row.code);
    EXPECT_EQ(Exists("s"), row.sourceStays);
    EXPECT_TRUE(Exists("dst/s"));
    if (!IsDir("dst/s") && !fs::is_symlink(Path("dst/s"))) {
      EXPECT_EQ(ReadFile("dst/s"), target);
    }
    fs::remove_all(Path("dst/s"));
    fs::remove(Path("s"));
    fs::remove(Path("eq"));
  }
  // By path (a rename) an equal target still refuses.
  Put("s", "same");
  Put("dst/s", "same");
  EXPECT_EQ(platform::MoveFile(Path("s"), Path("dst/s")), platform::kErrorAlreadyExists);
  EXPECT_TRUE(Exists("s"));
}

// Across file systems (a tmpfs of the test's own) a move leaves the entry
// as it was: owner, group, mode with its set-id bits, both times; links,
// pipes and device nodes too. A copy belongs to the caller, without
// set-id bits. As root: others' files.
TEST_F(PosixPlatformTest, MoveAcrossFileSystemsKeepsOwnerModeAndTimes) {
  if (geteuid() != 0) GTEST_SKIP() << "giving files to another user needs root";
  std::string why;
  if (!MountTmpfs("other", why)) GTEST_SKIP() << "cannot mount a tmpfs here: " << why;
  constexpr uid_t kUser = 65534;
  constexpr gid_t kGroup = 65533;
  const struct timespec times[2] = {{1000000000, 123456789}, {1200000000, 987654321}};
  MakeDir("src");
  Put("src/setid", "#!/bin/sh\n");
  Put("src/plain", "plain");
  fs::create_symlink("setid", Path("src/link"));
  ASSERT_EQ(mkfifo(Path("src/fifo").c_str(), 0640), 0);
  ASSERT_EQ(mknod(Path("src/null").c_str(), S_IFCHR | 0620, makedev(1, 3)), 0);
  struct Row { const char* name; mode_t mode; } rows[] = {
      {"setid", 06755}, {"plain", 0604}, {"link", 0}, {"fifo", 02640}, {"null", 0620},
  };
  for (const Row& row : rows) {
    const std::string path = Path(std::string("src/") + row.name);
    ASSERT_EQ(lchown(path.c_str(), kUser, kGroup), 0);
    if (row.mode) {
      ASSERT_EQ(chmod(path.c_str(), row.mode), 0);  // after the owner, which clears set-id bits
    }
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
  }
  ASSERT_EQ(platform::CopyFile(Path("src/setid"), Path("copied")), 0u);
  const struct stat copied = Status("copied");
  EXPECT_EQ(copied.st_uid, 0u);
  EXPECT_EQ(copied.st_mode & 07000, 0u);

  TreeOwner from(Open("src"));
  TreeOwner to(Open("other"));
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const struct stat before = Status(std::string("src/") + row.name);
    ASSERT_EQ(platform::MoveFile(from.get(), row.name, to.get(), row.name), 0u);
    EXPECT_FALSE(Exists(std::string("src/") + row.name));
    const struct stat after = Status(std::string("other/") + row.name);
    EXPECT_NE(after.st_dev, before.st_dev);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_uid, kUser);
    EXPECT_EQ(after.st_gid, kGroup);
    EXPECT_EQ(after.st_rdev, before.st_rdev);
    EXPECT_EQ(after.st_mtim.tv_sec, times[1].tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, times[1].tv_nsec);
    EXPECT_EQ(after.st_atim.tv_sec, before.st_atim.tv_sec);  // as it was before the move read it
    EXPECT_EQ(after.st_atim.tv_nsec, before.st_atim.tv_nsec);
  }
  EXPECT_EQ(ReadFile("other/plain"), "plain");
  EXPECT_EQ(fs::read_symlink(Path("other/link")), fs::path("setid"));
  EXPECT_EQ(EntryCount("other"), std::size(rows));  // no partial name left
}

// Where the process may not give the file away, the moved file is the
// mover's, and its set-id bits go, as they would grant the mover's rights.
TEST_F(PosixPlatformTest, MoveAcrossFileSystemsDropsSetIdBitsWithoutTheOwner) {
  if (geteuid() != 0) GTEST_SKIP() << "a file of another user to move needs root to make";
  std::string why;
  if (!MountTmpfs("other", why)) GTEST_SKIP() << "cannot mount a tmpfs here: " << why;
  constexpr uid_t kMover = 65534;
  MakeDir("src");
  Put("src/setid", "x");
  ASSERT_EQ(chmod(Path("src/setid").c_str(), 06755), 0);  // root's
  for (const char* dir : {"", "src", "other"}) ASSERT_EQ(chown(Path(dir).c_str(), kMover, kMover), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(kMover) != 0 || setuid(kMover) != 0) _exit(2);
    _exit(platform::MoveFile(Path("src/setid"), Path("other/setid")) == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);
  const struct stat after = Status("other/setid");
  EXPECT_EQ(after.st_uid, kMover);
  EXPECT_EQ(after.st_mode & 07777, 0755u);
  EXPECT_FALSE(Exists("src/setid"));
}

}  // namespace
