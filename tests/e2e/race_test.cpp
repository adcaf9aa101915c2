// The race harness: while the real program deletes, copies or moves a tree,
// a racer swaps the tree's directories for links to a victim directory
// outside it, as a user who may write in the tree could. Whatever the
// program then does, the victim must not change and nothing of it may
// appear in the target.
//
// FILEOP_RACE_TRIES (default 10) tries per row, FILEOP_RACE_FILES (default
// 1000) files per tree; FILEOP_RACE_TABLE=1 prints the figures.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

int EnvNumber(const char* name, int fallback) {
  const char* value = std::getenv(name);
  return value && *value ? std::atoi(value) : fallback;
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// Runs the program to its end; the exit code, or -1 after 120 s.
int RunProgram(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {std::getenv("FILEOP_PROGRAM")};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> raw;
  for (std::string& arg : argv) raw.push_back(arg.data());
  raw.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, raw[0], &actions, nullptr, raw.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -2;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Memory where there is some: the trees are made and removed many times.
fs::path ScratchDirectory() {
  std::error_code ignored;
  return fs::is_directory("/dev/shm", ignored) ? fs::path("/dev/shm") : fs::temp_directory_path();
}

enum class Verb { kDelete, kCopy, kMove };
enum class Side { kSource, kTarget };

struct Row {
  const char* name;
  Verb verb;
  Side side;
  bool swapBack;  // the link goes again and the directory returns
};

struct Outcome {
  int victimChanged = 0;
  int leaked = 0;
  int swaps = 0;
};

class RaceTry {
 public:
  RaceTry(const fs::path& root, int files) : root_(root), files_(files) {}

  void Prepare() {
    fs::remove_all(root_);
    fs::create_directories(root_ / "victim/sub");
    // The victim's files bear the names of the tree's own, so that a step
    // that followed a link would find them.
    for (int i = 0; i < 10; ++i) std::ofstream(root_ / ("victim/f" + std::to_string(i))) << "victim " << i;
    std::ofstream(root_ / "victim/sub/f0") << "victim sub";
    victim_ = Snapshot(root_ / "victim");
    const int leavesPerDirectory = 5;
    const int directories = std::max(1, files_ / 50);
    for (int d = 0; d < directories; ++d) {
      for (int l = 0; l < leavesPerDirectory; ++l) {
        const std::string leaf = "d" + std::to_string(d) + "/leaf" + std::to_string(l);
        fs::create_directories(root_ / "tree" / leaf);
        leaves_.push_back(leaf);
        for (int f = 0; f < files_ / directories / leavesPerDirectory; ++f) {
          std::ofstream(root_ / "tree" / leaf / ("f" + std::to_string(f))) << leaf << f;
        }
      }
    }
  }

  Outcome Run(const Row& row, unsigned seed) {
    const fs::path swapRoot = row.side == Side::kTarget ? root_ / "dst/tree" : root_ / "tree";
    std::atomic<bool> done{false};
    Outcome outcome;
    std::thread racer([&] {
      std::mt19937 random(seed);
      std::vector<std::string> order = leaves_;
      // The swaps that matter come after the listing: wait until the work
      // on the listed entries has begun.
      while (!done.load() && !WorkHasBegun(row)) std::this_thread::sleep_for(std::chrono::microseconds(100));
      while (!done.load()) {
        bool swapped = false;
        std::shuffle(order.begin(), order.end(), random);
        for (const std::string& leaf : order) {
          if (done.load()) break;
          const fs::path at = swapRoot / leaf;
          std::error_code ignored;
          if (!fs::is_directory(fs::symlink_status(at, ignored))) continue;
          if (rename(at.c_str(), (at.string() + ".away").c_str()) != 0) continue;
          if (symlink((root_ / "victim").c_str(), at.c_str()) != 0) continue;
          ++outcome.swaps;
          swapped = true;
          if (row.swapBack) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            unlink(at.c_str());
            rename((at.string() + ".away").c_str(), at.c_str());
          }
        }
        if (!swapped) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
    const std::string tree = (root_ / "tree").string();
    const std::string target = (root_ / "dst").string();
    switch (row.verb) {
      case Verb::kDelete: RunProgram({"d", tree}); break;
      case Verb::kCopy: RunProgram({"c", tree, "<>", target}); break;
      case Verb::kMove: RunProgram({"m", tree, "<>", target}); break;
    }
    done = true;
    racer.join();
    outcome.victimChanged = Snapshot(root_ / "victim") != victim_;
    outcome.leaked = LeakedInto(root_ / "dst");
    return outcome;
  }

  void CleanUp() const { fs::remove_all(root_); }

  // A copy or move makes its target tree once it has listed the source; a
  // delete has listed the tree once its first files are gone.
  bool WorkHasBegun(const Row& row) const {
    std::error_code ignored;
    if (row.verb != Verb::kDelete) return fs::exists(root_ / "dst/tree", ignored);
    for (const std::string& leaf : leaves_) {
      if (!fs::exists(root_ / "tree" / leaf / "f0", ignored)) return true;
    }
    return false;
  }

 private:
  // Every entry below `dir` and its content, links not followed.
  static std::map<std::string, std::string> Snapshot(const fs::path& dir) {
    std::map<std::string, std::string> entries;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(dir, error); it != fs::recursive_directory_iterator();
         it.increment(error)) {
      const std::string name = fs::relative(it->path(), dir).string();
      entries[name] = it->is_regular_file() ? ReadAll(it->path()) : "<" + std::to_string(static_cast<int>(it->symlink_status().type())) + ">";
    }
    return entries;
  }

  // Files of the victim that arrived in the target (through a link that
  // was followed, they would have been copied or moved there).
  static int LeakedInto(const fs::path& dir) {
    int leaked = 0;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(dir, error); it != fs::recursive_directory_iterator();
         it.increment(error)) {
      if (it->is_regular_file() && ReadAll(it->path()).rfind("victim", 0) == 0) ++leaked;
    }
    return leaked;
  }

  fs::path root_;
  int files_;
  std::vector<std::string> leaves_;
  std::map<std::string, std::string> victim_;
};

TEST(Race, SwappedDirectoriesNeverRedirectTheWork) {
  if (!std::getenv("FILEOP_PROGRAM")) GTEST_SKIP() << "FILEOP_PROGRAM is not set";
  const int tries = EnvNumber("FILEOP_RACE_TRIES", 10);
  const int files = EnvNumber("FILEOP_RACE_FILES", 1000);
  const Row rows[] = {
      {"d, tree (link left in place)", Verb::kDelete, Side::kSource, false},
      {"d, tree (link swapped back and forth)", Verb::kDelete, Side::kSource, true},
      {"c, target tree", Verb::kCopy, Side::kTarget, false},
      {"c, source tree", Verb::kCopy, Side::kSource, false},
      {"m, source tree", Verb::kMove, Side::kSource, false},
  };
  const bool table = EnvNumber("FILEOP_RACE_TABLE", 0) != 0;
  if (table) std::printf("| verb, side swapped | tries | swaps | victim changed | victim content in the target |\n|---|---|---|---|---|\n");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Outcome total;
    int changedTries = 0, leakedTries = 0;
    for (int t = 0; t < tries; ++t) {
      RaceTry race(ScratchDirectory() / ("fileop-race-" + std::to_string(getpid())), files);
      race.Prepare();
      const Outcome outcome = race.Run(row, static_cast<unsigned>(t * 7919 + 1));
      race.CleanUp();
      total.swaps += outcome.swaps;
      changedTries += outcome.victimChanged > 0;
      leakedTries += outcome.leaked > 0;
    }
    if (table) std::printf("| %s | %d | %d | %d of %d | %d of %d |\n", row.name, tries, total.swaps, changedTries, tries, leakedTries, tries);
    EXPECT_EQ(changedTries, 0);
    EXPECT_EQ(leakedTries, 0);
    EXPECT_GT(total.swaps, 0) << "the racer never got to swap a directory";
  }
}

}  // namespace
