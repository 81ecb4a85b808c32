// File-system routines under the file functions, the task types and the undo journal: a
// file search that can skip directories, a copy with a free-space check and progress, and
// thin wrappers around the Win32 file calls.
//
// One error convention: a routine fails with the system error code (GetLastError's value,
// an FsError) and leaves it in nRunTimeError. Where a caller needs the classic error number
// instead, ClassicErrorNumber derives it, here and nowhere else. Every handle a routine
// opens is owned (plxwin::Handle, plxwin::FindHandle), so no early return leaks one.
#pragma once
#include <windows.h>
#include <stdint.h>

#include "win_handle.h"

// The process-wide run-time error number that script functions copy into [RETVAL].
extern int nRunTimeError;

// A system error code; 0 is success.
using FsError = int;

// The copy's own results beside the system error codes.
enum CopyResult : int {
  kCopyNoMemory = ERROR_NOT_ENOUGH_MEMORY,  // no copy buffer
  kCopyNoDriveInfo = 415,                   // the destination's drive cannot be asked
  kCopyNoSpace = 499,                       // "Not enough space to copy file."
};

// The classic error numbers.
enum ClassicError : int {
  kClassicNotFound = 2,
  kClassicAccessDenied = 13,
  kClassicExists = 17,
  kClassicInvalid = 22,
  kClassicNoSpace = 28,
  kClassicNotEmpty = 41,
};

struct FileSearchRecord {
  uint32_t attributes = 0;
  uint32_t size = 0;
  FILETIME created{};
  char name[260] = {};
  plxwin::FindHandle handle;
  bool skipDirectories = true;
};

// 0 with the first entry, 2 when nothing matches, 1 when only skipped entries match.
int StartFileSearch(const char* pattern, uint32_t attributeMask, FileSearchRecord& rec);
// 0 with the next entry, 1 at the end.
int NextFileSearch(FileSearchRecord& rec);
void EndFileSearch(FileSearchRecord& rec);

// 0, or a CopyResult, or the system error of the failed open, read, write or close. A copy
// that fails after the destination was created removes it: no half-written file stays.
// Messages are pumped between blocks, so that a long copy leaves the window alive.
int CopyFileWithProgress(const char* destination, const char* source, bool showProgress);

FsError OpenFileForRead(const char* path, plxwin::Handle& file);
FsError CreateFileForWrite(const char* path, DWORD attributes, plxwin::Handle& file);
FsError ReadFileBlock(HANDLE file, void* buffer, DWORD size, DWORD* got);
FsError WriteFileBlock(HANDLE file, const void* buffer, DWORD size);
// Closes the file and says whether the system took it: a late write error shows here.
FsError CloseFileHandle(plxwin::Handle& file);
FsError FreeBytesOnDrive(int drive /* 1 = A: */, uint32_t* freeBytes);
FsError FileSizeOf(HANDLE file, uint32_t* size);
int GetFileDosTime(HANDLE file, uint16_t* dosDate, uint16_t* dosTime);  // -1 on failure
int SetFileDosTime(HANDLE file, uint16_t dosDate, uint16_t dosTime);    // -1 on failure
int GetAttributes(const char* path);                                     // -1 on failure
int SetAttributes(const char* path, DWORD attributes);                   // 0 or -1
bool FileExists(const char* path);
bool IsDirectory(const char* path);
// These four store the classic error number in nRunTimeError and return it.
int MakeDirectory(const char* path);
int RemoveDirectoryPath(const char* path);
int DeleteFilePath(const char* path);
int RenamePath(const char* from, const char* to);
// The classic error number for a system error code.
ClassicError ClassicErrorNumber(DWORD systemError);
