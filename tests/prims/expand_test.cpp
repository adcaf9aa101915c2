#include "prims/expand.h"

#include <gtest/gtest.h>

#include <chrono>

#include "main/errors.h"
#include "support/temp_dir.h"

namespace {

// Expansion stops at its limit at once; only a runaway expansion takes
// this long, even on a machine whose cores are all busy (under Wine too).
constexpr auto kNoHang = std::chrono::seconds(20);

class ExpandEnvRefsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetEnvironment("FO_T", "C:\\T");
    SetEnvironment("FO_A", "1");
    SetEnvironment("FO_B", "2");
    SetEnvironment("FO_NOPE", nullptr);
    SetEnvironment("FO_REF", "%FO_B%x");
    SetEnvironment("FO_SELF", "%FO_SELF%");
    SetEnvironment("FO_GROW", "y%FO_GROW%");
    SetEnvironment("FO_HALF", "50%");
  }
  void TearDown() override {
    for (const char* name : {"FO_T", "FO_A", "FO_B", "FO_REF", "FO_SELF", "FO_GROW", "FO_HALF"}) {
      SetEnvironment(name, nullptr);
    }
  }
};

TEST_F(ExpandEnvRefsTest, ReplacesReferencesLeftToRight) {
  struct Row { std::string in, out; } rows[] = {
      {"%FO_T%\\x", "C:\\T\\x"},
      {"%FO_NOPE%\\x", "\\x"},
      {"a%%b", "ab"},
      {"%FO_A%%FO_B%", "12"},
      {"no references", "no references"},
      {"%FO_REF%", "2x"},             // a value's own reference is expanded in its turn
      {"%FO_HALF%%FO_A%", "50FO_A%"},  // a value's "%" pairs with what follows
      {"", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.in);
    EXPECT_EQ(ExpandEnvRefs(row.in), row.out);
  }
}

// These used to expand without end: each must end, quickly, with a result
// that follows the stated rules.
TEST_F(ExpandEnvRefsTest, AlwaysEnds) {
  struct Row { std::string in, out; } rows[] = {
      {"%", "%"},
      {"a%b", "a%b"},                          // unpaired: kept with what follows
      {"%FO_A%x%", "1x%"},
      {"%FO_A%%", "1%"},
      {"%%%", "%"},
      {"%FO_SELF%", "%FO_SELF%"},              // stops at the reference limit
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.in);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ExpandEnvRefs(row.in), row.out);
    EXPECT_LT(std::chrono::steady_clock::now() - start, kNoHang);
  }
}

TEST_F(ExpandEnvRefsTest, GrowingValueStopsAtTheLimit) {
  const auto start = std::chrono::steady_clock::now();
  const std::string out = ExpandEnvRefs("%FO_GROW%");
  EXPECT_LT(std::chrono::steady_clock::now() - start, kNoHang);
  // Every replaced reference put one "y" in front; the reference that was
  // not expanded any more stays at the end.
  EXPECT_EQ(out, std::string(kExpansionReferenceLimit, 'y') + "%FO_GROW%");
}

TEST_F(ExpandEnvRefsTest, ManyEmptyReferencesAreLinear) {
  const std::string in(200000, '%');  // 100,000 "%%" pairs
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ExpandEnvRefs(in), "");
  EXPECT_LT(std::chrono::steady_clock::now() - start, kNoHang);
}

// A path that something is removed from must not widen because a variable
// is missing: the first reference that expanded to nothing is named.
TEST_F(ExpandEnvRefsTest, ReportsTheFirstUnsetOrEmptyVariable) {
  SetEnvironment("FO_EMPTY", "");
  SetEnvironment("FO_TO_NOPE", "%FO_NOPE%");
  struct Row { std::string in, out; std::optional<std::string> unset; } rows[] = {
      {"C:\\App\\%FO_NOPE%", "C:\\App\\", "FO_NOPE"},
      {"%FO_A%\\%FO_EMPTY%\\%FO_NOPE%", "1\\\\", "FO_EMPTY"},
      {"%FO_TO_NOPE%x", "x", "FO_NOPE"},  // reached through a value
      {"%FO_T%\\a%%b", "C:\\T\\ab", std::nullopt},  // %% names no variable
      {"50%", "50%", std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.in);
    std::optional<std::string> unset;
    EXPECT_EQ(ExpandEnvRefs(row.in, unset), row.out);
    EXPECT_EQ(unset, row.unset);
    if (row.unset) {
      try {
        ExpandRemovedPath(row.in);
        ADD_FAILURE() << "no error raised";
      } catch (const EInOutError& error) {
        EXPECT_EQ(error.Message(), "Environment variable " + *row.unset + " is not set");
        EXPECT_EQ(error.IoCode, 203);
      }
    } else {
      EXPECT_EQ(ExpandRemovedPath(row.in), row.out);
    }
  }
  SetEnvironment("FO_EMPTY", nullptr);
  SetEnvironment("FO_TO_NOPE", nullptr);
}

TEST(ReadEnvVar, UnsetAndEmptyGiveEmptyText) {
  SetEnvironment("FO_SET", "value");
  EXPECT_EQ(ReadEnvVar("FO_SET"), "value");
  SetEnvironment("FO_SET", nullptr);
  EXPECT_EQ(ReadEnvVar("FO_SET"), "");
  EXPECT_EQ(ReadEnvVar(""), "");
}

using IsDirectoryTest = TempDirTest;

TEST_F(IsDirectoryTest, OnlyExistingDirectories) {
  WriteFile("f.txt");
  MakeDir("d");
  const std::string sep(1, Separator());
  struct Row { std::string path; bool directory; } rows[] = {
      {Path("f.txt"), false},
      {Path("missing"), false},
      {"", false},
      {Path("d") + sep + "a*", false},
      {Path("*"), false},
      {Path("d"), true},
      {Path("d") + sep, true},
      {Root(), true},
      {sep, true},  // the root of the current drive
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    EXPECT_EQ(IsDirectory(row.path), row.directory);
  }
}

}  // namespace
