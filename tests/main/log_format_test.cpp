#include "main/log_format.h"

#include <gtest/gtest.h>

#include "support/json_lines.h"

namespace {

std::string Json(std::string_view text) {
  std::string out;
  AppendJsonText(out, text);
  return out;
}

TEST(AppendJsonText, EscapesWhatCouldEndALineOrAFieldAndKeepsTheRest) {
  struct Row { std::string text, json; } rows[] = {
      {"C:\\App\\data", "C:\\\\App\\\\data"},
      {"say \"hi\"", "say \\\"hi\\\""},
      {"a\nb\rc\td", "a\\nb\\rc\\td"},
      {std::string("nul\0x", 5), "nul\\u0000x"},
      {"\x1b[31m\x7f", "\\u001b[31m\\u007f"},
      {"next\xc2\x85line", "next\\u0085line"},                     // U+0085
      {"ls\xe2\x80\xa8ps\xe2\x80\xa9", "ls\\u2028ps\\u2029"},      // U+2028, U+2029
      {"\xc3\xa9t\xc3\xa9 \xe6\x97\xa5 \xf0\x9f\x98\x80", "\xc3\xa9t\xc3\xa9 \xe6\x97\xa5 \xf0\x9f\x98\x80"},
      {"latin1 \xe9t\xe9", "latin1 \\udce9t\\udce9"},             // not UTF-8: byte by byte
      {"\xed\xa0\x80", "\\udced\\udca0\\udc80"},                 // an unpaired surrogate's WTF-8 bytes
      {"\xc0\xaf", "\\udcc0\\udcaf"},                             // overlong "/"
      {"\xf4\x90\x80\x80", "\\udcf4\\udc90\\udc80\\udc80"},       // past U+10FFFF
      {"cut \xe6\x97", "cut \\udce6\\udc97"},                     // a sequence cut short
      {"", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.json);
    const std::string json = Json(row.text);
    EXPECT_EQ(json, row.json);
    // A reader gets the exact bytes back, and the line holds no raw line end.
    const auto object = json_lines::Parse("{\"path\":\"" + json + "\"}");
    ASSERT_TRUE(object.has_value());
    EXPECT_EQ(object->at("path"), row.text);
    EXPECT_EQ(json.find_first_of("\n\r"), std::string::npos);
  }
}

TEST(ShownInReport, ShowsControlCharactersAsCodesAndBackslashesAsTheyAre) {
  struct Row { std::string text, shown; } rows[] = {
      {"C:\\App\\data", "C:\\App\\data"},
      {"evil\r\nExit code 0", "evil<U+000D><U+000A>Exit code 0"},
      {"tab\there", "tab<U+0009>here"},
      {"ls\xe2\x80\xa8", "ls<U+2028>"},
      {"\xc3\xa9\"q\"", "\xc3\xa9\"q\""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.shown);
    EXPECT_EQ(ShownInReport(row.text), row.shown);
  }
}

TEST(ShortenedInMiddle, KeepsBothEndsWithinTheLimitAtCharacterBoundaries) {
  EXPECT_EQ(ShortenedInMiddle("short", 10), "short");
  const std::string path = "/top/" + std::string(3000, 'a') + "/leaf-name";
  const std::string shortened = ShortenedInMiddle(path, 100);
  EXPECT_LE(shortened.size(), 100u);
  EXPECT_EQ(shortened.substr(0, 5), "/top/");
  EXPECT_EQ(shortened.substr(shortened.size() - 10), "/leaf-name");
  EXPECT_NE(shortened.find("..."), std::string::npos);
  // Three-byte characters are never cut.
  std::string wide;
  for (int i = 0; i < 400; ++i) wide += "\xe6\x97\xa5";
  for (size_t limit : {10u, 11u, 12u, 50u, 99u}) {
    SCOPED_TRACE(limit);
    const std::string cut = ShortenedInMiddle(wide, limit);
    EXPECT_LE(cut.size(), limit);
    const size_t mark = cut.find("...");
    ASSERT_NE(mark, std::string::npos);
    EXPECT_EQ(mark % 3, 0u);
    EXPECT_EQ((cut.size() - mark - 3) % 3, 0u);
  }
}

TEST(UtcTimeText, CivilDatesOfKnownInstants) {
  struct Row { int64_t seconds; const char* text; } rows[] = {
      {0, "1970-01-01T00:00:00Z"},
      {951782400, "2000-02-29T00:00:00Z"},  // a leap day of a leap century
      {1709251199, "2024-02-29T23:59:59Z"},
      {4102444800, "2100-01-01T00:00:00Z"},
      {-1, "1969-12-31T23:59:59Z"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(UtcTimeText(row.seconds), row.text);
  }
}

}  // namespace
