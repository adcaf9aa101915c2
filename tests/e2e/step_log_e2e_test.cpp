// The step log (FILEOP_LOG), the strict exit code (FILEOP_STRICT) and the
// dry run (FILEOP_DRY_RUN), end to end on both builds, and the report's
// line that names the path a fatal failure was about.
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <thread>
#include <tuple>

#include "e2e/fixture.h"
#include "support/json_lines.h"

namespace {

using json_lines::Object;
// One logged step as the tests compare them: step, path, to, result, code.
using json_lines::Step;
using json_lines::StepsOf;
using Snapshot = std::map<std::string, std::string>;  // relative path -> content ("/" for a directory)

class StepLog : public E2ETest {
 protected:
  void TearDown() override {
    for (const fs::path& at : mounts_) umount2(at.c_str(), MNT_DETACH);
    E2ETest::TearDown();
  }

  std::vector<Object> Log(const std::string& relative) const {
    bool whole = false;
    std::string bad;
    std::vector<Object> lines = json_lines::ParseAll(Read(relative), whole, &bad);
    EXPECT_TRUE(whole) << "a line that is not whole: [" << bad << "]";
    return lines;
  }


  static std::vector<Object> Summaries(const std::vector<Object>& lines) {
    std::vector<Object> summaries;
    for (const Object& line : lines) {
      if (line.at("step") == "summary") summaries.push_back(line);
    }
    return summaries;
  }

  Snapshot Take(const std::string& relative) const {
    Snapshot files;
    if (!Exists(relative)) return files;
    for (const auto& entry : fs::recursive_directory_iterator(Host(relative))) {
      const std::string name = fs::relative(entry.path(), Host(relative)).generic_string();
      files[name] = entry.is_directory() ? "/" : Read(relative + "/" + name);
    }
    return files;
  }

  // A tmpfs of `size` at `relative`, filled to the last byte; false (with
  // the reason) where mounting is refused.
  bool MountFullTmpfs(const std::string& relative, std::string& why) {
    Dir(relative);
    if (mount("tmpfs", Host(relative).c_str(), "tmpfs", 0, "size=64k") != 0) {
      why = std::strerror(errno);
      return false;
    }
    mounts_.push_back(Host(relative));
    std::ofstream filler(Host(relative + "/filler"), std::ios::binary);
    const std::string block(4096, 'f');
    for (int i = 0; i < 64 && filler.write(block.data(), block.size()); ++i) {}
    return true;
  }

 private:
  std::vector<fs::path> mounts_;
};

// A tree copy in which a read-only target file refuses, on a worker, to be
// replaced, then a copy of a source that names nothing: one line per step
// with its result and a summary per run; the strict code is 2; without the
// variables the runs and their exit codes are as they always were.
TEST_F(StepLog, TreeCopyAndMissingSource) {
  const std::string s = Sep();
  struct Row { const char* what; bool log; bool strict; int exitCode; } rows[] = {
      {"no variables", false, false, 0},
      {"log", true, false, 0},
      {"log and strict", true, true, 2},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    fs::remove_all(Host("dst"));
    fs::remove_all(Host("t"));
    fs::remove(Host("run.log"));
    Write("src/a.txt", "A");
    Write("src/sub/b.txt", "B");
    Write("src/sub/c.txt", "C");
    Write("dst/src/sub/b.txt", "old");
    ReadOnly("dst/src/sub/b.txt");
    EnvList env;
    if (row.log) env.emplace_back("FILEOP_LOG", P("run.log"));
    if (row.strict) env.emplace_back("FILEOP_STRICT", "1");
    const RunResult copy = Run({"c", P("src"), "<>", P("dst")}, env);
    const RunResult missing = Run({"c", P("nope.txt"), "<>", P("t")}, env);
    for (const RunResult* result : {&copy, &missing}) {
      EXPECT_EQ(result->exitCode, row.exitCode) << result->errorOutput;
      EXPECT_EQ(result->report, "");
      EXPECT_FALSE(result->boxShown);
    }
    EXPECT_EQ(Read("dst/src/a.txt"), "A");
    EXPECT_EQ(Read("dst/src/sub/b.txt"), "old");
    EXPECT_EQ(Read("dst/src/sub/c.txt"), "C");
    EXPECT_TRUE(IsDir("t"));
    if (!row.log) {
      EXPECT_FALSE(Exists("run.log"));
      continue;
    }
    const std::vector<Object> lines = Log("run.log");
    const std::string from = P("src") + s, to = P("dst") + s + "src" + s;
    const std::multiset<Step> expected = {
        {"copied", from + "a.txt", to + "a.txt", "ok", "0"},
        {"copied", from + "sub" + s + "b.txt", to + "sub" + s + "b.txt", "failed", "5"},
        {"copied", from + "sub" + s + "c.txt", to + "sub" + s + "c.txt", "ok", "0"},
        {"made directory", P("t"), "", "ok", "0"},
        {"copied", P("nope.txt"), P("t") + s + "nope.txt", "failed", "2"},
    };
    EXPECT_EQ(StepsOf(lines), expected);
    const std::vector<Object> summaries = Summaries(lines);
    ASSERT_EQ(summaries.size(), 2u);
    EXPECT_EQ(summaries[0].at("done"), "2");
    EXPECT_EQ(summaries[0].at("failed"), "1");
    EXPECT_EQ(summaries[1].at("done"), "1");
    EXPECT_EQ(summaries[1].at("failed"), "1");
    for (const Object& summary : summaries) EXPECT_EQ(summary.at("exit"), std::to_string(row.exitCode));
    EXPECT_EQ(summaries[1].at("source"), P("nope.txt"));
    EXPECT_NE(summaries[0].at("pid"), summaries[1].at("pid"));
    for (const Object& line : lines) {
      if (line.count("result") && line.at("result") == "failed") {
        EXPECT_NE(line.at("message"), "") << line.at("path");
      }
    }
  }
}

// Names are bytes on Linux: a line break or a tab in a name stays inside
// its field, and the log gives the name back exactly.
TEST_F(StepLog, ANameCannotAddALineOrAField) {
  if (program().IsWine()) GTEST_SKIP() << "Windows names hold no control characters";
  const std::string odd = "line\nbreak\t\"quoted\"\\ \xe9";
  Write("src/" + odd, "odd");
  const RunResult result = Run({"c", P("src"), "<>", P("dst")}, {{"FILEOP_LOG", P("run.log")}});
  ExpectQuiet(result);
  const std::vector<Object> lines = Log("run.log");
  ASSERT_EQ(lines.size(), 4u);  // the target, the tree's directory, the file, the summary
  EXPECT_EQ(lines[2].at("path"), P("src") + "/" + odd);
  EXPECT_EQ(lines[2].at("to"), P("dst") + "/src/" + odd);
}

// Every way a source names nothing is passed over in silence by default and
// ends with exit code 2 under FILEOP_STRICT=1, still without a report.
TEST_F(StepLog, StrictCatchesASourceThatNamesNothing) {
  Write("src/a.txt", "A");
  const std::string s = Sep();
  const std::vector<std::vector<std::string>> commands = {
      {"c", P("nope.txt"), "<>", P("t")},
      {"m", P("nope.txt"), "<>", P("t")},
      {"d", P("nope.txt")},
      {"r", P("nope.txt"), "<>", P("other.txt")},
      {"c", P("src") + s + "*.none", "<>", P("t")},
      {"d", P("src") + s + "*.none"},
  };
  for (const auto& command : commands) {
    SCOPED_TRACE(command[0] + " " + command[1]);
    ExpectQuiet(Run(command));
    const RunResult strict = Run(command, {{"FILEOP_STRICT", "1"}});
    EXPECT_EQ(strict.exitCode, 2) << strict.errorOutput;
    EXPECT_EQ(strict.report, "");
    EXPECT_FALSE(strict.boxShown);
  }
  EXPECT_EQ(Read("src/a.txt"), "A");
  // A fatal failure stays exit code 1 with its report.
  ExpectReport(Run({"make"}, {{"FILEOP_STRICT", "1"}}), "Unable to create directory.");
}

// Two programs appending to one log at once: every line whole, each
// program's steps all there.
TEST_F(StepLog, TwoProcessesShareOneLog) {
  const int directories = program().IsWine() ? 4 : 20, files = program().IsWine() ? 150 : 200;
  const std::string longName(120, 'n');
  for (const char* tree : {"one", "two"}) {
    for (int d = 0; d < directories; ++d) {
      for (int f = 0; f < files; ++f) {
        Write(std::string(tree) + "/d" + std::to_string(d) + "/" + longName + std::to_string(f), "x");
      }
    }
  }
  RunResult results[2];
  {
    std::thread first([&] { results[0] = Run({"c", P("one"), "<>", P("out1")}, {{"FILEOP_LOG", P("shared.log")}}); });
    std::thread second([&] { results[1] = Run({"c", P("two"), "<>", P("out2")}, {{"FILEOP_LOG", P("shared.log")}}); });
    first.join();
    second.join();
  }
  for (const RunResult& result : results) ExpectQuiet(result);
  const std::vector<Object> lines = Log("shared.log");
  std::map<std::string, size_t> linesOf;
  for (const Object& line : lines) ++linesOf[line.at("pid")];
  ASSERT_EQ(linesOf.size(), 2u);
  // The target, the tree's directory, its directories, its files, the summary.
  for (const auto& [pid, count] : linesOf) EXPECT_EQ(count, size_t(2 + directories + directories * files + 1)) << pid;
  const std::vector<Object> summaries = Summaries(lines);
  ASSERT_EQ(summaries.size(), 2u);
  for (const Object& summary : summaries) EXPECT_EQ(summary.at("failed"), "0");
}

// A log that cannot be opened, or stops taking lines, never changes the
// operation or its exit code.
TEST_F(StepLog, AnUnwritableLogLeavesTheRunAsItWas) {
  Dir("a-directory");
  struct Row { std::string what, log; } rows[] = {
      {"a directory", P("a-directory")},
      {"in a missing directory", P("missing/deeper/run.log")},
  };
  std::vector<Row> all(std::begin(rows), std::end(rows));
  std::string why;
  if (!program().IsWine()) {
    // Another name of a file someone else chose: not appended to.
    Write("victim.txt", "victim");
    fs::create_hard_link(Host("victim.txt"), Host("planted.log"));
    all.push_back({"a second name of another file", P("planted.log")});
    fs::create_symlink(Host("victim.txt"), Host("linked.log"));
    all.push_back({"a link to another file", P("linked.log")});
    if (MountFullTmpfs("full", why)) {
      all.push_back({"on a full file system", P("full/run.log")});
    } else {
      std::cout << "[   NOTE   ] not tested on a full file system: " << why << "\n";
    }
  }
  Write("src/a.txt", "A");
  Write("src/sub/b.txt", "B");
  Write("ro/sub/kept.txt", "K");
  ReadOnly("ro/sub/kept.txt");
  int made = 0;
  for (const Row& row : all) {
    SCOPED_TRACE(row.what);
    const std::string target = "dst" + std::to_string(made++);
    const RunResult copy = Run({"c", P("src"), "<>", P(target)}, {{"FILEOP_LOG", row.log}});
    const RunResult fatal = Run({"d", P("ro")}, {{"FILEOP_LOG", row.log}});
    EXPECT_EQ(Take(target + "/src"), Take("src"));
    EXPECT_EQ(Read("ro/sub/kept.txt"), "K");
    if (program().IsWine()) {
      // Wine hands a window-less program no standard error of its caller's:
      // the note is not to be seen, the box is.
      ExpectQuiet(copy);
      ExpectReport(fatal, "I/O error 145.");
      continue;
    }
    // Standard error holds the note, then (for the fatal run) the report.
    EXPECT_EQ(copy.exitCode, 0);
    const std::string note = "The log " + row.log + " cannot be written: ";
    EXPECT_EQ(copy.errorOutput.substr(0, note.size()), note) << copy.errorOutput;
    EXPECT_EQ(std::count(copy.errorOutput.begin(), copy.errorOutput.end(), '\n'), 1) << copy.errorOutput;
    EXPECT_EQ(fatal.exitCode, 1);
    EXPECT_NE(fatal.errorOutput.find("\nI/O error 145.\n"), std::string::npos) << fatal.errorOutput;
  }
  EXPECT_TRUE(fs::is_empty(Host("a-directory")));
  if (!program().IsWine()) {
    EXPECT_EQ(Read("victim.txt"), "victim");
  }
}

// A dry run of d, c and m lists and decides every step, logs it and changes
// nothing; the real run that follows logs the very same steps.
TEST_F(StepLog, DryRunsPlanTheRealSteps) {
  struct Row { const char* what; std::vector<std::string> command; } rows[] = {
      {"delete", {"d", P("t")}},
      {"copy", {"c", P("t"), "<>", P("out/new")}},
      {"move", {"m", P("t"), "<>", P("moved")}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    for (const char* gone : {"t", "out", "moved", "dry.log", "real.log"}) fs::remove_all(Host(gone));
    Write("t/a.txt", "A");
    Write("t/sub/b.txt", "B");
    Write("t/sub/deeper/c.txt", "C");
    Dir("t/empty");
    const Snapshot before = Take("");
    ExpectQuiet(Run(row.command, {{"FILEOP_DRY_RUN", "1"}, {"FILEOP_LOG", P("dry.log")}}));
    Snapshot after = Take("");
    after.erase("dry.log");
    EXPECT_EQ(after, before);
    const std::vector<Object> dry = Log("dry.log");
    for (const Object& line : dry) EXPECT_EQ(line.at("dry_run"), "true");

    ExpectQuiet(Run(row.command, {{"FILEOP_LOG", P("real.log")}}));
    const std::vector<Object> real = Log("real.log");
    for (const Object& line : real) EXPECT_EQ(line.count("dry_run"), 0u);
    EXPECT_EQ(StepsOf(dry), StepsOf(real));
    EXPECT_EQ(Summaries(dry).at(0).at("done"), Summaries(real).at(0).at("done"));
    // Three files, four directories (and for c the two target directories).
    EXPECT_GE(StepsOf(real).size(), 7u);
  }
  // Without a log, the dry run's lines go to standard error.
  if (!program().IsWine()) {
    Write("t/a.txt", "A");
    const RunResult dry = Run({"d", P("t")}, {{"FILEOP_DRY_RUN", "1"}});
    EXPECT_EQ(dry.exitCode, 0);
    EXPECT_EQ(Read("t/a.txt"), "A");
    bool whole = false;
    const std::vector<Object> lines = json_lines::ParseAll(dry.errorOutput, whole);
    EXPECT_TRUE(whole) << dry.errorOutput;
    EXPECT_GE(lines.size(), 2u);
  }
}

// A fatal report names, on a third line, the directory it could not remove
// or make, or the path it refused: the first two lines stay as they were.
TEST_F(StepLog, FatalReportsNameThePath) {
  Write("t/sub/ro.txt", "R");
  ReadOnly("t/sub/ro.txt");
  Write("file", "F");
  const std::string s = Sep();
  struct Row {
    const char* what;
    std::vector<std::string> command;
    std::string message;
    std::string path;
    bool cause;
  } rows[] = {
      {"a directory a read-only file keeps", {"d", P("t")}, "I/O error 145.", P("t/sub"), true},
      {"a directory in the way of a file", {"make", P("file")}, "Unable to create directory.", P("file"), true},
      {"a refused path", {"d", P("t") + s + "."}, "Cannot delete the . or .. entry of a directory.", P("t") + s + ".",
       false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    for (const bool strict : {false, true}) {
      const RunResult result = Run(row.command, strict ? EnvList{{"FILEOP_STRICT", "1"}} : EnvList{});
      ExpectReport(result, row.message);
      const std::string third = ReportSubjectLine(result);
      if (row.cause) {
        ASSERT_EQ(third.substr(0, row.path.size() + 2), row.path + ": ") << third;
        EXPECT_GT(third.size(), row.path.size() + 2);
      } else {
        EXPECT_EQ(third, row.path);
      }
    }
  }
  EXPECT_EQ(Read("t/sub/ro.txt"), "R");
  EXPECT_EQ(Read("file"), "F");
  if (program().IsWine()) return;  // Windows names hold no line breaks
  Write("x\ny/ro.txt", "R");
  ReadOnly("x\ny/ro.txt");
  const RunResult result = Run({"d", P("x\ny")});
  ExpectReport(result, "I/O error 145.");
  EXPECT_EQ(ReportSubjectLine(result), P("x") + "<U+000A>y: The directory is not empty.");
}

}  // namespace
