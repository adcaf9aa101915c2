// The Windows name layer's rules, run on any host.
#include "platform/windows_rules.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

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

// Session 0 (services, tasks with nobody logged on) has no desktop anybody
// sees, and a window station that cannot be asked counts as unseen: in both
// a box would block its caller for ever.
TEST(WindowsReport, DesktopVisibleOnlyOutsideSessionZeroOnAVisibleStation) {
  struct Row { const char* what; bool sessionKnown; uint32_t session; bool stationKnown, stationVisible, visible; } rows[] = {
      {"a user's desktop", true, 1, true, true, true},
      {"session 0, visible station", true, 0, true, true, false},
      {"session 0, station unknown", true, 0, false, false, false},
      {"station query failed", true, 2, false, true, false},
      {"invisible station", true, 1, true, false, false},
      {"session unknown, visible station", false, 0, true, true, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(DesktopVisible(row.sessionKnown, row.session, row.stationKnown, row.stationVisible), row.visible);
  }
}

// The choice between the newer information classes (delete with POSIX
// semantics, rename with flags) and the older ones: only a refusal of the
// class itself leads to the older one; a refusal about the file stands, so
// that a read-only file is never deleted the other way.
TEST(WindowsNative, OlderClassOnlyWhereTheNewerIsUnknown) {
  struct Row { const char* what; uint32_t newer; bool fallsBack; } rows[] = {
      {"Wine: not implemented", nt_status::kNotImplemented, true},
      {"old system: unknown class", nt_status::kInvalidInfoClass, true},
      {"FAT: invalid parameter", nt_status::kInvalidParameter, true},
      {"network: not supported", nt_status::kNotSupported, true},
      {"device request", nt_status::kInvalidDeviceRequest, true},
      {"done", nt_status::kSuccess, false},
      {"read-only file", nt_status::kCannotDelete, false},
      {"not empty", nt_status::kDirectoryNotEmpty, false},
      {"in use", nt_status::kSharingViolation, false},
      {"no access", nt_status::kAccessDenied, false},
      {"name taken", nt_status::kObjectNameCollision, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::vector<bool> tried;
    const uint32_t older = 0x1234;
    const uint32_t result = WithNewerClassFirst(
        [&](bool newer) {
          tried.push_back(newer);
          return newer ? row.newer : older;
        },
        nullptr);
    EXPECT_EQ(tried, row.fallsBack ? std::vector<bool>({true, false}) : std::vector<bool>({true}));
    EXPECT_EQ(result, row.fallsBack ? older : row.newer);
    EXPECT_EQ(RefusedAsUnknownClass(row.newer), row.fallsBack);
  }
  // A volume that refused the newer class once is asked the older way at
  // once afterwards; one that knows it keeps being asked the newer way.
  std::atomic<bool> olderOnly{false};
  int newerAttempts = 0;
  const auto refusing = [&](bool newer) -> uint32_t {
    newerAttempts += newer;
    return newer ? nt_status::kInvalidParameter : nt_status::kSuccess;
  };
  EXPECT_EQ(WithNewerClassFirst(refusing, &olderOnly), nt_status::kSuccess);
  EXPECT_EQ(WithNewerClassFirst(refusing, &olderOnly), nt_status::kSuccess);
  EXPECT_EQ(newerAttempts, 1);
  EXPECT_TRUE(olderOnly.load());
  std::atomic<bool> knows{false};
  const auto knowing = [](bool newer) -> uint32_t { return newer ? nt_status::kSuccess : nt_status::kAccessDenied; };
  EXPECT_EQ(WithNewerClassFirst(knowing, &knows), nt_status::kSuccess);
  EXPECT_FALSE(knows.load());
}

std::u16string Repeat(char16_t unit, size_t count) { return std::u16string(count, unit); }

// What real Windows reads differently from what is written, and Wine does
// not: the checker the test build runs on every path the layer hands over.
TEST(WindowsPaths, PathRulesOfTheWideFunctions) {
  const std::u16string dir230 = u"C:\\" + Repeat(u'd', 227);  // a target directory of 230 characters
  // What the layer used to hand CopyFileExW for a single-file copy into it:
  // the partial file's full path, past 259 characters (row 5 of the issue).
  const std::u16string oldPartial = dir230 + u"\\~fileop-partial-0123456789abcdef-4242.tmp";
  struct Row { const char* what; std::u16string path; PathUse use; bool breach; } rows[] = {
      {"a plain path", u"C:\\data\\file.txt", PathUse::kFile, false},
      {"the old partial file in a 230-character directory", oldPartial, PathUse::kFile, true},
      {"259 characters", u"C:\\" + Repeat(u'x', 256), PathUse::kFile, false},
      {"260 characters", u"C:\\" + Repeat(u'x', 257), PathUse::kFile, true},
      {"a directory of 247 characters made", u"C:\\" + Repeat(u'x', 244), PathUse::kCreateDirectory, false},
      {"a directory of 248 characters made", u"C:\\" + Repeat(u'x', 245), PathUse::kCreateDirectory, true},
      {"any length in extended form", u"\\\\?\\C:\\" + Repeat(u'x', 30000), PathUse::kCreateDirectory, false},
      {"a name ending in a dot", u"C:\\x\\dd.\\f", PathUse::kFile, true},
      {"a last name ending in a blank", u"C:\\x\\f ", PathUse::kFile, true},
      {"dots and blanks in extended form", u"\\\\?\\C:\\x\\dd.\\f ", PathUse::kFile, false},
      {"a device name", u"C:\\x\\con", PathUse::kFile, true},
      {"a device name with an extension", u"C:\\x\\NUL.txt", PathUse::kFile, true},
      {"a device name with a superscript digit", u"C:\\x\\com\u00B9", PathUse::kFile, true},
      {"a name that only begins like a device", u"C:\\x\\console.txt", PathUse::kFile, false},
      {"COM10 is no device", u"C:\\x\\com10", PathUse::kFile, false},
      {"a device named in its own form", u"\\\\.\\CON", PathUse::kFile, false},
      {"a search pattern ending in a dot", u"C:\\x\\*.", PathUse::kSearch, false},
      {"a search below a directory ending in a dot", u"C:\\x.\\*", PathUse::kSearch, true},
      {"a share", u"\\\\server\\share\\dir\\f.txt", PathUse::kFile, false},
      {"a share's name ending in a blank", u"\\\\server\\share\\dir \\f.txt", PathUse::kFile, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(!PathRuleBreach(row.path, row.use).empty(), row.breach) << PathRuleBreach(row.path, row.use);
    EXPECT_EQ(NeedsExtendedForm(row.path, row.use), row.breach);
  }
  EXPECT_TRUE(IsReservedDeviceName(u"lpt9 .log"));
  EXPECT_FALSE(IsReservedDeviceName(u"lpt0"));
  EXPECT_FALSE(IsReservedDeviceName(u"auxiliary"));
}

TEST(WindowsPaths, VolumeRoots) {
  struct Row { std::u16string path; size_t length; } rows[] = {
      {u"C:\\a\\b", 3},
      {u"C:\\", 3},
      {u"C:", 2},
      {u"\\\\server\\share\\a", 15},
      {u"\\\\server\\share", 14},
      {u"\\\\?\\C:\\a", 7},
      {u"\\\\?\\UNC\\server\\share\\a", 21},
      {u"\\\\?\\Volume{01234567-89ab-cdef-0123-456789abcdef}\\a", 49},
      {u"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1\\a", 38},
      {u"\\\\.\\C:\\a", 7},
      {u"relative\\a", 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(NarrowFromWide(row.path));
    EXPECT_EQ(VolumeRootLength(row.path), row.length);
  }
}

TEST(WindowsPartialFiles, NamesNobodyCanPredictAndTheirKin) {
  const std::u16string name = PartialFileName(0x0123456789abcdefull, 0xfedcba9876543210ull);
  EXPECT_EQ(name, u"~fileop-partial-0123456789abcdeffedcba9876543210.tmp");
  EXPECT_NE(PartialFileName(1, 2), PartialFileName(1, 3));
  struct Row { std::u16string name; bool partial; } rows[] = {
      {name, true},
      {u"~fileop-partial-0123456789abcdef-4242.tmp", true},  // an earlier version's
      {u"~fileop-partial-.tmp", false},
      {u"~fileop-partial-x.tmp.bak", false},
      {u"fileop-partial-1.tmp", false},
      {u"report.tmp", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(NarrowFromWide(row.name));
    EXPECT_EQ(IsPartialFileName(row.name), row.partial);
  }
}

TEST(WindowsPaths, WineNamesWithoutTrailingDotsAndBlanks) {
  EXPECT_EQ(WithoutTrailingDotsAndBlanks(u"\\tmp\\dd.\\a. .\\b "), u"\\tmp\\dd\\a\\b");
  EXPECT_EQ(WithoutTrailingDotsAndBlanks(u"\\"), u"\\");
  EXPECT_EQ(WithoutTrailingDotsAndBlanks(u"\\a\\..\\.x"), u"\\a\\..\\.x");
}

}  // namespace
