// SCHEDULEWIN: start a Windows program without waiting.
#include "library_functions.h"

namespace {
constexpr int kNotYetBuilt = 203;  // "Function %s is not implemented yet."
}

int ScriptScheduleWin(const char*) { return kNotYetBuilt; }
