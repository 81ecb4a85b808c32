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
// A 400 MB copy is 400,000 blocks; pumping every 64 (64 KB, a few milliseconds even under
// load) keeps the window answering without making the copy itself slower.
constexpr uint32_t kBlocksPerPump = 64;

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
    if (!FindNextFileA(rec.handle.Get(), &fd)) return false;
    Fill(rec, fd);
  }
  return true;
}

// Copies every block of in to out; 0 or the system error of the failed read or write.
FsError CopyBlocks(HANDLE in, HANDLE out, uint32_t size, bool showProgress) {
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[kCopyBlock]);
  if (!buffer) return Fail(kCopyNoMemory);
  if (showProgress) ProgressStart();
  uint64_t copied = 0;
  for (uint32_t blocks = 1;; ++blocks) {
    DWORD got = 0;
    if (FsError e = ReadFileBlock(in, buffer.get(), kCopyBlock, &got)) return e;
    if (got == 0) return 0;
    if (FsError e = WriteFileBlock(out, buffer.get(), got)) return e;
    copied += got;
    if (showProgress) ProgressSet(size ? int(copied * 100 / size) : 0);
    if (blocks % kBlocksPerPump == 0) PumpMessages();
  }
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
  rec.handle.Reset(FindFirstFileA(pattern, &fd));
  if (!rec.handle) return 2;
  Fill(rec, fd);
  if (SkipDirectories(rec)) return 0;
  rec.handle.Close();  // nothing left to search
  return 1;
}

int NextFileSearch(FileSearchRecord& rec) {
  WIN32_FIND_DATAA fd;
  if (!rec.handle || !FindNextFileA(rec.handle.Get(), &fd)) return 1;
  Fill(rec, fd);
  return SkipDirectories(rec) ? 0 : 1;
}

void EndFileSearch(FileSearchRecord& rec) { rec.handle.Close(); }

FsError OpenFileForRead(const char* path, plxwin::Handle& file) {
  file.Reset(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  return file ? 0 : Fail(GetLastError());
}

FsError CreateFileForWrite(const char* path, DWORD attributes, plxwin::Handle& file) {
  file.Reset(CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, attributes, nullptr));
  return file ? 0 : Fail(GetLastError());
}

FsError ReadFileBlock(HANDLE file, void* buffer, DWORD size, DWORD* got) {
  return ReadFile(file, buffer, size, got, nullptr) ? 0 : Fail(GetLastError());
}

FsError WriteFileBlock(HANDLE file, const void* buffer, DWORD size) {
  DWORD put = 0;
  if (!WriteFile(file, buffer, size, &put, nullptr)) return Fail(GetLastError());
  return put == size ? 0 : Fail(ERROR_DISK_FULL);
}

FsError CloseFileHandle(plxwin::Handle& file) { return file.Close() ? 0 : Fail(GetLastError()); }

FsError FreeBytesOnDrive(int drive, uint32_t* freeBytes) {
  if (drive < 1 || drive > 26) return Fail(ERROR_INVALID_DRIVE);
  char root[] = "A:\\";
  root[0] = char('A' + drive - 1);
  DWORD spc = 0, bps = 0, freeClusters = 0, total = 0;
  if (!GetDiskFreeSpaceA(root, &spc, &bps, &freeClusters, &total)) return Fail(GetLastError());
  // An unsigned 32-bit count, as the callers expect: larger drives wrap.
  *freeBytes = uint32_t(uint64_t(freeClusters) * spc * bps);
  return 0;
}

FsError FileSizeOf(HANDLE file, uint32_t* size) {
  DWORD s = GetFileSize(file, nullptr);
  if (s == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return Fail(GetLastError());
  *size = s;
  return 0;
}

int GetFileDosTime(HANDLE file, uint16_t* dosDate, uint16_t* dosTime) {
  FILETIME written;
  WORD d = 0, t = 0;
  if (!GetFileTime(file, nullptr, nullptr, &written) || !FileTimeToDosDateTime(&written, &d, &t)) {
    Fail(GetLastError());
    return -1;
  }
  *dosDate = d;
  *dosTime = t;
  return 0;
}

int SetFileDosTime(HANDLE file, uint16_t dosDate, uint16_t dosTime) {
  FILETIME ft;
  if (!DosDateTimeToFileTime(dosDate, dosTime, &ft) || !SetFileTime(file, &ft, &ft, &ft)) {
    Fail(GetLastError());
    return -1;
  }
  return 0;
}

int GetAttributes(const char* path) {
  DWORD a = GetFileAttributesA(path);
  if (a == INVALID_FILE_ATTRIBUTES) {
    Fail(GetLastError());
    return -1;
  }
  return int(a);
}

int SetAttributes(const char* path, DWORD attributes) {
  if (SetFileAttributesA(path, attributes)) return 0;
  Fail(GetLastError());
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
  plxwin::Handle in;
  if (FsError e = OpenFileForRead(source, in)) return e;
  uint32_t size = 0, freeBytes = 0;
  if (FsError e = FileSizeOf(in.Get(), &size)) return e;
  int drive = toupper(static_cast<unsigned char>(destination[0])) - 'A' + 1;
  if (FreeBytesOnDrive(drive, &freeBytes) != 0) return kCopyNoDriveInfo;
  if (freeBytes < size) return kCopyNoSpace;
  plxwin::Handle out;
  if (FsError e = CreateFileForWrite(destination, FILE_ATTRIBUTE_NORMAL, out)) return e;
  FsError e = CopyBlocks(in.Get(), out.Get(), size, showProgress);
  if (e == 0) {
    uint16_t d, t;
    if (GetFileDosTime(in.Get(), &d, &t) == 0) SetFileDosTime(out.Get(), d, t);
    // The last buffered write can still fail here, on a network drive above all.
    e = CloseFileHandle(out);
  }
  if (e != 0) {
    out.Close();
    DeleteFileA(destination);
    return nRunTimeError = e;
  }
  if (showProgress) ProgressReset();
  return 0;
}
