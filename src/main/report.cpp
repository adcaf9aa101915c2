#include "main/report.h"

#include <cstring>

#include "main/errors.h"
#include "main/log_format.h"
#include "main/step_log.h"
#include "main/texts.h"
#include "platform/platform.h"
#include "prims/path.h"

int32_t ProgramExitCode = 0;

namespace {

constexpr size_t kModuleNameLimit = 260;
constexpr uintptr_t kFallbackImageBase = 4096;

std::string HexAddress(uintptr_t value) {
  return PaddedNumber(value, 16, 8);
}

// Fills "%s" and "%p" in order from `values`; "%%" gives "%".
template <size_t N>
std::string FillFormat(const std::string& format, const std::string (&values)[N]) {
  std::string out;
  size_t next = 0;
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] == '%' && i + 1 < format.size()) {
      char kind = format[i + 1];
      if ((kind == 's' || kind == 'p') && next < N) {
        out += values[next++];
        ++i;
        continue;
      }
      if (kind == '%') {
        out += '%';
        ++i;
        continue;
      }
    }
    out += format[i];
  }
  return out;
}

// The line after the two the report always has, naming what failed and,
// where the message does not say it, why; empty for an error about no
// path. It is fitted into `room` bytes, the path shortened in its middle.
std::string SubjectLine(const Exception& error, size_t room) {
  if (error.Subject().empty()) return {};
  const std::string path = ShownInReport(error.Subject());
  const std::string cause = ShownInReport(error.Cause());
  const unsigned format = cause.empty() ? kTextReportSubject : kTextReportSubjectCause;
  const size_t fixed = FillFormat(ProgramText(format), {std::string(), cause}).size();
  if (fixed >= room) return {};
  return FillFormat(ProgramText(format), {ShortenedInMiddle(path, room - fixed), cause});
}

}  // namespace

size_t BuildErrorReport(const Exception* error, uintptr_t address, char* buffer, size_t size) {
  std::string imageFile;
  uintptr_t imageBase = 0;
  uintptr_t shown = 0;
  if (platform::ImageOfAddress(address, imageFile, imageBase)) {
    shown = address - imageBase;
  } else {
    imageFile = platform::ProgramFilePath();
    shown = address == 0 ? 0 : address - kFallbackImageBase;
  }
  std::string module = FileNamePart(imageFile).substr(0, kModuleNameLimit);

  const std::string message = error ? error->Message() : std::string();
  const bool needsStop = !message.empty() && message.back() != '.';
  const std::string ending(needsStop ? 1 : 0, '.');
  const std::string values[5] = {error ? error->ClassName() : "", module, HexAddress(shown),
                                 message, ending};
  std::string report = FillFormat(ProgramText(kTextReportFormat), values);
  if (error && size > report.size() + 1) report += SubjectLine(*error, size - 1 - report.size());
  if (size == 0) return 0;
  size_t length = std::min(report.size(), size - 1);
  std::memcpy(buffer, report.data(), length);
  buffer[length] = '\0';
  return length;
}

std::string ErrorReportText(const Exception* error, uintptr_t address) {
  char buffer[1024];
  size_t length = BuildErrorReport(error, address, buffer, sizeof buffer);
  return std::string(buffer, length);
}

void ReportUncaughtError(const Exception* error, uintptr_t address) {
  // The log is complete before a box waits for somebody to dismiss it.
  FinishStepLog(1, error);
  const std::string text = ErrorReportText(error, address);
  const std::string title = ProgramText(kTextReportTitle).substr(0, 63);
  platform::ShowFailureReport(text, title);
  EndProgram(1);
}

void EndProgram(int32_t code) {
  const int32_t finished = FinishStepLog(code, nullptr);
  // Only a normal end may become strict's 2; a fatal end stays what it is.
  ProgramExitCode = code == 0 ? finished : code;
  platform::ExitProcess(ProgramExitCode);
}
