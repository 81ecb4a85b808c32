// COPY, MDIR, DELETEFILE, DELETEDIR, FINDFILE, ATTRIB, RENAME. Each leaves its outcome in
// [RETVAL] (2 when nothing matched) and returns 0; it fails only for its parameters, a path
// that does not fit, or a change the undo journal could not record.
#include <string.h>
#include <windows.h>

#include "agent_codes.h"
#include "bounded_text.h"
#include "core_functions.h"
#include "corvnet.h"
#include "delete_tree.h"
#include "file_steps.h"
#include "filesys.h"
#include "library_functions.h"
#include "messages.h"
#include "name_template.h"
#include "params.h"
#include "status_window.h"
#include "variable_store.h"

namespace {

constexpr const char* kCopying = "Copying:";
constexpr const char* kAnyName = "*.*";
constexpr const char* kTreeOption = "ALL";
constexpr int kNotFound = kClassicNotFound;  // [RETVAL] when nothing matched
constexpr int kFindNothing = -1;             // FINDFILE's [RETVAL] when nothing matched
constexpr int kUndoSilent = kResultReported;  // a record that failed without a message

// setNWFileShareable's results and the [RETVAL] they become.
constexpr int kShareDenied = -4, kShareNotFound = -3;
constexpr int kRetvalDenied = 5;

void SetRetval(int value) { VariableStore::SetInt(kRetval, value); }

enum class AttribAction { kSet, kClear, kShareable };

// ATTRIB's options, compared case-sensitively: by their first characters, the last two whole.
struct AttribRule {
  const char* text;
  bool whole;
  AttribAction action;
  DWORD value;  // the attribute bit, or 1 / 0 to make the file shareable or not
};
const AttribRule kAttribRules[] = {
    {"A", false, AttribAction::kSet, FILE_ATTRIBUTE_ARCHIVE},
    {"H", false, AttribAction::kSet, FILE_ATTRIBUTE_HIDDEN},
    {"RO", false, AttribAction::kSet, FILE_ATTRIBUTE_READONLY},
    {"RW", false, AttribAction::kClear, FILE_ATTRIBUTE_READONLY},
    {"SY", false, AttribAction::kSet, FILE_ATTRIBUTE_SYSTEM},
    {"SH", false, AttribAction::kShareable, 1},
    {"-H", false, AttribAction::kClear, FILE_ATTRIBUTE_HIDDEN},
    {"-A", false, AttribAction::kClear, FILE_ATTRIBUTE_ARCHIVE},
    {"-SY", true, AttribAction::kClear, FILE_ATTRIBUTE_SYSTEM},
    {"-SH", true, AttribAction::kShareable, 0},
};

const AttribRule* FindAttribRule(const char* option) {
  for (const AttribRule& rule : kAttribRules) {
    bool match = rule.whole ? strcmp(option, rule.text) == 0 : strncmp(option, rule.text, strlen(rule.text)) == 0;
    if (match) return &rule;
  }
  return nullptr;
}

// The system takes "normal" only alone: drop it beside other bits, use it for none.
DWORD Normalised(DWORD attributes) {
  attributes &= ~DWORD(FILE_ATTRIBUTE_NORMAL);
  return attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
}

// The [RETVAL] of a shareable change that failed.
int ShareableRetval(int result) {
  if (result == kShareDenied) return kRetvalDenied;
  if (result == kShareNotFound) return kNotFound;
  return result;
}

// Source and destination of one found file for COPY and RENAME: false when either does not
// fit (reported).
bool MovePaths(const char* sourceDir, const char* name, const char* destinationDir, const char* nameTemplate,
               char (&source)[MAX_PATH], char (&destination)[MAX_PATH]) {
  // A found name and a template together always fit here; the join below decides.
  char newName[2 * MAX_PATH];
  if (!ApplyNameTemplate(name, nameTemplate, newName)) {
    ReportMessage(1, kBadPathMessage, nameTemplate);
    return false;
  }
  return JoinPath(source, sourceDir, name) && JoinPath(destination, destinationDir, newName);
}

// The four parameters COPY and RENAME share; COPY's template may be left out.
struct MoveParams {
  char sourceDir[kParamTextSize], pattern[kParamTextSize], destinationDir[kParamTextSize];
  char nameTemplate[kParamTextSize];
};

int ReadMoveParams(const char* params, bool optionalTemplate, MoveParams& p) {
  if (int rc = GetStringParam(params, 1, p.sourceDir)) return rc;
  if (int rc = GetStringParam(params, 2, p.pattern)) return rc;
  if (int rc = GetStringParam(params, 3, p.destinationDir)) return rc;
  if (!optionalTemplate) return GetStringParam(params, 4, p.nameTemplate);
  if (int rc = GetOptionalStringParam(params, 4, p.nameTemplate)) return rc;
  if (!p.nameTemplate[0]) CopyText(p.nameTemplate, kAnyName);
  return 0;
}

// The end of MDIR and DELETEDIR: a failed change leaves the run-time error in [RETVAL]; a
// change made is journalled, as a directory can only be recorded once it exists or is gone.
int JournalMadeChange(int failed, UndoKind kind, const char* path) {
  if (failed != 0) {
    SetRetval(nRunTimeError);
    return 0;
  }
  return JournalChange(kind, path) ? int(kMsgUndoFailedIn) : 0;
}

// Directory and name or pattern: the first two parameters of all but COPY and RENAME.
int ReadSearchParams(const char* params, char (&dir)[kParamTextSize], char (&pattern)[kParamTextSize]) {
  if (int rc = GetStringParam(params, 1, dir)) return rc;
  return GetStringParam(params, 2, pattern);
}

}  // namespace

// The copy outcome starts as "not found", and the first copy that fails ends the loop.
int ScriptCopy(const char* params) {
  SetRetval(0);
  MoveParams p;
  if (int rc = ReadMoveParams(params, true, p)) return rc;
  ShowFileStatus(kCopying, nullptr, nullptr);
  int outcome = nRunTimeError = kNotFound;
  int result = 0;
  char searchPath[MAX_PATH];
  FileSearchRecord search;
  if (!JoinPath(searchPath, p.sourceDir, p.pattern)) {
    result = kResultReported;
  } else {
    for (int r = StartFileSearch(searchPath, kSearchFiles, search); r == 0; r = NextFileSearch(search)) {
      char source[MAX_PATH], destination[MAX_PATH];
      if (!MovePaths(p.sourceDir, search.name, p.destinationDir, p.nameTemplate, source, destination)) {
        result = kResultReported;
        break;
      }
      ShowFileStatus(kCopying, source, destination);
      if (int rc = JournalChange(UndoKind::AddFile, destination)) {
        // A record that failed silently lets the script go on and see -1.
        if (rc == kUndoSilent)
          outcome = kUndoSilent;
        else
          result = kMsgUndoFailedIn;
        break;
      }
      outcome = CopyFileWithProgress(destination, source, true);
      if (outcome != 0) break;
    }
  }
  EndFileSearch(search);
  SetRetval(outcome);
  ShowFileStatus(nullptr, nullptr, nullptr);
  return result;
}

int ScriptMdir(const char* params) {
  SetRetval(0);
  char parent[kParamTextSize], name[kParamTextSize], path[MAX_PATH];
  if (int rc = ReadSearchParams(params, parent, name)) return rc;
  if (!JoinPath(path, parent, name)) return kResultReported;
  return JournalMadeChange(MakeDirectory(path), UndoKind::AddDir, path);
}

// Read-only files are not made writable first: their deletion fails with 13.
int ScriptDeleteFile(const char* params) {
  SetRetval(0);
  char dir[kParamTextSize], pattern[kParamTextSize], searchPath[MAX_PATH];
  if (int rc = ReadSearchParams(params, dir, pattern)) return rc;
  if (!JoinPath(searchPath, dir, pattern)) return kResultReported;
  FileSearchRecord search;
  int r = StartFileSearch(searchPath, kSearchFiles, search);
  if (r != 0) SetRetval(kNotFound);
  for (; r == 0; r = NextFileSearch(search)) {
    char path[MAX_PATH];
    if (!JoinPath(path, dir, search.name)) return kResultReported;
    if (JournalChange(UndoKind::DeleteFile, path)) return kMsgUndoFailedIn;
    if (DeleteFilePath(path) != 0) {
      SetRetval(nRunTimeError);
      return 0;
    }
  }
  return 0;
}

int ScriptDeleteDir(const char* params) {
  SetRetval(0);
  char parent[kParamTextSize], name[kParamTextSize], option[kParamTextSize] = {}, path[MAX_PATH];
  if (int rc = ReadSearchParams(params, parent, name)) return rc;
  // A missing option counts as empty; one too long to read is no ALL either.
  if (GetParamText(params, 3, option) != 0) option[0] = '\0';
  // "SUBDIR." names SUBDIR.
  size_t n = strlen(name);
  if (n > 0 && name[n - 1] == '.') name[n - 1] = '\0';
  if (!JoinPath(path, parent, name)) return kResultReported;
  if (SameTextIgnoringCase(option, kTreeOption)) {
    int e = DeleteTree(path);
    // An unrecorded change stops here; any other failure is the script's to see, and the
    // removal below then tells whether anything stayed.
    if (e == kMsgUndoFailedIn) return e;
    if (e != 0) SetRetval(e);
  }
  return JournalMadeChange(RemoveDirectoryPath(path), UndoKind::RemoveDir, path);
}

int ScriptFindFile(const char* params) {
  SetRetval(0);
  char dir[kParamTextSize], pattern[kParamTextSize], variable[kParamTextSize], searchPath[MAX_PATH];
  if (int rc = ReadSearchParams(params, dir, pattern)) return rc;
  if (int rc = GetStringVarName(params, 3, variable)) return rc;
  if (!JoinPath(searchPath, dir, pattern)) return kResultReported;
  FileSearchRecord search;
  const char* found = "";
  if (StartFileSearch(searchPath, kSearchFiles, search) == 0)
    found = search.name;
  else
    SetRetval(kFindNothing);
  // A name longer than a variable holds is refused like any value that does not fit.
  int rc = VariableStore::SetString(variable, found) == 0 ? 0 : int(kMsgVariableUndefined);
  EndFileSearch(search);
  return rc;
}

// The option is checked at the first file, after it was journalled.
int ScriptAttrib(const char* params) {
  SetRetval(0);
  char dir[kParamTextSize], pattern[kParamTextSize], option[kParamTextSize], searchPath[MAX_PATH];
  if (int rc = ReadSearchParams(params, dir, pattern)) return rc;
  if (int rc = GetRawParam(params, 3, option)) return rc;
  if (!JoinPath(searchPath, dir, pattern)) return kResultReported;
  const AttribRule* rule = FindAttribRule(option);
  FileSearchRecord search;
  int r = StartFileSearch(searchPath, kSearchFiles, search);
  if (r != 0) SetRetval(kNotFound);
  for (; r == 0; r = NextFileSearch(search)) {
    char path[MAX_PATH];
    if (!JoinPath(path, dir, search.name)) return kResultReported;
    if (JournalChange(UndoKind::SetAttributes, path)) return kMsgUndoFailedIn;
    int attributes = GetAttributes(path);
    if (attributes == -1) {
      SetRetval(nRunTimeError);
      return 0;
    }
    if (!rule) return kMsgInvalidOption;
    if (rule->action == AttribAction::kShareable) {
      if (int share = setNWFileShareable(dir, search.name, int(rule->value))) {
        SetRetval(ShareableRetval(share));
        return 0;
      }
      continue;
    }
    DWORD changed = rule->action == AttribAction::kSet ? DWORD(attributes) | rule->value
                                                       : DWORD(attributes) & ~rule->value;
    if (SetAttributes(path, Normalised(changed)) != 0) {
      SetRetval(nRunTimeError);
      return 0;
    }
  }
  return 0;
}

// The move is journalled after it was made: there is nothing to save beforehand.
int ScriptRename(const char* params) {
  SetRetval(0);
  MoveParams p;
  if (int rc = ReadMoveParams(params, false, p)) return rc;
  char searchPath[MAX_PATH];
  if (!JoinPath(searchPath, p.sourceDir, p.pattern)) return kResultReported;
  FileSearchRecord search;
  int r = StartFileSearch(searchPath, kSearchFiles, search);
  if (r != 0) SetRetval(kNotFound);
  for (; r == 0; r = NextFileSearch(search)) {
    char source[MAX_PATH], destination[MAX_PATH];
    if (!MovePaths(p.sourceDir, search.name, p.destinationDir, p.nameTemplate, source, destination))
      return kResultReported;
    if (RenamePath(source, destination) != 0) {
      SetRetval(nRunTimeError);
      return 0;
    }
    if (JournalChange(UndoKind::MoveFile, source, destination)) return kMsgUndoFailedIn;
  }
  return 0;
}
