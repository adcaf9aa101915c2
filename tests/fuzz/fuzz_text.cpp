// Text primitives against simple statements of their rules, in a single-
// and a double-byte code page.
#include "fuzz/fuzz_support.h"
#include "prims/text.h"

#include <algorithm>

namespace {

std::string Upper(const std::string& text, const LeadBytes& lead) {
  std::vector<bool> trail = TrailBytes(text, lead);
  std::string out = text;
  for (size_t i = 0; i < out.size(); ++i) {
    if (!trail[i] && out[i] >= 'a' && out[i] <= 'z') out[i] = static_cast<char>(out[i] - 32);
  }
  return out;
}

// 1-based position of the first occurrence of `needle` in `text` at or after
// 0-based `from` that does not begin on a trail byte; 0 when none.
size_t FindChars(const std::string& needle, const std::string& text, const LeadBytes& lead, size_t from = 0) {
  if (needle.empty() || text.empty()) return 0;
  std::vector<bool> trail = TrailBytes(text, lead);
  for (size_t i = from; i + needle.size() <= text.size(); ++i) {
    if (!trail[i] && text.compare(i, needle.size(), needle) == 0) return i + 1;
  }
  return 0;
}

std::string ReplaceReference(const std::string& text, const std::string& pattern, const std::string& replacement,
                             unsigned flags, const LeadBytes& lead) {
  if (pattern.empty()) return text;
  const bool fold = flags & kIgnoreCase;
  const std::string s = fold ? Upper(text, lead) : text;
  const std::string p = fold ? Upper(pattern, lead) : pattern;
  std::string out;
  size_t done = 0;  // bytes of `text` already handled
  for (;;) {
    // Searching the rest on its own: its trail bytes are judged from its start.
    const std::string rest = s.substr(done);
    size_t k = FindChars(p, rest, lead);
    if (k == 0) break;
    out += text.substr(done, k - 1) + replacement;
    done += k - 1 + pattern.size();
    if (!(flags & kReplaceAll) || done >= text.size()) break;
  }
  if (done < text.size()) out += text.substr(done);
  return out;
}

std::string CopyReference(const std::string& text, long long index, long long count) {
  std::string out;
  if (index < 1) index = 1;
  for (long long i = index; i < index + count && i <= static_cast<long long>(text.size()); ++i) {
    out.push_back(text[static_cast<size_t>(i - 1)]);
  }
  return out;
}

size_t LastDelimiterReference(const std::string& delimiters, const std::string& text, const LeadBytes& lead) {
  // A delimiter found on a trail byte takes its whole character out of the
  // walk, lead byte included.
  std::vector<bool> trail = TrailBytes(text, lead);
  size_t i = text.size();
  while (i >= 1) {
    const bool delimiter = text[i - 1] != '\0' && delimiters.find(text[i - 1]) != std::string::npos;
    if (delimiter && !trail[i - 1]) return i;
    i -= delimiter ? std::min<size_t>(i, 2) : 1;
  }
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> p = Pieces(data, size, 4);
  const std::string& text = p[0];
  const std::string& pattern = p[1];
  const std::string& replacement = p[2];
  const long long index = p[3].size() > 0 ? static_cast<signed char>(p[3][0]) : 0;
  const long long count = p[3].size() > 1 ? static_cast<signed char>(p[3][1]) : 0;
  for (const LeadBytes& lead : {LeadBytes{}, DoubleByteLeads()}) {
    const Conventions c = WindowsConventions(lead);
    for (unsigned flags : {0u, 1u, 2u, 3u}) {
      FUZZ_CHECK(ReplaceText(text, pattern, replacement, flags, c) ==
                 ReplaceReference(text, pattern, replacement, flags, lead));
    }
    FUZZ_CHECK(ContainsTextCI(text, pattern, c) == (FindChars(Upper(pattern, lead), Upper(text, lead), lead) > 0));
    FUZZ_CHECK(LastDelimiterPos(pattern, text, lead) == LastDelimiterReference(pattern, text, lead));
  }
  const size_t found = FindText(pattern, text);
  const size_t expected = pattern.empty() || text.empty() || text.find(pattern) == std::string::npos
                              ? 0
                              : text.find(pattern) + 1;
  FUZZ_CHECK(found == expected);
  FUZZ_CHECK(CopyText(text, index, count) == CopyReference(text, index, count));
  FUZZ_CHECK(TrimBlanks(text).size() <= text.size());
  return 0;
}
