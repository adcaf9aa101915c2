// Hostile input, end to end: each command ends at once with exit code 0 or
// a clear report, and touches nothing outside the directory it names.
#include <map>

#include "e2e/fixture.h"

namespace {

class Hostile : public E2ETest {
 protected:
  void SetUp() override {
    E2ETest::SetUp();
    Dir("work");
    Write("outside/keep.txt", "keep");
    Write("outside/sub/deep.txt", "deep");
    before_ = Snapshot();
  }

  // Every path below the fixture outside "work", with its content.
  std::map<std::string, std::string> Snapshot() const {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(Host("outside"))) {
      files[entry.path().string()] = entry.is_regular_file() ? Read(fs::relative(entry.path(), Host("")).string()) : "<dir>";
    }
    return files;
  }

  // Runs in "work" and checks the promise: a quick, clean end. "Quick" is a
  // bound only a hang or a slowdown by an order of magnitude breaks, on a
  // machine whose cores are all busy (a run takes milliseconds natively,
  // under a second under Wine); the benchmarks measure the real figures.
  RunResult RunChecked(const std::vector<std::string>& args, const EnvList& env = {}, double wineSeconds = 30.0) const {
    RunResult result = program().Run(args, env, Host("work"));
    EXPECT_FALSE(result.timedOut);
    EXPECT_TRUE(result.exitCode == 0 || result.exitCode == 1) << "exit code " << result.exitCode;
    if (result.exitCode == 0) {
      EXPECT_EQ(result.report, "");
    } else {
      EXPECT_EQ(result.report.rfind("Exception E", 0), 0u)
          << "report [" << result.report << "] box " << result.boxShown << " after " << result.seconds << " s: " << result.errorOutput.substr(0, 300);
    }
    // A box waits for its dismissal, which the runner polls for.
    EXPECT_LT(result.seconds, program().IsWine() ? wineSeconds : 10.0);
    EXPECT_EQ(Snapshot(), before_);
    return result;
  }

 private:
  std::map<std::string, std::string> before_;
};

TEST_F(Hostile, VeryLongArguments) {
  // Windows limits a whole command line to 32,767 characters, so a longer
  // argument never reaches the program there; the Windows build gets the
  // longest that fits.
  const std::string longName(program().IsWine() ? 32000 - Host("work").string().size() : 100 * 1024, 'a');
  for (const char* verb : {"d", "make", "r", "c", "m"}) {
    SCOPED_TRACE(verb);
    RunChecked({verb, longName, "<>", "t"});
    RunChecked({verb, P("work") + Sep() + longName});
  }
  RunChecked({std::string(longName.size(), 'c'), "x"});
}

TEST_F(Hostile, ControlAndNonAsciiBytes) {
  const std::vector<std::string> names = {"ctl\x01\x02\x1f", "del\x7f", "caf\xc3\xa9", "\xff\xfe", "tab\tname",
                                          "line\nbreak"};
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    RunChecked({"make", name});
    RunChecked({"c", name, "<>", "copy"});
    RunChecked({"m", name, "<>", "moved"});
    RunChecked({"d", name});
    RunChecked({"d", "moved"});
  }
}

TEST_F(Hostile, UnpairedAndSelfReferencingPercent) {
  const EnvList env = {{"FO_SELF", "%FO_SELF%"}, {"FO_GROW", "x%FO_GROW%"}, {"FO_HALF", "50%"}};
  for (const std::string& path : {std::string("%"), std::string("50%"), std::string("%FO_SELF%"),
                                  std::string("%FO_GROW%"), std::string("%FO_HALF%%"), std::string(20000, '%')}) {
    SCOPED_TRACE(path.substr(0, 40));
    RunChecked({"d", path}, env);
    RunChecked({"c", path, "<>", "t"}, env);
    RunChecked({"m", path, "<>", "t"}, env);
  }
}

TEST_F(Hostile, ThreeHundredNestedLevels) {
  std::string deep = "n", hostDeep = "n";
  for (int i = 1; i < 300; ++i) {
    deep += Sep() + "n";
    hostDeep += "/n";
  }
  // Each step of a tree operation opens its entry and asks where it is;
  // Wine works out such an answer from the whole path each time, about 3 ms
  // at this depth, so its runs take seconds there (Windows: milliseconds).
  const double wine = 240.0;
  // Every run must succeed, and each leaves the 300 levels where they
  // belong: what the next run works on is there.
  ExpectQuiet(RunChecked({"make", deep}, {}, wine));
  ASSERT_TRUE(IsDir("work/" + hostDeep));
  ExpectQuiet(RunChecked({"c", "n", "<>", "copy"}, {}, wine));
  EXPECT_TRUE(IsDir("work/copy/" + hostDeep));
  EXPECT_TRUE(IsDir("work/" + hostDeep));
  ExpectQuiet(RunChecked({"m", "copy", "<>", "moved"}, {}, wine));
  EXPECT_TRUE(IsDir("work/moved/copy/" + hostDeep));
  EXPECT_FALSE(Exists("work/copy"));
  ExpectQuiet(RunChecked({"d", "n"}, {}, wine));
  EXPECT_FALSE(Exists("work/n"));
  ExpectQuiet(RunChecked({"d", "moved"}, {}, wine));
  EXPECT_FALSE(Exists("work/moved"));
}

TEST_F(Hostile, SpacesAndMarkersInNames) {
  Write("work/with  spaces.txt", "S");
  RunChecked({"c", "with  spaces.txt", "<>", "dest dir"});
  EXPECT_EQ(Read("work/dest dir/with  spaces.txt"), "S");
  // "<>" always splits, even inside a name: the parts name other paths.
  Write("work/x", "X");
  RunChecked({"d", "x<>y"});
  EXPECT_FALSE(Exists("work/x"));
  RunChecked({"r", "dest dir<>renamed<>again"});
  RunChecked({"make", "<><><>"});
  RunChecked({"c", "<>"});
  RunChecked({"m", "<>", "<>"});
}

}  // namespace
