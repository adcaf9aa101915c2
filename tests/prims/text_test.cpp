#include "prims/text.h"

#include <gtest/gtest.h>

namespace {

// A code page in which 0x81..0x9F and 0xE0..0xFC begin two-byte characters
// and 0x5C ("\") can be a trail byte.
LeadBytes DoubleByteLeads() {
  LeadBytes lead;
  for (unsigned b = 0x81; b <= 0x9F; ++b) lead.set(b);
  for (unsigned b = 0xE0; b <= 0xFC; ++b) lead.set(b);
  return lead;
}

const Conventions kSingle = WindowsConventions();
const Conventions kDouble = WindowsConventions(DoubleByteLeads());

TEST(TrimBlanks, CutsControlBytesAtBothEndsOnly) {
  struct Row { std::string in, out; } rows[] = {
      {"", ""},
      {" \t\r\n ", ""},
      {"  a b  ", "a b"},
      {std::string("\0a\0", 3), "a"},
      {"\x01x\x20", "x"},
      {"\xA0x\xA0", "\xA0x\xA0"},
      {"a\t\tb", "a\t\tb"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.in);
    EXPECT_EQ(TrimBlanks(row.in), row.out);
  }
}

TEST(LowerAscii, RaisesOnlyAToZ) {
  EXPECT_EQ(LowerAscii("MAKE"), "make");
  EXPECT_EQ(LowerAscii("\xC4Z@[`"), "\xC4z@[`");
  EXPECT_EQ(LowerAscii(""), "");
}

TEST(FindText, FirstByteForByteOccurrence) {
  struct Row { std::string needle, text; size_t at; } rows[] = {
      {"<>", "a<>b<>c", 2}, {"", "abc", 0}, {"a", "", 0}, {"abcd", "abc", 0},
      {"c", "abc", 3},      {"x", "abc", 0},
      // Not character-aware: a trail byte 0x5C is found.
      {"\\", "\x81\\", 2},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.needle + " in " + row.text);
    EXPECT_EQ(FindText(row.needle, row.text), row.at);
  }
}

TEST(ContainsTextCI, UpperCasesBothAndSkipsTrailBytes) {
  struct Row { std::string text, needle; const Conventions* c; bool found; } rows[] = {
      {"abc", "", &kSingle, false},
      {"", "a", &kSingle, false},
      {"C:\\Data\\*.TXT", "*.", &kSingle, true},
      {"ab", "AB", &kSingle, true},
      {"AB", "ab", &kSingle, true},
      {"a<>b", "<>", &kSingle, true},
      {"\x81\\", "\\", &kSingle, true},   // single-byte page: a plain backslash
      {"\x81\\", "\\", &kDouble, false},  // double-byte page: a trail byte
      {"\x81\\\\", "\\", &kDouble, true},
      {"\x81z", "Z", &kDouble, false},    // a trail byte is never upper-cased
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text + " / " + row.needle);
    EXPECT_EQ(ContainsTextCI(row.text, row.needle, *row.c), row.found);
  }
}

TEST(ReplaceText, FirstOccurrenceAndLetterCase) {
  struct Row {
    std::string text, pattern, replacement;
    unsigned flags;
    const Conventions* c;
    std::string out;
  } rows[] = {
      {"C:\\Src\\a\\C:\\Src", "c:\\src", "", kIgnoreCase, &kSingle, "\\a\\C:\\Src"},
      {"%A%x%A%", "%A%", "1", 0, &kSingle, "1x%A%"},
      {"%A%x%A%", "%A%", "1", kReplaceAll, &kSingle, "1x1"},
      {"%A%x%A%", "", "1", 0, &kSingle, "%A%x%A%"},
      {"abc", "B", "x", 0, &kSingle, "abc"},
      {"aBc", "b", "x", kIgnoreCase, &kSingle, "axc"},
      {"", "a", "b", 0, &kSingle, ""},
      {"aaa", "aa", "b", kReplaceAll, &kSingle, "ba"},
      {"xx", "x", "xx", kReplaceAll, &kSingle, "xxxx"},  // a replacement is never searched again
      // The trail byte 0x5C is no backslash; the next one is.
      {"\x81\\a\\b", "\\", "/", 0, &kDouble, "\x81\\a/b"},
      {"\x81\\a\\b", "\\", "/", 0, &kSingle, "\x81/a\\b"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text + " / " + row.pattern);
    EXPECT_EQ(ReplaceText(row.text, row.pattern, row.replacement, row.flags, *row.c), row.out);
  }
}

TEST(CopyText, ClampsIndexAndCount) {
  struct Row { std::string text; long long index, count; std::string out; } rows[] = {
      {"abc", 0, 2, "ab"},  {"abc", 1, 2, "ab"},   {"abc", -5, 2, "ab"}, {"abc", 2, 100, "bc"},
      {"abc", 4, 1, ""},    {"abc", 1, -1, ""},    {"abc", 2, 0, ""},    {"", 1, 1, ""},
      {"abc", 3, 1, "c"},   {"abc", 1, 3, "abc"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text + " " + std::to_string(row.index) + " " + std::to_string(row.count));
    EXPECT_EQ(CopyText(row.text, row.index, row.count), row.out);
  }
}

TEST(LastDelimiterPos, LastDelimiterThatIsNoTrailByte) {
  struct Row { std::string delimiters, text; const Conventions* c; size_t at; } rows[] = {
      {"\\", "C:\\a\\b", &kSingle, 5},
      {"\\", "abc", &kSingle, 0},
      {"\\:", "C:b.txt", &kSingle, 2},
      {"\\", "", &kSingle, 0},
      {"\\", "a\\\x81\\", &kSingle, 4},
      {"\\", "a\\\x81\\", &kDouble, 2},      // the last byte is a trail byte
      {"\\", "a\\\x81\x81\\", &kDouble, 5},  // two lead bytes: the second is a trail byte
      {std::string("\0", 1), std::string("a\0b", 3), &kSingle, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(LastDelimiterPos(row.delimiters, row.text, row.c->leadBytes), row.at);
  }
}

TEST(IsTrailByte, OddRunOfLeadBytesBefore) {
  const LeadBytes lead = DoubleByteLeads();
  const std::string text = "\x81\x81\x81\\";
  EXPECT_FALSE(IsTrailByte(text, 0, lead));
  EXPECT_TRUE(IsTrailByte(text, 1, lead));
  EXPECT_FALSE(IsTrailByte(text, 2, lead));
  EXPECT_TRUE(IsTrailByte(text, 3, lead));
  EXPECT_FALSE(IsTrailByte(text, 3, LeadBytes{}));
}

}  // namespace
