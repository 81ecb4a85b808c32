// Reading a function's parameters from its parameter block: raw text between separators,
// turned into a string, an integer or the name of an existing variable. Each helper fails
// with the message number a handler returns unchanged; none reports anything itself.
#pragma once
#include <stddef.h>
#include <stdint.h>

// The longest parameter text; one more character would leave no room for the terminator.
constexpr size_t kParamTextSize = 255;

// Results of GetParamText and the two resolvers beside 0.
enum ParamLookup : int {
  kParamMissing = -1,       // fewer separators than the parameter's number
  kParamTooLong = -2,       // over 254 characters: refused, never read cut
  kResolveNoVariable = -1,  // no variable of that name and type
  kResolveNotLiteral = -2,  // not a literal, and variables not allowed
};

// Failure numbers of the helpers (catalogue messages that take the function's name).
enum ParamMessage : int {
  kMsgParamCount = 207,       // "Invalid number of parameters passed to function: %s."
  kMsgVariableUndefined = 208,
  kMsgInvalidString = 209,
  kMsgInvalidOption = 210,
  kMsgNoVariableMemory = 211,
  kMsgInvalidInteger = 212,
  kMsgInvalidOperator = 213,
};

// Raw text of parameter n (from 1) into out.
int GetParamText(const char* block, int n, char* out, size_t size);
// As GetParamText, as a handler's failure: 207 when missing; 209 when over 254 characters.
int GetRawParam(const char* block, int n, char* out, size_t size);
int ResolveString(const char* text, char* out, size_t size, bool allowVariables);
int ResolveInteger(const char* text, int32_t* out, bool allowVariables);

int GetStringParam(const char* block, int n, char* out, size_t size);          // 207, 208
int GetOptionalStringParam(const char* block, int n, char* out, size_t size);  // 208
int GetLiteralParam(const char* block, int n, char* out, size_t size);         // 207, 209
int GetIntParam(const char* block, int n, int32_t* out);                       // 207, 208
int GetStringVarName(const char* block, int n, char* out, size_t size);        // 207, 208
int GetIntVarName(const char* block, int n, char* out, size_t size);           // 207, 208

template <size_t N>
int GetParamText(const char* block, int n, char (&out)[N]) { return GetParamText(block, n, out, N); }
template <size_t N>
int GetRawParam(const char* block, int n, char (&out)[N]) { return GetRawParam(block, n, out, N); }
template <size_t N>
int ResolveString(const char* text, char (&out)[N], bool allowVariables) {
  return ResolveString(text, out, N, allowVariables);
}
template <size_t N>
int GetStringParam(const char* block, int n, char (&out)[N]) { return GetStringParam(block, n, out, N); }
template <size_t N>
int GetOptionalStringParam(const char* block, int n, char (&out)[N]) {
  return GetOptionalStringParam(block, n, out, N);
}
template <size_t N>
int GetLiteralParam(const char* block, int n, char (&out)[N]) { return GetLiteralParam(block, n, out, N); }
template <size_t N>
int GetStringVarName(const char* block, int n, char (&out)[N]) { return GetStringVarName(block, n, out, N); }
template <size_t N>
int GetIntVarName(const char* block, int n, char (&out)[N]) { return GetIntVarName(block, n, out, N); }

// ASCII comparison without regard to case, as function names and keywords are matched.
bool SameTextIgnoringCase(const char* a, const char* b);
