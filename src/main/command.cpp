#include "main/command.h"

#include "main/report.h"
#include "main/step_log.h"
#include "prims/cmdline.h"
#include "prims/fs.h"
#include "prims/path.h"
#include "prims/text.h"
#include "tree/copy_move.h"
#include "tree/delete.h"
#include "tree/listing.h"

std::string CommandWord;
std::string ArgumentText;
std::string SourcePath;
std::string TargetPath;

void ParseArguments(const std::vector<std::string>& arguments) {
  CommandWord.clear();
  ArgumentText.clear();
  SourcePath.clear();
  TargetPath.clear();
  for (size_t i = 0; i < arguments.size(); ++i) {
    if (i == 0) {
      CommandWord = arguments[i] + " ";
    } else {
      ArgumentText += arguments[i];
      ArgumentText += ' ';
    }
  }
  ArgumentText = TrimBlanks(ArgumentText);
  CommandWord = TrimBlanks(CommandWord);
  if (ContainsTextCI(ArgumentText, "<>")) {
    size_t p = FindText("<>", ArgumentText);
    SourcePath = TrimBlanks(CopyText(ArgumentText, 1, static_cast<long long>(p) - 1));
    TargetPath = TrimBlanks(CopyText(ArgumentText, static_cast<long long>(p) + 2,
                                     static_cast<long long>(ArgumentText.size())));
  } else {
    SourcePath = TrimBlanks(ArgumentText);
  }
}

namespace {
bool VerbIs(const char* verb) { return LowerAscii(TrimBlanks(CommandWord)) == verb; }
}  // namespace

void RunCommand() {
  PathList.clear();
  ParseArguments(CommandArguments());
  StartStepLog(CommandWord, SourcePath, TargetPath);
  // Five independent tests; the word does not change, so at most one matches.
  if (VerbIs("c")) CopyTarget(SourcePath, TargetPath);
  if (VerbIs("m")) MoveTarget(SourcePath, TargetPath);
  if (VerbIs("r")) RenamePath(NormalizeSeparators(SourcePath), NormalizeSeparators(TargetPath));
  if (VerbIs("d")) DeleteTarget(SourcePath);
  if (VerbIs("make")) MakeDirectoryPath(SourcePath);
  EndProgram(0);
}
