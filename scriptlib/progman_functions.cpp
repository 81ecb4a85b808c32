// Program Manager groups and items over DDE.
#include "library_functions.h"

namespace {
constexpr int kNotYetBuilt = 203;  // "Function %s is not implemented yet."
}

int ScriptAddGroup(const char*) { return kNotYetBuilt; }
int ScriptAddItem(const char*) { return kNotYetBuilt; }
int ScriptAddItemPath(const char*) { return kNotYetBuilt; }
int ScriptDeleteItem(const char*) { return kNotYetBuilt; }
int ScriptDeleteGroup(const char*) { return kNotYetBuilt; }
