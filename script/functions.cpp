#include "functions.h"

#include "agent_codes.h"
#include "bounded_text.h"
#include "core_functions.h"
#include "library_functions.h"
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

const ScriptFunction kScriptFunctions[kFunctionCount + 1] = {
    {0, "COPY", ScriptCopy},
    {1, "MDIR", ScriptMdir},
    {2, "CFGSETVALUE", ScriptCfgSetValue},
    {3, "DELETEFILE", ScriptDeleteFile},
    {4, "DELETEDIR", ScriptDeleteDir},
    {5, "FINDFILE", ScriptFindFile},
    {6, "ATTRIB", ScriptAttrib},
    {7, "RENAME", ScriptRename},
    {8, "SETSYSFILE", ScriptSetSysFile},
    {9, "ADDPATH", ScriptAddPath},
    {10, "ADDLINE", ScriptAddLine},
    {11, "REPLACELINE", ScriptReplaceLine},
    {12, "ADDDEVICE", ScriptAddDevice},
    {13, "CFGGETVALUE", ScriptCfgGetValue},
    {14, "PAUSE", ScriptPause},
    {15, "ADDINIMULTIKEY", ScriptAddIniMultiKey},
    {16, "CFGGETSTRING", ScriptCfgGetString},
    {17, "CFGSETSTRING", ScriptCfgSetString},
    {18, "SCHEDULEWIN", ScriptScheduleWin},
    {19, "GETINISTR", ScriptGetIniStr},
    {20, "GETINIINT", ScriptGetIniInt},
    {21, "WRITEINISTR", ScriptWriteIniStr},
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
    {37, "REPLACEKEY", ScriptReplaceKey},
    {38, "WRITEINIINT", ScriptWriteIniInt},
    {39, "ADDGROUP", ScriptAddGroup},
    {40, "ADDITEM", ScriptAddItem},
    {41, "REPLACELINEADD", ScriptReplaceLineAdd},
    {42, "DELINIMULTIKEY", ScriptDelIniMultiKey},
    {43, "ADDITEMPATH", ScriptAddItemPath},
    {44, "RegCreateKey", ScriptRegCreateKey},
    {45, "RegDeleteKey", ScriptRegDeleteKey},
    {46, "RegSetStrValue", ScriptRegSetStrValue},
    {47, "RegSetIntValue", ScriptRegSetIntValue},
    {48, "RegQueryStrValue", ScriptRegQueryStrValue},
    {49, "RegQueryIntValue", ScriptRegQueryIntValue},
    {50, "ShellWait", ScriptShellWait},
    {51, "Abort", ScriptAbort},
    {52, "WriteLog", ScriptWriteLog},
    {53, "DeleteItem", ScriptDeleteItem},
    {54, "DeleteGroup", ScriptDeleteGroup},
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
