#include "cmdline.h"

#include <limits.h>
#include <stdint.h>
#include <string.h>
#include <windows.h>

#include "agent.h"
#include "bounded_text.h"
#include "messages.h"

namespace {

bool IsWhole(const char* arg, const char* option) { return _stricmp(arg, option) == 0; }

// The value after a prefix option, or null when arg does not start with it.
const char* PrefixValue(const char* arg, const char* option) {
  size_t n = strlen(option);
  return _strnicmp(arg, option, n) == 0 ? arg + n : nullptr;
}

// Decimal conversion that stops at the first non-digit, taken as an absolute value. False
// for a value past what an int holds: such a number is a bad argument, never wrapped into a
// small one (4294967297 retries must not become 1).
bool AbsoluteNumber(const char* value, int& out) {
  while (*value == ' ' || *value == '\t') ++value;
  if (*value == '+' || *value == '-') ++value;
  uint64_t n = 0;
  for (; *value >= '0' && *value <= '9'; ++value) {
    n = n * 10 + uint64_t(*value - '0');
    if (n > uint64_t(INT_MAX)) return false;
  }
  out = int(n);
  return true;
}

// Text values are copied bounded: a value longer than its field is cut, never overrun.
template <size_t N> void Store(char (&field)[N], const char* value) { CopyText(field, value); }

// A number option without a range; an empty value keeps the current one.
bool StoreNumber(int& field, const char* value) { return !*value || AbsoluteNumber(value, field); }

// A range-checked number option: an empty value keeps the current one.
bool StoreInRange(int& field, const char* value, int low, int high) {
  return StoreNumber(field, value) && field >= low && field <= high;
}

void ShowWindowUnlessSilent() {
  if (!gOptions.bSilent && gContext.hMainDlg) ShowWindow(gContext.hMainDlg, SW_SHOWNORMAL);
}

// One argument: true when accepted.
bool ParseOne(const char* arg) {
  const char* v;
  if (strlen(arg) < 2) return false;
  if ((v = PrefixValue(arg, "/QS="))) { Store(gOptions.szQuickScript, v); return *v != '\0'; }
  if ((v = PrefixValue(arg, "/IMP="))) {
    Store(gOptions.szImpersonateUser, v);
    CharUpperA(gOptions.szImpersonateUser);
    return *v != '\0';
  }
  if ((v = PrefixValue(arg, "/SERVER="))) {
    Store(gContext.szServerName, v);
    CharUpperA(gContext.szServerName);
    return *v != '\0';
  }
  if (IsWhole(arg, "/NOSHOW")) { gOptions.bNoShow = true; return true; }
  if (IsWhole(arg, "/SILENT")) { gOptions.bSilent = gOptions.bNoShow = true; return true; }
  if (IsWhole(arg, "/PAGE")) return true;
  if ((v = PrefixValue(arg, "/RETRIES="))) return StoreInRange(gOptions.nRetries, v, 1, 32000);
  if ((v = PrefixValue(arg, "/TIMEOUT="))) return StoreInRange(gOptions.nTimeout, v, 1, 60);
  if ((v = PrefixValue(arg, "/ONDEMANDTIMEOUT="))) return StoreNumber(gOptions.nOnDemandTimeout, v);
  if ((v = PrefixValue(arg, "/ONDEMAND="))) { Store(gOptions.szOnDemand, v); return *v != '\0'; }
  if ((v = PrefixValue(arg, "/PKGID="))) return *v && StoreNumber(gOptions.nPackageId, v);
  if (IsWhole(arg, "/LOG")) { gOptions.bLog = true; return true; }
  if ((v = PrefixValue(arg, "/ALTLOG="))) {
    if (!*v) return false;
    Store(gOptions.szAltLogFile, v);
    gOptions.bLog = true;
    return true;
  }
  if (IsWhole(arg, "/GENBOOT")) return true;
  if (IsWhole(arg, "/AUTOEXIT")) { gOptions.bAutoExit = true; return true; }
  if (IsWhole(arg, "/PROTOCOL=")) return true;
  return false;
}

}  // namespace

void ShowUsage(const char* badArgument) {
  if (badArgument) PrintResults("Unrecognized or bad argument: %s\n\n", badArgument);
  PrintResults("Syntax:\n");
  PrintResults("   %s [/silent] [/log] [/altlog=file.ext] [/autoexit] [/?]\n"
               "            [/retries=] [/timeout=]\n\n", "PLXWIN32.EXE");
  PrintResults("Where:\n");
  PrintResults("   /silent   - suppress all output\n");
  PrintResults("   /log      - logs output to default log file: %s\n", "CORVSD.LOG");
  PrintResults("   /altlog=  - use alternate log file, specify alternate filename to use\n");
  PrintResults("   /retries= - number of times to retry pinging DBLINK.NLM (1-32,000)\n");
  PrintResults("   /timeout= - number of seconds to wait for DBLINK.NLM to reply (1-60)\n");
  PrintResults("   /autoexit - automatically exit the Orvik Distribution agent after 5 seconds\n");
  PrintResults("   /?        - displays this message\n\n");
}

int ParseCommandLine(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (IsWhole(arg, "/?")) {
      // Shown whatever /SILENT says, so that the run's end closes a window that exists.
      if (gContext.hMainDlg) ShowWindow(gContext.hMainDlg, SW_SHOWNORMAL);
      ShowUsage(nullptr);
      return 1;
    }
    if (!ParseOne(arg)) {
      ShowWindowUnlessSilent();
      ShowUsage(arg);
      return 1;
    }
  }
  ShowWindowUnlessSilent();
  return 0;
}
