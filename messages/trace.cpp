#include <stdarg.h>

#include "bounded_text.h"
#include "messages.h"

// The steps are named as they happen, but the line goes nowhere: formatting it costs next to
// nothing and keeps the step names in the code, ready for a destination.
void Trace(const char* format, ...) {
  if (!format) return;
  char line[512];
  va_list args;
  va_start(args, format);
  FormatTextV(line, sizeof line, format, args);
  va_end(args);
}
