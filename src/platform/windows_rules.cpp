#include "platform/windows_rules.h"

namespace {

bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

void AppendUtf8(std::string& out, uint32_t code) {
  if (code < 0x80) {
    out.push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code >> 6)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

// Decodes the sequence at `at`; its length in `length`, 0 when invalid.
// Surrogate code points (the WTF-8 form of an unpaired surrogate) decode.
uint32_t DecodeAt(std::string_view text, size_t at, size_t& length) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  length = 0;
  if (lead < 0x80) {
    length = 1;
    return lead;
  }
  size_t need = 0;
  uint32_t code = 0, least = 0;
  if ((lead & 0xE0) == 0xC0) {
    need = 1, code = lead & 0x1F, least = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    need = 2, code = lead & 0x0F, least = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    need = 3, code = lead & 0x07, least = 0x10000;
  } else {
    return 0;
  }
  if (at + need >= text.size()) return 0;
  for (size_t i = 1; i <= need; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(at + i) & 0x3F);
  }
  if (code < least || code > 0x10FFFF) return 0;
  length = need + 1;
  return code;
}

}  // namespace

std::string NarrowFromWide(std::u16string_view wide) {
  std::string out;
  out.reserve(wide.size());
  for (size_t i = 0; i < wide.size(); ++i) {
    const char16_t unit = wide[i];
    if (IsHighSurrogate(unit) && i + 1 < wide.size() && IsLowSurrogate(wide[i + 1])) {
      AppendUtf8(out, 0x10000 + ((static_cast<uint32_t>(unit) - 0xD800) << 10) + (wide[i + 1] - 0xDC00));
      ++i;
    } else {
      AppendUtf8(out, unit);  // an unpaired surrogate keeps its own code point
    }
  }
  return out;
}

std::u16string WideFromNarrow(std::string_view narrow) {
  std::u16string out;
  out.reserve(narrow.size());
  for (size_t i = 0; i < narrow.size();) {
    size_t length = 0;
    const uint32_t code = DecodeAt(narrow, i, length);
    if (length == 0) {
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    if (code >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(code));
    }
    i += length;
  }
  return out;
}

void UpperSameLength(std::string& text, char16_t (*upper)(char16_t)) {
  std::string folded;
  for (size_t i = 0; i < text.size();) {
    const unsigned char byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x80) {
      if (byte >= 'a' && byte <= 'z') text[i] = static_cast<char>(byte - 0x20);
      ++i;
      continue;
    }
    size_t length = 0;
    const uint32_t code = DecodeAt(text, i, length);
    if (length == 0) {
      ++i;
      continue;
    }
    if (code < 0x10000) {
      folded.clear();
      AppendUtf8(folded, upper(static_cast<char16_t>(code)));
      if (folded.size() == length) text.replace(i, length, folded);
    }
    i += length;
  }
}

bool IsLinkReparseTag(uint32_t tag) {
  constexpr uint32_t kNameSurrogate = 0x20000000;
  return tag == 0 || (tag & kNameSurrogate) != 0;
}

bool IsPlainWin32Name(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (char ch : name) {
    const unsigned char byte = static_cast<unsigned char>(ch);
    if (byte < 0x20) return false;
    switch (ch) {
      case '\\': case '/': case ':': case '*': case '?': case '"': case '<': case '>': case '|':
        return false;
      default:
        break;
    }
  }
  return true;
}

std::u16string ExtendedLengthPath(std::u16string_view fullPath) {
  const std::u16string_view path = fullPath;
  if (path.substr(0, 4) == u"\\\\?\\" || path.substr(0, 4) == u"\\\\.\\") return std::u16string(path);
  if (path.substr(0, 2) == u"\\\\") return u"\\\\?\\UNC\\" + std::u16string(path.substr(2));
  return u"\\\\?\\" + std::u16string(path);
}

ReportRoute RouteReport(bool windowStationVisible, bool standardErrorAttached) {
  ReportRoute route;
  route.box = windowStationVisible;
  route.debugger = !windowStationVisible;
  route.standardError = !windowStationVisible && standardErrorAttached;
  return route;
}
