#include <stdarg.h>

#include "bounded_text.h"
#include "messages.h"
#include "run_state.h"
#include "status_window.h"

namespace {

constexpr size_t kHeaderSize = 40;
constexpr size_t kTextSize = 256;
constexpr size_t kLineSize = 256;
constexpr size_t kResultsSize = 512;

HistoryWriter gHistoryWriter = nullptr;

const char* HeaderFormat(char type) {
  switch (type) {
    case 'W': return "WARNING %04d: ";
    case 'I': return "INFORMATION %04d: ";
    case 'S': return "SWAP ERROR %04d: ";
    case 'D': return "DOS ERROR %04d: ";
    default: return "ERROR %04d: ";
  }
}

void Compose(char* line, size_t size, const char* header, const char* text) {
  if (!line || size == 0) return;
  // A message line is cut at its buffer, as every report line always was.
  FormatText(line, size, "%s%s", header, text);
}

// Shown between blank lines, logged and recorded bare.
void Deliver(int record, const char* line) {
  PrintResults("\n%s\n\n", line);
  if (gOptions.bLog) WriteLogEntry(line);
  if (record == 1 && gHistoryWriter) gHistoryWriter(gContext.nCurrentPackageId, gContext.szMachineId, line);
}

}  // namespace

void SetHistoryWriter(HistoryWriter writer) { gHistoryWriter = writer; }

void FormatMessageLine(char* line, size_t size, uint32_t number, va_list args) {
  char header[kHeaderSize];
  char text[kTextSize] = "";
  const CatalogueEntry* entry = FindMessage(number);
  if (entry) {
    FormatText(header, HeaderFormat(entry->type), int(number));
    FormatTextV(text, sizeof text, entry->text, args);
  } else {
    // An unknown number still reaches the user, as a bare header without colon or text.
    FormatText(header, "ERROR %04d", int(number));
  }
  Compose(line, size, header, text);
}

void FormatDatabaseLine(char* line, size_t size, int32_t code, va_list args) {
  char header[kHeaderSize];
  char text[kTextSize];
  FormatText(header, "DATABASE ERROR %04d: ", int(code));
  const CatalogueEntry* entry = FindDatabaseMessage(uint32_t(code));
  // A status the catalogue does not know still names its server or table.
  FormatTextV(text, sizeof text, entry ? entry->text : "<%s>", args);
  Compose(line, size, header, text);
}

void ReportMessage(int record, uint32_t number, ...) {
  char line[kLineSize];
  va_list args;
  va_start(args, number);
  FormatMessageLine(line, sizeof line, number, args);
  va_end(args);
  Deliver(record, line);
}

void ReportDatabaseError(int record, int32_t code, ...) {
  char line[kLineSize];
  va_list args;
  va_start(args, code);
  FormatDatabaseLine(line, sizeof line, code, args);
  va_end(args);
  Deliver(record, line);
}

void PrintResults(const char* format, ...) {
  if (gOptions.bNoShow || !format) return;
  char text[kResultsSize];
  va_list args;
  va_start(args, format);
  FormatTextV(text, sizeof text, format, args);
  va_end(args);
  AppendResultsText(text);
}
