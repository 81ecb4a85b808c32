// Path helpers the whole agent uses. A path that does not fit its buffer is refused (false,
// buffer unchanged), never cut: a shorter path names a different file.
#pragma once
#include <stddef.h>

// Joins name to the directory in place with exactly one backslash.
bool AppendPath(char* directory, size_t size, const char* name);
// Cuts a path to its parent directory, keeping the trailing backslash.
void CutToParent(char* path, size_t size);
// server + volume path ("SYS:\APPS") -> "\\server\SYS\APPS" into out.
bool ToUncPath(const char* server, const char* path, char* out, size_t size);

template <size_t N>
bool AppendPath(char (&directory)[N], const char* name) {
  return AppendPath(directory, N, name);
}
template <size_t N>
void CutToParent(char (&path)[N]) {
  CutToParent(path, N);
}
template <size_t N>
bool ToUncPath(const char* server, const char* path, char (&out)[N]) {
  return ToUncPath(server, path, out, N);
}
