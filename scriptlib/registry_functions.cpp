// The registry functions.
#include "library_functions.h"

namespace {
constexpr int kNotYetBuilt = 203;  // "Function %s is not implemented yet."
}

int ScriptRegCreateKey(const char*) { return kNotYetBuilt; }
int ScriptRegDeleteKey(const char*) { return kNotYetBuilt; }
int ScriptRegSetStrValue(const char*) { return kNotYetBuilt; }
int ScriptRegSetIntValue(const char*) { return kNotYetBuilt; }
int ScriptRegQueryStrValue(const char*) { return kNotYetBuilt; }
int ScriptRegQueryIntValue(const char*) { return kNotYetBuilt; }
