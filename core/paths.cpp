#include "paths.h"

#include <string.h>

#include "bounded_text.h"

namespace {
constexpr size_t kPathBuffer = 260;
}

bool AppendPath(char* directory, size_t size, const char* name) {
  if (size == 0) return false;
  while (*name == '\\') ++name;
  size_t len = strnlen(directory, size - 1);
  // An empty directory gets no backslash: the name then stays relative, which is what a
  // caller joining onto nothing means.
  bool slash = len > 0 && directory[len - 1] != '\\';
  size_t need = len + (slash ? 1 : 0) + strlen(name);
  if (need >= size) return false;
  if (slash) directory[len++] = '\\';
  CopyText(directory + len, size - len, name);
  return true;
}

void CutToParent(char* path, size_t size) {
  if (size == 0) return;
  size_t len = strnlen(path, size - 1);
  path[len] = '\0';
  if (len > 0 && path[len - 1] == '\\') path[--len] = '\0';
  char* slash = strrchr(path, '\\');
  if (slash)
    slash[1] = '\0';
  else
    path[0] = '\0';
}

bool ToUncPath(const char* server, const char* path, char* out, size_t size) {
  char trimmed[kPathBuffer];
  if (!CopyText(trimmed, path)) return false;
  size_t len = strlen(trimmed);
  if (len > 0 && trimmed[len - 1] == '\\') trimmed[len - 1] = '\0';

  char result[kPathBuffer];
  if (!FormatText(result, "\\\\%s\\", server)) return false;
  if (const char* colon = strchr(trimmed, ':')) {
    size_t have = strlen(result);
    size_t volume = size_t(colon - trimmed);
    if (have + volume >= sizeof result) return false;
    memcpy(result + have, trimmed, volume);
    result[have + volume] = '\0';
    const char* rest = colon + 1;
    if (*rest == '\\') ++rest;
    if (!AppendPath(result, rest)) return false;
  } else {
    const char* rest = trimmed[0] == '\\' ? trimmed + 1 : trimmed;
    if (!AppendText(result, rest)) return false;
  }
  // Checked before the copy, so that a refused path leaves out as it was.
  if (strlen(result) >= size) return false;
  return CopyText(out, size, result);
}
