#include "prims/fs.h"

#include "main/errors.h"
#include "main/steps.h"
#include "main/texts.h"
#include "prims/path.h"

namespace {

constexpr uint32_t kSkippableBits = 0x1E;  // hidden, system, volume label, directory

bool IsRealDirectory(uint32_t attributes) {
  return attributes != platform::kNoAttributes && (attributes & platform::kAttrDirectory) &&
         !(attributes & platform::kAttrReparsePoint);
}

void Deliver(TSearchRec& entry) {
  const platform::FoundEntry& found = entry.PlatformRecord;
  uint32_t dos = 0;
  if (platform::LocalDosDateTime(found.lastWriteTime, dos)) entry.Time = dos;
  entry.Size = static_cast<uint32_t>(found.size);
  entry.Attributes = found.attributes;
  entry.Name = found.name;
}

// Passes over entries with a skip bit; 0 once an entry was delivered.
uint32_t MatchingStep(TSearchRec& entry) {
  while (entry.PlatformRecord.attributes & entry.SkipMask) {
    uint32_t error = 0;
    if (!platform::FindNext(entry.Handle, entry.PlatformRecord, error)) return error;
  }
  Deliver(entry);
  return 0;
}

}  // namespace

TSearchRec::~TSearchRec() { FindEnd(*this); }

uint32_t FindFirstEntry(const std::string& mask, uint32_t attributes, TSearchRec& entry) {
  FindEnd(entry);
  entry.SkipMask = ~attributes & kSkippableBits;
  uint32_t error = 0;
  entry.Handle = platform::FindFirst(mask, entry.PlatformRecord, error);
  if (entry.Handle == platform::kNoSearch) return error;
  uint32_t result = MatchingStep(entry);
  if (result != 0) FindEnd(entry);
  return result;
}

uint32_t FindFirstEntry(platform::TreeHandle tree, const std::string& directory, const std::string& pattern,
                        uint32_t attributes, TSearchRec& entry) {
  FindEnd(entry);
  entry.SkipMask = ~attributes & kSkippableBits;
  uint32_t error = 0;
  entry.Handle = platform::FindFirst(tree, directory, pattern, entry.PlatformRecord, error);
  if (entry.Handle == platform::kNoSearch) return error;
  uint32_t result = MatchingStep(entry);
  if (result != 0) FindEnd(entry);
  return result;
}

uint32_t FindNextEntry(TSearchRec& entry) {
  if (entry.Handle == platform::kNoSearch) return platform::kErrorInvalidParameter;
  uint32_t error = 0;
  if (!platform::FindNext(entry.Handle, entry.PlatformRecord, error)) return error;
  return MatchingStep(entry);
}

void FindEnd(TSearchRec& entry) {
  if (entry.Handle == platform::kNoSearch) return;
  platform::FindClose(entry.Handle);
  entry.Handle = platform::kNoSearch;
}

bool DirectoryPresent(const std::string& path) {
  uint32_t attributes = platform::FileAttributes(path);
  return (attributes != platform::kNoAttributes && (attributes & platform::kAttrDirectory)) || MadeInDryRun(path);
}

bool DirectoryPresent(platform::TreeHandle tree, const std::string& name) {
  // No tree: a dry run's directory that was never made holds nothing.
  return tree != platform::kNoTree && IsRealDirectory(platform::FileAttributes(tree, name));
}

bool FilePresent(const std::string& path) {
  platform::FoundEntry found;
  uint32_t error = 0;
  platform::SearchHandle search = platform::FindFirst(path, found, error);
  if (search == platform::kNoSearch) return false;
  platform::FindClose(search);
  uint32_t dos = 0;
  return !(found.attributes & platform::kAttrDirectory) &&
         platform::LocalDosDateTime(found.lastWriteTime, dos);
}

int32_t ReadAttributes(const std::string& path) {
  return static_cast<int32_t>(platform::FileAttributes(path));
}

namespace {

// Creates one directory. A name that exists already counts as made when it
// is a directory by now: two runs creating the same tree race for it.
uint32_t CreateOneDirectory(const std::string& path) { return MakeDirectoryStep(path); }

// Creates `path` and its missing parents; 0 or the code of the creation
// that failed. The empty text (the current directory), a root and a drive
// exist; a path that ends in a colon or in a second separator names nothing
// to create. The platform makes the rest one directory from the last, held
// open, so that any depth costs time linear in it.
uint32_t EnsureParents(const std::string& path, const Conventions& c) {
  const std::string d = DropTrailingBackslash(path, c);
  if (d.empty() || IsRootPath(d, c)) return 0;
  if (DirectoryPart(d, c) == d) return 0;
  if (DirectoryPresent(d)) return 0;
  return MakeDirectoryPathStep(d);
}

}  // namespace

bool EnsureDirectories(const std::string& path) {
  if (path.empty()) Raise(EInOutError(ProgramText(kTextUnableToCreateDirectory), 3));
  return EnsureParents(path, platform::NativeConventions()) == 0;
}

void MakeDirectoryPath(const std::string& spelled) {
  if (spelled.empty()) Raise(EInOutError(ProgramText(kTextUnableToCreateDirectory), 3));
  const std::string path = NormalizeSeparators(spelled);
  uint32_t error = EnsureParents(path, platform::NativeConventions());
  if (error == 0 && DirectoryPresent(path)) return;
  if (error == 0) error = platform::kErrorPathNotFound;  // nothing was made (a doubled separator)
  RaiseAbout(EInOutError(ProgramText(kTextUnableToCreateDirectory), static_cast<int32_t>(error)), path,
             platform::ErrorMessageText(error));
}

bool NamesRootDirectory(const std::string& path) {
  if (path.empty()) return false;
  const Conventions& c = platform::NativeConventions();
  return IsRootPath(path, c) || IsRootPath(platform::AbsolutePath(path), c);
}

bool RenamePath(const std::string& from, const std::string& to) { return RenameStep(from, to) == 0; }

namespace {

// Leaves a failed checked call's code and path for CheckPendingIo.
void SetPendingIo(uint32_t error, const ShownPath& path) {
  if (error == 0) return;
  PendingIoCode = static_cast<int32_t>(error);
  PendingIoPath = path.Text();
}

}  // namespace

void MakeDirChecked(const std::string& path) {
  SetPendingIo(CreateOneDirectory(path), ShownDirectory(path));
  CheckPendingIo();
}

void RemoveDirChecked(const std::string& path) {
  SetPendingIo(RemoveDirectoryStep(path), ShownDirectory(path));
  CheckPendingIo();
}

void MakeDirChecked(platform::TreeHandle tree, const std::string& name, const std::string& root) {
  const ShownPath shown(root, name);
  SetPendingIo(MakeDirectoryStep(tree, name, shown), shown);
  CheckPendingIo();
}

void RemoveDirChecked(platform::TreeHandle tree, const std::string& name, const std::string& root) {
  const ShownPath shown(root, name);
  SetPendingIo(RemoveDirectoryStep(tree, name, shown), shown);
  CheckPendingIo();
}
