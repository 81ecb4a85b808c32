// The INI file functions: read a value as text or number, write one (adding the key, the
// section or the whole file as needed), add one more key line under a section, remove an
// item from a key's value. Everything goes through the text engine, never through the
// system's profile calls, so that comments, order, spacing and case stay as they were.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "bounded_text.h"
#include "core_functions.h"
#include "library_functions.h"
#include "params.h"
#include "paths.h"
#include "system_file.h"
#include "text_engine.h"
#include "variable_store.h"

namespace {

constexpr char kWinDir[] = "[WINDIR]";
constexpr char kParamSeparator = '\x05';

using IniPath = char[kSystemFilePathSize];

void SetRetval(int32_t value) { VariableStore::SetInt(kRetval, value); }

// The Windows directory as the script sees it; empty when the variable is not there, which
// leaves a bare file name relative to the current directory.
void ReadWinDir(char (&windir)[kVarValueSize]) {
  if (VariableStore::GetString(kWinDir, windir) != 0) windir[0] = '\0';
}

// A name with neither a drive nor a directory lives in the Windows directory; anything else
// is used as given. False when the joined path would not fit.
bool ResolveIniPath(IniPath& path, const char* windir) {
  const bool hasDrive = path[0] != '\0' && path[1] == ':';
  const bool hasDirectory = strpbrk(path, "\\/") != nullptr;
  if (hasDrive || hasDirectory) return true;
  IniPath joined;
  if (!CopyText(joined, windir) || !AppendPath(joined, path)) return false;
  return CopyText(path, joined);
}

ScanArgs Scan(LineEditor editor, const char* section, const char* key, const char* a, const char* b, int mode) {
  return ScanArgs{editor, section, key, a, b, mode};
}

// Whether a line and its newline fit in one line buffer.
bool FitsOneLine(const char* line) { return strlen(line) + 1 < kTextLineSize; }

// A file that is not there yet gets the two lines, written beside it first and then moved
// into place, as every edit is. The outcome of the failed look at the file when it cannot
// be created at all.
int CreateIniFile(const char* path, const char* header, const char* keyLine, int lookError) {
  char temp[kSystemFilePathSize];
  TextFile out;
  if (MakeTempPathBeside(path, temp) != 0 || CreateTextExclusive(temp, out) != 0) return lookError;
  int r = WriteText(out, header);
  if (r == 0) r = WriteText(out, "\n");
  if (r == 0) r = WriteText(out, keyLine);
  if (r == 0) r = WriteText(out, "\n");
  if (r == 0) r = CommitText(out);
  if (r == 0) r = CloseText(out);
  if (r == 0) r = ReplaceWriteThrough(temp, path);
  if (r != 0) {
    AbandonText(out);
    RemoveFilePath(temp);
  }
  return r;
}

// WRITEINISTR and WRITEINIINT after their parameters: the outcome for [RETVAL].
int WriteIniValue(const char* path, const char* section, const char* key, const char* value) {
  TextLine header, keyLine;
  // Built in line buffers; one that would not fit is refused when it is needed.
  const bool headerFits = FormatText(header, "[%s]", section) && FitsOneLine(header);
  const bool keyLineFits = FormatText(keyLine, "%s=%s", key, value) && FitsOneLine(keyLine);

  DWORD attributes = 0;
  if (int lookError = GetPathAttributes(path, attributes)) {
    if (!headerFits || !keyLineFits) return kScanLineTooLong;
    return CreateIniFile(path, header, keyLine, lookError);
  }
  ScanArgs set = Scan(EditSetValue, section, key, "", value, kPlaceBefore);
  int r = RewriteThroughTemp(path, set);
  if (r == kScanNoKey) {
    // The section is there without the key: the key line goes right under its header.
    if (!headerFits) return kScanLineTooLong;
    ScanArgs insert = Scan(EditInsertLine, nullptr, header, "", keyLine, kPlaceAfter);
    return keyLineFits ? RewriteThroughTemp(path, insert) : kScanLineTooLong;
  }
  if (r == kScanNoSection) {
    // A new section at the end, after a line break of its own.
    TextLine newHeader;
    if (!FormatText(newHeader, "\n%s", header) || !FitsOneLine(newHeader) || !keyLineFits) return kScanLineTooLong;
    r = AddLineToFile(path, newHeader, kAtEnd);
    if (r == 0) r = AddLineToFile(path, keyLine, kAtEnd);
  }
  return r;
}

// GETINISTR and GETINIINT share one body; so do WRITEINISTR and WRITEINIINT.
enum class IniValue { kText, kNumber };

int GetIni(const char* params, IniValue kind) {
  SetRetval(0);
  char windir[kVarValueSize];
  ReadWinDir(windir);
  IniPath path;
  char section[kParamTextSize], key[kParamTextSize], var[kParamTextSize];
  if (int rc = GetStringParam(params, 1, path)) return rc;
  if (int rc = GetStringParam(params, 2, section)) return rc;
  if (int rc = GetStringParam(params, 3, key)) return rc;
  int rc = kind == IniValue::kText ? GetStringVarName(params, 4, var) : GetIntVarName(params, 4, var);
  if (rc != 0) return rc;
  if (!ResolveIniPath(path, windir)) {
    SetRetval(ENAMETOOLONG);
    return 0;
  }
  ScanArgs args = Scan(nullptr, section, key, "", "", kPlaceBefore);
  int r = ScanTextFileAt(path, args);
  if (r != kScanFound) {
    SetRetval(r);
    return 0;
  }
  int set = kind == IniValue::kText ? VariableStore::SetString(var, args.value)
                                    : VariableStore::SetInt(var, int32_t(strtol(args.value, nullptr, 10)));
  if (set != 0) return kMsgVariableUndefined;
  SetRetval(0);
  return 0;
}

int WriteIni(const char* params, IniValue kind) {
  SetRetval(0);
  char windir[kVarValueSize];
  ReadWinDir(windir);
  IniPath path;
  char section[kParamTextSize], key[kParamTextSize], value[kParamTextSize];
  if (int rc = GetStringParam(params, 1, path)) return rc;
  if (int rc = GetStringParam(params, 2, section)) return rc;
  if (int rc = GetStringParam(params, 3, key)) return rc;
  if (kind == IniValue::kText) {
    if (int rc = GetStringParam(params, 4, value)) return rc;
  } else {
    int32_t number = 0;
    if (int rc = GetIntParam(params, 4, &number)) return rc;
    FormatText(value, "%ld", long(number));
  }
  if (!ResolveIniPath(path, windir)) {
    SetRetval(ENAMETOOLONG);
    return 0;
  }
  if (int rc = JournalFileChange(path)) return rc;
  SetRetval(WriteIniValue(path, section, key, value));
  return 0;
}

// ADDINIMULTIKEY and DELINIMULTIKEY work on SystemFilePath, pointed at the INI file; their
// parameters are the same four.
struct MultiKeyParams {
  char section[kParamTextSize];
  char key[kParamTextSize];
  char text[kParamTextSize];
};

int FetchMultiKey(const char* params, MultiKeyParams& p) {
  IniPath path;
  if (int rc = GetStringParam(params, 1, path)) return rc;
  CopyText(SystemFilePath, path);
  if (int rc = GetStringParam(params, 2, p.section)) return rc;
  if (int rc = GetStringParam(params, 3, p.key)) return rc;
  return GetStringParam(params, 4, p.text);
}

// The opening both share: [RETVAL] 0, the parameters, SystemFilePath pointed at the INI file
// and journalled. True when the edit may go on; otherwise result is the handler's.
bool OpenMultiKey(const char* params, KeptSystemFile& kept, MultiKeyParams& p, int& result) {
  SetRetval(0);
  char windir[kVarValueSize];
  ReadWinDir(windir);
  result = FetchMultiKey(params, p);
  if (result != 0) return false;
  if (!ResolveIniPath(SystemFilePath, windir)) {
    kept.PutBack();
    SetRetval(ENAMETOOLONG);
    return false;
  }
  result = JournalFileChange(SystemFilePath);
  return result == 0;
}

// One parameter of a block as the compiler stores it: raw text and the separator. False
// when the text is longer than a parameter may be.
using ParamBlock = char[4 * (kParamTextSize + 1) + 1];
bool AddParam(ParamBlock& block, const char* before, const char* text, const char* after) {
  char param[2 * kParamTextSize];
  if (!FormatText(param, "%s%s%s", before, text, after) || strlen(param) >= kParamTextSize) return false;
  const char separator[] = {kParamSeparator, '\0'};
  return AppendText(block, param) && AppendText(block, separator);
}

}  // namespace

int ScriptGetIniStr(const char* params) { return GetIni(params, IniValue::kText); }
int ScriptGetIniInt(const char* params) { return GetIni(params, IniValue::kNumber); }
int ScriptWriteIniStr(const char* params) { return WriteIni(params, IniValue::kText); }
int ScriptWriteIniInt(const char* params) { return WriteIni(params, IniValue::kNumber); }

int ScriptAddIniMultiKey(const char* params) {
  KeptSystemFile kept;
  MultiKeyParams p;
  int result = 0;
  if (!OpenMultiKey(params, kept, p, result)) return result;
  // The line goes in through ADDLINE, as a script would write it: upper-cased, after the
  // first line naming the section, or at the end of the file when none does.
  char keyLine[2 * kParamTextSize];
  ParamBlock block = "";
  result = kScanLineTooLong;
  if (FormatText(keyLine, "%s=%s", p.key, p.text) && AddParam(block, "\"", keyLine, "\"") &&
      AddParam(block, "\"[", p.section, "]\"") && AddParam(block, "", "AFTER", ""))
    result = ScriptAddLine(block);
  kept.PutBack();
  // What ADDLINE returned, not what its edit gave: 0 whenever it ran.
  SetRetval(result);
  return 0;
}

int ScriptDelIniMultiKey(const char* params) {
  KeptSystemFile kept;
  MultiKeyParams p;
  int result = 0;
  if (!OpenMultiKey(params, kept, p, result)) return result;
  // Only the key's first line in the section is looked at; without the item it stays.
  ScanArgs args = Scan(EditRemoveListItem, p.section, p.key, p.text, "", kValueFilter);
  int r = RewriteThroughTemp(SystemFilePath, args);
  SetRetval(r);
  kept.PutBack();
  return 0;
}
