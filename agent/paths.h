// Path helpers the whole agent uses.
#pragma once
#include <stddef.h>

// Joins name to directory (in place, 260-byte buffer) with exactly one backslash; returns
// directory.
char* AppendPath(char* directory, const char* name);
// Cuts a path to its parent directory, keeping the trailing backslash.
void CutToParent(char* path);
// server + volume path ("SYS:\APPS") -> "\\server\SYS\APPS", into out (256 bytes).
void ToUncPath(const char* server, const char* path, char* out, size_t size);
