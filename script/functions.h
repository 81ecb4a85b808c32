// The quickscript vocabulary: 61 functions, each with the fixed id that compiled scripts
// store, its name and its handler, and the one way a function is run by its name.
#pragma once
#include <stddef.h>
#include <stdint.h>

// Ends every parameter of a parameter block; the block itself ends at a zero byte.
constexpr char kParamSeparator = '\x05';

// A handler takes the parameter block and returns 0, a message number for ExecuteFunction to
// report with the function's name, or a script result (-2, -100, -101).
using ScriptHandler = int (*)(const char* params);

constexpr size_t kFunctionNameSize = 36;  // at most 35 characters
constexpr int kFunctionCount = 61;

struct ScriptFunction {
  int32_t id;
  char name[kFunctionNameSize];
  ScriptHandler handler;
};

// The rows in id order, then a closing row with id 0, an empty name and no handler.
extern const ScriptFunction kScriptFunctions[kFunctionCount + 1];

// The row whose id is given, its name copied into name; -1 when no row has that id (or the
// name does not fit, which a buffer of kFunctionNameSize never meets).
int FindFunctionById(int32_t id, char* name, size_t size);
template <size_t N>
int FindFunctionById(int32_t id, char (&name)[N]) {
  return FindFunctionById(id, name, N);
}
// The row of a name, compared without regard to case; -1 when there is none.
int FindFunctionByName(const char* name);

// Runs a function by name and reports what went wrong: 202 for a name not in the table and
// 203 for a row whose handler has not landed yet (both then give -1), a handler's message
// number with the function's name, and a nonzero [RETVAL] when the current package asks
// for it. Returns the handler's result.
int ExecuteFunction(const char* name, const char* params);
