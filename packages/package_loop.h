// The package loop of one server: every package judged, the taken ones installed, every
// outcome written.
#pragma once
#include <stddef.h>

// 0 when the table was worked through, 1 when a task asked for a restart, else the
// requester status of a failed package read.
int doPackages(int* packagesTaken, int* lastResult);

// 0, -1 (already reported), or a message number for the caller to report with the path.
// On success path holds the drive path; created tells whether the folder was made here. A
// drive path that fits neither the buffer nor [TARGET] is refused with a message.
int ValidateTargetPath(char* path, size_t size, bool* created);
// A path starting with a bracketed string variable gets its value in front. False when the
// result does not fit: path is left as it was.
bool ExpandPathVariable(char* path, size_t size);
// 0 or the errno of the failed creation.
int CreateDirectoryPath(char driveLetter, const char* rest);
void AddWindowsToAutoexecPath(const char* windowsDir);
