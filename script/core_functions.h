// The functions that give quickscripts their variables, strings and control flow. Each
// takes the parameter block and returns 0, a message number, or a script result.
#pragma once

int ScriptDefine(const char* params);
int ScriptAssign(const char* params);
int ScriptNumToStr(const char* params);
int ScriptStrCopy(const char* params);
int ScriptStrCat(const char* params);
int ScriptAppendPath(const char* params);
int ScriptStrCompare(const char* params);
int ScriptIf(const char* params);
int ScriptElse(const char* params);
int ScriptEndIf(const char* params);
int ScriptWriteLn(const char* params);
int ScriptExit(const char* params);
int ScriptAbort(const char* params);

// The integer variable every function leaves its outcome in.
constexpr const char* kRetval = "[RETVAL]";
