// The Windows name layer's rules, run on any host.
#include "platform/windows_rules.h"

#include <gtest/gtest.h>

namespace {

TEST(WindowsText, RoundTripsEveryName) {
  const std::u16string names[] = {
      u"plain.txt",
      u"\u4e2d\u6587\u540d.txt",            // Chinese
      u"\u0395\u03bb\u03bb\u03b7\u03bd\u03b9\u03ba\u03ac",  // Greek
      u"\u0639\u0631\u0628\u064a",           // Arabic
      u"e\u0301te\u0301",                    // combining accents
      u"\U0001F600 outside the BMP",
      u"..\uff0fvictim\uff0fx.txt",          // fullwidth solidus: no separator
      std::u16string(u"lone \xD800 high"),
      std::u16string(u"lone \xDC00 low"),
      std::u16string(u"\xDC00\xD800 reversed pair"),
      std::u16string(u"end \xD83D"),
  };
  for (const std::u16string& name : names) {
    SCOPED_TRACE(std::string(NarrowFromWide(name)));
    EXPECT_EQ(WideFromNarrow(NarrowFromWide(name)), name);
  }
  // Valid text is plain UTF-8; no byte of it is ASCII unless the character is.
  EXPECT_EQ(NarrowFromWide(u"\u00c5\U0001F600"), "\xC3\x85\xF0\x9F\x98\x80");
  EXPECT_EQ(NarrowFromWide(u"..\uff0fx").find('/'), std::string::npos);
  // Two lone surrogates stay two distinct names.
  EXPECT_NE(NarrowFromWide(std::u16string(u"\xD800")), NarrowFromWide(std::u16string(u"\xD801")));
  EXPECT_EQ(WideFromNarrow("\xFF" "a"), u"\uFFFDa");
}

char16_t ToyUpper(char16_t unit) {
  if (unit >= u'a' && unit <= u'z') return unit - 0x20;
  if (unit == u'\u00e5') return u'\u00c5';  // same length in UTF-8
  if (unit == u'\u0131') return u'I';       // dotless i: would shrink to one byte
  return unit;
}

TEST(WindowsText, UpperCasingKeepsByteLengths) {
  struct Row { std::string in, out; } rows[] = {
      {"abc.TXT", "ABC.TXT"},
      {"\xC3\xA5r", "\xC3\x85R"},        // å -> Å, both two bytes
      {"\xC4\xB1x", "\xC4\xB1X"},        // ı stays: its upper case is one byte
      {"\xF0\x9F\x98\x80z", "\xF0\x9F\x98\x80Z"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.in);
    std::string text = row.in;
    UpperSameLength(text, &ToyUpper);
    EXPECT_EQ(text, row.out);
  }
}

TEST(WindowsReparse, OnlyNameSurrogatesAreLinks) {
  struct Row { const char* what; uint32_t tag; bool link; } rows[] = {
      {"symbolic link", 0xA000000C, true},   {"junction / mount point", 0xA0000003, true},
      {"WSL symbolic link", 0xA000001D, true}, {"tag not readable", 0, true},
      {"cloud files placeholder", 0x9000001A, false}, {"cloud files, another", 0x9000601A, false},
      {"deduplicated file", 0x80000013, false}, {"OneDrive", 0x80000021, false},
      {"app execution alias", 0x8000001B, false}, {"projected file system", 0x9000001C, false},
      {"WIM image", 0x80000008, false},       {"Unix socket", 0x80000023, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(IsLinkReparseTag(row.tag), row.link);
  }
}

TEST(WindowsNames, SearchNamesThatCannotBeReal) {
  struct Row { std::string name; bool plain; } rows[] = {
      {"a.txt", true},  {"..\xEF\xBC\x8Fvictim", true}, {"\xE4\xB8\xAD", true}, {" lead blank", true},
      {"../victim", false}, {"a\\b", false}, {"c:x", false}, {"*", false}, {"a?", false}, {"\"q\"", false},
      {"<", false}, {">", false}, {"a|b", false}, {"tab\t", false}, {"", false}, {".", false}, {"..", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(IsPlainWin32Name(row.name), row.plain);
  }
}

TEST(WindowsPaths, ExtendedLengthForms) {
  EXPECT_EQ(ExtendedLengthPath(u"C:\\a\\b"), u"\\\\?\\C:\\a\\b");
  EXPECT_EQ(ExtendedLengthPath(u"\\\\srv\\share\\x"), u"\\\\?\\UNC\\srv\\share\\x");
  EXPECT_EQ(ExtendedLengthPath(u"\\\\?\\C:\\a"), u"\\\\?\\C:\\a");
  EXPECT_EQ(ExtendedLengthPath(u"\\\\.\\pipe\\p"), u"\\\\.\\pipe\\p");
}

TEST(WindowsReport, NoBoxWithoutAVisibleWindowStation) {
  const ReportRoute desktop = RouteReport(true, true);
  EXPECT_TRUE(desktop.box);
  EXPECT_FALSE(desktop.debugger || desktop.standardError);
  const ReportRoute service = RouteReport(false, false);
  EXPECT_FALSE(service.box);
  EXPECT_TRUE(service.debugger);
  EXPECT_FALSE(service.standardError);
  const ReportRoute task = RouteReport(false, true);
  EXPECT_FALSE(task.box);
  EXPECT_TRUE(task.debugger && task.standardError);
}

}  // namespace
