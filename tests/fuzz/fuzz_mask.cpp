// The mask matcher against a plain dynamic-programming statement of it.
#include "fuzz/fuzz_support.h"
#include "platform/wildcard.h"

namespace {

// Splits a text into characters (a lead byte and its follower are one).
std::vector<std::string> Characters(const std::string& text, const LeadBytes& lead) {
  std::vector<std::string> out;
  for (size_t i = 0; i < text.size();) {
    size_t length = lead.test(static_cast<unsigned char>(text[i])) && i + 1 < text.size() ? 2 : 1;
    out.push_back(text.substr(i, length));
    i += length;
  }
  return out;
}

bool Reference(const std::string& name, const std::string& pattern, const Conventions& c) {
  if (pattern == "*.*") return true;
  std::string n = name, p = pattern;
  if (c.foldCase) {
    c.upperInPlace(n, c.leadBytes);
    c.upperInPlace(p, c.leadBytes);
  }
  const std::vector<std::string> nc = Characters(n, c.leadBytes), pc = Characters(p, c.leadBytes);
  // match[i][j]: the first i pattern characters match the first j name characters.
  std::vector<std::vector<char>> match(pc.size() + 1, std::vector<char>(nc.size() + 1, 0));
  match[0][0] = 1;
  for (size_t i = 1; i <= pc.size(); ++i) {
    for (size_t j = 0; j <= nc.size(); ++j) {
      if (pc[i - 1] == "*") {
        match[i][j] = match[i - 1][j] || (j > 0 && match[i][j - 1]);
      } else if (j > 0) {
        match[i][j] = match[i - 1][j - 1] && (pc[i - 1] == "?" || pc[i - 1] == nc[j - 1]);
      }
    }
  }
  return match[pc.size()][nc.size()];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> p = Pieces(data, size, 2);
  if (p[0].size() > 300 || p[1].size() > 300) return 0;
  for (const Conventions& c : {WindowsConventions(), WindowsConventions(DoubleByteLeads()), PosixConventions()}) {
    FUZZ_CHECK(MatchesMask(p[0], p[1], c) == Reference(p[0], p[1], c));
  }
  return 0;
}
