#include "text_file_ops.h"

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <string.h>
#include <sys/stat.h>

#include <new>

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

// Each file's own buffer: big enough that a file costs a few hundred calls per 100 MB, small
// enough that an edit's memory does not depend on the file.
constexpr size_t kTextBufferSize = 64 * 1024;
// Text mode reads a Ctrl-Z as the end of the file.
constexpr char kEndOfFileMark = 0x1A;

// Gives the file its buffer and has the stream itself buffer nothing, so that every block
// goes straight between our buffer and the system.
int AttachBuffer(TextFile& file, bool writing) {
  file.buffer.reset(new (std::nothrow) char[kTextBufferSize]);
  if (!file.buffer) return ENOMEM;
  setvbuf(file.fp, nullptr, _IONBF, 0);
  file.pos = file.len = 0;
  file.writing = writing;
  file.atEnd = file.pendingCr = false;
  file.lastLineEnded = true;
  return 0;
}

// Reads the next block and translates it as text mode does, in place: CR LF becomes LF, a
// lone CR stays, a Ctrl-Z ends the text. A CR that ends a block waits for the next byte.
// Called only once the previous block has been handed out; 0 or the read's error.
int FillText(TextFile& file) {
  char* b = file.buffer.get();
  file.pos = file.len = 0;
  while (file.len == 0 && !file.atEnd) {
    size_t raw = 0;
    if (file.pendingCr) b[raw++] = '\r';
    file.pendingCr = false;
    errno = 0;
    size_t got = fread(b + raw, 1, kTextBufferSize - raw, file.fp);
    if (got < kTextBufferSize - raw && ferror(file.fp)) return ErrnoOr(EIO);
    const bool streamEnded = got < kTextBufferSize - raw;
    raw += got;
    size_t out = 0;
    for (size_t i = 0; i < raw; ++i) {
      char c = b[i];
      if (c == kEndOfFileMark) {
        file.atEnd = true;
        break;
      }
      if (c == '\r') {
        if (i + 1 < raw) {
          if (b[i + 1] == '\n') continue;
        } else if (!streamEnded) {
          file.pendingCr = true;
          break;
        }
      }
      b[out++] = c;
    }
    file.len = out;
    if (streamEnded) file.atEnd = true;
  }
  return 0;
}

// Hands the buffered output to the stream.
int FlushText(TextFile& file) {
  if (!file.writing || file.len == 0) return 0;
  size_t n = file.len;
  file.len = 0;
  errno = 0;
  return fwrite(file.buffer.get(), 1, n, file.fp) == n ? 0 : ErrnoOr(EIO);
}

}  // namespace

TextFile::~TextFile() { AbandonText(*this); }

void AbandonText(TextFile& file) {
  if (file.fp) fclose(file.fp);
  file.fp = nullptr;
  file.buffer.reset();
  file.pos = file.len = 0;
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
  file.fp = fopen(path, "rb");
  if (!file.fp) return ErrnoOr(ENOENT);
  if (int e = AttachBuffer(file, false)) {
    AbandonText(file);
    return e;
  }
  return 0;
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
  int fd = _open(path, _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
  if (fd < 0) return ErrnoOr(EACCES);
  file.fp = _fdopen(fd, "wb");
  if (!file.fp) {
    int e = ErrnoOr(ENOMEM);
    _close(fd);
    DeleteFileA(path);
    return e;
  }
  if (int e = AttachBuffer(file, true)) {
    AbandonText(file);
    DeleteFileA(path);
    return e;
  }
  return 0;
}

// The two loops below copy byte by byte on purpose: they are the whole cost of an edit, and
// the runtime's own string routines under Wine (memchr, strchr, strlen) take a call and a
// byte-at-a-time loop each, which made up half of it.
int ReadTextLine(TextFile& file, TextLine& line) {
  if (int e = Injected(EIO)) return e;
  size_t n = 0;
  bool ended = false, hasNul = false;
  // As one bounded line read: up to the newline, or 255 characters of a longer line.
  while (n < kTextLineSize - 1 && !ended) {
    if (file.pos == file.len) {
      if (int e = FillText(file)) {
        line[0] = '\0';
        return e;
      }
      if (file.len == 0) break;
    }
    const char* from = file.buffer.get() + file.pos;
    size_t room = kTextLineSize - 1 - n, left = file.len - file.pos;
    size_t want = room < left ? room : left, i = 0;
    while (i < want) {
      char c = from[i++];
      line[n++] = c;
      hasNul |= c == '\0';
      if (c == '\n') {
        ended = true;
        break;
      }
    }
    file.pos += i;
  }
  line[n] = '\0';
  if (n == 0) return kEndOfText;
  // The callers see the line up to its first NUL, as after a line read by the runtime.
  file.lastLineEnded = ended && !hasNul;
  return 0;
}

int WriteText(TextFile& file, const char* text) {
  if (int e = Injected(ENOSPC)) return e;
  char* b = file.buffer.get();
  for (; *text; ++text) {
    // Room for a newline's two bytes.
    if (file.len + 2 > kTextBufferSize)
      if (int e = FlushText(file)) return e;
    if (*text == '\n') b[file.len++] = '\r';
    b[file.len++] = *text;
  }
  return 0;
}

int CommitText(TextFile& file) {
  if (int e = Injected(ENOSPC)) return e;
  if (int e = FlushText(file)) return e;
  errno = 0;
  if (fflush(file.fp) != 0) return ErrnoOr(EIO);
  return _commit(_fileno(file.fp)) == 0 ? 0 : ErrnoOr(EIO);
}

int CloseText(TextFile& file) {
  int injected = Injected(ENOSPC);
  int flushed = FlushText(file);
  errno = 0;
  int r = fclose(file.fp);
  file.fp = nullptr;
  file.buffer.reset();
  if (injected) return injected;
  if (flushed) return flushed;
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
