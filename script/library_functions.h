// The functions that change the workstation: files, start-up and INI files, the registry,
// Program Manager groups and Windows programs. The table names them here; their bodies
// live in the room above the interpreter, which uses it.
#pragma once

// One entry per handler, for the declarations below and for builds that stand in for them.
#define PLX_LIBRARY_FUNCTIONS(X)                                                             \
  X(ScriptCopy) X(ScriptMdir) X(ScriptDeleteFile) X(ScriptDeleteDir) X(ScriptFindFile)       \
  X(ScriptAttrib) X(ScriptRename)                                                            \
  X(ScriptSetSysFile) X(ScriptAddPath) X(ScriptAddLine) X(ScriptReplaceLine)                 \
  X(ScriptAddDevice) X(ScriptCfgGetValue) X(ScriptCfgGetString) X(ScriptCfgSetString)        \
  X(ScriptCfgSetValue) X(ScriptReplaceKey) X(ScriptReplaceLineAdd)                           \
  X(ScriptGetIniStr) X(ScriptGetIniInt) X(ScriptWriteIniStr) X(ScriptWriteIniInt)            \
  X(ScriptAddIniMultiKey) X(ScriptDelIniMultiKey)                                            \
  X(ScriptRegCreateKey) X(ScriptRegDeleteKey) X(ScriptRegSetStrValue)                        \
  X(ScriptRegSetIntValue) X(ScriptRegQueryStrValue) X(ScriptRegQueryIntValue)                \
  X(ScriptAddGroup) X(ScriptAddItem) X(ScriptAddItemPath) X(ScriptDeleteItem)                \
  X(ScriptDeleteGroup) X(ScriptScheduleWin)

#define PLX_DECLARE_SCRIPT_FUNCTION(name) int name(const char* params);
PLX_LIBRARY_FUNCTIONS(PLX_DECLARE_SCRIPT_FUNCTION)
#undef PLX_DECLARE_SCRIPT_FUNCTION
