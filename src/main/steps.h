// The steps of the verbs that act on one entry, each taken through the
// platform service of the same name and recorded (see step_log.h): counted,
// and logged when a log was asked for. In a dry run a step is judged
// instead of taken, from what can be read without changing anything:
//
// - a file named by its path (a single-file copy, move, rename or delete)
//   that does not exist fails with 2 (file not found);
// - a directory to be made where something other than a directory holds
//   the name fails with 183 (already exists), as it would;
// - a read-only file to be deleted fails with 5 (access denied) and stays,
//   and the removal of the directory holding it fails with 145 (not
//   empty);
// - a copy onto an existing read-only or hidden file fails with 5;
// - every other step succeeds.
//
// The decisions that follow from the results (a fatal report, what is
// tried next) are then the real run's.
#pragma once

#include <cstdint>
#include <string>

#include "main/step_log.h"
#include "platform/platform.h"

// Tree forms: names below open trees, as the platform's tree services take
// them, shown in the log as `shown...` (the full paths as the operation
// names them).
uint32_t DeleteFileStep(platform::TreeHandle tree, const std::string& name, uint32_t seenAttributes,
                        const ShownPath& shown);
uint32_t CopyFileStep(platform::TreeHandle fromTree, const std::string& from, platform::TreeHandle toTree,
                      const std::string& to, uint32_t seenAttributes, const ShownPath& shownFrom,
                      const ShownPath& shownTo);
uint32_t CopyLinkStep(platform::TreeHandle fromTree, const std::string& from, platform::TreeHandle toTree,
                      const std::string& to, const ShownPath& shownFrom, const ShownPath& shownTo);
uint32_t MoveFileStep(platform::TreeHandle fromTree, const std::string& from, platform::TreeHandle toTree,
                      const std::string& to, const ShownPath& shownFrom, const ShownPath& shownTo);
// A name that exists already as a directory (not a link) counts as made:
// another run making the same tree got there first. In a dry run `tree`
// may be kNoTree: the directory above is one the run would have made.
uint32_t MakeDirectoryStep(platform::TreeHandle tree, const std::string& name, const ShownPath& shown);
uint32_t RemoveDirectoryStep(platform::TreeHandle tree, const std::string& name, const ShownPath& shown);

// Path forms: paths as the caller named them, shown as they are.
uint32_t DeleteFileStep(const std::string& path);
uint32_t CopyFileStep(const std::string& from, const std::string& to);
uint32_t CopyLinkStep(const std::string& from, const std::string& to);
uint32_t MoveFileStep(const std::string& from, const std::string& to);
uint32_t RenameStep(const std::string& from, const std::string& to);
uint32_t MakeDirectoryStep(const std::string& path);
// Makes `path` with every missing directory on the way, as one step (see
// platform::CreateDirectoryPath); an existing directory is no failure.
uint32_t MakeDirectoryPathStep(const std::string& path);
uint32_t RemoveDirectoryStep(const std::string& path);

// A directory of a tree whose entries could not be read (`error`, the
// search's code) is passed over: what it holds is not worked on. An
// empty directory is no failure.
void NoteUnreadDirectory(const std::string& directory, uint32_t error);

// A mask that selects no file: the source names nothing.
void NoteNothingSelected(const std::string& mask);
