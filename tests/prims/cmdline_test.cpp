#include "prims/cmdline.h"

#include <gtest/gtest.h>

namespace {

using Args = std::vector<std::string>;

TEST(SplitCommandLine, QuotesBlanksAndControlBytes) {
  // Q in the descriptions stands for the double quote.
  struct Row { std::string raw; Args args; } rows[] = {
      {"prog c \"C:\\My Files\"\\a.txt <> D:\\x", {"c", "C:\\My Files\\a.txt", "<>", "D:\\x"}},
      {"prog d \"C:\\a b <> c", {"d", "C:\\a b <> c"}},       // never closed
      {"prog \"\" c x", {"c", "x"}},                           // a lone pair is skipped
      {"prog \"a\"\"b\"", {"ab"}},
      {"prog \"C:\\dir\\\"", {"C:\\dir\\"}},                   // backslash escapes nothing
      {"prog a\tb\x01" "c", {"a", "b", "c"}},
      {"prog \"a\tb\"", {"a\tb"}},
      {"prog c \"", {"c"}},                                     // a lone final quote
      {"prog", {}},
      {"", {}},
      {"\"C:\\Program Files\\prog.exe\" make x", {"make", "x"}},
      {"prog   a    b  ", {"a", "b"}},
      {"prog x\"y z\"w", {"xy zw"}},
      {"prog \"\"\"\" a", {"a"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.raw);
    EXPECT_EQ(SplitCommandLine(row.raw, LeadBytes{}), row.args);
  }
}

TEST(SplitCommandLine, TrailBytesAreNeverQuotesOrBlanks) {
  LeadBytes lead;
  lead.set(0x81);
  // 0x81 0x22 is one character: its second byte is no quote; 0x81 0x20 is
  // one character: its second byte is no blank.
  EXPECT_EQ(SplitCommandLine("p a\x81\"b c", lead), (Args{"a\x81\"b", "c"}));
  EXPECT_EQ(SplitCommandLine("p a\x81 b", lead), (Args{"a\x81 b"}));
  EXPECT_EQ(SplitCommandLine("p a\x81\"b c", LeadBytes{}), (Args{"a\x81" "b c"}));
}

TEST(NextArgument, StopsAfterEachArgument) {
  size_t position = 0;
  const std::string raw = "prog  one \"two three\"";
  EXPECT_EQ(NextArgument(raw, position, {}), "prog");
  EXPECT_EQ(NextArgument(raw, position, {}), "one");
  EXPECT_EQ(NextArgument(raw, position, {}), "two three");
  EXPECT_EQ(position, raw.size());
  EXPECT_EQ(NextArgument(raw, position, {}), "");
}

TEST(ArgumentAt, OutOfRangeGivesEmptyText) {
  const int n = ArgumentCount();
  EXPECT_EQ(ArgumentAt(n + 1), "");
  EXPECT_EQ(ArgumentAt(-1), "");
  EXPECT_FALSE(ArgumentAt(0).empty());
}

}  // namespace
