// The INI file functions.
#include "library_functions.h"

namespace {
constexpr int kNotYetBuilt = 203;  // "Function %s is not implemented yet."
}

int ScriptGetIniStr(const char*) { return kNotYetBuilt; }
int ScriptGetIniInt(const char*) { return kNotYetBuilt; }
int ScriptWriteIniStr(const char*) { return kNotYetBuilt; }
int ScriptWriteIniInt(const char*) { return kNotYetBuilt; }
int ScriptAddIniMultiKey(const char*) { return kNotYetBuilt; }
int ScriptDelIniMultiKey(const char*) { return kNotYetBuilt; }
