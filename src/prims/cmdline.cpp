#include "prims/cmdline.h"

#include "platform/platform.h"
#include "prims/text.h"

namespace {

size_t CharacterLength(std::string_view raw, size_t position, const LeadBytes& leadBytes) {
  bool twoBytes = leadBytes.test(static_cast<unsigned char>(raw[position])) &&
                  position + 1 < raw.size();
  return twoBytes ? 2 : 1;
}

bool AtSeparator(std::string_view raw, size_t position) {
  return IsBlankOrControl(static_cast<unsigned char>(raw[position]));
}

}  // namespace

std::string NextArgument(std::string_view raw, size_t& position, const LeadBytes& leadBytes) {
  while (position < raw.size()) {
    if (AtSeparator(raw, position)) {
      ++position;
    } else if (raw[position] == '"' && position + 1 < raw.size() && raw[position + 1] == '"') {
      position += 2;
    } else {
      break;
    }
  }
  std::string argument;
  while (position < raw.size() && !AtSeparator(raw, position)) {
    if (raw[position] == '"') {
      ++position;
      while (position < raw.size() && raw[position] != '"') {
        size_t length = CharacterLength(raw, position, leadBytes);
        argument.append(raw.substr(position, length));
        position += length;
      }
      if (position < raw.size()) ++position;  // the closing quote
    } else {
      size_t length = CharacterLength(raw, position, leadBytes);
      argument.append(raw.substr(position, length));
      position += length;
    }
  }
  return argument;
}

std::vector<std::string> SplitCommandLine(std::string_view raw, const LeadBytes& leadBytes) {
  size_t position = 0;
  NextArgument(raw, position, leadBytes);  // the program name
  std::vector<std::string> arguments;
  for (;;) {
    std::string argument = NextArgument(raw, position, leadBytes);
    if (argument.empty()) break;
    arguments.push_back(std::move(argument));
  }
  return arguments;
}

std::vector<std::string> CommandArguments() {
  if (std::optional<std::string> raw = platform::RawCommandLine()) {
    return SplitCommandLine(*raw, platform::NativeConventions().leadBytes);
  }
  const std::vector<std::string>& recorded = platform::RecordedArguments();
  if (recorded.empty()) return {};
  return std::vector<std::string>(recorded.begin() + 1, recorded.end());
}

int ArgumentCount() { return static_cast<int>(CommandArguments().size()); }

std::string ArgumentAt(int i) {
  if (i == 0) return platform::ProgramFilePath();
  std::vector<std::string> arguments = CommandArguments();
  if (i < 0 || static_cast<size_t>(i) > arguments.size()) return {};
  return arguments[static_cast<size_t>(i) - 1];
}
