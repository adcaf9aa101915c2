// Program entry: start the error module, run the command, and turn an error
// that nothing caught into the failure report (exit code 1). The catch
// clauses here are the only ones in the program: by the time they run, the
// stack has unwound and every clean-up has happened.
#include <new>

#include "main/command.h"
#include "main/errors.h"
#include "main/report.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  platform::RecordArguments(argc, argv);
  StartErrorModule();
  try {
    RunCommand();
  } catch (const Exception& error) {
    ReportUncaughtError(&error, error.RaiseAddress());
  } catch (const std::bad_alloc&) {
    ReportUncaughtError(&OutOfMemoryError(), 0);
  } catch (...) {
    // Not of the program's error family: reported without class or text.
    ReportUncaughtError(nullptr, 0);
  }
}
