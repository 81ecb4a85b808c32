// File-system routines under the file functions, the task types and the undo journal: a
// file search that can skip directories, a copy with a free-space check and progress, and
// thin wrappers around the Win32 file calls.
//
// One error convention: a routine fails with the system error code (GetLastError's value,
// an FsError) and leaves it in nRunTimeError. Where a caller needs the classic error number
// instead, ClassicErrorNumber derives it, here and nowhere else.
#pragma once
#include <windows.h>
#include <stdint.h>

// The process-wide run-time error number that script functions copy into [RETVAL].
extern int nRunTimeError;

// A system error code; 0 is success.
using FsError = int;

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
  HANDLE handle = INVALID_HANDLE_VALUE;
  bool skipDirectories = true;
};

// 0 with the first entry, 2 when nothing matches, 1 when only skipped entries match.
int StartFileSearch(const char* pattern, uint32_t attributeMask, FileSearchRecord& rec);
// 0 with the next entry, 1 at the end.
int NextFileSearch(FileSearchRecord& rec);
void EndFileSearch(FileSearchRecord& rec);

// 0, 499 when the destination drive lacks room, 415 when its drive cannot be asked, 8 when
// no buffer can be had, or the system error of the failed open, read or write.
int CopyFileWithProgress(const char* destination, const char* source, bool showProgress);

int OpenFileForRead(const char* path, HANDLE* file);
int CreateFileForWrite(const char* path, DWORD attributes, HANDLE* file);
int ReadFileBlock(HANDLE file, void* buffer, DWORD size, DWORD* got);
int WriteFileBlock(HANDLE file, const void* buffer, DWORD size);
int CloseFileHandle(HANDLE file);
int FreeBytesOnDrive(int drive /* 1 = A: */, uint32_t* freeBytes);
int FileSizeOf(HANDLE file, uint32_t* size);
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
