// A reader of the step log for tests: each line one flat JSON object of
// strings, integers and booleans. Written from the JSON grammar, not from
// the program's writer, so that it checks what the writer promises: every
// line whole and well-formed, and each escaped name decoding back to its
// exact bytes (\udc80..\udcff standing for one byte each).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <tuple>
#include <sstream>
#include <string>
#include <vector>

namespace json_lines {

using Object = std::map<std::string, std::string>;  // numbers and booleans as written

namespace detail {

inline void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | cp >> 6));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | cp >> 12));
    out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | cp >> 18));
    out.push_back(static_cast<char>(0x80 | (cp >> 12 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

inline bool Hex4(const std::string& s, size_t& i, uint32_t& value) {
  if (i + 4 > s.size()) return false;
  value = 0;
  for (int k = 0; k < 4; ++k) {
    const char ch = s[i++];
    value <<= 4;
    if (ch >= '0' && ch <= '9') value |= static_cast<uint32_t>(ch - '0');
    else if (ch >= 'a' && ch <= 'f') value |= static_cast<uint32_t>(ch - 'a' + 10);
    else if (ch >= 'A' && ch <= 'F') value |= static_cast<uint32_t>(ch - 'A' + 10);
    else return false;
  }
  return true;
}

// A string starting at the quote s[i]; leaves i after the closing quote.
inline std::optional<std::string> String(const std::string& s, size_t& i) {
  if (i >= s.size() || s[i] != '"') return std::nullopt;
  ++i;
  std::string out;
  while (i < s.size()) {
    const unsigned char ch = static_cast<unsigned char>(s[i++]);
    if (ch == '"') return out;
    if (ch < 0x20) return std::nullopt;  // raw control characters are not JSON
    if (ch != '\\') {
      out.push_back(static_cast<char>(ch));
      continue;
    }
    if (i >= s.size()) return std::nullopt;
    const char kind = s[i++];
    switch (kind) {
      case '"': out.push_back('"'); break;
      case '\\': out.push_back('\\'); break;
      case '/': out.push_back('/'); break;
      case 'b': out.push_back('\b'); break;
      case 'f': out.push_back('\f'); break;
      case 'n': out.push_back('\n'); break;
      case 'r': out.push_back('\r'); break;
      case 't': out.push_back('\t'); break;
      case 'u': {
        uint32_t unit = 0;
        if (!Hex4(s, i, unit)) return std::nullopt;
        if (unit >= 0xDC80 && unit <= 0xDCFF) {
          out.push_back(static_cast<char>(unit - 0xDC00));  // one byte that was not UTF-8
        } else if (unit >= 0xD800 && unit <= 0xDBFF && i + 6 <= s.size() && s[i] == '\\' && s[i + 1] == 'u') {
          size_t j = i + 2;
          uint32_t low = 0;
          if (!Hex4(s, j, low) || low < 0xDC00 || low > 0xDFFF) return std::nullopt;
          i = j;
          AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
          return std::nullopt;  // the writer never leaves a surrogate alone
        } else {
          AppendUtf8(out, unit);
        }
        break;
      }
      default: return std::nullopt;
    }
  }
  return std::nullopt;
}

}  // namespace detail

// One line (without its "\n") as an object; nullopt when it is not one
// flat JSON object.
inline std::optional<Object> Parse(const std::string& line) {
  Object object;
  size_t i = 0;
  if (line.empty() || line[i++] != '{') return std::nullopt;
  if (i < line.size() && line[i] == '}') return i + 1 == line.size() ? std::optional<Object>(object) : std::nullopt;
  for (;;) {
    auto key = detail::String(line, i);
    if (!key || i >= line.size() || line[i++] != ':') return std::nullopt;
    if (i < line.size() && line[i] == '"') {
      auto value = detail::String(line, i);
      if (!value) return std::nullopt;
      object[*key] = *value;
    } else {
      const size_t start = i;
      while (i < line.size() && line[i] != ',' && line[i] != '}') ++i;
      const std::string word = line.substr(start, i - start);
      const bool number = !word.empty() && word.find_first_not_of("-0123456789") == std::string::npos;
      if (!number && word != "true" && word != "false" && word != "null") return std::nullopt;
      object[*key] = word;
    }
    if (i >= line.size()) return std::nullopt;
    const char next = line[i++];
    if (next == '}') return i == line.size() ? std::optional<Object>(object) : std::nullopt;
    if (next != ',') return std::nullopt;
  }
}

// Every line of a log text; `whole` is false when a line does not parse or
// the text does not end in "\n".
inline std::vector<Object> ParseAll(const std::string& text, bool& whole, std::string* firstBad = nullptr) {
  std::vector<Object> objects;
  whole = text.empty() || text.back() == '\n';
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    auto object = Parse(line);
    if (!object) {
      if (whole && firstBad) *firstBad = line;
      whole = false;
      continue;
    }
    objects.push_back(std::move(*object));
  }
  return objects;
}

// One step line as a comparable row: step, path, to ("" when absent),
// result, code.
using Step = std::tuple<std::string, std::string, std::string, std::string, std::string>;

// The step lines of a log (the summary left out) as a set of rows.
inline std::multiset<Step> StepsOf(const std::vector<Object>& lines) {
  std::multiset<Step> steps;
  for (const Object& line : lines) {
    if (line.at("step") == "summary") continue;
    steps.insert({line.at("step"), line.at("path"), line.count("to") ? line.at("to") : "", line.at("result"),
                  line.at("code")});
  }
  return steps;
}

}  // namespace json_lines
