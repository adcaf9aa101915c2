// The POSIX platform layer gives Linux the Windows behaviour the program
// relies on; these tests pin that behaviour down.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "platform/platform.h"
#include "platform/posix/errors_posix.h"
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
};

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

}  // namespace
