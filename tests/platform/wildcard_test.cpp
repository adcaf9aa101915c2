#include "platform/wildcard.h"

#include <gtest/gtest.h>

namespace {

TEST(MatchesMask, WildcardsAndLetterCase) {
  const Conventions win = WindowsConventions();
  const Conventions posix = PosixConventions();
  struct Row { std::string name, pattern; bool windows, posix; } rows[] = {
      {"x.html", "*.htm", false, false},  // what an 8.3 alias would have matched
      {"x.htm", "*.htm", true, true},
      {"X.HTM", "*.htm", true, false},
      {"readme", "*.*", true, true},      // "*.*" takes every name
      {".", "*", true, true},
      {"a.txt", "a*.txt", true, true},
      {"ab.txt", "a?.txt", true, true},
      {"a.txt", "a?.txt", false, false},
      {"abc", "*", true, true},
      {"", "*", true, true},
      {"aXbXc", "a*b*c", true, true},
      {"aXbXd", "a*b*c", false, false},
      {"log.1.txt", "*.txt", true, true},
      {"a", "", false, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name + " ~ " + row.pattern);
    EXPECT_EQ(MatchesMask(row.name, row.pattern, win), row.windows);
    EXPECT_EQ(MatchesMask(row.name, row.pattern, posix), row.posix);
  }
}

TEST(MatchesMask, DoubleByteCharacterIsOneCharacter) {
  LeadBytes lead;
  lead.set(0x81);
  const Conventions win = WindowsConventions(lead);
  EXPECT_TRUE(MatchesMask("\x81\x41.txt", "?.txt", win));
  EXPECT_FALSE(MatchesMask("\x81\x41.txt", "??.txt", win));
  EXPECT_TRUE(MatchesMask("\x81\x41.txt", "??.txt", WindowsConventions()));
}

TEST(MatchesMask, LongNamesStayFast) {
  const Conventions posix = PosixConventions();
  std::string name(5000, 'a');
  EXPECT_FALSE(MatchesMask(name, "*a*a*a*a*b", posix));
}

}  // namespace
