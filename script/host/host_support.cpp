// The host stand-ins for what the interpreter core reaches outside itself: the message
// catalogue formats every report (so a wrong argument shows under the sanitizers), the
// window and the program, service and file functions are not there.
#include "host_support.h"

#include <stdarg.h>
#include <stdio.h>

#include "bounded_text.h"
#include "if_state.h"
#include "library_functions.h"
#include "messages.h"
#include "program_functions.h"
#include "script_platform.h"
#include "status_window.h"
#include "variable_store.h"

HostReports gHostReports;

namespace {
constexpr int kNotOnThisHost = 232;  // "Function %s is not supported on this operating system."
}

void ReportMessage(int, uint32_t number, ...) {
  ++gHostReports.messages;
  gHostReports.last = number;
  const CatalogueEntry* entry = FindMessage(number);
  if (!entry) return;
  va_list args;
  va_start(args, number);
  vsnprintf(gHostReports.lastLine, sizeof gHostReports.lastLine, entry->text, args);
  va_end(args);
}

void PrintResults(const char* format, ...) {
  ++gHostReports.results;
  char line[512];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
}

void Trace(const char* format, ...) {
  char line[512];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
}

void PumpMessages() { ++gHostReports.pumps; }

uint32_t CurrentPackageOptions() { return 0x0800; }  // report function errors: more paths run
int32_t LastSystemError() { return 0; }
int32_t RunTimeErrorNumber() { return 0; }

int ScriptShell(const char*) { return kNotOnThisHost; }
int ScriptShellWait(const char*) { return kNotOnThisHost; }
int ScriptPause(const char*) { return kNotOnThisHost; }
int ScriptWriteLog(const char*) { return kNotOnThisHost; }
int ScriptStartService(const char*) { return kNotOnThisHost; }
int ScriptStopService(const char*) { return kNotOnThisHost; }
int ScriptGetEnv(const char*) { return kNotOnThisHost; }
int ScriptFileDateComp(const char*) { return kNotOnThisHost; }
int ScriptReboot(const char*) { return -100; }
#define PLX_NOT_ON_THIS_HOST(name) \
  int name(const char*) { return kNotOnThisHost; }
PLX_LIBRARY_FUNCTIONS(PLX_NOT_ON_THIS_HOST)
#undef PLX_NOT_ON_THIS_HOST

void ResetHostRun() {
  VariableStore::Init();
  VariableStore::Define("[RETVAL]", 'I');
  VariableStore::Define("[PACKAGEPATH]", 'S');
  VariableStore::SetString("[PACKAGEPATH]", "\\\\SRV\\SYS\\APPS\\PLIVEX\\PACKAGES");
  VariableStore::Define("[WINDIR]", 'S');
  VariableStore::SetString("[WINDIR]", "C:\\WINDOWS");
  ClearIfState();
  gHostReports = HostReports{};
}
