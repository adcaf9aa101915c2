// The command front end: the command line becomes a verb, a source and a
// target path, and the verb's one operation runs.
#pragma once

#include <string>
#include <vector>

// The command globals, empty at start and written only by the parse.
extern std::string CommandWord;   // argument 1, trimmed
extern std::string ArgumentText;  // arguments 2..n joined with one blank each, trimmed
extern std::string SourcePath;    // ArgumentText before the first "<>", trimmed
extern std::string TargetPath;    // ArgumentText after the first "<>", trimmed; else empty

// Sets the globals from the arguments after the program name: the first is
// the verb, the rest are joined with single blanks and split at the first
// "<>" (quotes do not protect it).
void ParseArguments(const std::vector<std::string>& arguments);

// The whole life of the process: parse the command line, run the operation
// the verb names ("c", "m", "r", "d" or "make", in any letter case), and end
// with exit code 0. Errors leave it for the top of the program.
[[noreturn]] void RunCommand();
