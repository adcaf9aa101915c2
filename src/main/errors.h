// The program's error family. A leaf header: it includes nothing of the
// program's own, so every layer can raise these errors.
//
// Errors travel as C++ exceptions and only the top of the program catches
// them; whatever an operation holds is released by destructors while an
// error passes. Each error remembers the code address it was raised at, for
// the failure report.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

class Exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  virtual ~Exception() = default;

  const std::string& Message() const { return message_; }
  // The class name shown to the user in the failure report.
  virtual const char* ClassName() const { return "Exception"; }

  uintptr_t RaiseAddress() const { return raiseAddress_; }
  void SetRaiseAddress(uintptr_t address) { raiseAddress_ = address; }

  // The path whose creation or removal failed, or the name that was
  // refused: the report names it on a line of its own, so that a caller
  // can act on it. `cause` is the system's text for the failure where the
  // message does not already say it ("I/O error 145"); either may be empty.
  const std::string& Subject() const { return subject_; }
  const std::string& Cause() const { return cause_; }
  void SetSubject(std::string subject, std::string cause = {}) {
    subject_ = std::move(subject);
    cause_ = std::move(cause);
  }

 private:
  std::string message_;
  uintptr_t raiseAddress_ = 0;
  std::string subject_;
  std::string cause_;
};

// A failed checked directory call, or a path that cannot be worked on.
// IoCode is the failure number (a Windows system error code).
class EInOutError : public Exception {
 public:
  EInOutError(std::string message, int32_t ioCode)
      : Exception(std::move(message)), IoCode(ioCode) {}
  const char* ClassName() const override { return "EInOutError"; }

  int32_t IoCode;
};

// Memory ran out. One instance is built at start-up so that reporting needs
// no memory of its own.
class EOutOfMemory : public Exception {
 public:
  using Exception::Exception;
  const char* ClassName() const override { return "EOutOfMemory"; }
};

// Throws `error` as raised at the call site of Raise (the address just after
// the call), which the failure report shows.
template <class E>
[[noreturn]] __attribute__((noinline)) void Raise(E error) {
  error.SetRaiseAddress(reinterpret_cast<uintptr_t>(__builtin_return_address(0)));
  throw error;
}

// Throws `error` as raised at `address`.
template <class E>
[[noreturn]] void RaiseAt(E error, uintptr_t address) {
  error.SetRaiseAddress(address);
  throw error;
}

// Throws `error` about `subject` (see Exception::Subject), as raised at
// the call site.
template <class E>
[[noreturn]] __attribute__((noinline)) void RaiseAbout(E error, std::string subject, std::string cause = {}) {
  error.SetSubject(std::move(subject), std::move(cause));
  RaiseAt(std::move(error), reinterpret_cast<uintptr_t>(__builtin_return_address(0)));
}

// --- Pending failure code of checked directory calls --------------------

// The failure code a checked directory call left behind; 0 when none.
extern thread_local int32_t PendingIoCode;
// The path that call worked on, as the operation names it: the error's
// subject.
extern thread_local std::string PendingIoPath;

// Loads the I/O error texts and builds the out-of-memory error; runs once,
// before anything else.
void StartErrorModule();

// Reads and clears PendingIoCode and PendingIoPath and builds the error for
// them: its text from the I/O error table ("I/O error %d" for a code
// outside it, whose cause is then the system's text for the code), its
// subject the path.
EInOutError MakeIoError();

// Returns when no failure is pending; otherwise raises MakeIoError() as
// raised at the caller, just after its call of this check.
void CheckPendingIo();

// The out-of-memory error built at start-up ("Out of memory").
const EOutOfMemory& OutOfMemoryError();

// The program's text for `id` (see platform/texts.def); empty when unknown.
std::string ProgramText(unsigned id);
