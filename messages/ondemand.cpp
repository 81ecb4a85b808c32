#include "ondemand.h"

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <windows.h>

#include "bounded_text.h"
#include "dblinkr32.h"
#include "messages.h"
#include "paths.h"
#include "run_state.h"

bool BuildOnDemandDir(const char* serverName, char* dir, size_t size) {
  char path[256] = {}, second[256] = {};
  if (DBGetPathAppInstalledEx(serverName, "PLXONDEMAND", path, second) != 0) return false;
  if (!ToUncPath(serverName, path, dir, size)) {
    // A directory that does not fit is named, and the run goes on without status files.
    ReportMessage(0, kBadPathMessage, path);
    return false;
  }
  return true;
}

int WriteOnDemandFile(const char* dir, const char* name, const char* extension, const char* text) {
  char path[512];
  size_t n = strlen(dir);
  if (!FormatText(path, "%s%s%s%s", dir, n && dir[n - 1] != '\\' ? "\\" : "", name, extension))
    return ENAMETOOLONG;
  // Replaced, never rewritten in place: a watcher sees no file or a whole one.
  SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
  DeleteFileA(path);
  int fd = _sopen(path, _O_RDWR | _O_CREAT | _O_TRUNC | _O_TEXT, _SH_DENYNO, _S_IREAD | _S_IWRITE);
  if (fd < 0) return errno;
  int result = 0;
  if (text) {
    int len = int(strlen(text));
    if (_write(fd, text, unsigned(len)) < 0) result = errno;
  }
  _close(fd);
  return result;
}

void OnDemandNotifyStart(const char* dir, const char* name) { WriteOnDemandFile(dir, name, ".OD1", nullptr); }

void OnDemandNotifyStatus(const char* dir, const char* name, const char* text) {
  WriteOnDemandFile(dir, name, ".OD2", text);
}

void OnDemandNotifyEnd(const char* dir, const char* name) { WriteOnDemandFile(dir, name, ".OD3", nullptr); }

void OnDemandStatus(const char* format, ...) {
  if (!gOptions.szOnDemand[0]) return;
  char text[512];
  va_list args;
  va_start(args, format);
  FormatTextV(text, sizeof text, format, args);
  va_end(args);
  OnDemandNotifyStatus(gContext.szOnDemandDir, gOptions.szOnDemand, text);
}
