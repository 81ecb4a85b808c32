#include "functions.h"

#include "agent_codes.h"
#include "bounded_text.h"
#include "core_functions.h"
#include "messages.h"
#include "params.h"
#include "program_functions.h"
#include "script_platform.h"
#include "variable_store.h"

namespace {

constexpr uint32_t kMessageUnknownFunction = 202;
constexpr uint32_t kMessageNotImplemented = 203;
constexpr uint32_t kMessageNotSupported = 232;
constexpr uint32_t kMessageFunctionError = 229;
// System error n has its text at message n + 400; 400 to 498 are such texts already.
constexpr int32_t kSystemErrorMessageBase = 400;
constexpr int32_t kLastSystemErrorMessage = 498;

// Functions whose [RETVAL] is a comparison outcome, never an error.
bool ReturnsComparison(const char* name) {
  return SameTextIgnoringCase(name, "STRCOMPARE") || SameTextIgnoringCase(name, "FILEDATECOMP");
}

void ReportRetval(const char* name, int32_t retval, int32_t lastError) {
  ReportMessage(1, kMessageFunctionError, name, long(retval));
  if (retval == lastError || retval == RunTimeErrorNumber())
    ReportMessage(1, uint32_t(retval + kSystemErrorMessageBase));
  else if (retval >= kSystemErrorMessageBase && retval <= kLastSystemErrorMessage)
    ReportMessage(1, uint32_t(retval));
}

}  // namespace

// Operating-system upgrades and loadable modules belong to other systems.
int ScriptNotSupported(const char*) { return int(kMessageNotSupported); }

// Rows whose handler has not landed yet carry none: ExecuteFunction reports them with 203.
const ScriptFunction kScriptFunctions[kFunctionCount + 1] = {
    {0, "COPY", nullptr},
    {1, "MDIR", nullptr},
    {2, "CFGSETVALUE", nullptr},
    {3, "DELETEFILE", nullptr},
    {4, "DELETEDIR", nullptr},
    {5, "FINDFILE", nullptr},
    {6, "ATTRIB", nullptr},
    {7, "RENAME", nullptr},
    {8, "SETSYSFILE", nullptr},
    {9, "ADDPATH", nullptr},
    {10, "ADDLINE", nullptr},
    {11, "REPLACELINE", nullptr},
    {12, "ADDDEVICE", nullptr},
    {13, "CFGGETVALUE", nullptr},
    {14, "PAUSE", ScriptPause},
    {15, "ADDINIMULTIKEY", nullptr},
    {16, "CFGGETSTRING", nullptr},
    {17, "CFGSETSTRING", nullptr},
    {18, "SCHEDULEWIN", nullptr},
    {19, "GETINISTR", nullptr},
    {20, "GETINIINT", nullptr},
    {21, "WRITEINISTR", nullptr},
    {22, "DEFINE", ScriptDefine},
    {23, "ASSIGN", ScriptAssign},
    {24, "NUMTOSTR", ScriptNumToStr},
    {25, "STRCOPY", ScriptStrCopy},
    {26, "STRCAT", ScriptStrCat},
    {27, "APPENDPATH", ScriptAppendPath},
    {28, "STRCOMPARE", ScriptStrCompare},
    {29, "IF", ScriptIf},
    {30, "ELSE", ScriptElse},
    {31, "WRITELN", ScriptWriteLn},
    {32, "SHELL", ScriptShell},
    {33, "EXIT", ScriptExit},
    {34, "ENDIF", ScriptEndIf},
    {35, "UPGRADEOS", ScriptNotSupported},
    {36, "REBOOT", ScriptReboot},
    {37, "REPLACEKEY", nullptr},
    {38, "WRITEINIINT", nullptr},
    {39, "ADDGROUP", nullptr},
    {40, "ADDITEM", nullptr},
    {41, "REPLACELINEADD", nullptr},
    {42, "DELINIMULTIKEY", nullptr},
    {43, "ADDITEMPATH", nullptr},
    {44, "RegCreateKey", nullptr},
    {45, "RegDeleteKey", nullptr},
    {46, "RegSetStrValue", nullptr},
    {47, "RegSetIntValue", nullptr},
    {48, "RegQueryStrValue", nullptr},
    {49, "RegQueryIntValue", nullptr},
    {50, "ShellWait", ScriptShellWait},
    {51, "Abort", ScriptAbort},
    {52, "WriteLog", ScriptWriteLog},
    {53, "DeleteItem", nullptr},
    {54, "DeleteGroup", nullptr},
    {55, "StartService", ScriptStartService},
    {56, "StopService", ScriptStopService},
    {57, "GetEnv", ScriptGetEnv},
    {58, "FILEDATECOMP", ScriptFileDateComp},
    {59, "LoadNLM", ScriptNotSupported},
    {60, "UnLoadNLM", ScriptNotSupported},
    {0, "", nullptr},
};

namespace {

bool IsClosingRow(const ScriptFunction& row) { return row.name[0] == '\0'; }

}  // namespace

int FindFunctionById(int32_t id, char* name, size_t size) {
  for (int row = 0; !IsClosingRow(kScriptFunctions[row]); ++row) {
    if (kScriptFunctions[row].id != id) continue;
    return CopyText(name, size, kScriptFunctions[row].name) ? row : -1;
  }
  return -1;
}

int FindFunctionByName(const char* name) {
  for (int row = 0; !IsClosingRow(kScriptFunctions[row]); ++row)
    if (SameTextIgnoringCase(kScriptFunctions[row].name, name)) return row;
  return -1;
}

int ExecuteFunction(const char* name, const char* params) {
  int row = FindFunctionByName(name);
  if (row < 0) {
    ReportMessage(1, kMessageUnknownFunction, name);
    return kResultReported;
  }
  const ScriptFunction& f = kScriptFunctions[row];
  if (!f.handler) {
    ReportMessage(1, kMessageNotImplemented, name);
    return kResultReported;
  }
  int result = f.handler(params);
  // Taken at once: reporting below makes system calls of its own.
  int32_t lastError = LastSystemError();
  if (result > 0) {
    ReportMessage(1, uint32_t(result), name);
    return result;
  }
  int32_t retval = 0;
  if ((CurrentPackageOptions() & kOptionReportRetval) && VariableStore::GetInt("[RETVAL]", &retval) == 0 &&
      retval != 0 && !ReturnsComparison(name))
    ReportRetval(name, retval, lastError);
  return result;
}
