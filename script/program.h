// Starting programs, the reboot, and the service control calls.
#pragma once

// Exit code when waiting, 0 when not, the system error when the program cannot be started,
// or 217 when the working directory cannot be changed or restored.
int RunProgram(int wait, const char* program, const char* arguments, int changeDirectory);
int RunProcess(int wait, const char* program, const char* arguments);
void RebootWorkstation();
int StartNtService(const char* name);
int StopNtService(const char* name);
