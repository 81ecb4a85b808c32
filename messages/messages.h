// Numbered messages, free text to the results box, the log file and the trace channel.
#pragma once
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

struct CatalogueEntry {
  char type;        // 'E', 'W', 'I', 'S', 'D'
  uint32_t number;
  const char* text;  // printf format
};

// The two catalogues in their fixed order. The message catalogue ends with an entry numbered
// 0, counted in its size; the database catalogue has no such end entry.
extern const CatalogueEntry kMessageCatalogue[];
extern const size_t kMessageCatalogueSize;
extern const CatalogueEntry kDatabaseCatalogue[];
extern const size_t kDatabaseCatalogueSize;

// "Unable to parse path: %s. ...": the message for a path the agent cannot work with,
// also one that does not fit the field it must go into (refused, never used cut).
constexpr uint32_t kBadPathMessage = 161;

// Linear search in catalogue order; null when the number is not there (0 never is).
const CatalogueEntry* FindMessage(uint32_t number);
const CatalogueEntry* FindDatabaseMessage(uint32_t code);

// Builds the recorded line (header + text, no surrounding line feeds) of a message into
// line (256 bytes). Shared by ReportMessage and the tests.
void FormatMessageLine(char* line, size_t size, uint32_t number, va_list args);
void FormatDatabaseLine(char* line, size_t size, int32_t code, va_list args);

// Adding a line to the package history is the server room's work, which sits above this
// one: the agent names the writer at start-up. Without one, record 1 adds nothing.
using HistoryWriter = int (*)(uint32_t packageId, const char* machineId, const char* text);
void SetHistoryWriter(HistoryWriter writer);

// record 1 also adds the line to the current package's history.
void ReportMessage(int record, uint32_t number, ...);
void ReportDatabaseError(int record, int32_t code, ...);

// printf-style text to the results box, unless output is suppressed.
void PrintResults(const char* format, ...);

// Appends one nine-line entry to the log file (when logging is on the callers decide).
void WriteLogEntry(const char* text);

// Line 2 of a log entry (date, 12-hour time, line feed) for a local time, into out.
void FormatLogStamp(char* out, size_t size, int year, int month, int day, int hour, int minute, int second);

// The step-name channel: formatted and dropped. Never fails, never blocks.
void Trace(const char* format, ...);
