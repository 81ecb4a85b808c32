#include "text_engine.h"

#include <string.h>

#include <memory>

#include "bounded_text.h"

namespace {

// A line holds at most this many characters, its newline included.
constexpr size_t kMaxLineChars = kTextLineSize - 1;
constexpr size_t kMaxKey = kMaxLineChars;
// "[" + section + "]" must fit in a line.
constexpr size_t kMaxSection = kMaxLineChars - 2;

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }
bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
// The bit that tells an ASCII letter's lower case from its upper case.
constexpr char kCaseBit = 0x20;


// Whether the n characters at s equal those at t, ignoring case.
bool SameNoCase(const char* s, const char* t, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (LowerAscii(s[i]) != LowerAscii(t[i])) return false;
  return true;
}

bool StartsNoCase(const char* s, const char* prefix) {
  size_t n = strlen(prefix);
  return strnlen(s, n) == n && SameNoCase(s, prefix, n);
}


bool HasSection(const char* section) { return section && *section; }

// Copies every line that is left; 0 at the end, or the error of a failed read or write.
int CopyRest(TextFile& in, TextFile& out) {
  TextLine line;
  for (;;) {
    int r = ReadTextLine(in, line);
    if (r == kEndOfText) return 0;
    if (r != 0) return r;
    if (int e = WriteText(out, line)) return e;
  }
}

// The value follows the key, past any run of white space and "=", and has no trailing
// white space.
void TakeValue(const char* afterKey, TextLine& value) {
  while (IsTextSpace(*afterKey) || *afterKey == '=') ++afterKey;
  // The text comes from a line buffer of the same size: it fits.
  size_t n = strnlen(afterKey, kMaxLineChars);
  memcpy(value, afterKey, n);
  value[n] = '\0';
  TrimRight(value);
}

struct ScanBuffers {
  TextLine line;
  TextLine pattern;
};

// Reads up to and including the section's header line, copying every line read. 0 once
// the header is read, kScanNoSection at the end, or the error of a failed read or write.
int FindSection(TextFile& in, TextFile* out, ScanBuffers& b) {
  for (;;) {
    int r = ReadTextLine(in, b.line);
    if (r == kEndOfText) return kScanNoSection;
    if (r != 0) return r;
    if (out)
      if (int e = WriteText(*out, b.line)) return e;
    // Anything may follow the "]" of a header.
    if (b.line[0] == '[' && StartsNoCase(b.line, b.pattern)) return 0;
  }
}

// Reads up to the found line, copying the lines before it. 0 with the key's position in the
// found line, kScanNoKey, or the error of a failed read or write.
int FindKey(TextFile& in, TextFile* out, const ScanArgs& args, TextLine& line, const char*& at) {
  const bool inSection = HasSection(args.section);
  for (;;) {
    int r = ReadTextLine(in, line);
    if (r == kEndOfText) return kScanNoKey;
    if (r != 0) return r;
    // The next header ends the section; it is not copied, as the scan stops here.
    if (inSection && line[0] == '[') return kScanNoKey;
    at = FindNoCase(line, args.key);
    if (at && !IsCommentLine(line) && KeyNameMatches(args.section, line, args.key)) return 0;
    if (out)
      if (int e = WriteText(*out, line)) return e;
  }
}

// Moves the finished temporary file over path. The new file keeps the old one's hidden and
// system attributes (an edit does not unhide a file) and is marked for archiving, as any
// changed file is; read-only never reaches here.
int PutInPlace(TextFile& in, TextFile& out, const char* temp, const char* path) {
  if (int e = CommitText(out)) return e;
  if (int e = CloseText(out)) return e;
  // The file cannot be replaced while it is still open for reading.
  if (int e = CloseText(in)) return e;
  DWORD old = 0;
  if (int e = GetPathAttributes(path, old)) return e;
  DWORD kept = old & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  if (kept)
    if (int e = SetPathAttributes(temp, kept | FILE_ATTRIBUTE_ARCHIVE)) return e;
  return ReplaceWriteThrough(temp, path);
}

// Gives up an edit: the incomplete temporary file goes, the file itself was never touched.
void Discard(TextFile& in, TextFile& out, const char* temp) {
  AbandonText(out);
  AbandonText(in);
  RemoveFilePath(temp);
}

// Opens path for reading and a new temporary file beside it for writing.
int OpenPair(const char* path, TextFile& in, TextFile& out, char (&temp)[MAX_PATH]) {
  if (int e = OpenTextForRead(path, in)) return e;
  if (int e = MakeTempPathBeside(path, temp)) return e;
  return CreateTextExclusive(temp, out);
}

int WriteLine(TextFile& out, const char* line) {
  if (int e = WriteText(out, line)) return e;
  return WriteText(out, "\n");
}

int AddLineThroughTemp(const char* path, const char* line, int where) {
  TextFile in, out;
  char temp[MAX_PATH];
  if (int e = OpenPair(path, in, out, temp)) return e;
  DWORD attributes = 0;
  int r = QueryTextAttributes(in, attributes);
  if (r == 0 && (attributes & FILE_ATTRIBUTE_READONLY)) r = kScanReadOnly;
  // Any place but the start is the end: a line is never dropped.
  const bool first = where == kAtStart;
  if (r == 0 && first) r = WriteLine(out, line);
  if (r == 0) r = CopyRest(in, out);
  // A last line without a newline gets one, so that the new line does not join it.
  if (r == 0 && !first && !in.lastLineEnded) r = WriteText(out, "\n");
  if (r == 0 && !first) r = WriteLine(out, line);
  if (r == 0) r = PutInPlace(in, out, temp, path);
  if (r != 0) Discard(in, out, temp);
  return r;
}

}  // namespace

bool IsTextSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

void TrimRight(char* s) {
  size_t n = strlen(s);
  while (n > 0 && IsTextSpace(s[n - 1])) s[--n] = '\0';
}

const char* FindNoCase(const char* s, const char* t) {
  if (!*t) return s;
  // Every line of a file passes through here: test the first character before the rest,
  // a letter in either case with one comparison. The end of s cannot be overrun, since its
  // NUL differs from every character of t.
  const size_t n = strlen(t);
  const char first = *t;
  if (IsAsciiLetter(first)) {
    const char lower = LowerAscii(first);
    for (const char* p = s; *p; ++p)
      if (char(*p | kCaseBit) == lower && SameNoCase(p + 1, t + 1, n - 1)) return p;
  } else {
    for (const char* p = s; *p; ++p)
      if (*p == first && SameNoCase(p + 1, t + 1, n - 1)) return p;
  }
  return nullptr;
}

char* FindNoCase(char* s, const char* t) { return const_cast<char*>(FindNoCase(static_cast<const char*>(s), t)); }

const char* FindLastNoCase(const char* s, const char* t) {
  size_t ls = strlen(s), lt = strlen(t);
  if (lt > ls) return nullptr;
  for (size_t i = ls - lt + 1; i-- > 0;)
    if (SameNoCase(s + i, t, lt)) return s + i;
  return nullptr;
}

char* FindLastNoCase(char* s, const char* t) {
  return const_cast<char*>(FindLastNoCase(static_cast<const char*>(s), t));
}

bool IsCommentLine(const char* line) {
  if (line[0] == ';') return true;
  if (!StartsNoCase(line, "REM")) return false;
  return StartsNoCase(line, "REMARK") || IsTextSpace(line[3]);
}

bool KeyNameMatches(const char* section, const char* line, const char* key) {
  if (!HasSection(section)) return true;
  const char* eq = strchr(line, '=');
  if (!eq) return true;
  // Only trailing white space goes: an indented name is not the key.
  size_t n = size_t(eq - line);
  while (n > 0 && IsTextSpace(line[n - 1])) --n;
  return n == strlen(key) && SameNoCase(line, key, n);
}

int ScanTextFile(TextFile& in, TextFile* out, ScanArgs& args) {
  args.value[0] = '\0';
  const bool inSection = HasSection(args.section);
  if (strlen(args.key) > kMaxKey || (inSection && strlen(args.section) > kMaxSection)) return kScanLineTooLong;
  std::unique_ptr<ScanBuffers> b(new (std::nothrow) ScanBuffers);
  if (!b) return kScanNoMemory;

  if (out) {
    DWORD attributes = 0;
    if (int e = QueryTextAttributes(in, attributes)) return e;
    if (attributes & FILE_ATTRIBUTE_READONLY) return kScanReadOnly;
  }
  if (inSection) {
    b->pattern[0] = '[';
    memcpy(b->pattern + 1, args.section, strlen(args.section) + 1);
    AppendText(b->pattern, "]");
    if (int r = FindSection(in, out, *b)) return r;
  }
  const char* at = nullptr;
  if (int r = FindKey(in, out, args, b->line, at)) return r;
  TakeValue(at + strlen(args.key), args.value);
  if (!out) return kScanFound;

  if (args.mode == kValueFilter && !FindNoCase(args.value, args.textA)) {
    // Found, but not with that value: left as it is.
    if (int e = WriteText(*out, b->line)) return e;
  } else if (args.editor) {
    if (int e = args.editor(in, *out, b->line, args.value, args.textA, args.textB, args.mode)) return e;
  } else {
    // Without an editor the scan changes nothing: the line stays.
    if (int e = WriteText(*out, b->line)) return e;
  }
  return CopyRest(in, *out);
}

int ScanTextFileAt(const char* path, ScanArgs& args) {
  args.value[0] = '\0';
  TextFile in;
  if (int e = OpenTextForRead(path, in)) return e;
  return ScanTextFile(in, nullptr, args);
}

int RewriteThroughTemp(const char* path, ScanArgs& args) {
  args.value[0] = '\0';
  TextFile in, out;
  char temp[MAX_PATH];
  if (int e = OpenPair(path, in, out, temp)) return e;
  int r = ScanTextFile(in, &out, args);
  if (r == kScanFound) r = PutInPlace(in, out, temp, path);
  if (r != kScanFound) Discard(in, out, temp);
  return r;
}

int AddLineToFile(const char* path, char* line, size_t size, int where) {
  if (!memchr(line, '\0', size)) return EINVAL;
  // The line and its newline are written separately, so the caller's buffer needs no room
  // for the newline; it is trimmed afterwards all the same, on every path.
  int r = AddLineThroughTemp(path, line, where);
  TrimRight(line);
  return r;
}
