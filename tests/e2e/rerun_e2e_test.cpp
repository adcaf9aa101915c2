// A rerun finishes what a killed run began (Linux). A move to another file
// system and a copy over existing files are killed at many points, for
// real: mid-copy once the run's partial file exists and has grown (so that
// no point depends on how fast the file system is), or between files; then
// the same command runs again, and must leave every file exactly once and
// no partial file anywhere. Names planted to look like partial files never
// stop a copy, and a move to another file system leaves each file as it
// was: owner, group, mode with its set-id bits, times.
//
// The other file system is a tmpfs the test mounts itself, which needs
// root: the tests skip, saying why, where mounting is refused.
//
// Some of these depend on the tree operations calling the clean-up of
// partial files for each target directory that existed before the run, and
// on a single-file move going through the tree form of the move: the
// comments of those tests say so.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <thread>

#include "e2e/fixture.h"

extern char** environ;

namespace {

constexpr size_t kBigSize = size_t{32} << 20;
constexpr size_t kBigMark = size_t{1} << 20;  // a file this large being written is a big one

// The program's partial files: of the present form, or of the one before.
bool IsPartialName(const std::string& name) {
  static const std::regex form(R"(\.fileop-([0-9a-f]{32}\.part|[0-9]+-[0-9]+\.tmp))");
  return std::regex_match(name, form);
}

// Byte `at` of big file `n` in `version`: a file cut short, mixed up with
// another or left in its old version shows.
char BigByte(int n, size_t at, int version) {
  return static_cast<char>((at * 131 + at / 4093 + static_cast<size_t>(n) * 7 + static_cast<size_t>(version) * 29) & 0xff);
}

// The tree a run works on: three big files at three depths, small files
// beside them, and an empty directory.
struct Manifest {
  std::map<std::string, int> big;            // relative name -> n
  std::map<std::string, std::string> small;  // relative name -> content (less the version)
  std::set<std::string> directories;
};

const Manifest& TheTree() {
  static const Manifest tree = [] {
    Manifest m;
    m.big = {{"big0", 0}, {"sub/big1", 1}, {"sub/deeper/big2", 2}};
    for (int i = 0; i < 10; ++i) {
      m.small["s" + std::to_string(i)] = "top " + std::to_string(i);
      m.small["sub/t" + std::to_string(i)] = "sub " + std::to_string(i);
      m.small["sub/deeper/u" + std::to_string(i)] = "deeper " + std::to_string(i);
    }
    for (int i = 0; i < 20; ++i) m.small["wide/v" + std::to_string(i)] = "wide " + std::to_string(i);
    m.directories = {"sub", "sub/deeper", "wide", "empty"};
    return m;
  }();
  return tree;
}

void WriteBig(const fs::path& file, int n, int version) {
  std::ofstream out(file, std::ios::binary);
  std::string block(kBigMark, '\0');
  for (size_t at = 0; at < kBigSize; at += block.size()) {
    for (size_t i = 0; i < block.size(); ++i) block[i] = BigByte(n, at + i, version);
    out.write(block.data(), static_cast<std::streamsize>(block.size()));
  }
}

bool HoldsBig(const fs::path& file, int n, int version) {
  std::ifstream in(file, std::ios::binary);
  std::string block(kBigMark, '\0');
  size_t at = 0;
  while (in.read(block.data(), static_cast<std::streamsize>(block.size())) || in.gcount() > 0) {
    const size_t got = static_cast<size_t>(in.gcount());
    for (size_t i = 0; i < got; ++i) {
      if (block[i] != BigByte(n, at + i, version)) return false;
    }
    at += got;
  }
  return at == kBigSize;
}

void MakeTree(const fs::path& root, int version) {
  const Manifest& tree = TheTree();
  for (const std::string& dir : tree.directories) fs::create_directories(root / dir);
  for (const auto& [name, n] : tree.big) WriteBig(root / name, n, version);
  for (const auto& [name, content] : tree.small) {
    std::ofstream(root / name, std::ios::binary) << content << " v" << version;
  }
}

// What is wrong with the tree at `root` (empty when it holds exactly the
// manifest in `version`): missing or wrong files, and anything more, a
// partial file above all.
std::vector<std::string> TreeProblems(const fs::path& root, int version) {
  const Manifest& tree = TheTree();
  std::vector<std::string> problems;
  std::set<std::string> expected(tree.directories);
  for (const auto& [name, n] : tree.big) {
    expected.insert(name);
    if (!HoldsBig(root / name, n, version)) problems.push_back("big file not whole: " + name);
  }
  for (const auto& [name, content] : tree.small) {
    expected.insert(name);
    std::ifstream in(root / name, std::ios::binary);
    std::ostringstream held;
    held << in.rdbuf();
    if (held.str() != content + " v" + std::to_string(version)) problems.push_back("small file wrong: " + name);
  }
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(root, error); it != fs::recursive_directory_iterator();
       it.increment(error)) {
    const std::string name = fs::relative(it->path(), root).string();
    if (IsPartialName(it->path().filename().string())) {
      problems.push_back("partial file left: " + name);
    } else if (!expected.count(name)) {
      problems.push_back("unexpected entry: " + name);
    }
  }
  return problems;
}

// Files a running program writes below `under` (a host path), seen through
// its descriptors: an unnamed file shows as "under/#123 (deleted)", a named
// one by its name. Only files that have passed kBigMark count.
class WrittenFiles {
 public:
  explicit WrittenFiles(const fs::path& under) : under_(under.string() + "/") {}

  // Looks once. True when, from the `nth` big file on, one is being written,
  // has grown since it was first seen, and holds `fraction` of its size.
  bool Reached(pid_t pid, size_t nth, double fraction) {
    bool reached = false;
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(fds, error)) {
      const std::string link = fs::read_symlink(entry.path(), error).string();
      if (error || link.compare(0, under_.size(), under_) != 0 || !WrittenTo(pid, entry.path().filename().string())) {
        continue;
      }
      struct stat st;
      if (stat(entry.path().c_str(), &st) != 0 || !S_ISREG(st.st_mode) || static_cast<size_t>(st.st_size) < kBigMark) {
        continue;
      }
      auto [seen, first] = firstSizes_.emplace(st.st_ino, st.st_size);
      if (first) order_.push_back(st.st_ino);
      const size_t place = static_cast<size_t>(std::find(order_.begin(), order_.end(), st.st_ino) - order_.begin()) + 1;
      if (place >= nth && st.st_size > seen->second && static_cast<double>(st.st_size) >= fraction * kBigSize) {
        reached = true;
      }
    }
    return reached;
  }

 private:
  static bool WrittenTo(pid_t pid, const std::string& fd) {
    std::ifstream info("/proc/" + std::to_string(pid) + "/fdinfo/" + fd);
    for (std::string line; std::getline(info, line);) {
      if (line.rfind("flags:", 0) == 0) return (std::stoul(line.substr(6), nullptr, 8) & O_ACCMODE) != O_RDONLY;
    }
    return false;
  }

  std::string under_;
  std::map<ino_t, off_t> firstSizes_;
  std::vector<ino_t> order_;
};

// The regular files below `root`, by inode.
std::set<ino_t> FilesBelow(const fs::path& root) {
  std::set<ino_t> files;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(root, error); it != fs::recursive_directory_iterator();
       it.increment(error)) {
    struct stat st;
    if (lstat(it->path().c_str(), &st) == 0 && S_ISREG(st.st_mode)) files.insert(st.st_ino);
  }
  return files;
}

// How many regular files below `root` are not among `before`: made, or
// replaced, since.
size_t NewFilesBelow(const fs::path& root, const std::set<ino_t>& before) {
  size_t made = 0;
  for (const ino_t file : FilesBelow(root)) made += !before.count(file);
  return made;
}

// Where a run is killed: once the nth big file being written has grown to
// `fraction` of its size, or (nth 0) once `files` files were made or
// replaced in the target.
struct KillPoint {
  size_t nth;
  double fraction;
  size_t files;
};

const std::vector<KillPoint>& KillPoints() {
  static const std::vector<KillPoint> points = {
      {1, 0.05, 0}, {1, 0.5, 0}, {1, 0.95, 0}, {2, 0.1, 0}, {2, 0.6, 0}, {2, 0.9, 0},
      {3, 0.2, 0},  {3, 0.7, 0}, {0, 0, 3},    {0, 0, 20},  {0, 0, 45}, {0, 0, 60},
  };
  return points;
}

class Rerun : public E2ETest {
 protected:
  void SetUp() override {
    E2ETest::SetUp();
    if (program().IsWine()) GTEST_SKIP() << "killed runs, mounts and owners are made on Linux; tested natively";
  }
  void TearDown() override {
    for (const fs::path& at : mounts_) umount2(at.c_str(), MNT_DETACH);
    E2ETest::TearDown();
  }

  bool MountTmpfs(const std::string& relative, std::string& why) {
    Dir(relative);
    if (mount("tmpfs", Host(relative).c_str(), "tmpfs", 0, "size=1g") != 0) {
      why = std::strerror(errno);
      return false;
    }
    mounts_.push_back(Host(relative));
    return true;
  }

  // Runs `argv` (and `env` added), killing it (SIGKILL) as soon as `due`
  // says so, asked every 100 µs. True when it was killed before it ended;
  // `exitCode` is set when it ended by itself.
  bool RunKilledWhen(std::vector<std::string> argv, const std::function<bool(pid_t)>& due, const EnvList& env,
                     int& exitCode) const {
    std::vector<char*> pointers;
    for (std::string& arg : argv) pointers.push_back(arg.data());
    pointers.push_back(nullptr);
    std::vector<std::string> environment;
    for (char** e = environ; *e; ++e) environment.emplace_back(*e);
    for (const auto& [name, value] : env) environment.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (std::string& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, pointers[0], &actions, nullptr, pointers.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(spawned, 0) << pointers[0];
    if (spawned != 0) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    for (;;) {
      int status = 0;
      if (waitpid(pid, &status, WNOHANG) == pid) {
        exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return false;
      }
      if (due(pid) || std::chrono::steady_clock::now() > deadline) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        EXPECT_LT(std::chrono::steady_clock::now(), deadline) << "the run did not end";
        return true;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
  }

  // The program and its arguments, as RunKilledWhen takes them.
  static std::vector<std::string> Command(const std::vector<std::string>& args) {
    const char* program = std::getenv("FILEOP_PROGRAM");
    std::vector<std::string> argv = {program ? program : ""};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
  }

  // `verb src <> target` killed at each kill point, then run again to its
  // end. After each rerun the target holds the tree exactly once in
  // `version`, a move's source is gone, and no partial file is left.
  // `namedPartials` preloads a file system without unnamed files, so that
  // the partial files have names. Returns how many runs were killed while
  // a file was being written; `leftovers` counts the kills after which a
  // partial file was there to clean up.
  int KillAndRerun(const std::string& verb, const std::string& target, bool namedPartials, int& leftovers) {
    const EnvList env = namedPartials ? EnvList{{"LD_PRELOAD", std::getenv("FILEOP_NO_UNNAMED_FILES")}} : EnvList{};
    const fs::path landed = Host(target) / "src";
    int killedWriting = 0;
    leftovers = 0;
    for (const KillPoint& point : KillPoints()) {
      SCOPED_TRACE("kill point " + std::to_string(point.nth) + "/" + std::to_string(point.fraction) + "/" +
                   std::to_string(point.files));
      fs::remove_all(Host("src"));
      MakeTree(Host("src"), 1);
      fs::remove_all(landed);
      if (verb == "c") MakeTree(landed, 0);  // the copy replaces every file
      WrittenFiles written(Host(target));
      const std::set<ino_t> before = FilesBelow(landed);
      int exitCode = -1;
      const bool killed = RunKilledWhen(
          Command({verb, P("src"), "<>", P(target)}),
          [&](pid_t pid) {
            return point.nth == 0 ? NewFilesBelow(landed, before) >= point.files
                                  : written.Reached(pid, point.nth, point.fraction);
          },
          env, exitCode);
      if (!killed) {
        EXPECT_EQ(exitCode, 0);
      }
      killedWriting += killed && point.nth != 0;
      std::error_code error;
      for (auto it = fs::recursive_directory_iterator(Host(target), error); it != fs::recursive_directory_iterator();
           it.increment(error)) {
        if (IsPartialName(it->path().filename().string())) {
          ++leftovers;
          break;
        }
      }
      ExpectQuiet(program().Run({verb, P("src"), "<>", P(target)}, env));
      for (const std::string& problem : TreeProblems(landed, 1)) ADD_FAILURE() << problem;
      if (verb == "m") {
        EXPECT_FALSE(Exists("src")) << "the source is not gone";
      } else {
        EXPECT_TRUE(TreeProblems(Host("src"), 1).empty()) << "the copy changed its source";
      }
    }
    RecordProperty("killed_while_writing", killedWriting);
    RecordProperty("partial_files_left", leftovers);
    return killedWriting;
  }

  bool NamedPartialsAvailable(std::string& why) const {
    const char* preload = std::getenv("FILEOP_NO_UNNAMED_FILES");
    if (!preload || !*preload) {
      why = "FILEOP_NO_UNNAMED_FILES is not set (a build with sanitizers cannot preload it)";
      return false;
    }
    return true;
  }

 private:
  std::vector<fs::path> mounts_;
};

// Row 6 of the issue: a move to another file system, killed anywhere. A
// file whose copy was complete when the run died exists in both places;
// the rerun finds its equal copy and removes the source.
TEST_F(Rerun, MoveAcrossFileSystemsKilledAnywhereFinishes) {
  std::string why;
  if (!MountTmpfs("other", why)) GTEST_SKIP() << "cannot mount a tmpfs here: " << why;
  int leftovers = 0;
  EXPECT_GT(KillAndRerun("m", "other/dst", false, leftovers), 0) << "no run was killed while writing";
}

// The same where partial files have names (a file system without unnamed
// files). Waits on the tree operations: the rerun must clean up the
// partial files the killed run left in the target directories.
TEST_F(Rerun, MoveAcrossFileSystemsKilledAnywhereFinishesWithNamedPartialFiles) {
  std::string why;
  if (!NamedPartialsAvailable(why)) GTEST_SKIP() << why;
  if (!MountTmpfs("other", why)) GTEST_SKIP() << "cannot mount a tmpfs here: " << why;
  int leftovers = 0;
  EXPECT_GT(KillAndRerun("m", "other/dst", true, leftovers), 0) << "no run was killed while writing";
  EXPECT_GT(leftovers, 0) << "no killed run left a partial file: the rerun's clean-up was never tried";
}

// Row 7: a copy over existing files, killed anywhere, replaces every file
// on the rerun and leaves no partial file.
TEST_F(Rerun, CopyOverExistingFilesKilledAnywhereFinishes) {
  std::string why;
  if (!MountTmpfs("dst", why)) GTEST_SKIP() << "cannot mount a tmpfs here: " << why;
  int leftovers = 0;
  EXPECT_GT(KillAndRerun("c", "dst", false, leftovers), 0) << "no run was killed while writing";
}

// The same with named partial files. Waits on the tree operations calling
// the clean-up for the target directories.
TEST_F(Rerun, CopyOverExistingFilesKilledAnywhereFinishesWithNamedPartialFiles) {
  std::string why;
  if (!NamedPartialsAvailable(why)) GTEST_SKIP() << why;
  if (!MountTmpfs("dst", why)) GTEST_SKIP() << "cannot mount a tmpfs here: " << why;
  int leftovers = 0;
  EXPECT_GT(KillAndRerun("c", "dst", true, leftovers), 0) << "no run was killed while writing";
  EXPECT_GT(leftovers, 0) << "no killed run left a partial file: the rerun's clean-up was never tried";
}

// What a move killed between its copy and the removal of its source
// leaves: the file whole in both places. The rerun removes the source; a
// target that differs stays, and so does its source. The single file waits
// on the logic taking a single-file move through the tree form of the move.
TEST_F(Rerun, MoveFindsItsEqualCopyAndRemovesTheSource) {
  std::string why;
  if (!MountTmpfs("other", why)) GTEST_SKIP() << "cannot mount a tmpfs here: " << why;
  Write("tree/a.txt", "A");
  Write("tree/sub/b.txt", "B");
  Write("tree/sub/c.txt", "C");
  Write("other/dst/tree/sub/b.txt", "B");          // copied whole
  Write("other/dst/tree/sub/c.txt", "not C");      // someone else's
  const RunResult tree = Run({"m", P("tree"), "<>", P("other/dst")});
  ExpectReport(tree, "I/O error 145.");             // c.txt could not move: its directory stays
  EXPECT_EQ(Read("other/dst/tree/a.txt"), "A");
  EXPECT_EQ(Read("other/dst/tree/sub/b.txt"), "B");
  EXPECT_FALSE(Exists("tree/a.txt"));
  EXPECT_FALSE(Exists("tree/sub/b.txt"));
  EXPECT_EQ(Read("tree/sub/c.txt"), "C");
  EXPECT_EQ(Read("other/dst/tree/sub/c.txt"), "not C");

  Write("single/one.txt", "one");
  Write("other/dst/one.txt", "one");
  ExpectQuiet(Run({"m", P("single/one.txt"), "<>", P("other/dst")}));
  EXPECT_FALSE(Exists("single/one.txt")) << "the single-file move did not finish";
  EXPECT_EQ(Read("other/dst/one.txt"), "one");
  Write("single/two.txt", "two");
  Write("other/dst/two.txt", "TWO");
  ExpectQuiet(Run({"m", P("single/two.txt"), "<>", P("other/dst")}));
  EXPECT_EQ(Read("single/two.txt"), "two");
  EXPECT_EQ(Read("other/dst/two.txt"), "TWO");
}

// A partial file that a dead run held is removed by the next run over its
// directory; one that a live writer holds stays. Waits on the tree
// operations calling the clean-up for the target directories.
TEST_F(Rerun, DeadRunsPartialFileGoesLiveOnesStays) {
  Write("src/a.txt", "new");
  Write("dst/src/a.txt", "old");
  const std::string dead = Host("dst/src/.fileop-0123456789abcdef0123456789abcdef.part").string();
  const std::string live = Host("dst/src/.fileop-fedcba9876543210fedcba9876543210.part").string();
  // A writer as the program is one: the file made, held, written; then the
  // first writer is killed, the second goes on living.
  auto startWriter = [](const std::string& path) {
    int ready[2];
    EXPECT_EQ(pipe(ready), 0);
    const pid_t pid = fork();
    if (pid == 0) {
      const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
      struct flock lock {};
      lock.l_type = F_WRLCK;
      lock.l_whence = SEEK_SET;
      const bool held = fd >= 0 && fcntl(fd, F_OFD_SETLK, &lock) == 0 && write(fd, "partial", 7) == 7;
      const char answer = held ? 'y' : 'n';
      if (write(ready[1], &answer, 1) != 1) _exit(1);
      pause();
      _exit(0);
    }
    char answer = 0;
    EXPECT_EQ(read(ready[0], &answer, 1), 1);
    EXPECT_EQ(answer, 'y');
    close(ready[0]);
    close(ready[1]);
    return pid;
  };
  const pid_t killed = startWriter(dead);
  const pid_t living = startWriter(live);
  kill(killed, SIGKILL);
  waitpid(killed, nullptr, 0);
  ExpectQuiet(Run({"c", P("src"), "<>", P("dst")}));
  EXPECT_EQ(Read("dst/src/a.txt"), "new");
  EXPECT_FALSE(fs::exists(dead)) << "a dead run's partial file stayed";
  EXPECT_TRUE(fs::exists(live)) << "a live writer's partial file was removed";
  kill(living, SIGKILL);
  waitpid(living, nullptr, 0);
  ExpectQuiet(Run({"c", P("src"), "<>", P("dst")}));
  EXPECT_FALSE(fs::exists(live));
}

// Row 8: names planted where the program writes its partial files, of the
// form it used before (made from its process id: run here as process 1 of
// a new process name space) and of its present form, as links to a victim,
// a directory and a pipe. A copy over existing files replaces them all,
// and nothing is written through a planted link.
TEST_F(Rerun, PlantedPartialNamesNeverStopACopy) {
  if (geteuid() != 0 || !fs::exists("/usr/bin/unshare")) GTEST_SKIP() << "a run as process 1 needs root and unshare";
  Write("victim", "victim");
  for (int n = 0; n < 3; ++n) {
    Write("src/f" + std::to_string(n), "new " + std::to_string(n));
    Write("dst/src/f" + std::to_string(n), "old " + std::to_string(n));
  }
  Dir("dst/src");
  for (int n = 0; n < 8; ++n) {
    fs::create_symlink(Host("victim"), Host("dst/src/.fileop-1-" + std::to_string(n) + ".tmp"));
  }
  fs::create_symlink(Host("victim"), Host("dst/src/.fileop-00000000000000000000000000000000.part"));
  Dir("dst/src/.fileop-ffffffffffffffffffffffffffffffff.part");
  ASSERT_EQ(mkfifo(Host("dst/src/.fileop-0000000000000000ffffffffffffffff.part").c_str(), 0644), 0);
  // unshare makes the new name space; the program is its first process.
  int probe = -1;
  RunKilledWhen({"/usr/bin/unshare", "--pid", "--fork", "true"}, [](pid_t) { return false; }, {}, probe);
  if (probe != 0) GTEST_SKIP() << "unshare --pid is refused here";
  std::vector<std::string> argv = {"/usr/bin/unshare", "--pid", "--fork", "--kill-child"};
  for (const std::string& arg : Command({"c", P("src"), "<>", P("dst")})) argv.push_back(arg);
  int exitCode = -1;
  RunKilledWhen(argv, [](pid_t) { return false; }, {}, exitCode);
  EXPECT_EQ(exitCode, 0) << "the copy failed";
  for (int n = 0; n < 3; ++n) EXPECT_EQ(Read("dst/src/f" + std::to_string(n)), "new " + std::to_string(n));
  EXPECT_EQ(Read("victim"), "victim");
  EXPECT_TRUE(fs::is_symlink(Host("dst/src/.fileop-1-0.tmp")));
}

// Row 9: a move to another file system, as root, of files that belong to
// another user keeps owner, group, mode with set-id bits, and times, for a
// tree and for a single file, for links and pipes too; a copy belongs to
// the caller and has no set-id bits. A mover that may not give files away
// keeps them as its own, without set-id bits.
TEST_F(Rerun, MoveAcrossFileSystemsKeepsOwnerModeAndTimes) {
  if (geteuid() != 0) GTEST_SKIP() << "files of another user need root to make";
  std::string why;
  if (!MountTmpfs("other", why)) GTEST_SKIP() << "cannot mount a tmpfs here: " << why;
  constexpr uid_t kUser = 65534;
  constexpr gid_t kGroup = 65533;
  const struct timespec times[2] = {{1100000000, 5}, {1200000000, 700}};
  struct Entry { const char* name; mode_t mode; } entries[] = {
      {"tree/setuid", 04755}, {"tree/setgid", 02750}, {"tree/sub/both", 06711},
      {"tree/sub/link", 0},   {"tree/pipe", 0640},    {"single", 06755},
  };
  for (const Entry& entry : entries) {
    if (entry.mode == 0) {
      Dir("tree/sub");
      fs::create_symlink("both", Host(entry.name));
    } else if (std::string(entry.name) == "tree/pipe") {
      ASSERT_EQ(mkfifo(Host(entry.name).c_str(), entry.mode), 0);
    } else {
      Write(entry.name, entry.name);
    }
    ASSERT_EQ(lchown(Host(entry.name).c_str(), kUser, kGroup), 0);
    if (entry.mode != 0) {
      ASSERT_EQ(chmod(Host(entry.name).c_str(), entry.mode), 0);  // after the owner, which clears set-id bits
    }
    ASSERT_EQ(utimensat(AT_FDCWD, Host(entry.name).c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
  }
  Write("tocopy", "c");
  ASSERT_EQ(lchown(Host("tocopy").c_str(), kUser, kGroup), 0);
  ASSERT_EQ(chmod(Host("tocopy").c_str(), 06755), 0);
  ExpectQuiet(Run({"c", P("tocopy"), "<>", P("copied")}));
  struct stat st;
  ASSERT_EQ(lstat(Host("copied/tocopy").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_mode & 07777, 0755u);

  ExpectQuiet(Run({"m", P("tree"), "<>", P("other/dst")}));
  ExpectQuiet(Run({"m", P("single"), "<>", P("other/dst")}));
  EXPECT_FALSE(Exists("tree"));
  EXPECT_FALSE(Exists("single"));
  for (const Entry& entry : entries) {
    SCOPED_TRACE(entry.name);
    ASSERT_EQ(lstat(Host(std::string("other/dst/") + entry.name).c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kUser);
    EXPECT_EQ(st.st_gid, kGroup);
    if (entry.mode != 0) {
      EXPECT_EQ(st.st_mode & 07777, entry.mode);
    }
    EXPECT_EQ(st.st_mtim.tv_sec, times[1].tv_sec);
    EXPECT_EQ(st.st_mtim.tv_nsec, times[1].tv_nsec);
    if (entry.mode != 0) {  // a link's access time is its last following (the listing follows it)
      EXPECT_EQ(st.st_atim.tv_sec, times[0].tv_sec);
      EXPECT_EQ(st.st_atim.tv_nsec, times[0].tv_nsec);
    }
  }
  EXPECT_EQ(Read("other/dst/tree/sub/both"), "tree/sub/both");

  // As a user that may not give files away: its own, without set-id bits.
  if (!program().CanRunUnprivileged()) return;
  Write("mine/setid", "x");
  ASSERT_EQ(chmod(Host("mine/setid").c_str(), 06755), 0);  // root's
  for (const char* dir : {"mine", "other/theirs"}) {
    Dir(dir);
    ASSERT_EQ(chown(Host(dir).c_str(), kUser, kUser), 0);
  }
  ExpectQuiet(program().RunUnprivileged({"m", P("mine/setid"), "<>", P("other/theirs")}));
  ASSERT_EQ(lstat(Host("other/theirs/setid").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, kUser);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  EXPECT_FALSE(Exists("mine/setid"));
}

}  // namespace
