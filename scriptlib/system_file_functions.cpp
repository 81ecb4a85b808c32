// The functions that edit the selected start-up file.
#include "library_functions.h"

namespace {
constexpr int kNotYetBuilt = 203;  // "Function %s is not implemented yet."
}

int ScriptSetSysFile(const char*) { return kNotYetBuilt; }
int ScriptAddPath(const char*) { return kNotYetBuilt; }
int ScriptAddLine(const char*) { return kNotYetBuilt; }
int ScriptReplaceLine(const char*) { return kNotYetBuilt; }
int ScriptAddDevice(const char*) { return kNotYetBuilt; }
int ScriptCfgGetValue(const char*) { return kNotYetBuilt; }
int ScriptCfgGetString(const char*) { return kNotYetBuilt; }
int ScriptCfgSetString(const char*) { return kNotYetBuilt; }
int ScriptCfgSetValue(const char*) { return kNotYetBuilt; }
int ScriptReplaceKey(const char*) { return kNotYetBuilt; }
int ScriptReplaceLineAdd(const char*) { return kNotYetBuilt; }
