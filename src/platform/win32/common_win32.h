// What every part of the Windows layer shares: the conversion between the
// program's UTF-8 text and the UTF-16 of the wide and native functions,
// handle ownership, the path forms handed to the wide functions (checked
// against the real Windows rules in the test build), and the one place that
// knows the layer runs under Wine.
#pragma once

#include <windows.h>
#include <winternl.h>

#include <string>
#include <string_view>

#include "platform/windows_rules.h"

namespace platform::win32 {

std::wstring Wide(std::string_view text);
std::string Narrow(std::wstring_view text);

// Owns a handle (closed with CloseHandle, which takes native handles too).
class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE handle = nullptr) : handle_(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
  ScopedHandle(ScopedHandle&& other) noexcept : handle_(other.release()) {}
  ScopedHandle& operator=(ScopedHandle&& other) noexcept {
    reset(other.release());
    return *this;
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  ~ScopedHandle() { reset(); }

  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != nullptr; }
  void reset(HANDLE handle = nullptr) {
    if (handle_) CloseHandle(handle_);
    handle_ = handle == INVALID_HANDLE_VALUE ? nullptr : handle;
  }
  HANDLE release() {
    HANDLE handle = handle_;
    handle_ = nullptr;
    return handle;
  }

 private:
  HANDLE handle_;
};

// A UNICODE_STRING over `text`, which must outlive it. Names of up to 32,767
// characters (the longest a path can be) fit.
UNICODE_STRING NativeString(std::wstring_view text);

// `path` made absolute and normalised the way the Win32 layer does ("." and
// "..", "/", trailing dots and blanks of the last name), in the form a wide
// file function reads as meaning exactly that for `use`: the plain form
// where Windows reads it so, the extended-length form ("\\?\") where it is
// too long or holds a name the plain form would change. A path already in
// "\\?\" form is the caller's literal request and stays as it is.
std::wstring SystemPath(std::string_view path, PathUse use = PathUse::kFile);

// The path as it is handed to a wide file function for `use`. The test
// build checks it against the real Windows rules, which Wine does not
// enforce, and ends the process with a report on a breach; the program
// hands it over unchecked.
const wchar_t* Checked(const std::wstring& path, PathUse use = PathUse::kFile);

// True when the layer runs under Wine, which follows a link even when asked
// to open the link itself and resolves a name relative to a directory
// handle by the path that directory had: there every entry the layer
// opens is looked at a second time (see the tree layer).
bool UnderWine();

}  // namespace platform::win32
