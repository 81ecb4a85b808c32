// COPY, MDIR, DELETEFILE, DELETEDIR, FINDFILE, ATTRIB, RENAME.
#include "library_functions.h"

namespace {
constexpr int kNotYetBuilt = 203;  // "Function %s is not implemented yet."
}

int ScriptCopy(const char*) { return kNotYetBuilt; }
int ScriptMdir(const char*) { return kNotYetBuilt; }
int ScriptDeleteFile(const char*) { return kNotYetBuilt; }
int ScriptDeleteDir(const char*) { return kNotYetBuilt; }
int ScriptFindFile(const char*) { return kNotYetBuilt; }
int ScriptAttrib(const char*) { return kNotYetBuilt; }
int ScriptRename(const char*) { return kNotYetBuilt; }
