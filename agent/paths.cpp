#include "agent/paths.h"

#include <stdio.h>
#include <string.h>

#include "plx/bytes.h"

namespace {
constexpr size_t kPathBuffer = 260;
}

char* AppendPath(char* directory, const char* name) {
  while (*name == '\\') ++name;
  size_t len = strnlen(directory, kPathBuffer - 1);
  // An empty directory gets no backslash: the name then stays relative, which is what a
  // caller joining onto nothing means.
  if (len > 0 && directory[len - 1] != '\\' && len + 1 < kPathBuffer) {
    directory[len++] = '\\';
    directory[len] = '\0';
  }
  plx::CopyText(directory + len, kPathBuffer - len, name);
  return directory;
}

void CutToParent(char* path) {
  size_t len = strlen(path);
  if (len > 0 && path[len - 1] == '\\') path[--len] = '\0';
  char* slash = strrchr(path, '\\');
  if (slash)
    slash[1] = '\0';
  else
    path[0] = '\0';
}

void ToUncPath(const char* server, const char* path, char* out, size_t size) {
  char trimmed[kPathBuffer];
  plx::CopyText(trimmed, sizeof trimmed, path);
  size_t len = strlen(trimmed);
  if (len > 0 && trimmed[len - 1] == '\\') trimmed[len - 1] = '\0';

  char result[kPathBuffer];
  snprintf(result, sizeof result, "\\\\%s\\", server);
  if (const char* colon = strchr(trimmed, ':')) {
    size_t have = strlen(result);
    size_t volume = size_t(colon - trimmed);
    if (have + volume >= sizeof result) volume = sizeof result - have - 1;
    memcpy(result + have, trimmed, volume);
    result[have + volume] = '\0';
    const char* rest = colon + 1;
    if (*rest == '\\') ++rest;
    AppendPath(result, rest);
  } else {
    const char* rest = trimmed[0] == '\\' ? trimmed + 1 : trimmed;
    strncat(result, rest, sizeof result - strlen(result) - 1);
  }
  plx::CopyText(out, size, result);
}
