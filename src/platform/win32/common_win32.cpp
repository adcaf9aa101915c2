#include "platform/win32/common_win32.h"

namespace platform::win32 {

std::wstring Wide(std::string_view text) {
  const std::u16string wide = WideFromNarrow(text);
  return std::wstring(wide.begin(), wide.end());
}

std::string Narrow(std::wstring_view text) {
  return NarrowFromWide(std::u16string_view(reinterpret_cast<const char16_t*>(text.data()), text.size()));
}

UNICODE_STRING NativeString(std::wstring_view text) {
  UNICODE_STRING string;
  string.Buffer = const_cast<wchar_t*>(text.data());
  string.Length = static_cast<USHORT>(text.size() * sizeof(wchar_t));
  string.MaximumLength = string.Length;
  return string;
}

namespace {

std::u16string_view AsUtf16(const std::wstring& text) {
  return std::u16string_view(reinterpret_cast<const char16_t*>(text.data()), text.size());
}

std::wstring FullPathOf(const std::wstring& path) {
  const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (size == 0) return path;
  std::wstring full(size, L'\0');
  const DWORD length = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
  if (length == 0 || length >= size) return path;
  full.resize(length);
  return full;
}

}  // namespace

std::wstring SystemPath(std::string_view path, PathUse use) {
  std::wstring wide = Wide(path);
  if (wide.empty() || wide.rfind(L"\\\\?\\", 0) == 0) return wide;
  std::wstring full = FullPathOf(wide);
  if (!NeedsExtendedForm(AsUtf16(full), use)) return full;
  const std::u16string extended = ExtendedLengthPath(AsUtf16(full));
  return std::wstring(extended.begin(), extended.end());
}

#ifdef FILEOP_CHECK_PATHS
const wchar_t* Checked(const std::wstring& path, PathUse use) {
  const std::string breach = PathRuleBreach(AsUtf16(path), use);
  if (!breach.empty()) {
    const std::string text = "fileop test build: a path Windows would not read as meant: " + breach + ": " +
                             Narrow(path) + "\n";
    OutputDebugStringA(text.c_str());
    const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    DWORD written = 0;
    if (error && error != INVALID_HANDLE_VALUE) WriteFile(error, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    TerminateProcess(GetCurrentProcess(), 86);
  }
  return path.c_str();
}
#else
const wchar_t* Checked(const std::wstring& path, PathUse) { return path.c_str(); }
#endif

bool UnderWine() {
  static const bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
  return wine;
}

}  // namespace platform::win32
