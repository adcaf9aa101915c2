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

bool RefusedAsUnknownClass(uint32_t status) {
  switch (status) {
    case nt_status::kNotImplemented:
    case nt_status::kInvalidInfoClass:
    case nt_status::kInvalidParameter:
    case nt_status::kInvalidDeviceRequest:
    case nt_status::kNotSupported:
      return true;
    default:
      return false;
  }
}

uint32_t WithNewerClassFirst(const std::function<uint32_t(bool newer)>& attempt, std::atomic<bool>* olderOnly) {
  if (olderOnly && olderOnly->load(std::memory_order_relaxed)) return attempt(false);
  const uint32_t status = attempt(true);
  if (!RefusedAsUnknownClass(status)) return status;
  if (olderOnly) olderOnly->store(true, std::memory_order_relaxed);
  return attempt(false);
}

namespace {

char16_t AsciiUpper(char16_t unit) { return unit >= u'a' && unit <= u'z' ? unit - 0x20 : unit; }

bool SameAsciiText(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  }
  return true;
}

bool IsSeparator(char16_t unit) { return unit == u'\\' || unit == u'/'; }

bool StartsWith(std::u16string_view text, std::u16string_view prefix) {
  return text.size() >= prefix.size() && text.substr(0, prefix.size()) == prefix;
}

// The end of the name that starts at `at` (a separator or the end).
size_t NameEnd(std::u16string_view path, size_t at) {
  while (at < path.size() && !IsSeparator(path[at])) ++at;
  return at;
}

// The end of `count` names after `at`, with the separator after them.
size_t SkipNames(std::u16string_view path, size_t at, int count) {
  for (int i = 0; i < count && at < path.size(); ++i) {
    at = NameEnd(path, at);
    if (at < path.size()) ++at;
  }
  return at;
}

// Calls `visit(name, last)` for each name after the volume root.
template <class Visit>
void ForEachName(std::u16string_view path, Visit visit) {
  size_t at = VolumeRootLength(path);
  while (at < path.size()) {
    const size_t end = NameEnd(path, at);
    const std::u16string_view name = path.substr(at, end - at);
    const bool last = path.find_first_not_of(u"\\/", end) == std::u16string_view::npos;
    if (!name.empty() && name != u"." && name != u"..") visit(name, last);
    at = end + 1;
  }
}

size_t PlainLimit(PathUse use) { return use == PathUse::kCreateDirectory ? 248 : 260; }

bool EndsInDotOrBlank(std::u16string_view name) { return !name.empty() && (name.back() == u'.' || name.back() == u' '); }

}  // namespace

bool IsReservedDeviceName(std::u16string_view name) {
  std::u16string_view base = name.substr(0, name.find(u'.'));
  while (!base.empty() && base.back() == u' ') base.remove_suffix(1);
  for (std::u16string_view device : {u"CON", u"PRN", u"AUX", u"NUL", u"CONIN$", u"CONOUT$"}) {
    if (SameAsciiText(base, device)) return true;
  }
  if (base.size() == 4 && (SameAsciiText(base.substr(0, 3), u"COM") || SameAsciiText(base.substr(0, 3), u"LPT"))) {
    const char16_t digit = base[3];
    return (digit >= u'1' && digit <= u'9') || digit == u'\u00B9' || digit == u'\u00B2' || digit == u'\u00B3';
  }
  return false;
}

std::string PathRuleBreach(std::u16string_view path, PathUse use) {
  if (StartsWith(path, u"\\\\?\\")) return {};
  if (path.size() >= PlainLimit(use)) {
    return "a plain path of " + std::to_string(path.size()) + " characters (the limit is " +
           std::to_string(PlainLimit(use) - 1) + ")";
  }
  const bool device = StartsWith(path, u"\\\\.\\");
  std::string breach;
  ForEachName(path, [&](std::u16string_view name, bool last) {
    if (!breach.empty() || (use == PathUse::kSearch && last)) return;
    if (EndsInDotOrBlank(name)) {
      breach = "the name \"" + NarrowFromWide(name) + "\" ends in a dot or a blank, which the plain form drops";
    } else if (!device && IsReservedDeviceName(name)) {
      breach = "the name \"" + NarrowFromWide(name) + "\" is a device in the plain form";
    }
  });
  return breach;
}

bool NeedsExtendedForm(std::u16string_view fullPath, PathUse use) {
  if (StartsWith(fullPath, u"\\\\?\\") || StartsWith(fullPath, u"\\\\.\\")) return false;
  return !PathRuleBreach(fullPath, use).empty();
}

size_t VolumeRootLength(std::u16string_view path) {
  if (StartsWith(path, u"\\\\?\\") || StartsWith(path, u"\\\\.\\")) {
    const size_t first = 4, firstEnd = NameEnd(path, first);
    const std::u16string_view name = path.substr(first, firstEnd - first);
    int more = 0;
    if (SameAsciiText(name, u"UNC") || SameAsciiText(name, u"GLOBALROOT")) more = 2;
    return SkipNames(path, first, 1 + more);
  }
  if (StartsWith(path, u"\\\\")) return SkipNames(path, 2, 2);
  if (path.size() >= 2 && path[1] == u':') return path.size() >= 3 && IsSeparator(path[2]) ? 3 : 2;
  return 0;
}

std::u16string PartialFileName(uint64_t high, uint64_t low) {
  static constexpr char16_t kDigits[] = u"0123456789abcdef";
  std::u16string name = u"~fileop-partial-";
  for (uint64_t part : {high, low}) {
    for (int shift = 60; shift >= 0; shift -= 4) name.push_back(kDigits[(part >> shift) & 0xF]);
  }
  return name + u".tmp";
}

bool IsPartialFileName(std::u16string_view name) {
  constexpr std::u16string_view prefix = u"~fileop-partial-", suffix = u".tmp";
  return name.size() > prefix.size() + suffix.size() && StartsWith(name, prefix) &&
         name.substr(name.size() - suffix.size()) == suffix;
}

std::u16string WithoutTrailingDotsAndBlanks(std::u16string_view path) {
  std::u16string out;
  out.reserve(path.size());
  size_t at = 0;
  while (at <= path.size()) {
    size_t end = NameEnd(path, at);
    std::u16string_view name = path.substr(at, end - at);
    if (name != u"." && name != u"..") {
      while (EndsInDotOrBlank(name)) name.remove_suffix(1);
    }
    out.append(name);
    if (end < path.size()) out.push_back(path[end]);
    at = end + 1;
  }
  return out;
}

bool DesktopVisible(bool sessionKnown, uint32_t session, bool stationKnown, bool stationVisible) {
  if (sessionKnown && session == 0) return false;
  return stationKnown && stationVisible;
}
