// Small rules on POSIX path names shared by the POSIX services.
#pragma once

#include <string>
#include <string_view>

namespace platform::posix {

// `path` without trailing "/" (the root "/" stays).
inline std::string WithoutTrailingSeparators(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return std::string(path);
}

// A path split at its last "/": the directory that holds the last name
// ("." for a bare name, "/" at the root) and that name ("" for "/").
struct SplitPath {
  std::string directory;
  std::string name;
};

inline SplitPath SplitAtLastSeparator(std::string_view path) {
  const size_t cut = path.rfind('/');
  if (cut == std::string_view::npos) return {".", std::string(path)};
  return {std::string(path.substr(0, cut == 0 ? 1 : cut)), std::string(path.substr(cut + 1))};
}

// A name that begins with "." is hidden, as Windows would mark it ("." and
// ".." are not).
inline bool IsHiddenName(std::string_view name) {
  return name.size() > 1 && name[0] == '.' && name != "..";
}

}  // namespace platform::posix
