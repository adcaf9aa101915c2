#include "platform/wildcard.h"

#include <string>

namespace {

size_t CharLength(std::string_view text, size_t at, const LeadBytes& leadBytes) {
  return leadBytes.test(static_cast<unsigned char>(text[at])) && at + 1 < text.size() ? 2 : 1;
}

// Greedy matching with one backtrack point (the last "*"): linear in
// practice, at worst the product of the two lengths.
bool MatchFolded(std::string_view name, std::string_view pattern, const LeadBytes& leadBytes) {
  size_t n = 0, p = 0;
  size_t starPattern = std::string_view::npos, starName = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starPattern = ++p;
      starName = n;
      continue;
    }
    size_t nameLength = CharLength(name, n, leadBytes);
    if (p < pattern.size()) {
      size_t patternLength = CharLength(pattern, p, leadBytes);
      if (pattern[p] == '?' && patternLength == 1) {
        n += nameLength;
        p += 1;
        continue;
      }
      if (patternLength == nameLength && name.substr(n, nameLength) == pattern.substr(p, patternLength)) {
        n += nameLength;
        p += patternLength;
        continue;
      }
    }
    if (starPattern == std::string_view::npos) return false;
    starName += CharLength(name, starName, leadBytes);
    n = starName;
    p = starPattern;
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

}  // namespace

bool MatchesMask(std::string_view name, std::string_view pattern, const Conventions& c) {
  if (pattern == "*.*") return true;
  if (!c.foldCase) return MatchFolded(name, pattern, c.leadBytes);
  std::string upperName(name), upperPattern(pattern);
  c.upperInPlace(upperName, c.leadBytes);
  c.upperInPlace(upperPattern, c.leadBytes);
  return MatchFolded(upperName, upperPattern, c.leadBytes);
}

bool HasWildcard(std::string_view text) {
  return text.find_first_of("*?") != std::string_view::npos;
}
