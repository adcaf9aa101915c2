// Faults injected at the platform boundary while the real tree operations
// run: what was done before a fault stays done, nothing else is lost or
// half-written, and the error is the one the behaviour prescribes.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "main/errors.h"
#include "platform/fault_platform.h"
#include "support/temp_dir.h"
#include "tree/copy_move.h"
#include "tree/delete.h"
#include "tree/file_steps.h"
#include "tree/listing.h"

namespace {

namespace fs = std::filesystem;

// The directories that links were planted in place of, by their path.
std::set<std::string>& PlantedLinks() {
  static std::set<std::string> planted;
  return planted;
}

#ifdef _WIN32
// Wine lets no Windows program make a link: the swap agent that runs these
// tests (tests/platform/swap-agent.sh) plants it from the Linux side. Wine
// then shows the Linux link as a reparse point, as it would a junction.
std::string UnixName(const std::string& path) {
  using UnixNameOf = char*(CDECL*)(const wchar_t*);
  auto unixName = reinterpret_cast<UnixNameOf>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
  if (!unixName) return {};
  char* name = unixName(fs::path(path).wstring().c_str());
  if (!name) return {};
  std::string result = name;
  HeapFree(GetProcessHeap(), 0, name);
  return result;
}

// Asks the agent for `action` on `path` and waits until it is done.
void AskAgent(const std::string& action, const std::string& path, const std::string& target = "") {
  const char* agent = std::getenv("FILEOP_SWAP_DIR");
  const std::string unixPath = UnixName(path), unixTarget = target.empty() ? "" : UnixName(target);
  ASSERT_TRUE(agent && !unixPath.empty()) << "run under Wine through swap-agent.sh";
  static int requests = 0;
  const std::string request = "Z:" + std::string(agent) + "/" + std::to_string(++requests) + ".request";
  {
    std::ofstream out(request + ".new", std::ios::binary);
    out << action << "\n" << unixPath << "\n" << unixTarget << "\n";
  }
  fs::rename(request + ".new", request);
  for (int wait = 0; wait < 3000 && fs::exists(request); ++wait) Sleep(10);
  ASSERT_FALSE(fs::exists(request)) << "the swap agent did not answer";
}

void PlantLink(const std::string& directory, const std::string& target) {
  AskAgent("swap", directory, target);
  PlantedLinks().insert(fs::path(directory).lexically_normal().string());
}

// Wine would clean up through the links: they go first.
void RemovePlantedLinks() {
  for (const std::string& link : PlantedLinks()) AskAgent("remove", link);
}
#else
void PlantLink(const std::string& directory, const std::string& target) {
  fs::rename(directory, directory + ".away");
  fs::create_directory_symlink(target, directory);
  PlantedLinks().insert(fs::path(directory).lexically_normal().string());
}

void RemovePlantedLinks() {}
#endif

using faults::Service;
using Files = std::map<std::string, std::string>;  // relative path -> content ("/" for a directory)

class FaultTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    faults::Reset();
    PathList.clear();
    // Three levels, so that faults can strike in the middle.
    for (int d = 0; d < 4; ++d) {
      MakeDir("src/d" + std::to_string(d) + "/inner");
      for (int f = 0; f < 3; ++f) {
        WriteFile("src/d" + std::to_string(d) + "/f" + std::to_string(f),
                  "content " + std::to_string(d) + "." + std::to_string(f));
      }
      MakeDir("src/d" + std::to_string(d) + "/inner");
      WriteFile("src/d" + std::to_string(d) + "/inner/g", "inner " + std::to_string(d));
    }
    WriteFile("src/top", "top");
    original_ = Contents("src");
  }
  void TearDown() override {
    faults::Reset();
    TempDirTest::TearDown();
  }

  Files Contents(const std::string& relative) const {
    Files files;
    if (!fs::exists(Path(relative))) return files;
    for (const auto& entry : fs::recursive_directory_iterator(Path(relative))) {
      const std::string name = fs::relative(entry.path(), Path(relative)).generic_string();
      files[name] = entry.is_directory() ? "/" : ReadFile(relative + "/" + name);
    }
    return files;
  }

  // Every file of the original tree is in exactly one of the two places,
  // whole; nothing else is there.
  void ExpectNothingLost(const Files& source, const Files& target) const {
    for (const auto& [name, content] : original_) {
      if (content == "/") continue;
      SCOPED_TRACE(name);
      const bool inSource = source.count(name) > 0, inTarget = target.count(name) > 0;
      EXPECT_TRUE(inSource != inTarget);
      EXPECT_EQ(inSource ? source.at(name) : target.at(name), content);
    }
    for (const auto& [name, content] : target) EXPECT_TRUE(original_.count(name)) << name;
  }

  // Every file in `copy` is a whole copy of its original.
  void ExpectWholeCopies(const Files& copy) const {
    for (const auto& [name, content] : copy) {
      SCOPED_TRACE(name);
      ASSERT_TRUE(original_.count(name));
      EXPECT_EQ(content, original_.at(name));
    }
  }

  template <class Operation>
  EInOutError ExpectError(Operation operation) {
    try {
      operation();
    } catch (const EInOutError& error) {
      return error;
    }
    ADD_FAILURE() << "no error raised";
    return EInOutError("", 0);
  }

  Files original_;
};

TEST_F(FaultTest, DirectoryCreationFailsInTheMiddleOfACopy) {
  // Creations one at a time (the target is made as a whole path first):
  // dst\src, the four directories one level down, then the first of the
  // inner ones, which fails.
  faults::FailCall(Service::kCreateDirectory, 6, 5);
  const EInOutError error = ExpectError([&] { CopyTarget(Path("src"), Path("dst")); });
  EXPECT_EQ(error.IoCode, 5);
  EXPECT_EQ(error.Message(), "File access denied");
  EXPECT_EQ(Contents("src"), original_);
  const Files copied = Contents("dst/src");
  ExpectWholeCopies(copied);
  ASSERT_TRUE(copied.count("top"));
  EXPECT_EQ(copied.at("top"), "top");  // shallower than the failed directory: done
  size_t directories = 0;
  for (const auto& [name, content] : copied) directories += content == "/";
  EXPECT_EQ(directories, 4u);  // the four made before the fault
}

TEST_F(FaultTest, DirectoryCreationFailsInTheMiddleOfAMove) {
  faults::FailCall(Service::kCreateDirectory, 4, 5);
  const EInOutError error = ExpectError([&] { MoveTarget(Path("src"), Path("dst")); });
  EXPECT_EQ(error.IoCode, 5);
  ExpectNothingLost(Contents("src"), Contents("dst/src"));
  EXPECT_TRUE(IsDir("src/d0"));  // the emptied tree is not removed after a fault
}

TEST_F(FaultTest, FileCopyFailsWithDiskFull) {
  MakeDir("dst/src/d1");
  WriteFile("dst/src/d1/f1", "old");
  faults::FailCall(Service::kCopyFile, 4, 112);
  CopyTarget(Path("src"), Path("dst"));  // a failed file copy is passed over
  const Files copied = Contents("dst/src");
  size_t missing = 0;
  for (const auto& [name, content] : original_) {
    if (content == "/") continue;
    if (!copied.count(name)) {
      ++missing;
    } else if (copied.at(name) != content) {
      EXPECT_EQ(name, "d1/f1");  // the one file that failed may keep its old content
      EXPECT_EQ(copied.at(name), "old");
      ++missing;
    }
  }
  EXPECT_EQ(missing, 1u);
  EXPECT_EQ(Contents("src"), original_);
}

TEST_F(FaultTest, FileMoveFailsInTheMiddleOfAMove) {
  faults::FailCall(Service::kMoveFile, 3, 5);
  const EInOutError error = ExpectError([&] { MoveTarget(Path("src"), Path("dst")); });
  EXPECT_EQ(error.IoCode, 145);  // the unmoved file keeps its directory
  const Files left = Contents("src");
  ExpectNothingLost(left, Contents("dst/src"));
  size_t filesLeft = 0;
  for (const auto& [name, content] : left) filesLeft += content != "/";
  EXPECT_EQ(filesLeft, 1u);  // everything else moved
}

TEST_F(FaultTest, DirectoryRemovalFailsInDelete) {
  std::string failed;
  faults::BeforeCall(Service::kRemoveDirectory, 2, [&](const std::string& path) { failed = path; });
  faults::FailCall(Service::kRemoveDirectory, 2, 5);
  const EInOutError error = ExpectError([&] { DeleteTarget(Path("src")); });
  EXPECT_EQ(error.IoCode, 5);
  EXPECT_EQ(error.Message(), "File access denied");
  // Deepest first: every file below the failed directory had gone already,
  // and whatever remains is untouched.
  ASSERT_FALSE(failed.empty());
  ASSERT_TRUE(fs::is_directory(failed)) << failed;
  EXPECT_TRUE(fs::is_empty(failed)) << failed;
  const Files left = Contents("src");
  for (const auto& [name, content] : left) {
    if (content != "/") {
      EXPECT_EQ(content, original_.at(name)) << name;
    }
  }
  EXPECT_TRUE(IsDir("src"));
}

TEST_F(FaultTest, DirectoryRemovalFailsAtTheEndOfAMove) {
  // The last removal is the source directory itself.
  faults::FailCall(Service::kRemoveDirectory, 9, 32);
  const EInOutError error = ExpectError([&] { MoveTarget(Path("src"), Path("dst")); });
  EXPECT_EQ(error.IoCode, 32);
  EXPECT_EQ(error.Message(), "I/O error 32");
  ExpectNothingLost(Contents("src"), Contents("dst/src"));
  EXPECT_TRUE(IsDir("src"));
  EXPECT_EQ(Contents("dst/src").size(), original_.size());  // every file and directory arrived
}

TEST_F(FaultTest, SourceFileVanishesBetweenListingAndCopying) {
  std::string vanished;
  faults::BeforeCall(Service::kCopyFile, 3, [&](const std::string& path) {
    vanished = path;
    fs::remove(path);
  });
  CopyTarget(Path("src"), Path("dst"));
  ASSERT_FALSE(vanished.empty());
  const Files copied = Contents("dst/src");
  ExpectWholeCopies(copied);
  const std::string name = fs::relative(vanished, Path("src")).generic_string();
  EXPECT_FALSE(copied.count(name));
  for (const auto& [other, content] : original_) {
    if (other != name) {
      EXPECT_TRUE(copied.count(other)) << other;
    }
  }
}

TEST_F(FaultTest, TargetDirectoryAppearsAsAFileBeforeItsCreation) {
  faults::BeforeCall(Service::kCreateDirectory, 4, [&](const std::string& path) {
    std::string file = path;
    while (!file.empty() && file.back() == Separator()) file.pop_back();
    std::ofstream(file) << "intruder";
  });
  const EInOutError error = ExpectError([&] { MoveTarget(Path("src"), Path("dst")); });
  EXPECT_EQ(error.IoCode, 183);
  EXPECT_EQ(error.Message(), "I/O error 183");
  ExpectNothingLost(Contents("src"), [&] {
    Files target = Contents("dst/src");
    for (auto it = target.begin(); it != target.end();) {
      it = it->second == "intruder" ? target.erase(it) : std::next(it);
    }
    return target;
  }());
}

// A search that hands over a name no file system holds (a separator in
// it, as a lossy conversion of a name could make) stops the operation before
// anything changes: joined to a path, the name would lead elsewhere.
TEST_F(FaultTest, UnusableNameFromASearchStopsEverything) {
  const std::string bad = std::string("..") + Separator() + "victim" + Separator() + "f1";
  MakeDir("victim");
  WriteFile("victim/f1", "victim");
  struct Row { const char* what; std::function<void()> operation; } rows[] = {
      {"delete", [&] { DeleteTarget(Path("src")); }},
      {"copy", [&] { CopyTarget(Path("src"), Path("dst")); }},
      {"move", [&] { MoveTarget(Path("src"), Path("dst")); }},
      {"delete a mask", [&] { DeleteTarget(Path("src/d1") + Separator() + "*.*"); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    faults::ReplaceFoundName("f1", bad);
    const EInOutError error = ExpectError(row.operation);
    EXPECT_EQ(error.IoCode, 123);
    EXPECT_EQ(error.Message(), "A directory lists a name that cannot be used: " + bad);
    EXPECT_EQ(Contents("src"), original_);
    EXPECT_EQ(ReadFile("victim/f1"), "victim");
    EXPECT_FALSE(Exists("dst"));  // not even the target was made
  }
}

TEST_F(FaultTest, SearchFailingMidwayListsLessAndLosesNothing) {
  faults::FailCall(Service::kFindNext, 6, 5);
  // Unlisted entries stay behind and keep their directories, so the move
  // either ends cleanly or the emptied tree's removal stops at them.
  try {
    MoveTarget(Path("src"), Path("dst"));
  } catch (const EInOutError& error) {
    EXPECT_EQ(error.IoCode, 145);
  }
  ExpectNothingLost(Contents("src"), Contents("dst/src"));
}

// A directory swapped for a link to a victim between the listing and a
// step: whatever the verb, the steps never reach through the link.
class SwapTest : public FaultTest {
 protected:
  void SetUp() override {
    FaultTest::SetUp();
    for (const char* name : {"f0", "f1", "f2", "inner/g"}) {
      MakeDir("victim/inner");
      WriteFile(std::string("victim/") + name, "victim");
    }
    victim_ = Contents("victim");
    PlantedLinks().clear();
#ifdef _WIN32
    // On NTFS a directory that a step holds open cannot be renamed, so no
    // swap lands while a worker works in it. Wine lets it be renamed (Linux
    // semantics), a window Windows does not have: under Wine the swaps
    // meet the ordered loop.
    SetFileStepThreads(1);
#endif
  }
  void TearDown() override {
    SetFileStepThreads(0);
    RemovePlantedLinks();
    FaultTest::TearDown();
  }

  // Renames every directory src/dN (or, below `base`, its counterpart) that
  // does not hold `path` away and puts a link to the victim in its place:
  // the steps still to come in them would reach the victim through it.
  void SwapOtherDirectories(const std::string& path, const std::string& base = "src") const {
    for (int d = 0; d < 4; ++d) {
      const std::string directory = Path(base + "/d" + std::to_string(d));
      const bool holdsPath = fs::path(path).parent_path().string().rfind(Path("src/d" + std::to_string(d)), 0) == 0;
      if (holdsPath || !fs::is_directory(fs::symlink_status(directory))) continue;
      PlantLink(directory, Path("victim"));
    }
  }

  // Nothing in the victim changed; nothing of it arrived anywhere else.
  void ExpectVictimUntouched() const {
    EXPECT_FALSE(PlantedLinks().empty()) << "no link was planted: the test tested nothing";
    EXPECT_EQ(Contents("victim"), victim_);
    // Everywhere else, no file of the victim's; the planted links are not
    // entered (Wine's library cannot tell them from directories).
    for (auto it = fs::recursive_directory_iterator(Root()); it != fs::recursive_directory_iterator(); ++it) {
      const std::string path = it->path().lexically_normal().string();
      if (PlantedLinks().count(path) || path == fs::path(Path("victim")).lexically_normal().string()) {
        it.disable_recursion_pending();
        continue;
      }
      if (it->is_regular_file()) {
        EXPECT_NE(ReadFile(fs::relative(it->path(), Root()).string()), "victim") << path;
      }
    }
  }

  template <class Operation>
  void RunAllowingAnError(Operation operation) {
    try {
      operation();
    } catch (const EInOutError&) {
      // a directory that is now a link cannot be removed or filled: fine
    }
  }

  Files victim_;
};

TEST_F(SwapTest, DeleteNeverReachesThroughASwappedDirectory) {
  faults::BeforeCall(Service::kDeleteFile, 2, [&](const std::string& path) { SwapOtherDirectories(path); });
  RunAllowingAnError([&] { DeleteTarget(Path("src")); });
  ExpectVictimUntouched();
}

TEST_F(SwapTest, CopyNeverReadsThroughASwappedSourceDirectory) {
  faults::BeforeCall(Service::kCopyFile, 2, [&](const std::string& path) { SwapOtherDirectories(path); });
  RunAllowingAnError([&] { CopyTarget(Path("src"), Path("dst")); });
  ExpectVictimUntouched();
}

TEST_F(SwapTest, CopyNeverWritesThroughASwappedTargetDirectory) {
  faults::BeforeCall(Service::kCopyFile, 2, [&](const std::string& path) { SwapOtherDirectories(path, "dst/src"); });
  RunAllowingAnError([&] { CopyTarget(Path("src"), Path("dst")); });
  ExpectVictimUntouched();
}

TEST_F(SwapTest, MoveNeverTakesThroughASwappedDirectory) {
  faults::BeforeCall(Service::kMoveFile, 2, [&](const std::string& path) { SwapOtherDirectories(path); });
  RunAllowingAnError([&] { MoveTarget(Path("src"), Path("dst")); });
  ExpectVictimUntouched();
}

TEST_F(SwapTest, MoveNeverPutsThroughASwappedTargetDirectory) {
  // A move never replaces: the victim lacks a name, so a followed link
  // would show as a file that arrived there.
  fs::remove(Path("victim/f1"));
  victim_ = Contents("victim");
  faults::BeforeCall(Service::kMoveFile, 2, [&](const std::string& path) { SwapOtherDirectories(path, "dst/src"); });
  RunAllowingAnError([&] { MoveTarget(Path("src"), Path("dst")); });
  ExpectVictimUntouched();
}

}  // namespace

namespace {

// Faults with file steps on worker threads: each one is met twice, on the
// ordered loop and on four workers, each time on a fresh tree large enough
// that steps are in flight when the fault strikes; the file system must end
// the same both times, and so must the error.
class WorkerFaultTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    faults::Reset();
    PathList.clear();
  }
  void TearDown() override {
    SetFileStepThreads(0);
    faults::Reset();
    TempDirTest::TearDown();
  }

  void MakeTree() const {
    for (int d = 0; d < 6; ++d) {
      for (int s = 0; s < 3; ++s) {
        const std::string directory = "src/d" + std::to_string(d) + "/s" + std::to_string(s);
        MakeDir(directory);
        for (int f = 0; f < 20; ++f) WriteFile(directory + "/f" + std::to_string(f), directory + std::to_string(f));
      }
      WriteFile("src/d" + std::to_string(d) + "/top", "top" + std::to_string(d));
    }
  }

  Files Everything() const {
    Files files;
    for (const auto& entry : fs::recursive_directory_iterator(Root())) {
      const std::string name = fs::relative(entry.path(), Root()).generic_string();
      files[name] = entry.is_directory() ? "/" : ReadFile(name);
    }
    return files;
  }

  struct Outcome {
    Files files;
    std::string error;
  };

  // Makes the tree, plans the fault, runs the operation on `threads`, and
  // tells how everything ended. The fixture is emptied afterwards.
  template <class Plan, class Operation>
  Outcome RunWith(unsigned threads, Plan plan, Operation operation) {
    MakeTree();
    faults::Reset();
    PathList.clear();
    plan();
    SetFileStepThreads(threads);
    Outcome outcome;
    try {
      operation();
    } catch (const EInOutError& error) {
      outcome.error = std::to_string(error.IoCode) + " " + error.Message();
    }
    SetFileStepThreads(0);
    faults::Reset();
    outcome.files = Everything();
    for (const auto& entry : fs::directory_iterator(Root())) {
      std::error_code ignored;
      fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
      fs::remove_all(entry.path(), ignored);
    }
    return outcome;
  }

  template <class Plan, class Operation>
  void ExpectSameAsOrderedLoop(Plan plan, Operation operation, const std::string& expectedError) {
    const Outcome ordered = RunWith(1, plan, operation);
    EXPECT_EQ(ordered.error, expectedError);
    for (int run = 0; run < 2; ++run) {
      SCOPED_TRACE(run);
      const Outcome workers = RunWith(4, plan, operation);
      EXPECT_EQ(workers.error, ordered.error);
      EXPECT_TRUE(workers.files == ordered.files) << "the workers left another tree than the ordered loop";
    }
  }

  std::string Suffix(const std::string& relative) const { return NativePath(relative); }
};

TEST_F(WorkerFaultTest, DirectoryCreationFailsHalfWay) {
  ExpectSameAsOrderedLoop([&] { faults::FailPath(Service::kCreateDirectory, Suffix("dst/src/d3/s1"), 5); },
                          [&] { CopyTarget(Path("src"), Path("dst")); }, "5 File access denied");
  ExpectSameAsOrderedLoop([&] { faults::FailPath(Service::kCreateDirectory, Suffix("dst/src/d3/s1"), 5); },
                          [&] { MoveTarget(Path("src"), Path("dst")); }, "5 File access denied");
}

TEST_F(WorkerFaultTest, DirectoryRemovalFails) {
  ExpectSameAsOrderedLoop([&] { faults::FailPath(Service::kRemoveDirectory, Suffix("src/d2/s0"), 5); },
                          [&] { DeleteTarget(Path("src")); }, "5 File access denied");
  ExpectSameAsOrderedLoop([&] { faults::FailPath(Service::kRemoveDirectory, Suffix("src/d4"), 32); },
                          [&] { MoveTarget(Path("src"), Path("dst")); }, "32 I/O error 32");
}

TEST_F(WorkerFaultTest, FileStepsFail) {
  ExpectSameAsOrderedLoop([&] { faults::FailPath(Service::kCopyFile, Suffix("src/d1/s2/f7"), 112); },
                          [&] { CopyTarget(Path("src"), Path("dst")); }, "");
  ExpectSameAsOrderedLoop([&] { faults::FailPath(Service::kMoveFile, Suffix("src/d5/s0/f19"), 5); },
                          [&] { MoveTarget(Path("src"), Path("dst")); }, "145 I/O error 145");
  ExpectSameAsOrderedLoop([&] { faults::FailPath(Service::kDeleteFile, Suffix("src/d0/s1/f3"), 5); },
                          [&] { DeleteTarget(Path("src")); }, "145 I/O error 145");
}

TEST_F(WorkerFaultTest, SourceVanishes) {
  ExpectSameAsOrderedLoop(
      [&] { faults::BeforePath(Service::kCopyFile, Suffix("src/d4/s1/f3"), [](const std::string& path) { fs::remove(path); }); },
      [&] { CopyTarget(Path("src"), Path("dst")); }, "");
}

// Without faults, over and over: the same tree every time.
TEST_F(WorkerFaultTest, WorkersEndAsTheOrderedLoopDoes) {
  const auto none = [] {};
  ExpectSameAsOrderedLoop(none, [&] { CopyTarget(Path("src"), Path("dst")); }, "");
  ExpectSameAsOrderedLoop(none, [&] { MoveTarget(Path("src"), Path("dst")); }, "");
  ExpectSameAsOrderedLoop(none, [&] { DeleteTarget(Path("src")); }, "");
  ExpectSameAsOrderedLoop(none, [&] { CopyTarget(Path("src/d1/s1") + Separator() + "*.*", Path("masked")); }, "");
  ExpectSameAsOrderedLoop(none, [&] { MoveTarget(Path("src/d2/s2") + Separator() + "*.*", Path("masked")); }, "");
}

}  // namespace
