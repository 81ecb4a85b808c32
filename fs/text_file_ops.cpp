#include "text_file_ops.h"

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <string.h>
#include <sys/stat.h>

#include "bounded_text.h"
#include "filesys.h"

namespace {

// The fault a test armed. The only state of the seam, and only the test hook needs it: the
// operations still to go before the failing one (0: nothing armed), the error it fails with
// (0: the operation's own), and whether it has fired.
struct TextOpFault {
  int remaining = 0;
  int error = 0;
  bool fired = false;
};
TextOpFault gTextOpFault;

// 0 when the operation goes ahead, else the error it fails with instead. natural is what
// the real call gives when it fails that way.
int Injected(int natural) {
  if (gTextOpFault.remaining == 0 || --gTextOpFault.remaining > 0) return 0;
  gTextOpFault.fired = true;
  return gTextOpFault.error ? gTextOpFault.error : natural;
}

// The runtime's error number after a failed call, with a fallback for a call that failed
// without setting one.
int ErrnoOr(int fallback) { return errno ? errno : fallback; }

int LastSystemError() { return ClassicErrorNumber(GetLastError()); }

}  // namespace

TextFile::~TextFile() { AbandonText(*this); }

void AbandonText(TextFile& file) {
  if (file.fp) fclose(file.fp);
  file.fp = nullptr;
}

void ArmTextOpFault(int nth, int error) { gTextOpFault = TextOpFault{nth > 0 ? nth : 0, error, false}; }

bool DisarmTextOpFault() {
  bool fired = gTextOpFault.fired;
  gTextOpFault = TextOpFault{};
  return fired;
}

int OpenTextForRead(const char* path, TextFile& file) {
  if (int e = Injected(EACCES)) return e;
  errno = 0;
  file.fp = fopen(path, "rt");
  file.lastLineEnded = true;
  return file.fp ? 0 : ErrnoOr(ENOENT);
}

int MakeTempPathBeside(const char* path, char* temp, size_t size) {
  if (int e = Injected(EEXIST)) return e;
  // The folder part ends after the last separator, or after the colon of "C:NAME".
  size_t folder = 0;
  for (size_t i = 0; path[i]; ++i)
    if (path[i] == '\\' || path[i] == '/' || path[i] == ':') folder = i + 1;
  if (folder >= size) return ENAMETOOLONG;
  memcpy(temp, path, folder);
  temp[folder] = '\0';
  if (!AppendText(temp, size, "$XXXXXX")) return ENAMETOOLONG;
  errno = 0;
  return _mktemp(temp) ? 0 : ErrnoOr(EEXIST);
}

int CreateTextExclusive(const char* path, TextFile& file) {
  if (int e = Injected(EACCES)) return e;
  errno = 0;
  int fd = _open(path, _O_CREAT | _O_EXCL | _O_WRONLY | _O_TEXT, _S_IREAD | _S_IWRITE);
  if (fd < 0) return ErrnoOr(EACCES);
  file.fp = _fdopen(fd, "wt");
  if (file.fp) return 0;
  int e = ErrnoOr(ENOMEM);
  _close(fd);
  DeleteFileA(path);
  return e;
}

int ReadTextLine(TextFile& file, TextLine& line) {
  if (int e = Injected(EIO)) return e;
  errno = 0;
  if (!fgets(line, int(kTextLineSize), file.fp)) {
    line[0] = '\0';
    return ferror(file.fp) ? ErrnoOr(EIO) : kEndOfText;
  }
  size_t n = strlen(line);
  file.lastLineEnded = n > 0 && line[n - 1] == '\n';
  return 0;
}

int WriteText(TextFile& file, const char* text) {
  if (int e = Injected(ENOSPC)) return e;
  errno = 0;
  return fputs(text, file.fp) < 0 ? ErrnoOr(EIO) : 0;
}

int CommitText(TextFile& file) {
  if (int e = Injected(ENOSPC)) return e;
  errno = 0;
  if (fflush(file.fp) != 0) return ErrnoOr(EIO);
  return _commit(_fileno(file.fp)) == 0 ? 0 : ErrnoOr(EIO);
}

int CloseText(TextFile& file) {
  int injected = Injected(ENOSPC);
  errno = 0;
  int r = fclose(file.fp);
  file.fp = nullptr;
  if (injected) return injected;
  return r == 0 ? 0 : ErrnoOr(EIO);
}

int QueryTextAttributes(TextFile& file, DWORD& attributes) {
  if (int e = Injected(EACCES)) return e;
  BY_HANDLE_FILE_INFORMATION info;
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file.fp)));
  if (h == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(h, &info)) return LastSystemError();
  attributes = info.dwFileAttributes;
  return 0;
}

int GetPathAttributes(const char* path, DWORD& attributes) {
  if (int e = Injected(EACCES)) return e;
  DWORD a = GetFileAttributesA(path);
  if (a == INVALID_FILE_ATTRIBUTES) return LastSystemError();
  attributes = a;
  return 0;
}

int SetPathAttributes(const char* path, DWORD attributes) {
  if (int e = Injected(EACCES)) return e;
  return SetFileAttributesA(path, attributes) ? 0 : LastSystemError();
}

int ReplaceWriteThrough(const char* from, const char* to) {
  if (int e = Injected(EACCES)) return e;
  return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ? 0 : LastSystemError();
}

int RenameFileTo(const char* from, const char* to) {
  if (int e = Injected(EACCES)) return e;
  return MoveFileA(from, to) ? 0 : LastSystemError();
}

int RemoveFilePath(const char* path) {
  if (int e = Injected(EACCES)) return e;
  return DeleteFileA(path) ? 0 : LastSystemError();
}

int MakeDirectoryAt(const char* path) {
  if (int e = Injected(EACCES)) return e;
  return CreateDirectoryA(path, nullptr) ? 0 : LastSystemError();
}

int RemoveDirectoryAt(const char* path) {
  if (int e = Injected(EACCES)) return e;
  return RemoveDirectoryA(path) ? 0 : LastSystemError();
}

int CopyFileThrough(const char* destination, const char* source) {
  // The copy answers in system error codes: a refused copy is access denied.
  if (int e = Injected(int(ERROR_ACCESS_DENIED))) return e;
  return CopyFileWithProgress(destination, source, false);
}
