#include "filesys.h"

#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#include <memory>

#include "plx/bytes.h"
#include "status_window.h"

int nRunTimeError = 0;

namespace {

constexpr DWORD kCopyBlock = 1024;

int Fail(DWORD error) {
  nRunTimeError = int(error);
  return int(error);
}

int FailClassic(DWORD error) { return nRunTimeError = ClassicErrorNumber(error); }

void Fill(FileSearchRecord& rec, const WIN32_FIND_DATAA& fd) {
  rec.attributes = fd.dwFileAttributes;
  rec.size = fd.nFileSizeLow;
  rec.created = fd.ftCreationTime;
  plx::CopyText(rec.name, sizeof rec.name, fd.cFileName);
}

bool Skipped(const FileSearchRecord& rec) {
  return rec.skipDirectories && (rec.attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Moves past skipped entries; false when the search ran out.
bool SkipDirectories(FileSearchRecord& rec) {
  WIN32_FIND_DATAA fd;
  while (Skipped(rec)) {
    if (!FindNextFileA(rec.handle, &fd)) return false;
    Fill(rec, fd);
  }
  return true;
}

}  // namespace

ClassicError ClassicErrorNumber(DWORD e) {
  switch (e) {
    case ERROR_FILE_NOT_FOUND: case ERROR_PATH_NOT_FOUND: case ERROR_INVALID_DRIVE:
    case ERROR_NO_MORE_FILES: case ERROR_BAD_NETPATH: case ERROR_BAD_NET_NAME:
    case ERROR_BAD_PATHNAME: case ERROR_FILENAME_EXCED_RANGE:
      return kClassicNotFound;
    case ERROR_ACCESS_DENIED: case ERROR_CURRENT_DIRECTORY: case ERROR_NETWORK_ACCESS_DENIED:
    case ERROR_CANNOT_MAKE: case ERROR_FAIL_I24: case ERROR_DRIVE_LOCKED: case ERROR_SEEK_ON_DEVICE:
    case ERROR_NOT_LOCKED: case ERROR_LOCK_FAILED:
      return kClassicAccessDenied;
    case ERROR_FILE_EXISTS: case ERROR_ALREADY_EXISTS:
      return kClassicExists;
    case ERROR_DIR_NOT_EMPTY:
      return kClassicNotEmpty;
    case ERROR_DISK_FULL:
      return kClassicNoSpace;
  }
  // The write-protect to sharing-buffer range: all refusals of access.
  if (e >= ERROR_WRITE_PROTECT && e <= ERROR_SHARING_BUFFER_EXCEEDED) return kClassicAccessDenied;
  return kClassicInvalid;
}

int StartFileSearch(const char* pattern, uint32_t mask, FileSearchRecord& rec) {
  rec.skipDirectories = (mask & FILE_ATTRIBUTE_DIRECTORY) == 0;
  WIN32_FIND_DATAA fd;
  rec.handle = FindFirstFileA(pattern, &fd);
  if (rec.handle == INVALID_HANDLE_VALUE) return 2;
  Fill(rec, fd);
  return SkipDirectories(rec) ? 0 : 1;
}

int NextFileSearch(FileSearchRecord& rec) {
  WIN32_FIND_DATAA fd;
  if (rec.handle == INVALID_HANDLE_VALUE || !FindNextFileA(rec.handle, &fd)) return 1;
  Fill(rec, fd);
  return SkipDirectories(rec) ? 0 : 1;
}

void EndFileSearch(FileSearchRecord& rec) {
  if (rec.handle != INVALID_HANDLE_VALUE) FindClose(rec.handle);
  rec.handle = INVALID_HANDLE_VALUE;
}

int OpenFileForRead(const char* path, HANDLE* file) {
  *file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  return *file == INVALID_HANDLE_VALUE ? Fail(GetLastError()) : 0;
}

int CreateFileForWrite(const char* path, DWORD attributes, HANDLE* file) {
  *file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, attributes, nullptr);
  return *file == INVALID_HANDLE_VALUE ? Fail(GetLastError()) : 0;
}

int ReadFileBlock(HANDLE file, void* buffer, DWORD size, DWORD* got) {
  return ReadFile(file, buffer, size, got, nullptr) ? 0 : Fail(GetLastError());
}

int WriteFileBlock(HANDLE file, const void* buffer, DWORD size) {
  DWORD put = 0;
  if (!WriteFile(file, buffer, size, &put, nullptr)) return Fail(GetLastError());
  return put == size ? 0 : Fail(ERROR_DISK_FULL);
}

int CloseFileHandle(HANDLE file) { return CloseHandle(file) ? 0 : Fail(GetLastError()); }

int FreeBytesOnDrive(int drive, uint32_t* freeBytes) {
  char root[] = "A:\\";
  root[0] = char('A' + drive - 1);
  DWORD spc = 0, bps = 0, freeClusters = 0, total = 0;
  if (drive < 1 || drive > 26) return Fail(ERROR_INVALID_DRIVE);
  if (!GetDiskFreeSpaceA(root, &spc, &bps, &freeClusters, &total)) return Fail(GetLastError());
  // An unsigned 32-bit count, as the callers expect: larger drives wrap.
  *freeBytes = uint32_t(uint64_t(freeClusters) * spc * bps);
  return 0;
}

int FileSizeOf(HANDLE file, uint32_t* size) {
  DWORD s = GetFileSize(file, nullptr);
  if (s == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return Fail(GetLastError());
  *size = s;
  return 0;
}

int GetFileDosTime(HANDLE file, uint16_t* dosDate, uint16_t* dosTime) {
  FILETIME written;
  WORD d = 0, t = 0;
  if (!GetFileTime(file, nullptr, nullptr, &written) || !FileTimeToDosDateTime(&written, &d, &t)) {
    nRunTimeError = int(GetLastError());
    return -1;
  }
  *dosDate = d;
  *dosTime = t;
  return 0;
}

int SetFileDosTime(HANDLE file, uint16_t dosDate, uint16_t dosTime) {
  FILETIME ft;
  if (!DosDateTimeToFileTime(dosDate, dosTime, &ft) || !SetFileTime(file, &ft, &ft, &ft)) {
    nRunTimeError = int(GetLastError());
    return -1;
  }
  return 0;
}

int GetAttributes(const char* path) {
  DWORD a = GetFileAttributesA(path);
  if (a == INVALID_FILE_ATTRIBUTES) {
    nRunTimeError = int(GetLastError());
    return -1;
  }
  return int(a);
}

int SetAttributes(const char* path, DWORD attributes) {
  if (SetFileAttributesA(path, attributes)) return 0;
  nRunTimeError = int(GetLastError());
  return -1;
}

bool FileExists(const char* path) {
  DWORD a = GetFileAttributesA(path);
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsDirectory(const char* path) {
  DWORD a = GetFileAttributesA(path);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

int MakeDirectory(const char* path) { return CreateDirectoryA(path, nullptr) ? 0 : FailClassic(GetLastError()); }
int RemoveDirectoryPath(const char* path) { return RemoveDirectoryA(path) ? 0 : FailClassic(GetLastError()); }
int DeleteFilePath(const char* path) { return DeleteFileA(path) ? 0 : FailClassic(GetLastError()); }
int RenamePath(const char* from, const char* to) { return MoveFileA(from, to) ? 0 : FailClassic(GetLastError()); }

int CopyFileWithProgress(const char* destination, const char* source, bool showProgress) {
  HANDLE in;
  if (int e = OpenFileForRead(source, &in)) return e;
  uint32_t size = 0, freeBytes = 0;
  FileSizeOf(in, &size);
  int drive = toupper(static_cast<unsigned char>(destination[0])) - 'A' + 1;
  if (FreeBytesOnDrive(drive, &freeBytes) != 0) {
    CloseFileHandle(in);
    return 415;
  }
  if (freeBytes < size) {
    CloseFileHandle(in);
    return 499;
  }
  HANDLE out;
  if (int e = CreateFileForWrite(destination, FILE_ATTRIBUTE_NORMAL, &out)) {
    CloseFileHandle(in);
    return e;
  }
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[kCopyBlock]);
  if (!buffer) {
    CloseFileHandle(in);
    CloseFileHandle(out);
    return 8;
  }
  if (showProgress) ProgressStart();
  uint64_t copied = 0;
  for (;;) {
    DWORD got = 0;
    int e = ReadFileBlock(in, buffer.get(), kCopyBlock, &got);
    if (e == 0 && got == 0) break;
    if (e == 0) e = WriteFileBlock(out, buffer.get(), got);
    if (e != 0) {
      CloseFileHandle(in);
      CloseFileHandle(out);
      return e;
    }
    copied += got;
    if (showProgress) ProgressSet(size ? int(copied * 100 / size) : 0);
  }
  uint16_t d, t;
  if (GetFileDosTime(in, &d, &t) == 0) SetFileDosTime(out, d, t);
  CloseFileHandle(in);
  CloseFileHandle(out);
  if (showProgress) ProgressReset();
  return 0;
}
