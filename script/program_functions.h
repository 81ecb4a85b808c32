// The functions that run programs, talk to the user, the log and the service manager, read
// the environment and compare file dates.
#pragma once

int ScriptShell(const char* params);
int ScriptShellWait(const char* params);
int ScriptPause(const char* params);
int ScriptWriteLog(const char* params);
int ScriptStartService(const char* params);
int ScriptStopService(const char* params);
int ScriptGetEnv(const char* params);
int ScriptFileDateComp(const char* params);
int ScriptReboot(const char* params);
// UPGRADEOS, LoadNLM and UnLoadNLM: 232, this agent's systems have no such thing.
int ScriptNotSupported(const char* params);
