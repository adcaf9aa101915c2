// The conventions a platform imposes on paths and ANSI text, held as a value
// so that the pure text and path rules can be exercised for any platform
// (Windows with a double-byte code page included) from a native test.
#pragma once

#include <bitset>
#include <string>

// Bytes that begin a two-byte character in the active ANSI code page.
using LeadBytes = std::bitset<256>;

struct Conventions {
  // The one separator the program inserts, counts and strips.
  char separator = '\\';
  // A second byte the platform's name layer takes for a separator (Windows
  // takes "/" for "\\"); 0 when there is none. Only the checks that decide
  // what a path names look at it.
  char alternateSeparator = '/';
  // "C:" prefixes exist and the colon ends a path's directory part.
  bool driveLetters = true;
  // Names that differ only in letter case denote the same file.
  bool foldCase = true;
  // The name layer drops trailing dots and blanks from a path's last name,
  // so a name made only of them ("...", ". .") means its directory.
  bool dropsTrailingDots = true;
  LeadBytes leadBytes;
  // Upper-cases text in place by the code page's rules; never changes the
  // length. Must not be null.
  void (*upperInPlace)(std::string& text, const LeadBytes& leadBytes) = nullptr;

  // The bytes that end the directory part of a path: the separator, and on
  // platforms with drive letters the colon as well.
  std::string PathDelimiters() const {
    return driveLetters ? std::string{separator, ':'} : std::string(1, separator);
  }
};

// Upper-cases a to z only, stepping over double-byte characters whole so that
// a trail byte in the range a..z is left alone.
void UpperAsciiByCharacter(std::string& text, const LeadBytes& leadBytes);

// Windows rules with the given lead-byte set and ASCII upper-casing; for tests
// of Windows behaviour on any host.
Conventions WindowsConventions(const LeadBytes& leadBytes = {});

// POSIX rules: "/" only, no drives, case-sensitive names, UTF-8 (no lead bytes).
Conventions PosixConventions();
