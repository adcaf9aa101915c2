// Small rules on POSIX path names shared by the POSIX services.
#pragma once

#include <string>

namespace platform::posix {

// `path` without trailing "/" (the root "/" stays).
inline std::string WithoutTrailingSeparators(const std::string& path) {
  std::string result = path;
  while (result.size() > 1 && result.back() == '/') result.pop_back();
  return result;
}

// The last component of `path`.
inline std::string BaseName(const std::string& path) {
  size_t cut = path.rfind('/');
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

// The directory that holds `path`: "." for a bare name, "/" at the root.
inline std::string DirectoryOf(const std::string& path) {
  size_t cut = path.rfind('/');
  if (cut == std::string::npos) return ".";
  return cut == 0 ? "/" : path.substr(0, cut);
}

// A name that begins with "." is hidden, as Windows would mark it ("." and
// ".." are not).
inline bool IsHiddenName(const std::string& name) {
  return name.size() > 1 && name[0] == '.' && name != "..";
}

}  // namespace platform::posix
