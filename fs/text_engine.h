// The line-oriented engine under every function that changes a text configuration file (the
// start-up files, INI files, the undo journal): a scan that copies a file line by line and
// hands the first line holding a key to a LineEditor, the editors, and the two protocols
// that put an edited copy in the file's place.
//
// An edit never changes the file in place: the new content is written to a "$XXXXXX" file
// beside it, committed to disk, and moved over the file with a write-through replace. A
// failure at any step removes that temporary file and leaves the file as it was, so the
// file is never seen half-written under its own name. A crash leaves the file whole, old or
// new, and at most a "$" file beside it.
//
// Results: 0 found (and edited), kScanNoSection, kScanNoKey, kScanReadOnly, kScanNoMemory,
// or the error number (errno) of the read, write, open or rename that failed.
#pragma once
#include <errno.h>
#include <stddef.h>

#include "text_file_ops.h"

enum ScanResult : int {
  kScanFound = 0,
  kScanNoSection = -1,  // a section was given and its header is not in the file
  kScanNoKey = -2,      // end of file, or of the section, reached before the key
  kScanReadOnly = 5,    // an output was given and the input is read-only
  kScanNoMemory = 8,    // the working buffers could not be had
  // An edit whose line would pass 255 characters with its newline is refused: a cut line
  // would change what the file says.
  kScanLineTooLong = ERANGE,
};

// The scan's last argument.
enum ScanMode : int {
  kPlaceBefore = 0,  // passed on to the editor
  kPlaceAfter = 1,   // passed on to the editor
  kValueFilter = 2,  // a found line counts only if its value contains text A
};

// AddLineToFile's where.
enum LinePlace : int {
  kAtStart = 0,
  kAtEnd = 1,
};

// Writes whatever takes the found line's place (nothing removes it); 0 or the error number
// of the failed write. It may change the line buffer.
using LineEditor = int (*)(TextFile& in, TextFile& out, TextLine& line, const char* value,
                           const char* textA, const char* textB, int mode);

// What a scan looks for and does. The value found is left in value (empty when nothing was
// found).
struct ScanArgs {
  LineEditor editor = nullptr;
  const char* section = nullptr;  // null or empty: the whole file
  const char* key = "";
  const char* textA = "";
  const char* textB = "";
  int mode = kPlaceBefore;
  TextLine value = {};
};

// Scans in, copying to out if out is open; see ScanResult.
int ScanTextFile(TextFile& in, TextFile* out, ScanArgs& args);
// Opens path and scans it without an output: a lookup. The open's error number, or the
// scan's result.
int ScanTextFileAt(const char* path, ScanArgs& args);
// Edits the file at path through a temporary file beside it.
int RewriteThroughTemp(const char* path, ScanArgs& args);
// Puts line (followed by a newline) before the first line (kAtStart) or after the last
// (kAtEnd, or any other where). Afterwards line holds its text with trailing white space
// removed.
int AddLineToFile(const char* path, char* line, size_t size, int where);
template <size_t N>
int AddLineToFile(const char* path, char (&line)[N], int where) {
  return AddLineToFile(path, line, N, where);
}

int EditSetValue(TextFile& in, TextFile& out, TextLine& line, const char* value, const char* a, const char* b, int mode);
int EditReplaceLine(TextFile& in, TextFile& out, TextLine& line, const char* value, const char* a, const char* b, int mode);
int EditReplaceToken(TextFile& in, TextFile& out, TextLine& line, const char* value, const char* a, const char* b, int mode);
int EditInsertLine(TextFile& in, TextFile& out, TextLine& line, const char* value, const char* a, const char* b, int mode);
int EditAddPathEntry(TextFile& in, TextFile& out, TextLine& line, const char* value, const char* a, const char* b, int mode);
int EditRemoveListItem(TextFile& in, TextFile& out, TextLine& line, const char* value, const char* a, const char* b, int mode);

// Small string operations, case-insensitive in ASCII.
bool IsTextSpace(char c);  // space, tab, newline, vertical tab, form feed, carriage return
void TrimRight(char* s);
// The first (last) position at which all of t matches in s, or null.
const char* FindNoCase(const char* s, const char* t);
char* FindNoCase(char* s, const char* t);
const char* FindLastNoCase(const char* s, const char* t);
char* FindLastNoCase(char* s, const char* t);
bool IsCommentLine(const char* line);
bool KeyNameMatches(const char* section, const char* line, const char* key);
