// The six line editors: what each writes in the place of the line a scan found.
#include <string.h>

#include "text_engine.h"

namespace {

// A line holds at most this many characters, its newline included.
constexpr size_t kMaxLineChars = kTextLineSize - 1;

bool IsAlnumAscii(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// A line an editor writes, built in one line buffer. Text that would not fit marks it as
// overflowing instead of being cut; Emit then refuses it.
struct OutLine {
  TextLine text = {};
  size_t len = 0;
  bool overflow = false;

  void Add(const char* s, size_t n) {
    if (overflow || len + n > kMaxLineChars) {
      overflow = true;
      return;
    }
    memcpy(text + len, s, n);
    len += n;
    text[len] = '\0';
  }
  void Add(const char* s) { Add(s, strlen(s)); }
};

// Writes the line with its newline; kScanLineTooLong if it did not fit.
int Emit(TextFile& out, OutLine& line) {
  line.Add("\n", 1);
  return line.overflow ? kScanLineTooLong : WriteText(out, line.text);
}

bool EndsWithNewline(const char* s) {
  size_t n = strlen(s);
  return n > 0 && s[n - 1] == '\n';
}

// Writes the found line as it was read; a missing newline is supplied when a line is to
// follow it, so that the two do not join.
int WriteFoundLine(TextFile& out, const char* line, bool lineFollows) {
  if (int e = WriteText(out, line)) return e;
  return lineFollows && !EndsWithNewline(line) ? WriteText(out, "\n") : 0;
}

}  // namespace

int EditSetValue(TextFile&, TextFile& out, TextLine& line, const char* value, const char*, const char* b, int) {
  TrimRight(line);
  if (*value)
    if (char* cut = FindLastNoCase(line, value)) *cut = '\0';
  OutLine o;
  o.Add(line);
  o.Add(b);
  return Emit(out, o);
}

int EditReplaceLine(TextFile&, TextFile& out, TextLine&, const char*, const char*, const char* b, int) {
  if (!*b) return 0;
  OutLine o;
  o.Add(b);
  return Emit(out, o);
}

int EditReplaceToken(TextFile&, TextFile& out, TextLine& line, const char*, const char* a, const char* b, int) {
  TrimRight(line);
  const bool deletes = strlen(b) < 2;
  OutLine o;
  const char* at = FindLastNoCase(line, a);
  if (!at) {
    o.Add(line);
    if (!deletes && !FindNoCase(line, b)) {
      o.Add(" ");
      o.Add(b);
    }
    return Emit(out, o);
  }
  TextLine head;
  size_t headLen = size_t(at - line);
  memcpy(head, line, headLen);
  head[headLen] = '\0';
  const char* tail = at + strlen(a);
  o.Add(head);
  if (deletes || FindNoCase(head, b)) {
    while (*tail == ' ') ++tail;
  } else {
    o.Add(b);
  }
  o.Add(tail);
  return Emit(out, o);
}

int EditInsertLine(TextFile&, TextFile& out, TextLine& line, const char*, const char*, const char* b, int mode) {
  OutLine added;
  added.Add(b);
  if (mode == kPlaceBefore) {
    if (int e = Emit(out, added)) return e;
    return WriteFoundLine(out, line, false);
  }
  if (int e = WriteFoundLine(out, line, true)) return e;
  return Emit(out, added);
}

int EditAddPathEntry(TextFile& in, TextFile& out, TextLine& line, const char* value, const char* a, const char* b,
                     int mode) {
  OutLine list;
  const char* at = *a ? FindNoCase(value, a) : nullptr;
  if (at) {
    list.Add(value, size_t(at - value));
    if (mode == kPlaceBefore) {
      list.Add(b);
      list.Add(";");
      list.Add(at);
    } else {
      // The entry that held the anchor becomes the anchor itself.
      list.Add(a);
      list.Add(";");
      list.Add(b);
      if (const char* next = strchr(at, ';')) list.Add(next);
    }
  } else if (mode == kPlaceBefore) {
    list.Add(b);
    list.Add(";");
    list.Add(value);
  } else {
    list.Add(value);
    size_t n = strlen(value);
    if (n == 0 || value[n - 1] != ';') list.Add(";");
    list.Add(b);
  }
  if (list.overflow) return kScanLineTooLong;
  return EditSetValue(in, out, line, value, a, list.text, mode);
}

int EditRemoveListItem(TextFile&, TextFile& out, TextLine& line, const char* value, const char* a, const char*, int) {
  TrimRight(line);
  if (strlen(value) == strlen(a) && FindNoCase(value, a) == value) return 0;
  // The item is looked for in the value only, which ends the line: an item whose text also
  // occurs in the key name must not cut the key.
  size_t n = strlen(line), v = strlen(value);
  char* from = line + (v <= n ? n - v : 0);
  OutLine o;
  const char* at = FindNoCase(from, a);
  if (!at) {
    o.Add(line);
    return Emit(out, o);
  }
  o.Add(line, size_t(at - line));
  // Separators after the item go with it.
  const char* rest = at + strlen(a);
  while (*rest && !IsAlnumAscii(*rest)) ++rest;
  o.Add(rest);
  return Emit(out, o);
}
