#include "main/log_format.h"

#include <cctype>
#include <charconv>

namespace {

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The length of the valid UTF-8 sequence at `at` (1 to 4), or 0 when the
// byte there begins none: overlong forms, surrogates and code points past
// U+10FFFF are not valid.
size_t SequenceLength(std::string_view text, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[at + i]); };
  const unsigned char lead = byte(0);
  const size_t left = text.size() - at;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return left >= 2 && IsContinuation(byte(1)) ? 2 : 0;
  if (lead >= 0xE0 && lead <= 0xEF) {
    if (left < 3 || !IsContinuation(byte(1)) || !IsContinuation(byte(2))) return 0;
    if (lead == 0xE0 && byte(1) < 0xA0) return 0;  // overlong
    if (lead == 0xED && byte(1) >= 0xA0) return 0;  // a surrogate
    return 3;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    if (left < 4 || !IsContinuation(byte(1)) || !IsContinuation(byte(2)) || !IsContinuation(byte(3))) return 0;
    if (lead == 0xF0 && byte(1) < 0x90) return 0;  // overlong
    if (lead == 0xF4 && byte(1) >= 0x90) return 0;  // past U+10FFFF
    return 4;
  }
  return 0;
}

// The code point of a valid sequence of `length` bytes at `at`.
char32_t CodePoint(std::string_view text, size_t at, size_t length) {
  const auto byte = [&](size_t i) { return static_cast<char32_t>(static_cast<unsigned char>(text[at + i])); };
  switch (length) {
    case 1: return byte(0);
    case 2: return (byte(0) & 0x1F) << 6 | (byte(1) & 0x3F);
    case 3: return (byte(0) & 0x0F) << 12 | (byte(1) & 0x3F) << 6 | (byte(2) & 0x3F);
    default: return (byte(0) & 0x07) << 18 | (byte(1) & 0x3F) << 12 | (byte(2) & 0x3F) << 6 | (byte(3) & 0x3F);
  }
}

// Characters that end a line for some reader, or that nobody can see.
bool NeedsEscape(char32_t ch) {
  return ch < 0x20 || ch == 0x7F || ch == 0x85 || ch == 0x2028 || ch == 0x2029;
}

void AppendHex4(std::string& out, unsigned value) {
  static const char kDigits[] = "0123456789abcdef";
  for (int shift = 12; shift >= 0; shift -= 4) out.push_back(kDigits[(value >> shift) & 0xF]);
}

}  // namespace

void AppendJsonText(std::string& out, std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    // Plain ASCII, the bulk of every path, is copied in runs.
    size_t run = i;
    while (run < text.size()) {
      const unsigned char byte = static_cast<unsigned char>(text[run]);
      if (byte < 0x20 || byte >= 0x7F || byte == '"' || byte == '\\') break;
      ++run;
    }
    out.append(text.substr(i, run - i));
    i = run;
    if (i == text.size()) break;
    const size_t length = SequenceLength(text, i);
    if (length == 0) {
      out += "\\u";
      AppendHex4(out, 0xDC00u | static_cast<unsigned char>(text[i]));
      ++i;
      continue;
    }
    const char32_t ch = CodePoint(text, i, length);
    if (ch == '"' || ch == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(ch));
    } else if (ch == '\n') {
      out += "\\n";
    } else if (ch == '\r') {
      out += "\\r";
    } else if (ch == '\t') {
      out += "\\t";
    } else if (NeedsEscape(ch)) {
      out += "\\u";
      AppendHex4(out, static_cast<unsigned>(ch));
    } else {
      out.append(text.substr(i, length));
    }
    i += length;
  }
}

std::string ShownInReport(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const size_t length = SequenceLength(text, i);
    if (length == 0) {
      out.push_back(text[i++]);  // not UTF-8: shown as the system shows it
      continue;
    }
    const char32_t ch = CodePoint(text, i, length);
    if (NeedsEscape(ch)) {
      out.append("<U+").append(PaddedNumber(ch, 16, 4)).push_back('>');
    } else {
      out.append(text.substr(i, length));
    }
    i += length;
  }
  return out;
}

std::string ShortenedInMiddle(std::string_view text, size_t limit) {
  static constexpr std::string_view kMark = "...";
  if (text.size() <= limit) return std::string(text);
  if (limit <= kMark.size()) return std::string(kMark.substr(0, limit));
  const size_t room = limit - kMark.size();
  size_t head = room / 3;
  size_t tail = text.size() - (room - head);
  // Neither cut may fall inside a character.
  while (head > 0 && IsContinuation(static_cast<unsigned char>(text[head]))) --head;
  while (tail < text.size() && IsContinuation(static_cast<unsigned char>(text[tail]))) ++tail;
  std::string out(text.substr(0, head));
  out += kMark;
  out += text.substr(tail);
  return out;
}

std::string UtcTimeText(int64_t secondsSinceEpoch) {
  // Days to a civil date (proleptic Gregorian), after H. Hinnant's
  // days_from_civil inverse: exact for every date, no time zone involved.
  int64_t days = secondsSinceEpoch / 86400;
  int64_t seconds = secondsSinceEpoch % 86400;
  if (seconds < 0) {
    seconds += 86400;
    --days;
  }
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t dayOfEra = days - era * 146097;
  const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t monthIndex = (5 * dayOfYear + 2) / 153;
  const int64_t day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
  const int64_t month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
  const int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
  std::string text = year < 0 ? "-" + PaddedNumber(-year, 10, 4) : PaddedNumber(year, 10, 4);
  text.append("-").append(PaddedNumber(month, 10, 2)).append("-").append(PaddedNumber(day, 10, 2));
  text.append("T").append(PaddedNumber(seconds / 3600, 10, 2)).append(":");
  text.append(PaddedNumber(seconds / 60 % 60, 10, 2)).append(":").append(PaddedNumber(seconds % 60, 10, 2));
  return text.append("Z");
}

std::string PaddedNumber(uint64_t value, int base, size_t width) {
  char digits[64];
  const auto [end, error] = std::to_chars(digits, digits + sizeof digits, value, base);
  std::string text(digits, end);
  for (char& digit : text) digit = static_cast<char>(std::toupper(static_cast<unsigned char>(digit)));
  if (text.size() < width) text.insert(0, width - text.size(), '0');
  return text;
}
