// Shared pieces of the fuzz targets: reading the fuzzer's bytes as a few
// texts, and the lead-byte set of a double-byte code page.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/conventions.h"

// Splits the input at 0xFF bytes into at most `count` texts (missing ones
// are empty).
inline std::vector<std::string> Pieces(const uint8_t* data, size_t size, size_t count) {
  std::vector<std::string> pieces(count);
  size_t at = 0;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0xFF && at + 1 < count) {
      ++at;
    } else {
      pieces[at].push_back(static_cast<char>(data[i]));
    }
  }
  return pieces;
}

// Lead bytes 0x81..0x9F and 0xE0..0xFC: 0x5C and 0x22 can be trail bytes.
inline LeadBytes DoubleByteLeads() {
  LeadBytes lead;
  for (unsigned b = 0x81; b <= 0x9F; ++b) lead.set(b);
  for (unsigned b = 0xE0; b <= 0xFC; ++b) lead.set(b);
  return lead;
}

// Trail-byte rule stated directly: walk the text from its start, character
// by character.
inline std::vector<bool> TrailBytes(const std::string& text, const LeadBytes& lead) {
  std::vector<bool> trail(text.size(), false);
  for (size_t i = 0; i < text.size(); ++i) {
    if (lead.test(static_cast<unsigned char>(text[i])) && i + 1 < text.size()) trail[++i] = true;
  }
  return trail;
}

#define FUZZ_CHECK(condition)                                    \
  do {                                                           \
    if (!(condition)) {                                          \
      fprintf(stderr, "check failed: %s (%s:%d)\n", #condition, \
                       __FILE__, __LINE__);                      \
      __builtin_trap();                                          \
    }                                                            \
  } while (0)
