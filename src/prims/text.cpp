#include "prims/text.h"

#include "platform/platform.h"

bool IsTrailByte(std::string_view text, size_t index, const LeadBytes& leadBytes) {
  if (leadBytes.none()) return false;
  size_t leads = 0;
  while (index > leads && leadBytes.test(static_cast<unsigned char>(text[index - leads - 1]))) {
    ++leads;
  }
  return leads % 2 == 1;
}

std::string TrimBlanks(std::string_view text) {
  size_t first = 0;
  while (first < text.size() && static_cast<unsigned char>(text[first]) <= 0x20) ++first;
  if (first == text.size()) return {};
  size_t last = text.size();
  while (static_cast<unsigned char>(text[last - 1]) <= 0x20) --last;
  return std::string(text.substr(first, last - first));
}

std::string LowerAscii(std::string_view text) {
  std::string result(text);
  for (char& ch : result) {
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch + 0x20);
  }
  return result;
}

size_t FindText(std::string_view needle, std::string_view text) {
  if (needle.empty() || text.empty()) return 0;
  size_t at = text.find(needle);
  return at == std::string_view::npos ? 0 : at + 1;
}

size_t FindTextChars(std::string_view needle, std::string_view text, const LeadBytes& leadBytes) {
  if (needle.empty() || text.empty()) return 0;
  size_t at = text.find(needle);
  while (at != std::string_view::npos && IsTrailByte(text, at, leadBytes)) {
    at = text.find(needle, at + 1);
  }
  return at == std::string_view::npos ? 0 : at + 1;
}

std::string UpperCopy(std::string_view text, const Conventions& c) {
  std::string copy(text);
  if (!copy.empty()) c.upperInPlace(copy, c.leadBytes);
  return copy;
}

bool ContainsTextCI(std::string_view text, std::string_view needle, const Conventions& c) {
  return FindTextChars(UpperCopy(needle, c), UpperCopy(text, c), c.leadBytes) > 0;
}

bool ContainsTextCI(std::string_view text, std::string_view needle) {
  return ContainsTextCI(text, needle, platform::NativeConventions());
}

std::string ReplaceText(std::string_view text, std::string_view pattern,
                        std::string_view replacement, unsigned flags, const Conventions& c) {
  const bool ignoreCase = flags & kIgnoreCase;
  // Searching happens in `searched` (an upper-cased copy with kIgnoreCase);
  // cutting happens in `rest`, so the result keeps the text's letter case.
  const std::string upperText = ignoreCase ? UpperCopy(text, c) : std::string();
  const std::string upperPattern = ignoreCase ? UpperCopy(pattern, c) : std::string();
  std::string_view searched = ignoreCase ? std::string_view(upperText) : text;
  std::string_view sought = ignoreCase ? std::string_view(upperPattern) : pattern;
  std::string_view rest = text;
  std::string out;
  while (!searched.empty()) {
    size_t k = FindTextChars(sought, searched, c.leadBytes);
    if (k == 0) break;
    out.append(rest.substr(0, k - 1));
    out.append(replacement);
    rest.remove_prefix(std::min(rest.size(), k - 1 + pattern.size()));
    if (!(flags & kReplaceAll)) break;
    searched.remove_prefix(std::min(searched.size(), k - 1 + sought.size()));
  }
  out.append(rest);
  return out;
}

std::string ReplaceText(std::string_view text, std::string_view pattern,
                        std::string_view replacement, unsigned flags) {
  return ReplaceText(text, pattern, replacement, flags, platform::NativeConventions());
}

std::string CopyText(std::string_view text, long long index, long long count) {
  if (text.empty()) return {};
  if (index < 1) index = 1;
  const long long length = static_cast<long long>(text.size());
  if (index > length || count <= 0) return {};
  if (count > length - index + 1) count = length - index + 1;
  return std::string(text.substr(static_cast<size_t>(index - 1), static_cast<size_t>(count)));
}

size_t LastDelimiterPos(std::string_view delimiters, std::string_view text,
                        const LeadBytes& leadBytes) {
  size_t i = text.size();
  while (i >= 1) {
    char byte = text[i - 1];
    if (byte != '\0' && delimiters.find(byte) != std::string_view::npos) {
      if (!IsTrailByte(text, i - 1, leadBytes)) return i;
      i = i >= 2 ? i - 2 : 0;  // step over the whole double-byte character
    } else {
      --i;
    }
  }
  return 0;
}

size_t LastDelimiterPos(std::string_view delimiters, std::string_view text) {
  return LastDelimiterPos(delimiters, text, platform::NativeConventions().leadBytes);
}
