// The DOS rule for wildcard destinations: what a name template such as ????????.BAK makes of
// a found file's name, for COPY and RENAME.
#pragma once
#include <stddef.h>

// The new name for source under nameTemplate into out. False when it does not fit (out is
// then empty): a shorter name would be another file.
bool ApplyNameTemplate(const char* source, const char* nameTemplate, char* out, size_t size);

template <size_t N>
bool ApplyNameTemplate(const char* source, const char* nameTemplate, char (&out)[N]) {
  return ApplyNameTemplate(source, nameTemplate, out, N);
}
