#include "main/command.h"

#include <gtest/gtest.h>

namespace {

TEST(ParseArguments, JoinsAndSplitsAtTheFirstMarker) {
  struct Row {
    std::vector<std::string> args;
    std::string word, source, target;
  } rows[] = {
      {{"c", "C:\\a\\*.txt", "<>", "D:\\b"}, "c", "C:\\a\\*.txt", "D:\\b"},
      {{"m", "C:\\x<>D:\\y"}, "m", "C:\\x", "D:\\y"},
      {{"c", "a", "<>", "b", "<>", "c"}, "c", "a", "b <> c"},
      {{"c", "<>"}, "c", "", ""},
      {{"r", "a"}, "r", "a", ""},
      {{"make", "C:\\My  Dir"}, "make", "C:\\My  Dir", ""},  // quoted blanks survive
      {{"c", "a <> b"}, "c", "a", "b"},                      // quotes do not protect "<>"
      {{" Make "}, "Make", "", ""},
      {{}, "", "", ""},
      {{"d", " spaced ", "out "}, "d", "spaced  out", ""},
  };
  for (const Row& row : rows) {
    std::string trace;
    for (const auto& a : row.args) trace += "[" + a + "]";
    SCOPED_TRACE(trace);
    ParseArguments(row.args);
    EXPECT_EQ(CommandWord, row.word);
    EXPECT_EQ(SourcePath, row.source);
    EXPECT_EQ(TargetPath, row.target);
  }
}

}  // namespace
