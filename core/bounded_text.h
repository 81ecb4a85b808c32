// Text into fixed buffers. Every helper takes the buffer's size (the array overloads take it
// from the type), always leaves the buffer terminated, and says false when the text did not
// fit, so that a caller can refuse a cut text instead of using it.
#pragma once
#include <stdarg.h>
#include <stddef.h>

// Copies src (null counts as empty) into dst. False when it was cut.
bool CopyText(char* dst, size_t size, const char* src);
// Appends src to the text already in dst. False when it was cut.
bool AppendText(char* dst, size_t size, const char* src);
// printf-style into dst. False when the result was cut (or the format failed).
bool FormatText(char* dst, size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
bool FormatTextV(char* dst, size_t size, const char* format, va_list args);

template <size_t N>
bool CopyText(char (&dst)[N], const char* src) {
  return CopyText(dst, N, src);
}
template <size_t N>
bool AppendText(char (&dst)[N], const char* src) {
  return AppendText(dst, N, src);
}
template <size_t N, class... Args>
bool FormatText(char (&dst)[N], const char* format, Args... args) {
  return FormatText(dst, N, format, args...);
}
