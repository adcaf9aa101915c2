// The end-to-end fixture: a fresh host directory per test, and the checks
// every case makes of a run's exit code and report.
#pragma once

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "e2e/runner.h"

namespace fs = std::filesystem;

class E2ETest : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<unsigned> counter{0};
    root_ = fs::temp_directory_path() /
            ("fileop-e2e-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(root_);
  }
  void TearDown() override {
    std::error_code ignored;
    for (auto it = fs::recursive_directory_iterator(root_, ignored); it != fs::recursive_directory_iterator();
         it.increment(ignored)) {
      if (!it->is_symlink(ignored)) fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
    fs::remove_all(root_, ignored);
  }

  const Program& program() const { return Program::Get(); }
  std::string Sep() const { return std::string(1, program().Separator()); }
  // The host path of `relative` (written with "/") below the fixture.
  fs::path Host(const std::string& relative) const { return relative.empty() ? root_ : root_ / relative; }
  // The same path as the program names it.
  std::string P(const std::string& relative) const { return program().PathFor(Host(relative)); }

  RunResult Run(const std::vector<std::string>& args, const EnvList& env = {}) const {
    return program().Run(args, env);
  }

  void Write(const std::string& relative, const std::string& content = "x") const {
    fs::create_directories(Host(relative).parent_path());
    std::ofstream(Host(relative), std::ios::binary) << content;
  }
  std::string Read(const std::string& relative) const {
    std::ifstream in(Host(relative), std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
  }
  void Dir(const std::string& relative) const { fs::create_directories(Host(relative)); }
  bool Exists(const std::string& relative) const {
    std::error_code ignored;
    return fs::exists(fs::symlink_status(Host(relative), ignored));
  }
  bool IsDir(const std::string& relative) const {
    std::error_code ignored;
    return fs::is_directory(fs::symlink_status(Host(relative), ignored));
  }
  void ReadOnly(const std::string& relative) const {
    fs::permissions(Host(relative), fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
  }

  // Whether the fixture's file system copies a file by sharing its blocks
  // (btrfs, XFS): such a copy is one step, with no moment half-way.
  bool ClonesFiles() const {
    Write(".clone-probe", std::string(1 << 16, 'c'));
    const int from = open(Host(".clone-probe").c_str(), O_RDONLY | O_CLOEXEC);
    const int to = open(Host(".clone-probe-copy").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    const bool clones = from >= 0 && to >= 0 && ioctl(to, FICLONE, from) == 0;
    if (from >= 0) close(from);
    if (to >= 0) close(to);
    fs::remove(Host(".clone-probe"));
    fs::remove(Host(".clone-probe-copy"));
    return clones;
  }
  static constexpr const char* kClonedCopy =
      "this file system clones files: the program's copy of a file is one step, with no moment half-way to "
      "kill it in";

  // A normal end: exit code 0 and nothing shown.
  static void ExpectQuiet(const RunResult& result) {
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 0) << "error output: [" << result.errorOutput.substr(0, 2000) << "]";
    EXPECT_EQ(result.report, "");
    EXPECT_FALSE(result.boxShown);
  }

  // A fatal failure: the report with `message` on its second line, shown in
  // a box on Windows, and exit code 1 after it.
  void ExpectReport(const RunResult& result, const std::string& message,
                    const std::string& errorClass = "EInOutError") const {
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 1) << "error output: [" << result.errorOutput.substr(0, 2000) << "]";
    if (program().IsWine()) {
      EXPECT_TRUE(result.boxShown) << "no box appeared";
    }
    const std::string module = std::regex_replace(program().ModuleName(), std::regex(R"([.])"), R"(\.)");
    // A third line names the path the failure was about, where there is one.
    const std::regex form("Exception " + errorClass + " in module " + module + " at [0-9A-F]{8}\\.\n(.*)\n(?:(.*)\n)?");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(result.report, match, form)) << "report: [" << result.report << "]";
    EXPECT_EQ(match[1].str(), message);
  }

  // The report's third line (see ExpectReport); empty when it has none.
  static std::string ReportSubjectLine(const RunResult& result) {
    const size_t first = result.report.find('\n');
    const size_t second = first == std::string::npos ? first : result.report.find('\n', first + 1);
    if (second == std::string::npos || second + 1 >= result.report.size()) return {};
    std::string third = result.report.substr(second + 1);
    if (!third.empty() && third.back() == '\n') third.pop_back();
    return third;
  }

 private:
  fs::path root_;
};
