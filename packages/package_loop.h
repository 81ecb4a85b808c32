// The package loop of one server: every package judged, the taken ones installed, every
// outcome written.
#pragma once

// 0 when the table was worked through, 1 when a task asked for a restart, else the
// requester status of a failed package read.
int doPackages(int* packagesTaken, int* lastResult);

// 0, -1 (already reported), or a message number for the caller to report with the path.
// On success path holds the drive path; created tells whether the folder was made here.
int ValidateTargetPath(char* path /* 260 */, bool* created);
void ExpandPathVariable(char* path /* 260 */);
// 0 or the errno of the failed creation.
int CreateDirectoryPath(char driveLetter, const char* rest);
void AddWindowsToAutoexecPath(const char* windowsDir);
