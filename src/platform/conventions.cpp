#include "platform/conventions.h"

void UpperAsciiByCharacter(std::string& text, const LeadBytes& leadBytes) {
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char byte = static_cast<unsigned char>(text[i]);
    if (leadBytes.test(byte)) {
      ++i;  // the trail byte belongs to this character
    } else if (byte >= 'a' && byte <= 'z') {
      text[i] = static_cast<char>(byte - 0x20);
    }
  }
}

Conventions WindowsConventions(const LeadBytes& leadBytes) {
  Conventions c;
  c.separator = '\\';
  c.alternateSeparator = '/';
  c.driveLetters = true;
  c.foldCase = true;
  c.dropsTrailingDots = true;
  c.leadBytes = leadBytes;
  c.upperInPlace = &UpperAsciiByCharacter;
  return c;
}

Conventions PosixConventions() {
  Conventions c;
  c.separator = '/';
  c.alternateSeparator = 0;
  c.driveLetters = false;
  c.foldCase = false;
  c.dropsTrailingDots = false;
  c.upperInPlace = &UpperAsciiByCharacter;
  return c;
}
