// The raw command-line splitter against a direct statement of its rules.
#include "fuzz/fuzz_support.h"
#include "prims/cmdline.h"

namespace {

// One argument, stated plainly: skip separators and stand-alone quote pairs,
// then copy characters, dropping every quote and letting quotes switch
// between "blanks end the argument" and "blanks are copied".
std::vector<std::string> Reference(const std::string& raw, const LeadBytes& lead) {
  std::vector<std::string> out;
  size_t i = 0;
  bool first = true;
  for (;;) {
    for (;;) {
      if (i < raw.size() && static_cast<unsigned char>(raw[i]) >= 1 && static_cast<unsigned char>(raw[i]) <= 0x20) {
        ++i;
      } else if (i + 1 < raw.size() && raw[i] == '"' && raw[i + 1] == '"') {
        i += 2;
      } else {
        break;
      }
    }
    std::string argument;
    bool quoted = false;
    while (i < raw.size()) {
      unsigned char b = static_cast<unsigned char>(raw[i]);
      if (!quoted && b >= 1 && b <= 0x20) break;
      if (b == '"') {
        quoted = !quoted;
        ++i;
        continue;
      }
      size_t length = lead.test(b) && i + 1 < raw.size() ? 2 : 1;
      argument.append(raw, i, length);
      i += length;
    }
    if (first) {
      first = false;
      continue;
    }
    if (argument.empty()) return out;
    out.push_back(argument);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string raw(reinterpret_cast<const char*>(data), size);
  for (const LeadBytes& lead : {LeadBytes{}, DoubleByteLeads()}) {
    FUZZ_CHECK(SplitCommandLine(raw, lead) == Reference(raw, lead));
  }
  return 0;
}
