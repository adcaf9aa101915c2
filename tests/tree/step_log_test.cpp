// The step log, the strict exit code and the dry run over the real tree
// operations, with faults planted at the platform boundary: what each line
// says, that worker threads write whole lines in an order that follows
// the steps, and that a dry run decides as the real run does.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <tuple>

#include "main/errors.h"
#include "main/step_log.h"
#include "platform/fault_platform.h"
#include "support/json_lines.h"
#include "support/temp_dir.h"
#include "tree/copy_move.h"
#include "tree/delete.h"
#include "tree/file_steps.h"
#include "tree/listing.h"

namespace {

namespace fs = std::filesystem;
using faults::Service;
using json_lines::Object;
using Files = std::map<std::string, std::string>;  // relative path -> content ("/" for a directory)

// One logged step as the tests compare them: step, path, to, result, code.
using json_lines::Step;
using json_lines::StepsOf;

class StepLogTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    faults::Reset();
    PathList.clear();
    for (const char* name : {"FILEOP_LOG", "FILEOP_STRICT", "FILEOP_DRY_RUN"}) SetEnvironment(name, nullptr);
    for (int d = 0; d < 3; ++d) {
      for (int f = 0; f < 3; ++f) Put("src/d" + std::to_string(d) + "/f" + std::to_string(f), "c" + std::to_string(f));
      MakeDir("src/d" + std::to_string(d) + "/empty");
    }
    Put("src/top", "top");
  }
  void TearDown() override {
    for (const char* name : {"FILEOP_LOG", "FILEOP_STRICT", "FILEOP_DRY_RUN"}) SetEnvironment(name, nullptr);
    SetFileStepThreads(0);
    faults::Reset();
    TempDirTest::TearDown();
  }

  // WriteFile, making the directories on the way.
  void Put(const std::string& relative, const std::string& content = "x") const {
    fs::create_directories(fs::path(Path(relative)).parent_path());
    WriteFile(relative, content);
  }

  // Runs `operation` as one run of the program would: the log started
  // before, ended after, a fatal error ending it with exit code 1.
  int32_t RunLogged(const std::string& verb, const std::string& source, const std::string& target,
                    const std::function<void()>& operation) {
    PathList.clear();
    StartStepLog(verb, source, target);
    try {
      operation();
    } catch (const Exception& error) {
      return FinishStepLog(1, &error);
    }
    return FinishStepLog(0, nullptr);
  }

  std::vector<Object> ReadLog(const std::string& relative) const {
    bool whole = false;
    std::string bad;
    std::vector<Object> lines = json_lines::ParseAll(ReadFile(relative), whole, &bad);
    EXPECT_TRUE(whole) << "a line that is not whole: [" << bad << "]";
    return lines;
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
};

// A tree copy in which a read-only target file refuses to be replaced and
// a worker's step fails: every step has its line with its result, the
// summary counts them, and only FILEOP_STRICT=1 turns exit code 0 into 2.
TEST_F(StepLogTest, TreeCopyLogsEveryStepWithItsResult) {
  SetFileStepThreads(4);  // the file steps run on workers, whatever the machine
  struct Row { const char* what; bool log; bool strict; int32_t exitCode; } rows[] = {
      {"no variables", false, false, 0},
      {"log", true, false, 0},
      {"log and strict", true, true, 2},
      {"strict alone", false, true, 2},
  };
  Files expectedTarget;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    fs::remove_all(Path("dst"));
    fs::remove(Path("run.log"));
    Put("dst/src/d1/f1", "old");
    SetReadOnly("dst/src/d1/f1", true);
    faults::Reset();
    faults::FailPath(Service::kCopyFile, NativePath("d2/f0"), 32);
    SetEnvironment("FILEOP_LOG", row.log ? Path("run.log").c_str() : nullptr);
    SetEnvironment("FILEOP_STRICT", row.strict ? "1" : nullptr);
    EXPECT_EQ(RunLogged("c", Path("src"), Path("dst"), [&] { CopyTarget(Path("src"), Path("dst")); }), row.exitCode);
    SetReadOnly("dst/src/d1/f1", false);
    // The log changes nothing of what the copy does.
    if (expectedTarget.empty()) expectedTarget = Contents("dst");
    EXPECT_EQ(Contents("dst"), expectedTarget);
    EXPECT_EQ(ReadFile("dst/src/d1/f1"), "old");
    EXPECT_FALSE(Exists("dst/src/d2/f0"));
    if (!row.log) {
      EXPECT_FALSE(Exists("run.log"));
      continue;
    }
    const std::vector<Object> lines = ReadLog("run.log");
    ASSERT_FALSE(lines.empty());
    const std::string s = std::string(1, Separator());
    const std::string from = Path("src") + s, to = Path("dst") + s + "src" + s;
    std::multiset<Step> expected;
    for (int d = 0; d < 3; ++d) {
      const std::string dir = "d" + std::to_string(d);
      if (d != 1) expected.insert({"made directory", to + dir, "", "ok", "0"});  // dst/src/d1 was there
      expected.insert({"made directory", to + dir + s + "empty", "", "ok", "0"});
      for (int f = 0; f < 3; ++f) {
        const std::string file = dir + s + "f" + std::to_string(f);
        const bool readOnly = d == 1 && f == 1, failing = d == 2 && f == 0;
        expected.insert({"copied", from + file, to + file, readOnly || failing ? "failed" : "ok",
                         readOnly ? "5" : failing ? "32" : "0"});
      }
    }
    expected.insert({"copied", from + "top", to + "top", "ok", "0"});
    EXPECT_EQ(StepsOf(lines), expected);
    for (const Object& line : lines) {
      EXPECT_EQ(line.at("pid"), lines.back().at("pid"));
      EXPECT_EQ(line.at("time").size(), 20u);
      if (line.at("step") != "summary" && line.at("code") != "0") {
        EXPECT_NE(line.at("message"), "");
      }
    }
    const Object& summary = lines.back();
    EXPECT_EQ(summary.at("step"), "summary");
    EXPECT_EQ(summary.at("verb"), "c");
    EXPECT_EQ(summary.at("source"), Path("src"));
    EXPECT_EQ(summary.at("done"), std::to_string(expected.size() - 2));
    EXPECT_EQ(summary.at("failed"), "2");
    EXPECT_EQ(summary.at("exit"), std::to_string(row.exitCode));
    EXPECT_EQ(summary.count("error"), 0u);
  }
}

// Sources that name nothing, and directories that cannot be read, are
// failures for the strict code; each has its line.
TEST_F(StepLogTest, NothingNamedOrReadIsAFailure) {
  SetEnvironment("FILEOP_LOG", Path("run.log").c_str());
  SetEnvironment("FILEOP_STRICT", "1");
  const std::string s = std::string(1, Separator());
  struct Row {
    const char* what;
    std::function<void()> operation;
    Step failed;
  } rows[] = {
      {"missing file", [&] { CopyTarget(Path("nope"), Path("t")); },
       {"copied", Path("nope"), Path("t") + s + "nope", "failed", "2"}},
      {"missing file deleted", [&] { DeleteTarget(Path("nope")); }, {"deleted", Path("nope"), "", "failed", "2"}},
      {"mask selecting nothing", [&] { DeleteTarget(Path("src") + s + "*.none"); },
       {"passed over", Path("src") + s + "*.none", "", "failed", "2"}},
      {"mask in a missing directory", [&] { MoveTarget(Path("nope") + s + "*.*", Path("t")); },
       {"passed over", Path("nope") + s + "*.*", "", "failed", "2"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    fs::remove(Path("run.log"));
    EXPECT_EQ(RunLogged("x", "", "", row.operation), 2);
    const std::multiset<Step> steps = StepsOf(ReadLog("run.log"));
    EXPECT_EQ(steps.count(row.failed), 1u) << ::testing::PrintToString(steps);
  }
  // A directory whose entries cannot be read is passed over: what it holds
  // is neither copied nor lost.
  fs::remove(Path("run.log"));
  faults::FailPath(Service::kFindFirst, NativePath("src/d1"), 5);
  EXPECT_EQ(RunLogged("c", "", "", [&] { CopyTarget(Path("src"), Path("dst")); }), 2);
  EXPECT_EQ(StepsOf(ReadLog("run.log")).count({"passed over", Path("src") + s + "d1" + s, "", "failed", "5"}), 1u);
  EXPECT_TRUE(IsDir("dst/src/d1"));
  EXPECT_FALSE(Exists("dst/src/d1/f0"));
  EXPECT_EQ(ReadFile("src/d1/f0"), "c0");
}

// Eight workers over a tree of many directories: every line whole, and a
// directory's removal logged after every deletion inside it (its creation
// before every copy into it).
TEST_F(StepLogTest, WorkersWriteWholeLinesThatFollowTheSteps) {
  SetFileStepThreads(8);
#ifdef _WIN32
  const int directories = 8, files = 40;  // Wine takes milliseconds a file
#else
  const int directories = 40, files = 40;
#endif
  for (int d = 0; d < directories; ++d) {
    for (int f = 0; f < files; ++f) Put("big/d" + std::to_string(d) + "/file-" + std::to_string(f), "x");
  }
  SetEnvironment("FILEOP_LOG", Path("run.log").c_str());
  const std::string s = std::string(1, Separator());
  ASSERT_EQ(RunLogged("c", "", "", [&] { CopyTarget(Path("big"), Path("copy")); }), 0);
  ASSERT_EQ(RunLogged("d", "", "", [&] { DeleteTarget(Path("copy") + s + "big"); }), 0);
  const std::vector<Object> lines = ReadLog("run.log");
  // The copy: the target, the tree's root, the directories, the files and
  // the summary; the delete: the files, the directories, the root, the
  // summary.
  const size_t entries = directories + directories * files;
  ASSERT_EQ(lines.size(), (entries + 3) + (entries + 2));
  std::map<std::string, size_t> made, removed;  // directory -> line number
  for (size_t i = 0; i < lines.size(); ++i) {
    const Object& line = lines[i];
    ASSERT_TRUE(line.count("step"));
    if (line.at("step") == "made directory") made[line.at("path")] = i;
    if (line.at("step") == "removed directory") removed[line.at("path")] = i;
  }
  size_t checked = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    const Object& line = lines[i];
    const std::string& step = line.at("step");
    if (step != "copied" && step != "deleted") continue;
    EXPECT_EQ(line.at("result"), "ok");
    const std::string path = step == "copied" ? line.at("to") : line.at("path");
    const std::string directory = path.substr(0, path.rfind(Separator()));
    if (step == "copied") {
      ASSERT_TRUE(made.count(directory)) << directory;
      EXPECT_LT(made[directory], i);
    } else {
      ASSERT_TRUE(removed.count(directory)) << directory;
      EXPECT_GT(removed[directory], i);
    }
    ++checked;
  }
  EXPECT_EQ(checked, 2u * directories * files);
}

// A dry run of a delete stopped by a read-only file decides what the real
// run does, up to the same fatal report, and changes nothing.
TEST_F(StepLogTest, DryRunDecidesAsTheRealRunDoes) {
  SetReadOnly("src/d1/f2", true);
  const Files before = Contents("src");
  std::multiset<Step> planned;
  for (const bool dry : {true, false}) {
    SCOPED_TRACE(dry ? "dry run" : "real run");
    fs::remove(Path("run.log"));
    SetEnvironment("FILEOP_LOG", Path("run.log").c_str());
    SetEnvironment("FILEOP_DRY_RUN", dry ? "1" : nullptr);
    std::string subject;
    EXPECT_EQ(RunLogged("d", "", "", [&] {
      try {
        DeleteTarget(Path("src"));
      } catch (const EInOutError& error) {
        EXPECT_EQ(error.IoCode, 145);
        subject = error.Subject();
        throw;
      }
    }), 1);
    EXPECT_EQ(subject, Path("src") + Separator() + "d1");
    const std::vector<Object> lines = ReadLog("run.log");
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().at("path"), subject);
    for (const Object& line : lines) EXPECT_EQ(line.count("dry_run"), dry ? 1u : 0u);
    if (dry) {
      EXPECT_EQ(Contents("src"), before);
      planned = StepsOf(lines);
    } else {
      EXPECT_EQ(StepsOf(lines), planned);
    }
  }
  SetReadOnly("src/d1/f2", false);
}

// A log that cannot be opened leaves the operation as it would be.
TEST_F(StepLogTest, UnwritableLogChangesNothing) {
  MakeDir("a-directory");
  SetEnvironment("FILEOP_LOG", Path("a-directory").c_str());
  SetEnvironment("FILEOP_STRICT", "1");
  faults::FailPath(Service::kCopyFile, NativePath("d0/f0"), 5);
  EXPECT_EQ(RunLogged("c", "", "", [&] { CopyTarget(Path("src"), Path("dst")); }), 2);
  Files expected = Contents("src");
  expected.erase("d0/f0");
  EXPECT_EQ(Contents("dst/src"), expected);
  EXPECT_TRUE(fs::is_empty(Path("a-directory")));
}

}  // namespace
