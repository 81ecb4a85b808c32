#include "core_functions.h"

#include <string.h>

#include "agent_codes.h"
#include "bounded_text.h"
#include "if_state.h"
#include "messages.h"
#include "params.h"
#include "paths.h"
#include "variable_store.h"

namespace {

constexpr int kMsgIfTooDeep = 214;     // "Maximum nest count reached processing function: %s."
constexpr int kMsgNoMatchingIf = 215;  // "%s encountered with no matching IF."
constexpr char kIntegerType = 'I';
constexpr char kStringType = 'S';

void ClearRetval() { VariableStore::SetInt(kRetval, 0); }

int32_t ReadRetval() {
  int32_t value = 0;
  VariableStore::GetInt(kRetval, &value);
  return value;
}

enum class StringEdit { kCopy, kAppend, kAppendPath, kCompare };

// STRCOPY, STRCAT, APPENDPATH and STRCOMPARE read their parameters alike.
int EditString(const char* params, StringEdit edit) {
  ClearRetval();
  char name[kParamTextSize], text[kParamTextSize], string[kParamTextSize];
  if (int rc = GetStringVarName(params, 1, name)) return rc;
  if (int rc = GetRawParam(params, 2, text)) return rc;
  if (ResolveString(text, string, true) != 0) return kMsgInvalidString;
  char value[kVarValueSize];
  if (VariableStore::GetString(name, value) != 0) return kMsgVariableUndefined;
  bool fits = true;
  switch (edit) {
    case StringEdit::kCopy: fits = CopyText(value, string); break;
    // Left open by the format: a result over 254 characters fails with 209 and leaves the
    // variable as it was; a cut path or text would mean something else.
    case StringEdit::kAppend: fits = AppendText(value, string); break;
    case StringEdit::kAppendPath: fits = AppendPath(value, string); break;
    case StringEdit::kCompare: {
      int order = strcmp(value, string);  // unsigned bytes, case-sensitive
      VariableStore::SetInt(kRetval, order < 0 ? -1 : (order > 0 ? 1 : 0));
      return 0;
    }
  }
  if (!fits) return kMsgInvalidString;
  return VariableStore::SetString(name, value) == 0 ? 0 : kMsgVariableUndefined;
}

// EXIT and Abort: the value may name [RETVAL] and then means the outcome before them.
int EndScript(const char* params, int result) {
  int32_t saved = ReadRetval();
  ClearRetval();
  char text[kParamTextSize];
  if (int rc = GetRawParam(params, 1, text)) return rc;
  int32_t value = 0;
  if (ResolveInteger(text, &value, true) != 0) return kMsgVariableUndefined;
  VariableStore::SetInt(kRetval, saved);
  if (ResolveInteger(text, &value, true) != 0) return kMsgVariableUndefined;
  VariableStore::SetInt(kRetval, value);
  return result;
}

// True/false of a condition, or -1 for an operator that is none.
int Compare(int32_t left, const char* op, int32_t right) {
  switch (op[0]) {
    case '=': return left == right;
    case '!': return left != right;
    case '<': return op[1] == '=' ? left <= right : left < right;
    case '>': return op[1] == '=' ? left >= right : left > right;
    default: return -1;
  }
}

}  // namespace

int ScriptDefine(const char* params) {
  ClearRetval();
  char name[kParamTextSize], type[kParamTextSize];
  if (int rc = GetLiteralParam(params, 1, name)) return rc;
  if (int rc = GetRawParam(params, 2, type)) return rc;
  if (type[0] != kIntegerType && type[0] != kStringType) return kMsgInvalidOption;
  return VariableStore::Define(name, type[0]) == 0 ? 0 : kMsgNoVariableMemory;
}

int ScriptAssign(const char* params) {
  ClearRetval();
  char name[kParamTextSize], text[kParamTextSize];
  if (int rc = GetIntVarName(params, 1, name)) return rc;
  if (int rc = GetRawParam(params, 2, text)) return rc;
  int32_t value = 0;
  if (ResolveInteger(text, &value, true) != 0) return kMsgInvalidInteger;
  return VariableStore::SetInt(name, value) == 0 ? 0 : kMsgVariableUndefined;
}

int ScriptNumToStr(const char* params) {
  int32_t saved = ReadRetval();
  ClearRetval();
  char name[kParamTextSize], text[kParamTextSize];
  if (int rc = GetStringVarName(params, 1, name)) return rc;
  if (int rc = GetRawParam(params, 2, text)) return rc;
  int32_t value = 0;
  if (ResolveInteger(text, &value, true) != 0) return kMsgInvalidInteger;
  VariableStore::SetInt(kRetval, saved);
  if (ResolveInteger(text, &value, true) != 0) return kMsgInvalidInteger;
  char digits[16];
  FormatText(digits, "%ld", long(value));
  int rc = VariableStore::SetString(name, digits) == 0 ? 0 : kMsgVariableUndefined;
  ClearRetval();
  return rc;
}

int ScriptStrCopy(const char* params) { return EditString(params, StringEdit::kCopy); }
int ScriptStrCat(const char* params) { return EditString(params, StringEdit::kAppend); }
int ScriptAppendPath(const char* params) { return EditString(params, StringEdit::kAppendPath); }
int ScriptStrCompare(const char* params) { return EditString(params, StringEdit::kCompare); }

int ScriptIf(const char* params) {
  int32_t saved = ReadRetval();
  ClearRetval();
  char left[kParamTextSize], op[kParamTextSize], right[kParamTextSize];
  if (int rc = GetRawParam(params, 1, left)) return rc;
  int32_t l = 0, r = 0;
  if (ResolveInteger(left, &l, true) != 0) return kMsgInvalidInteger;
  if (int rc = GetRawParam(params, 2, op)) return rc;
  if (int rc = GetRawParam(params, 3, right)) return rc;
  if (ResolveInteger(right, &r, true) != 0) return kMsgInvalidInteger;
  // A condition on [RETVAL] means the outcome of the function before the IF.
  VariableStore::SetInt(kRetval, saved);
  if (ResolveInteger(left, &l, true) != 0 || ResolveInteger(right, &r, true) != 0) return kMsgInvalidInteger;
  ++gIfState.level;
  if (gIfState.level > kMaxIfLevel) return kMsgIfTooDeep;
  int outcome = Compare(l, op, r);
  if (outcome < 0) return kMsgInvalidOperator;
  SetCurrentIfBranch(outcome ? kIfRunning : kIfSkipping);
  ClearRetval();
  return 0;
}

int ScriptElse(const char* params) {
  ClearRetval();
  int32_t state = CurrentIfBranch();
  if (state == kIfNone) return kMsgNoMatchingIf;
  if (state == kIfRunning || state == kIfSkipping) SetCurrentIfBranch(-state);
  return 0;
}

int ScriptEndIf(const char* params) {
  ClearRetval();
  if (CurrentIfBranch() == kIfNone) return kMsgNoMatchingIf;
  SetCurrentIfBranch(kIfNone);
  --gIfState.level;
  return 0;
}

int ScriptWriteLn(const char* params) {
  ClearRetval();
  char text[kParamTextSize];
  if (int rc = GetStringParam(params, 1, text)) return rc;
  PrintResults("%s\n", text);
  return 0;
}

int ScriptExit(const char* params) { return EndScript(params, kResultScriptExit); }
int ScriptAbort(const char* params) { return EndScript(params, kResultPackageStopped); }
