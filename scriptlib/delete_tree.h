// Emptying a directory for DELETEDIR ... ALL: its plain subdirectories, depth first, then its
// files, read-only ones included. The directory itself stays.
#pragma once

// 0, the run-time error number of the step that failed, or kMsgUndoFailedIn when a change
// could not be journalled (reported already).
int DeleteTree(const char* directory);
