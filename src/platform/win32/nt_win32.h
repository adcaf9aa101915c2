// The few native (ntdll) declarations the layer uses that mingw-w64's
// winternl.h lacks: the directory query, the newer information classes
// (identity, delete with POSIX semantics, rename with flags, hard links) and
// their structures, as Microsoft documents them.
#pragma once

#include <windows.h>
#include <winternl.h>

extern "C" {

// Lists a directory opened for FILE_LIST_DIRECTORY, from where the last call
// on the same handle ended.
NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                    PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation, ULONG Length,
                                    FILE_INFORMATION_CLASS FileInformationClass, BOOLEAN ReturnSingleEntry,
                                    PUNICODE_STRING FileName, BOOLEAN RestartScan);

}  // extern "C"

namespace platform::win32 {

// Information classes beyond winternl.h's list.
inline constexpr auto kFileIdInformation = static_cast<FILE_INFORMATION_CLASS>(59);
inline constexpr auto kFileDispositionInformationEx = static_cast<FILE_INFORMATION_CLASS>(64);
inline constexpr auto kFileRenameInformationEx = static_cast<FILE_INFORMATION_CLASS>(65);
inline constexpr auto kFileHardLinkInformation = static_cast<FILE_INFORMATION_CLASS>(46);
inline constexpr auto kFileAttributeTagInformation = static_cast<FILE_INFORMATION_CLASS>(35);
inline constexpr auto kFileNetworkOpenInformation = static_cast<FILE_INFORMATION_CLASS>(34);
inline constexpr auto kFileStreamInformation = static_cast<FILE_INFORMATION_CLASS>(22);

// FILE_DISPOSITION_INFORMATION_EX flags.
inline constexpr ULONG kDispositionDelete = 0x1;
inline constexpr ULONG kDispositionPosixSemantics = 0x2;

// FILE_RENAME_INFORMATION flags of the Ex class (Flags shares the place of
// the older class's ReplaceIfExists).
inline constexpr ULONG kRenameReplaceIfExists = 0x1;
inline constexpr ULONG kRenamePosixSemantics = 0x2;

struct FileIdInformation {
  ULONGLONG VolumeSerialNumber;
  BYTE FileId[16];
};

struct FileAttributeTagInformation {
  ULONG FileAttributes;
  ULONG ReparseTag;
};

// FILE_LINKS_INFORMATION and its entries: every name a file has.
struct FileLinkEntryInformation {
  ULONG NextEntryOffset;
  LONGLONG ParentFileId;
  ULONG FileNameLength;
  WCHAR FileName[1];
};

struct FileLinksInformation {
  ULONG BytesNeeded;
  ULONG EntriesReturned;
  FileLinkEntryInformation Entry;
};

}  // namespace platform::win32
