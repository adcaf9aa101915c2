#include "main/errors.h"

#include <gtest/gtest.h>

#include <regex>

#include "main/report.h"
#include "main/texts.h"
#include "platform/platform.h"
#include "prims/path.h"

namespace {

TEST(MakeIoError, TextsByCode) {
  struct Row { int32_t code; std::string text; } rows[] = {
      {2, "File not found"},     {3, "Invalid filename"}, {4, "Too many open files"},
      {5, "File access denied"}, {100, "Read beyond end of file"}, {101, "Disk full"},
      {106, "Invalid numeric input"}, {145, "I/O error 145"},      {183, "I/O error 183"},
      {-7, "I/O error -7"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.code);
    PendingIoCode = row.code;
    EInOutError error = MakeIoError();
    EXPECT_EQ(error.Message(), row.text);
    EXPECT_EQ(error.IoCode, row.code);
    EXPECT_EQ(PendingIoCode, 0);
  }
}

TEST(CheckPendingIo, PassesWhenNothingIsPendingAndRaisesOtherwise) {
  PendingIoCode = 0;
  EXPECT_NO_THROW(CheckPendingIo());
  PendingIoCode = 5;
  try {
    CheckPendingIo();
    FAIL() << "no error raised";
  } catch (const EInOutError& error) {
    EXPECT_EQ(error.IoCode, 5);
    EXPECT_EQ(error.Message(), "File access denied");
    EXPECT_NE(error.RaiseAddress(), 0u);
  }
  EXPECT_EQ(PendingIoCode, 0);
}

TEST(OutOfMemoryError, IsBuiltOnce) {
  StartErrorModule();
  EXPECT_EQ(&OutOfMemoryError(), &OutOfMemoryError());
  const EOutOfMemory* built = &OutOfMemoryError();
  StartErrorModule();  // a second start builds nothing new
  EXPECT_EQ(&OutOfMemoryError(), built);
  EXPECT_EQ(OutOfMemoryError().Message(), "Out of memory");
  EXPECT_STREQ(OutOfMemoryError().ClassName(), "EOutOfMemory");
  const std::string module = FileNamePart(platform::ProgramFilePath());
  EXPECT_EQ(ErrorReportText(&OutOfMemoryError(), 0),
            "Exception EOutOfMemory in module " + module + " at 00000000.\r\nOut of memory.\r\n");
}

TEST(ProgramText, StringTableHoldsTheTexts) {
  EXPECT_EQ(ProgramText(kTextReportTitle), "Application Error");
  EXPECT_EQ(ProgramText(kTextReportFormat), "Exception %s in module %s at %p.\r\n%s%s\r\n");
  EXPECT_EQ(ProgramText(kTextUnableToCreateDirectory), "Unable to create directory");
  EXPECT_EQ(ProgramText(kTextCannotDeleteRoot), "Cannot delete a root directory");
}

TEST(BuildErrorReport, FormatsClassModuleAddressAndMessage) {
  const std::string module = FileNamePart(platform::ProgramFilePath());
  const uintptr_t inProgram = reinterpret_cast<uintptr_t>(&BuildErrorReport) + 16;
  struct Row { Exception error; std::string second; } rows[] = {
      {Exception("I/O error 145"), "I/O error 145."},
      {Exception("ends."), "ends."},
      {Exception(""), ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.second);
    const std::string report = ErrorReportText(&row.error, inProgram);
    const std::regex form("Exception Exception in module " + std::regex_replace(module, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)") +
                          " at [0-9A-F]{8,}\\.\r\n(.*)\r\n");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(report, match, form)) << report;
    EXPECT_EQ(match[1].str(), row.second);
  }
  EInOutError io("Unable to create directory", 3);
  EXPECT_EQ(ErrorReportText(&io, 0).substr(0, 22), "Exception EInOutError ");
  // An address in no image: the program's own name, the address as it is.
  const std::string unknown = ErrorReportText(&io, 0);
  EXPECT_NE(unknown.find(" at 00000000.\r\nUnable to create directory.\r\n"), std::string::npos) << unknown;
  // No error at all: no class name and an empty message line.
  EXPECT_EQ(ErrorReportText(nullptr, 0), "Exception  in module " + module + " at 00000000.\r\n\r\n");
}

TEST(BuildErrorReport, CutsToTheBuffer) {
  Exception error(std::string(2000, 'x'));
  char buffer[64];
  size_t length = BuildErrorReport(&error, 0, buffer, sizeof buffer);
  EXPECT_EQ(length, 63u);
  EXPECT_EQ(buffer[63], '\0');
}

}  // namespace
