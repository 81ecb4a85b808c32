#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "corvnet.h"
#include "bounded_text.h"
#include "messages.h"
#include "paths.h"
#include "run_state.h"

namespace {

constexpr char kSeparator[] = "=========================================================\n";

}  // namespace

void FormatLogStamp(char* out, size_t size, int year, int month, int day, int hour, int minute, int second) {
  // 12-hour clock: midnight is 12a, noon is 12p.
  int hour12 = hour % 12 == 0 ? 12 : hour % 12;
  const char* half = hour < 12 ? "a" : "p";
  FormatText(out, size, "Orvik 6.06 Log entry Date: %d/%d/%d Time: %d:%02d:%02d%s\n", month, day, year, hour12,
           minute, second, half);
}

void WriteLogEntry(const char* text) {
  char address[kNetAddrSize] = {};
  const char* network = "";
  const char* node = "";
  if (getNetAddr(address) == 0) {
    address[8] = address[kNetAddrSize - 1] = '\0';
    network = address;
    node = address + 9;
  }

  // A message before the run has asked for the login name still names the user.
  if (!gContext.szLoginName[0]) {
    if (gOptions.szImpersonateUser[0])
      CopyText(gContext.szLoginName, gOptions.szImpersonateUser);
    else
      getUserName(gContext.szServerName, gContext.szLoginName);
  }

  char path[260];
  if (gOptions.szAltLogFile[0]) {
    CopyText(path, gOptions.szAltLogFile);
  } else if (!CopyText(path, gContext.szAppPath) || !AppendPath(path, "CORVSD.LOG")) {
    // Reporting this would come back here; the entry is lost rather than written elsewhere.
    Trace("log file path does not fit: %s\n", gContext.szAppPath);
    return;
  }
  Trace("opening log file %s\n", path);

  // Opened and closed per entry, so that the file is whole after every message and can be
  // shared by several workstations. Text mode writes each line end as CR LF.
  FILE* file = fopen(path, "a+t");
  if (!file) {
    // Reporting this would come back here; the entry is lost.
    Trace("unable to open log file %s (errno %d)\n", path, errno);
    return;
  }
  SYSTEMTIME now;
  GetLocalTime(&now);
  char stamp[128];
  FormatLogStamp(stamp, sizeof stamp, now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond);

  // Write errors are ignored: there is nowhere left to report them.
  fputs(kSeparator, file);
  fputs(stamp, file);
  fputs(kSeparator, file);
  fprintf(file, "Node Address: [%-.8s:%-.12s]\n", network, node);
  fprintf(file, "Site Name   : %s\n", gContext.szSiteName);
  fprintf(file, "Server Name : %s\n", gContext.szServerName);
  fprintf(file, "Login Name  : %s\n", gContext.szLoginName);
  fprintf(file, "Package Name: %s\n", gContext.currentPackage.Name);
  fprintf(file, "\nLog Entry:\n%s\n\n", text ? text : "");
  fclose(file);
}
