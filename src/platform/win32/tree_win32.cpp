#include "platform/win32/tree_win32.h"

#include <algorithm>
#include <functional>

#include "platform/win32/errors_win32.h"
#include "platform/win32/test_hooks_win32.h"

namespace platform::win32 {

// --- Native calls ------------------------------------------------------------------

NTSTATUS OpenAt(HANDLE dir, std::wstring_view name, ACCESS_MASK access, ULONG share, ULONG disposition,
                ULONG options, ScopedHandle& opened, ULONG attributes, LONGLONG allocation) {
  UNICODE_STRING string = NativeString(name);
  OBJECT_ATTRIBUTES object{};
  object.Length = sizeof object;
  object.RootDirectory = dir;
  object.ObjectName = &string;
  object.Attributes = OBJ_CASE_INSENSITIVE;  // as the Win32 functions look names up
  IO_STATUS_BLOCK io{};
  LARGE_INTEGER size;
  size.QuadPart = allocation;
  HANDLE handle = nullptr;
  const NTSTATUS status = NtCreateFile(&handle, access | SYNCHRONIZE, &object, &io, allocation > 0 ? &size : nullptr,
                                       attributes, share, disposition, options | FILE_SYNCHRONOUS_IO_NONALERT,
                                       nullptr, 0);
  opened.reset(NT_SUCCESS(status) ? handle : nullptr);
  return status;
}

bool QueryAttributeTag(HANDLE entry, FileAttributeTagInformation& info) {
  IO_STATUS_BLOCK io{};
  return NT_SUCCESS(NtQueryInformationFile(entry, &io, &info, sizeof info, kFileAttributeTagInformation));
}

bool IdentityOf(HANDLE entry, Identity& identity) {
  IO_STATUS_BLOCK io{};
  FileIdInformation id{};
  identity = Identity{};
  if (NT_SUCCESS(NtQueryInformationFile(entry, &io, &id, sizeof id, kFileIdInformation))) {
    identity.volume = id.VolumeSerialNumber;
    std::copy(std::begin(id.FileId), std::end(id.FileId), identity.file);
    return true;
  }
  // Systems before Windows 8 know only the 64-bit index.
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(entry, &info)) return false;
  identity.volume = info.dwVolumeSerialNumber;
  const uint64_t index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  for (int i = 0; i < 8; ++i) identity.file[i] = static_cast<uint8_t>(index >> (8 * i));
  return true;
}

std::wstring NameOnVolume(HANDLE entry) {
  std::vector<ULONG> buffer(256);
  for (int attempt = 0; attempt < 2; ++attempt) {
    IO_STATUS_BLOCK io{};
    const ULONG bytes = static_cast<ULONG>(buffer.size() * sizeof(ULONG));
    const NTSTATUS status = NtQueryInformationFile(entry, &io, buffer.data(), bytes, FileNameInformation);
    const auto* name = reinterpret_cast<const FILE_NAME_INFORMATION*>(buffer.data());
    if (NT_SUCCESS(status)) return std::wstring(name->FileName, name->FileNameLength / sizeof(wchar_t));
    if (status != static_cast<NTSTATUS>(0x80000005) /* STATUS_BUFFER_OVERFLOW */) return {};
    buffer.resize((name->FileNameLength + sizeof(ULONG)) / sizeof(ULONG) + 2);
  }
  return {};
}

bool IsSameOrBelow(std::wstring_view inner, std::wstring_view outer) {
  while (!outer.empty() && outer.back() == L'\\') outer.remove_suffix(1);
  if (outer.empty()) return !inner.empty() && inner[0] == L'\\';  // the volume's root
  if (inner.size() < outer.size()) return false;
  if (inner.size() > outer.size() && inner[outer.size()] != L'\\') return false;
  return CompareStringOrdinal(inner.data(), static_cast<int>(outer.size()), outer.data(),
                              static_cast<int>(outer.size()), TRUE) == CSTR_EQUAL;
}

uint32_t MarkDeleted(HANDLE entry, std::atomic<bool>* classicOnly, bool* classicUsed) {
  bool classic = false;
  const uint32_t status = WithNewerClassFirst(
      [entry, &classic](bool posix) -> uint32_t {
        classic = !posix;
        IO_STATUS_BLOCK io{};
        if (posix) {
          ULONG flags = kDispositionDelete | kDispositionPosixSemantics;
          return static_cast<uint32_t>(
              NtSetInformationFile(entry, &io, &flags, sizeof flags, kFileDispositionInformationEx));
        }
        FILE_DISPOSITION_INFORMATION disposition{TRUE};
        return static_cast<uint32_t>(
            NtSetInformationFile(entry, &io, &disposition, sizeof disposition, FileDispositionInformation));
      },
      classicOnly);
  if (classicUsed) *classicUsed = classic;
  return ErrorOf(static_cast<NTSTATUS>(status));
}

uint32_t RenameInto(HANDLE entry, HANDLE dir, std::wstring_view name, bool replace, std::atomic<bool>* classicOnly) {
  std::vector<ULONG_PTR> buffer((sizeof(FILE_RENAME_INFORMATION) + name.size() * sizeof(wchar_t)) / sizeof(ULONG_PTR) + 1);
  auto* rename = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer.data());
  rename->RootDirectory = dir;
  rename->FileNameLength = static_cast<ULONG>(name.size() * sizeof(wchar_t));
  std::copy(name.begin(), name.end(), rename->FileName);
  const ULONG bytes = static_cast<ULONG>(buffer.size() * sizeof(ULONG_PTR));
  const auto attempt = [&](bool posix) -> uint32_t {
    IO_STATUS_BLOCK io{};
    if (posix) {
      *reinterpret_cast<ULONG*>(rename) = kRenameReplaceIfExists | kRenamePosixSemantics;
      return static_cast<uint32_t>(NtSetInformationFile(entry, &io, rename, bytes, kFileRenameInformationEx));
    }
    *reinterpret_cast<ULONG*>(rename) = 0;
    rename->ReplaceIfExists = replace ? TRUE : FALSE;
    return static_cast<uint32_t>(NtSetInformationFile(entry, &io, rename, bytes, FileRenameInformation));
  };
  // Without replacing, both classes do the same: the older one, known
  // everywhere, is taken at once.
  const uint32_t status = replace ? WithNewerClassFirst(attempt, classicOnly) : attempt(false);
  return ErrorOf(static_cast<NTSTATUS>(status));
}

// --- Looking at entries ----------------------------------------------------------------

namespace {

std::wstring JoinedName(std::wstring_view base, std::wstring_view relative) {
  std::wstring joined(base);
  if (relative.empty()) return joined;
  if (joined.empty() || joined.back() != L'\\') joined.push_back(L'\\');
  joined.append(relative);
  return joined;
}

// Under Wine: the real path of `entry` is the one `relative` spells below
// the tree's root. Wine names an open file with its trailing dots and blanks
// dropped, so both sides are compared without them.
bool RealPathIsNamed(const Tree& tree, HANDLE entry, std::wstring_view relative) {
  if (tree.RootName().empty()) return false;
  const std::wstring real = NameOnVolume(entry);
  if (real.empty()) return false;
  const std::wstring expected = JoinedName(tree.RootName(), relative);
  const auto a = WithoutTrailingDotsAndBlanks(std::u16string_view(reinterpret_cast<const char16_t*>(real.data()), real.size()));
  const auto b = WithoutTrailingDotsAndBlanks(
      std::u16string_view(reinterpret_cast<const char16_t*>(expected.data()), expected.size()));
  return CompareStringOrdinal(reinterpret_cast<const wchar_t*>(a.data()), static_cast<int>(a.size()),
                              reinterpret_cast<const wchar_t*>(b.data()), static_cast<int>(b.size()),
                              TRUE) == CSTR_EQUAL;
}

}  // namespace

bool LookAt(const Tree& tree, HANDLE entry, std::wstring_view relative, EntryLook& look) {
  FileAttributeTagInformation info{};
  if (!QueryAttributeTag(entry, info)) return false;
  look.attributes = info.FileAttributes;
  look.tag = (info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? info.ReparseTag : 0;
  look.link = IsLink(look.attributes, look.tag);
  // Wine opened what a link leads to and describes that: only the real path
  // tells that a link was on the way.
  if (!look.link && UnderWine() && !RealPathIsNamed(tree, entry, relative)) look.link = true;
  return true;
}

bool StillInPlace(const Tree& tree, HANDLE dir, std::wstring_view relative) {
  if (!UnderWine()) return true;
  // Looked up by its whole path, as Wine will look up the name given there.
  std::wstring path = JoinedName(tree.RootPath(), relative);
  const std::u16string_view path16(reinterpret_cast<const char16_t*>(path.data()), path.size());
  if (NeedsExtendedForm(path16, PathUse::kFile)) {
    const std::u16string extended = ExtendedLengthPath(path16);
    path.assign(extended.begin(), extended.end());
  }
  ScopedHandle now(CreateFileW(Checked(path), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  Identity held, found;
  return now.valid() && IdentityOf(dir, held) && IdentityOf(now.get(), found) && held == found;
}

#ifdef FILEOP_TEST_HOOKS
namespace {

std::mutex& SeamLock() {
  static std::mutex lock;
  return lock;
}

test_hooks::SeamHook& SeamHookSlot() {
  static test_hooks::SeamHook hook;
  return hook;
}

}  // namespace

void test_hooks::SetSeamHook(SeamHook hook) {
  std::lock_guard<std::mutex> hold(SeamLock());
  SeamHookSlot() = std::move(hook);
}

void Seam(const char* step, const Tree& tree, std::wstring_view relative) {
  std::lock_guard<std::mutex> hold(SeamLock());
  if (SeamHookSlot()) SeamHookSlot()(step, Narrow(JoinedName(tree.RootPath(), relative)));
}
#else
void Seam(const char*, const Tree&, std::wstring_view) {}
#endif

// --- Resolver ---------------------------------------------------------------------------

namespace {

// The deepest levels always kept open, and the least spacing of the anchors
// kept above them; the spacing doubles so that at most kMostAnchors stay.
constexpr size_t kDeepestKept = 16;
constexpr size_t kAnchorSpacing = 16;
constexpr size_t kMostAnchors = 64;

constexpr ACCESS_MASK kStepAccess = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES;
constexpr ULONG kStepOptions = FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT;

}  // namespace

std::wstring Resolver::Place::Relative() const {
  std::wstring relative(parent);
  if (!relative.empty() && !name.empty()) relative.push_back(L'\\');
  return relative.append(name);
}

void Resolver::Split(std::wstring_view text) {
  joined_.clear();
  joined_.reserve(text.size());
  std::vector<std::pair<size_t, size_t>> spans;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find_first_of(L"\\/", start);
    if (end == std::wstring_view::npos) end = text.size();
    if (end > start) {
      if (!joined_.empty()) joined_.push_back(L'\\');
      spans.emplace_back(joined_.size(), end - start);
      joined_.append(text.substr(start, end - start));
    }
    start = end + 1;
  }
  names_.clear();
  for (const auto& [at, length] : spans) names_.push_back(std::wstring_view(joined_).substr(at, length));
}

Resolver::Place Resolver::Locate(std::string_view relative) {
  Split(Wide(relative));
  if (names_.empty()) return {tree_.Root(), {}, {}, 0};
  for (std::wstring_view name : names_) {
    if (name == L"." || name == L"..") return {nullptr, {}, {}, kErrorInvalidName};
  }
  const size_t parents = names_.size() - 1;
  size_t shared = 0;
  while (shared < chain_.size() && shared < parents && chain_[shared].name == names_[shared]) ++shared;
  Truncate(shared);
  // Walk on from the deepest level still open; levels closed to save
  // handles are opened again on the way, and verified again.
  size_t start = shared;
  while (start > 0 && !chain_[start - 1].handle.valid()) --start;
  HANDLE dir = start == 0 ? tree_.Root() : chain_[start - 1].handle.get();
  for (size_t i = start; i < parents; ++i) {
    if (i == chain_.size()) chain_.push_back({std::wstring(names_[i]), ScopedHandle()});
    ScopedHandle next;
    const NTSTATUS status = OpenAt(dir, names_[i], kStepAccess, kShareAll, FILE_OPEN, kStepOptions, next);
    EntryLook look;
    const std::wstring_view soFar = std::wstring_view(joined_).substr(0, names_[i].data() + names_[i].size() - joined_.data());
    if (!NT_SUCCESS(status) || !LookAt(tree_, next.get(), soFar, look) || !look.directory() || look.link) {
      Truncate(i);
      return {nullptr, {}, {}, NT_SUCCESS(status) ? uint32_t{kErrorPathNotFound} : StepErrorOf(status)};
    }
    chain_[i].handle = std::move(next);
    dir = chain_[i].handle.get();
  }
  KeepFew();
  const std::wstring_view last = names_.back();
  const size_t parentLength = parents == 0 ? 0 : static_cast<size_t>(names_[parents - 1].data() + names_[parents - 1].size() - joined_.data());
  return {dir, std::wstring_view(joined_).substr(0, parentLength), last, 0};
}

void Resolver::Forget(std::wstring_view relative) {
  std::wstring copy(relative);  // Split reuses the request's storage
  Split(copy);
  if (names_.empty()) {
    Truncate(0);
    return;
  }
  size_t shared = 0;
  while (shared < chain_.size() && shared < names_.size() && chain_[shared].name == names_[shared]) ++shared;
  if (shared == names_.size()) Truncate(shared - 1);
}

size_t Resolver::KeptOpen() const {
  size_t kept = 0;
  for (const Level& level : chain_) kept += level.handle.valid();
  return kept;
}

void Resolver::Truncate(size_t levels) {
  if (levels < chain_.size()) chain_.resize(levels);
}

void Resolver::KeepFew() {
  const size_t depth = chain_.size();
  if (depth <= kDeepestKept) return;
  size_t spacing = kAnchorSpacing;
  while (depth / spacing > kMostAnchors) spacing *= 2;
  for (size_t i = 0; i + kDeepestKept < depth; ++i) {
    if ((i + 1) % spacing != 0) chain_[i].handle.reset();
  }
}

// --- Trees ------------------------------------------------------------------------------

Tree::Tree(ScopedHandle root, std::wstring rootPath, std::shared_ptr<TreeFamily> family)
    : root_(std::move(root)), rootPath_(std::move(rootPath)), family_(std::move(family)), resolver_(*this) {
  std::lock_guard<std::mutex> hold(family_->lock);
  family_->members.push_back(this);
}

void Tree::Learn() const {
  std::call_once(learned_, [this] {
    rootName_ = NameOnVolume(root_.get());
    IdentityOf(root_.get(), rootIdentity_);
  });
}

Tree::~Tree() {
  std::lock_guard<std::mutex> hold(family_->lock);
  auto& members = family_->members;
  members.erase(std::remove(members.begin(), members.end(), this), members.end());
}

Tree* Tree::Share(uint32_t& error) const {
  HANDLE duplicate = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), root_.get(), GetCurrentProcess(), &duplicate, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    error = GetLastError();
    return nullptr;
  }
  return new Tree(ScopedHandle(duplicate), rootPath_, family_);
}

Tree* Tree::ShareBelow(std::string_view directory, uint32_t& error) {
  ScopedHandle dir;
  std::wstring relative;
  {
    std::unique_lock<std::mutex> hold(lock_);
    const Resolver::Place place = resolver_.Locate(directory);
    if (place.error) {
      error = place.error;
      return nullptr;
    }
    if (place.name.empty()) {
      hold.unlock();
      return Share(error);
    }
    relative = place.Relative();
    const NTSTATUS opened = OpenAt(place.dir, place.name, FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES,
                                   kShareAll, FILE_OPEN, FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, dir);
    if (!NT_SUCCESS(opened)) {
      error = StepErrorOf(opened);
      return nullptr;
    }
    EntryLook look;
    if (!LookAt(*this, dir.get(), relative, look) || look.link || !look.directory()) {
      error = kErrorPathNotFound;
      return nullptr;
    }
  }
  // Made with no tree lock held: a family's lock is taken before a member's.
  std::wstring path = rootPath_;
  if (!path.empty() && path.back() != L'\\') path.push_back(L'\\');
  return new Tree(std::move(dir), path.append(relative), family_);
}

void Tree::ForgetEverywhere(std::wstring_view relative) {
  std::lock_guard<std::mutex> hold(family_->lock);
  for (Tree* member : family_->members) {
    std::lock_guard<std::mutex> holdMember(member->lock_);
    member->resolver_.Forget(relative);
  }
}

namespace {

// Where the root of a path ends: a path is never cut into its volume part.
size_t RootLength(const std::wstring& path) {
  return VolumeRootLength(std::u16string_view(reinterpret_cast<const char16_t*>(path.data()), path.size()));
}

std::wstring WithoutTrailingSeparators(std::wstring path) {
  const size_t root = RootLength(path);
  while (path.size() > root && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
  return path;
}

uint32_t RootError(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DIRECTORY:
    case ERROR_INVALID_NAME:
    case ERROR_CANT_RESOLVE_FILENAME:
      return kErrorPathNotFound;
    default:
      return error;
  }
}

}  // namespace

Tree* OpenTreeAt(const std::wstring& systemPath, bool followLast, uint32_t& error) {
  const std::wstring plain = WithoutTrailingSeparators(systemPath);
  if (plain.empty()) {
    error = kErrorPathNotFound;
    return nullptr;
  }
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (followLast ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  ScopedHandle root(CreateFileW(Checked(plain), FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags, nullptr));
  if (!root.valid()) {
    error = RootError(GetLastError());
    return nullptr;
  }
  FileAttributeTagInformation info{};
  if (!QueryAttributeTag(root.get(), info)) {
    error = kErrorAccessDenied;
    return nullptr;
  }
  bool link = !followLast && IsLink(info.FileAttributes, info.ReparseTag);
  // Wine opens a link's target even when asked for the link; its entry
  // still shows what it is.
  if (!followLast && !link && UnderWine()) {
    const DWORD attributes = GetFileAttributesW(Checked(plain));
    link = attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
  }
  if (!(info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) || link) {
    error = kErrorPathNotFound;
    return nullptr;
  }
  return new Tree(std::move(root), plain, std::make_shared<TreeFamily>());
}

PathPlace::PathPlace(std::string_view path) {
  std::wstring full = SystemPath(path);
  const size_t root = RootLength(full);
  trailing_ = full.size() > root && (full.back() == L'\\' || full.back() == L'/');
  full = WithoutTrailingSeparators(std::move(full));
  const size_t cut = full.find_last_of(L"\\/");
  const std::wstring_view name = cut == std::wstring::npos ? std::wstring_view() : std::wstring_view(full).substr(cut + 1);
  if (full.size() <= root || cut == std::wstring::npos || cut + 1 < root || name == L"." || name == L"..") {
    tree_ = OpenTreeAt(full, true, error_);
    return;
  }
  // The directory keeps the separator that ends a volume's root ("C:\").
  tree_ = OpenTreeAt(full.substr(0, cut + 1 == root ? root : cut), true, error_);
  name_ = Narrow(name);
}

}  // namespace platform::win32
