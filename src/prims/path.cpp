#include "prims/path.h"

#include "platform/platform.h"
#include "prims/text.h"

#include <vector>

bool IsSeparatorAt(std::string_view path, size_t index, const Conventions& c) {
  return index < path.size() && path[index] == c.separator &&
         !IsTrailByte(path, index, c.leadBytes);
}

namespace {
bool EndsInSeparator(std::string_view path, const Conventions& c) {
  return !path.empty() && IsSeparatorAt(path, path.size() - 1, c);
}
}  // namespace

std::string AddTrailingBackslash(std::string_view path, const Conventions& c) {
  std::string result(path);
  if (!EndsInSeparator(path, c)) result.push_back(c.separator);
  return result;
}

std::string DropTrailingBackslash(std::string_view path, const Conventions& c) {
  if (EndsInSeparator(path, c)) path.remove_suffix(1);
  return std::string(path);
}

std::string FileNamePart(std::string_view path, const Conventions& c) {
  size_t k = LastDelimiterPos(c.PathDelimiters(), path, c.leadBytes);
  return std::string(path.substr(k));
}

std::string DirectoryPart(std::string_view path, const Conventions& c) {
  size_t k = LastDelimiterPos(c.PathDelimiters(), path, c.leadBytes);
  return std::string(path.substr(0, k));
}

namespace {

// Splits `path` at its true separators; empty names are kept.
std::vector<std::string_view> Names(std::string_view path, const Conventions& c) {
  std::vector<std::string_view> names;
  size_t start = 0;
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || IsSeparatorAt(path, i, c)) {
      names.push_back(path.substr(start, i - start));
      start = i + 1;
    }
  }
  return names;
}

bool IsDriveName(std::string_view name, const Conventions& c) {
  return name.size() == 2 && name[1] == ':' && !c.leadBytes.test(static_cast<unsigned char>(name[0]));
}

bool EqualsAsciiCI(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 0x20);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 0x20);
    if (x != y) return false;
  }
  return true;
}

}  // namespace

bool IsRootPath(std::string_view path, const Conventions& c) {
  if (path.empty()) return false;
  while (EndsInSeparator(path, c)) path.remove_suffix(1);
  if (path.empty()) return true;  // only separators
  if (!c.driveLetters) return false;
  if (IsDriveName(path, c)) return true;
  const std::vector<std::string_view> names = Names(path, c);
  // Everything else that is a root begins with two separators.
  if (names.size() < 3 || !names[0].empty() || !names[1].empty()) return false;
  const std::vector<std::string_view> rest(names.begin() + 2, names.end());
  if (rest.size() >= 1 && (rest[0] == "?" || rest[0] == ".")) {
    // \\?\C:, \\.\C:, \\?\Volume{...}: the device or volume alone is a root;
    // \\?\UNC\server\share is the share's.
    if (rest.size() == 2) return !rest[1].empty();
    return rest.size() == 4 && EqualsAsciiCI(rest[1], "UNC") && !rest[2].empty() && !rest[3].empty();
  }
  return rest.size() == 2 && !rest[0].empty() && !rest[1].empty();  // \\server\share
}

bool EndsInDotName(std::string_view spelled, const Conventions& c) {
  std::string text(spelled);
  if (c.alternateSeparator != 0) {
    for (size_t i = 0; i < text.size(); ++i) {
      if (text[i] == c.alternateSeparator && !IsTrailByte(text, i, c.leadBytes)) text[i] = c.separator;
    }
  }
  std::string_view path = text;
  while (EndsInSeparator(path, c)) path.remove_suffix(1);
  const size_t k = LastDelimiterPos(c.PathDelimiters(), path, c.leadBytes);
  const std::string_view name = path.substr(k);
  if (name.empty()) return false;
  if (!c.dropsTrailingDots) return name == "." || name == "..";
  return name.find_first_not_of(". ") == std::string_view::npos;
}

std::string NormalizeSeparators(std::string_view path, const Conventions& c) {
  const std::string_view literal = "\\\\?\\";
  if (c.driveLetters && path.substr(0, literal.size()) == literal) return std::string(path);
  std::string text(path);
  if (c.alternateSeparator != 0) {
    for (size_t i = 0; i < text.size(); ++i) {
      if (text[i] == c.alternateSeparator && !IsTrailByte(text, i, c.leadBytes)) text[i] = c.separator;
    }
  }
  // A leading pair opens a share or device path where drives exist.
  const size_t kept = c.driveLetters && IsSeparatorAt(text, 0, c) && IsSeparatorAt(text, 1, c) ? 2 : 0;
  std::string result = text.substr(0, kept);
  result.reserve(text.size());
  for (size_t i = kept; i < text.size(); ++i) {
    const bool repeated = IsSeparatorAt(text, i, c) && i > 0 && IsSeparatorAt(text, i - 1, c);
    if (!repeated) result.push_back(text[i]);
  }
  return result;
}

std::string NormalizeSeparators(std::string_view path) {
  return NormalizeSeparators(path, platform::NativeConventions());
}

std::string AddTrailingBackslash(std::string_view path) {
  return AddTrailingBackslash(path, platform::NativeConventions());
}
std::string DropTrailingBackslash(std::string_view path) {
  return DropTrailingBackslash(path, platform::NativeConventions());
}
std::string FileNamePart(std::string_view path) {
  return FileNamePart(path, platform::NativeConventions());
}
std::string DirectoryPart(std::string_view path) {
  return DirectoryPart(path, platform::NativeConventions());
}
