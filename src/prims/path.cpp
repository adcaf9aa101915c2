#include "prims/path.h"

#include "platform/platform.h"
#include "prims/text.h"

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

bool IsRootPath(std::string_view path, const Conventions& c) {
  if (path.empty()) return false;
  while (EndsInSeparator(path, c)) path.remove_suffix(1);
  if (path.empty()) return true;  // only separators
  if (!c.driveLetters) return false;
  if (path.size() == 2 && path[1] == ':' && !c.leadBytes.test(static_cast<unsigned char>(path[0]))) {
    return true;
  }
  // \\server\share: two leading separators, then exactly two components.
  if (path.size() > 2 && path[0] == c.separator && path[1] == c.separator) {
    std::string_view rest = path.substr(2);
    size_t cut = rest.find(c.separator);
    return cut != std::string_view::npos && cut > 0 &&
           rest.find(c.separator, cut + 1) == std::string_view::npos && cut + 1 < rest.size();
  }
  return false;
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
