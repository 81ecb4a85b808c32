// The functions that edit the selected start-up file: select it, look a key up, set its
// value, add or replace lines, add a directory to a path list or a device line, swap one
// token for another. None of them uses sections: a key is the first non-comment line that
// holds it. A file error never stops the script; it is left in [RETVAL].
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "bounded_text.h"
#include "core_functions.h"
#include "library_functions.h"
#include "params.h"
#include "paths.h"
#include "system_file.h"
#include "text_engine.h"
#include "variable_store.h"

namespace {

constexpr int kSystemFileMissing = 2;  // [RETVAL] when the name is no existing file
constexpr char kBefore[] = "BEFORE";
constexpr char kAfter[] = "AFTER";

void SetRetval(int32_t value) { VariableStore::SetInt(kRetval, value); }

// The placement keyword is raw text, compared case-sensitively: a quoted "BEFORE" is no
// keyword. Fetched last by every function that takes one.
int GetPlacement(const char* params, int n, int& mode) {
  char text[kParamTextSize];
  int r = GetParamText(params, n, text);
  if (r == kParamMissing) return kMsgParamCount;
  if (r == 0 && strcmp(text, kBefore) == 0) {
    mode = kPlaceBefore;
    return 0;
  }
  if (r == 0 && strcmp(text, kAfter) == 0) {
    mode = kPlaceAfter;
    return 0;
  }
  return kMsgInvalidOption;
}

// A line for AddLineToFile, built from up to four texts and upper-cased. False when it and
// its newline would not fit in one line: such a line is refused, never cut.
bool BuildLine(TextLine& line, const char* a, const char* b = "", const char* c = "", const char* d = "") {
  if (!FormatText(line, "%s%s%s%s", a, b, c, d) || strlen(line) + 1 >= kTextLineSize) return false;
  UpperCaseText(line);
  return true;
}

int AddLine(const char* text, int where) {
  TextLine line;
  if (!BuildLine(line, text)) return kScanLineTooLong;
  return AddLineToFile(SystemFilePath, line, where);
}

// These functions use no sections: the first line holding the key anywhere is the one.
ScanArgs Scan(LineEditor editor, const char* key, const char* a, const char* b, int mode = kPlaceBefore) {
  return ScanArgs{editor, nullptr, key, a, b, mode};
}

// ADDLINE and ADDDEVICE: the line goes beside the anchor's line, or, with no anchor or one
// that is not in the file, at the start (BEFORE) or the end (AFTER) of the file.
int InsertLine(const char* line, const char* anchor, int mode) {
  if (*anchor) {
    ScanArgs args = Scan(EditInsertLine, anchor, "", line, mode);
    int r = RewriteThroughTemp(SystemFilePath, args);
    if (r != kScanNoKey) return r;
  }
  return AddLine(line, mode);
}

// CFGGETVALUE and CFGGETSTRING: a lookup that neither renames nor writes anything.
int LookUp(const char* key, TextLine& value) {
  ScanArgs args = Scan(nullptr, key, "", "");
  int r = ScanTextFileAt(SystemFilePath, args);
  CopyText(value, args.value);
  return r;
}

// CFGSETSTRING and CFGSETVALUE: the key's value replaced; a missing key is not added.
int SetValue(const char* key, const char* value) {
  ScanArgs args = Scan(EditSetValue, key, "", value);
  return RewriteThroughTemp(SystemFilePath, args);
}

// The leading decimal number of a value, as the runtime's conversion reads it (0 when there
// is none); a number beyond 32 bits is held at the nearest limit.
int32_t LeadingNumber(const char* value) { return int32_t(strtol(value, nullptr, 10)); }

// ADDLINE and ADDDEVICE read the same parameters; ADDDEVICE puts "DEVICE=" in front.
int AddLineFunction(const char* params, const char* prefix) {
  SetRetval(0);
  char text[kParamTextSize], anchor[kParamTextSize];
  int mode = kPlaceBefore;
  if (int rc = GetStringParam(params, 1, text)) return rc;
  if (int rc = GetStringParam(params, 2, anchor)) return rc;
  if (int rc = GetPlacement(params, 3, mode)) return rc;
  TextLine line;
  int r = BuildLine(line, prefix, text) ? InsertLine(line, anchor, mode) : kScanLineTooLong;
  SetRetval(r);
  return 0;
}

}  // namespace

int ScriptSetSysFile(const char* params) {
  SetRetval(0);
  // The directory goes straight into the path: a failed second fetch leaves it there alone,
  // which is how a caller with a whole path in one parameter selects its file.
  if (int rc = GetStringParam(params, 1, SystemFilePath)) return rc;
  char name[kParamTextSize];
  if (int rc = GetStringParam(params, 2, name)) return rc;
  int result = 0;
  DWORD attributes = INVALID_FILE_ATTRIBUTES;
  if (!AppendPath(SystemFilePath, name)) {
    // A joined path that does not fit names no file we could edit: none is selected, and
    // the outcome says why.
    result = ENAMETOOLONG;
  } else {
    attributes = GetFileAttributesA(SystemFilePath);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
      result = kSystemFileMissing;
  }
  if (result != 0) SystemFilePath[0] = '\0';
  // What is journalled is the file as selected: the edits that follow add nothing of their own.
  if (int rc = JournalFileChange(SystemFilePath)) return rc;
  SetRetval(result);
  return 0;
}

int ScriptAddPath(const char* params) {
  SetRetval(0);
  char key[kParamTextSize], dir[kParamTextSize], anchor[kParamTextSize];
  int mode = kPlaceBefore;
  if (int rc = GetStringParam(params, 1, key)) return rc;
  if (int rc = GetStringParam(params, 2, dir)) return rc;
  if (int rc = GetStringParam(params, 3, anchor)) return rc;
  if (int rc = GetPlacement(params, 4, mode)) return rc;
  UpperCaseText(dir);
  ScanArgs args = Scan(EditAddPathEntry, key, anchor, dir, mode);
  int r = RewriteThroughTemp(SystemFilePath, args);
  if (r == kScanNoKey) {
    // No such setting yet: a new one at the top, whatever the placement.
    TextLine line;
    r = BuildLine(line, "set ", key, "=", dir) ? AddLineToFile(SystemFilePath, line, kAtStart) : kScanLineTooLong;
  }
  SetRetval(r);
  return 0;
}

int ScriptAddLine(const char* params) { return AddLineFunction(params, ""); }

int ScriptAddDevice(const char* params) { return AddLineFunction(params, "DEVICE="); }

int ScriptReplaceLine(const char* params) {
  SetRetval(0);
  char search[kParamTextSize], line[kParamTextSize];
  if (int rc = GetStringParam(params, 1, search)) return rc;
  if (int rc = GetStringParam(params, 2, line)) return rc;
  UpperCaseText(line);
  ScanArgs args = Scan(EditReplaceLine, search, "", line);
  SetRetval(RewriteThroughTemp(SystemFilePath, args));
  return 0;
}

int ScriptReplaceLineAdd(const char* params) {
  SetRetval(0);
  char search[kParamTextSize], line[kParamTextSize];
  int mode = kPlaceBefore;
  if (int rc = GetStringParam(params, 1, search)) return rc;
  if (int rc = GetStringParam(params, 2, line)) return rc;
  if (int rc = GetPlacement(params, 3, mode)) return rc;
  UpperCaseText(line);
  ScanArgs args = Scan(EditReplaceLine, search, "", line);
  int r = RewriteThroughTemp(SystemFilePath, args);
  if (r == kScanNoKey) r = AddLine(line, mode);
  SetRetval(r);
  return 0;
}

int ScriptCfgGetValue(const char* params) {
  SetRetval(0);
  char key[kParamTextSize], var[kParamTextSize];
  if (int rc = GetStringParam(params, 1, key)) return rc;
  if (int rc = GetIntVarName(params, 2, var)) return rc;
  TextLine value;
  int r = LookUp(key, value);
  if (r == kScanFound && VariableStore::SetInt(var, LeadingNumber(value)) != 0) return kMsgVariableUndefined;
  SetRetval(r);
  return 0;
}

int ScriptCfgGetString(const char* params) {
  SetRetval(0);
  char key[kParamTextSize], var[kParamTextSize];
  if (int rc = GetStringParam(params, 1, key)) return rc;
  if (int rc = GetStringVarName(params, 2, var)) return rc;
  if (VariableStore::SetString(var, "") != 0) return kMsgVariableUndefined;
  TextLine value;
  int r = LookUp(key, value);
  if (r == kScanFound && VariableStore::SetString(var, value) != 0) return kMsgVariableUndefined;
  SetRetval(r);
  return 0;
}

int ScriptCfgSetString(const char* params) {
  SetRetval(0);
  char key[kParamTextSize], value[kParamTextSize];
  if (int rc = GetStringParam(params, 1, key)) return rc;
  if (int rc = GetStringParam(params, 2, value)) return rc;
  UpperCaseText(value);
  SetRetval(SetValue(key, value));
  return 0;
}

int ScriptCfgSetValue(const char* params) {
  SetRetval(0);
  char key[kParamTextSize];
  int32_t number = 0;
  if (int rc = GetStringParam(params, 1, key)) return rc;
  if (int rc = GetIntParam(params, 2, &number)) return rc;
  char value[16];
  FormatText(value, "%ld", long(number));
  SetRetval(SetValue(key, value));
  return 0;
}

int ScriptReplaceKey(const char* params) {
  SetRetval(0);
  char key[kParamTextSize], oldToken[kParamTextSize], newToken[kParamTextSize];
  if (int rc = GetStringParam(params, 1, key)) return rc;
  if (int rc = GetStringParam(params, 2, oldToken)) return rc;
  if (int rc = GetStringParam(params, 3, newToken)) return rc;
  UpperCaseText(newToken);
  ScanArgs args = Scan(EditReplaceToken, key, oldToken, newToken);
  SetRetval(RewriteThroughTemp(SystemFilePath, args));
  return 0;
}
