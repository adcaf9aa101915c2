// The failure report's third line: the path a fatal failure was about.
#include <gtest/gtest.h>

#include "main/errors.h"
#include "main/report.h"
#include "platform/platform.h"

namespace {

std::vector<std::string> Lines(const std::string& report) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = report.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(report.substr(start, end - start));
  }
  EXPECT_EQ(start, report.size()) << "the report does not end in a line end";
  return lines;
}

TEST(ReportSubject, AThirdLineNamesThePathAndTheCauseTheMessageLacks) {
  PendingIoCode = 145;
  PendingIoPath = "C:\\App\\data";
  const EInOutError unknownCode = MakeIoError();
  EXPECT_EQ(PendingIoPath, "");
  EXPECT_EQ(unknownCode.Subject(), "C:\\App\\data");
  EXPECT_EQ(unknownCode.Cause(), platform::ErrorMessageText(145));
  EXPECT_NE(unknownCode.Cause(), "");

  PendingIoCode = 5;
  PendingIoPath = "C:\\App\\locked";
  const EInOutError knownCode = MakeIoError();  // "File access denied" says it already
  EXPECT_EQ(knownCode.Cause(), "");

  EInOutError refused("Cannot delete a root directory", 5);
  refused.SetSubject("C:\\");
  EInOutError evil("I/O error 145", 145);
  evil.SetSubject("/tmp/evil\nExit code 0", "Not empty.");

  struct Row { const Exception* error; std::vector<std::string> tail; } rows[] = {
      {&unknownCode, {"I/O error 145.", "C:\\App\\data: " + platform::ErrorMessageText(145)}},
      {&knownCode, {"File access denied.", "C:\\App\\locked"}},
      {&refused, {"Cannot delete a root directory.", "C:\\"}},
      // A name never adds a line of its own.
      {&evil, {"I/O error 145.", "/tmp/evil<U+000A>Exit code 0: Not empty."}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.tail.back());
    const std::vector<std::string> lines = Lines(ErrorReportText(row.error, 0));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].substr(0, 10), "Exception ");
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()), row.tail);
  }
}

TEST(ReportSubject, ErrorsAboutNoPathKeepTheirTwoLines) {
  const EInOutError plain("Unable to create directory", 3);
  const std::vector<std::string> lines = Lines(ErrorReportText(&plain, 0));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1], "Unable to create directory.");
  EXPECT_EQ(Lines(ErrorReportText(nullptr, 0)).size(), 2u);
}

TEST(ReportSubject, ALongPathLosesItsMiddleAndTheReportFitsItsRoom) {
  const std::string leaf = "the-directory-that-failed";
  const std::string path = "/deep" + std::string(5000, 'x') + "/" + leaf;
  EInOutError error("I/O error 145", 145);
  error.SetSubject(path, "The directory is not empty.");
  const std::string report = ErrorReportText(&error, 0);
  EXPECT_LE(report.size(), 1023u);
  const std::vector<std::string> lines = Lines(report);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[2].substr(0, 5), "/deep");
  EXPECT_NE(lines[2].find("..."), std::string::npos);
  EXPECT_NE(lines[2].find(leaf + ": The directory is not empty."), std::string::npos) << lines[2];
}

}  // namespace
