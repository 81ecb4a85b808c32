#include "bounded_text.h"

#include <stdio.h>
#include <string.h>

bool CopyText(char* dst, size_t size, const char* src) {
  if (size == 0) return !src || !*src;
  size_t len = src ? strlen(src) : 0;
  size_t n = len < size ? len : size - 1;
  if (n) memmove(dst, src, n);
  dst[n] = '\0';
  return n == len;
}

bool AppendText(char* dst, size_t size, const char* src) {
  if (size == 0) return !src || !*src;
  size_t have = strnlen(dst, size - 1);
  return CopyText(dst + have, size - have, src);
}

bool FormatTextV(char* dst, size_t size, const char* format, va_list args) {
  if (size == 0) return false;
  int n = vsnprintf(dst, size, format, args);
  if (n < 0) {
    dst[0] = '\0';
    return false;
  }
  return size_t(n) < size;
}

bool FormatText(char* dst, size_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  bool ok = FormatTextV(dst, size, format, args);
  va_end(args);
  return ok;
}
