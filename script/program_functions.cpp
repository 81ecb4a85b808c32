#include "program_functions.h"

#include <stdlib.h>
#include <string.h>

#include "agent_codes.h"
#include "core_functions.h"
#include "filesys.h"
#include "history.h"
#include "messages.h"
#include "params.h"
#include "program.h"
#include "run_state.h"
#include "status_window.h"
#include "variable_store.h"

namespace {

constexpr const char* kKeepPath = "KEEPPATH";
constexpr const char* kPauseCaption = "Orvik Distribution Agent";
constexpr const char* kPauseDefaultText = "Press the Enter Key to continue...";
constexpr int kFileDateNewer = -1;  // file 2 is newer than file 1
constexpr int kFileDateNotNewer = 1;

void ClearRetval() { VariableStore::SetInt(kRetval, 0); }

int Shell(const char* params, int wait) {
  ClearRetval();
  char program[kParamTextSize], arguments[kParamTextSize], option[kParamTextSize];
  if (int rc = GetStringParam(params, 1, program)) return rc;
  if (int rc = GetStringParam(params, 2, arguments)) return rc;
  if (int rc = GetRawParam(params, 3, option)) return rc;
  int changeDirectory = SameTextIgnoringCase(option, kKeepPath) ? 1 : 0;
  VariableStore::SetInt(kRetval, RunProgram(wait, program, arguments, changeDirectory));
  return 0;
}

int ControlService(const char* params, int (*control)(const char*)) {
  char name[kParamTextSize];
  if (int rc = GetStringParam(params, 1, name)) return rc;
  VariableStore::SetInt(kRetval, control(name));
  return 0;
}

struct DosStamp {
  uint16_t date = 0;
  uint16_t time = 0;
};

// The last-write time of a file as DOS date and time; the system error when it cannot be
// opened or asked.
int ReadDosStamp(const char* path, DosStamp* stamp) {
  plxwin::Handle file;
  if (FsError e = OpenFileForRead(path, file)) {
    Trace("unable to open %s\n", path);
    return e;
  }
  if (GetFileDosTime(file.Get(), &stamp->date, &stamp->time) != 0) {
    int e = int(GetLastError());
    return e ? e : ERROR_INVALID_HANDLE;
  }
  return 0;
}

}  // namespace

int ScriptShell(const char* params) { return Shell(params, 0); }
int ScriptShellWait(const char* params) { return Shell(params, 1); }

int ScriptPause(const char* params) {
  ClearRetval();
  char text[kParamTextSize];
  if (int rc = GetStringParam(params, 1, text)) return rc;
  // Under /SILENT ShowMessageBox shows nothing and the script goes on at once.
  ShowMessageBox(kPauseCaption, text[0] ? text : kPauseDefaultText);
  return 0;
}

int ScriptWriteLog(const char* params) {
  ClearRetval();
  char text[kParamTextSize];
  if (int rc = GetStringParam(params, 1, text)) return rc;
  AddHistoryEntry(gContext.nCurrentPackageId, gContext.szMachineId, text);
  if (gOptions.bLog) WriteLogEntry(text);
  return 0;
}

int ScriptStartService(const char* params) { return ControlService(params, StartNtService); }
int ScriptStopService(const char* params) { return ControlService(params, StopNtService); }

int ScriptGetEnv(const char* params) {
  ClearRetval();
  char name[kParamTextSize], variable[kParamTextSize];
  if (int rc = GetStringParam(params, 1, name)) return rc;
  if (int rc = GetStringVarName(params, 2, variable)) return rc;
  // The run-time library looks names up without regard to case, as the system does.
  const char* value = getenv(name);
  if (!value) {
    value = "";
    VariableStore::SetInt(kRetval, -1);
  }
  // A value over 254 characters (a long PATH) is refused with 208, never stored cut.
  if (strlen(value) >= kVarValueSize) return kMsgVariableUndefined;
  return VariableStore::SetString(variable, value) == 0 ? 0 : kMsgVariableUndefined;
}

int ScriptFileDateComp(const char* params) {
  ClearRetval();
  char first[kParamTextSize], second[kParamTextSize];
  if (int rc = GetStringParam(params, 1, first)) return rc;
  if (int rc = GetStringParam(params, 2, second)) return rc;
  Trace("FileDateComp: file1 = %s, file2 = %s\n", first, second);
  DosStamp one, two;
  if (int e = ReadDosStamp(first, &one)) return e;
  if (int e = ReadDosStamp(second, &two)) return e;
  Trace("file 1: date = 0x%04X time = 0x%04X\n", unsigned(one.date), unsigned(one.time));
  Trace("file 2: date = 0x%04X time = 0x%04X\n", unsigned(two.date), unsigned(two.time));
  bool newer = two.date > one.date || (two.date == one.date && two.time > one.time);
  int retval = newer ? kFileDateNewer : kFileDateNotNewer;
  VariableStore::SetInt(kRetval, retval);
  Trace("file date compare retval = %d\n", retval);
  return 0;
}

int ScriptReboot(const char* params) {
  // The one parameter is read and ignored; a missing one is no error.
  char ignored[kParamTextSize];
  GetParamText(params, 1, ignored);
  return kResultRestart;
}
