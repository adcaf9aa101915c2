#include "main/errors.h"

#include <cstdio>
#include <map>
#include <memory>

#include "main/texts.h"
#include "platform/platform.h"

thread_local int32_t PendingIoCode = 0;
thread_local std::string PendingIoPath;

namespace {

struct ErrorModule {
  std::map<int32_t, std::string> ioTexts;
  std::string ioErrorFormat;
  std::unique_ptr<EOutOfMemory> outOfMemory;
};

ErrorModule& Module() {
  static ErrorModule module;
  return module;
}

}  // namespace

std::string ProgramText(unsigned id) { return platform::LoadText(id); }

void StartErrorModule() {
  ErrorModule& module = Module();
  if (module.outOfMemory) return;
  const std::pair<int32_t, unsigned> table[] = {
      {2, kTextFileNotFound},     {3, kTextInvalidFilename}, {4, kTextTooManyOpenFiles},
      {5, kTextFileAccessDenied}, {100, kTextReadBeyondEnd}, {101, kTextDiskFull},
      {106, kTextInvalidNumericInput},
  };
  for (const auto& [code, id] : table) module.ioTexts[code] = ProgramText(id);
  module.ioErrorFormat = ProgramText(kTextIoErrorFormat);
  module.outOfMemory = std::make_unique<EOutOfMemory>(ProgramText(kTextOutOfMemory));
}

EInOutError MakeIoError() {
  StartErrorModule();
  const int32_t code = PendingIoCode;
  PendingIoCode = 0;
  std::string path = std::move(PendingIoPath);
  PendingIoPath.clear();
  const ErrorModule& module = Module();
  auto known = module.ioTexts.find(code);
  if (known != module.ioTexts.end()) {
    EInOutError error(known->second, code);
    error.SetSubject(std::move(path));
    return error;
  }
  // The format holds one %d, filled with the code in signed decimal.
  std::string text = module.ioErrorFormat;
  size_t at = text.find("%d");
  if (at != std::string::npos) text.replace(at, 2, std::to_string(code));
  EInOutError error(text, code);
  error.SetSubject(std::move(path), platform::ErrorMessageText(static_cast<uint32_t>(code)));
  return error;
}

__attribute__((noinline)) void CheckPendingIo() {
  if (PendingIoCode == 0) return;
  RaiseAt(MakeIoError(), reinterpret_cast<uintptr_t>(__builtin_return_address(0)));
}

const EOutOfMemory& OutOfMemoryError() {
  StartErrorModule();
  return *Module().outOfMemory;
}
