// The journal as a file: where it lives, reading it back line by line, parsing a line,
// making saved-copy names, and putting a shorter journal in place.
#include "journal_file.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "bounded_text.h"
#include "filesys.h"
#include "system_vars.h"
#include "text_engine.h"

namespace {

constexpr int kSavedCopyNames = 1000;  // .000 to .999
constexpr size_t kTempNameChars = 7;    // "$" and six characters, as the text engine makes them
constexpr size_t kRootChars = 3;        // "C:\"

bool OnBootDrive(const char* name, char* out, size_t size) {
  int drive = BootDriveNumber();
  if (drive < 1 || drive > 26) return false;
  return FormatText(out, size, "%c:\\%s", char('A' + drive - 1), name);
}

// Copies the field from s up to the first stop character (or the end) into out; false when
// it does not fit. Returns where the field ended through end.
bool TakeField(const char* s, char stop, char (&out)[kUndoPathSize + 1], const char** end) {
  const char* e = strchr(s, stop);
  size_t n = e ? size_t(e - s) : strlen(s);
  *end = s + n;
  if (n > kUndoPathSize) return false;
  memcpy(out, s, n);
  out[n] = '\0';
  return true;
}

}  // namespace

bool UndoJournalPath(char* out, size_t size) { return OnBootDrive("PLXUNDO.CFG", out, size); }
bool UndoSaveDirectory(char* out, size_t size) { return OnBootDrive("PLXUNDO.SAV", out, size); }

bool ParseUndoLine(const char* text, UndoEntry& entry) {
  entry = UndoEntry{};
  char line[kUndoLineChars + 1];
  CopyText(line, text);
  TrimRight(line);
  const char* eq = strchr(line, '=');
  if (!eq) return false;
  // The kind is the number the text before "=" starts with; anything else counts as 0.
  entry.kind = atoi(line);
  const char* end = nullptr;
  // A path too long for the entry would be acted on cut: the line counts as corrupt.
  if (!TakeField(eq + 1, ',', entry.szPath, &end) || entry.szPath[0] == '\0') return false;
  if (*end == ',' && !TakeField(end + 1, ',', entry.szSecond, &end)) return false;
  return true;
}

int ReadJournalLines(const char* path, std::vector<std::string>& lines) {
  lines.clear();
  TextFile in;
  if (int e = OpenTextForRead(path, in)) return e;
  std::string current;
  for (;;) {
    TextLine piece;
    int r = ReadTextLine(in, piece);
    if (r == kEndOfText) break;
    if (r != 0) return r;
    current += piece;
    // A line is read back up to its newline, at most kUndoLineChars at a time.
    if (in.lastLineEnded || current.size() >= kUndoLineChars) {
      lines.push_back(current);
      current.clear();
    }
  }
  if (!current.empty()) lines.push_back(current);
  return CloseText(in);
}

int WriteJournalLines(const char* path, const std::vector<std::string>& lines, size_t from) {
  char temp[MAX_PATH];
  if (int e = MakeTempPathBeside(path, temp)) return e;
  std::string text;
  for (size_t i = from; i < lines.size(); ++i) {
    text += lines[i];
    if (text.empty() || text.back() != '\n') text += '\n';
  }
  TextFile out;
  int e = CreateTextExclusive(temp, out);
  if (e != 0) return e;
  if (!text.empty()) e = WriteText(out, text.c_str());
  if (e == 0) e = CommitText(out);
  int closed = CloseText(out);
  if (e == 0) e = closed;
  if (e == 0) e = ReplaceWriteThrough(temp, path);
  if (e != 0) RemoveFilePath(temp);
  return e;
}

int JournalHasEntry(const char* journal, UndoKind kind, const char* path, bool* found) {
  *found = false;
  char needle[kUndoPathSize + 8];
  if (!FormatText(needle, "%d=%s", int(kind), path)) return ENAMETOOLONG;
  std::vector<std::string> lines;
  if (int e = ReadJournalLines(journal, lines)) return e;
  for (const std::string& line : lines)
    if (FindNoCase(line.c_str(), needle)) *found = true;
  return 0;
}

int MakeSavedCopyName(const char* path, char* out, size_t size) {
  char dir[MAX_PATH];
  if (!UndoSaveDirectory(dir)) return ENOENT;
  MakeDirectoryAt(dir);  // an existing one is fine, and a failure shows at the copy or move
  const char* name = path;
  for (const char* p = path; *p; ++p)
    if (*p == '\\' || *p == '/' || *p == ':') name = p + 1;
  const char* dot = strrchr(name, '.');
  int baseChars = int(dot ? size_t(dot - name) : strlen(name));
  for (int n = 0; n < kSavedCopyNames; ++n) {
    if (!FormatText(out, size, "%s\\%.*s.%03d", dir, baseChars, name, n)) return ENAMETOOLONG;
    DWORD attributes = 0;
    int e = GetPathAttributes(out, attributes);
    if (e == ENOENT) return 0;
    // Only a name known to be free is taken: a copy never overwrites another line's copy.
    if (e != 0) return e;
  }
  // Left to us: with all 1,000 names of this base name taken, the change is not journalled
  // and the caller fails, rather than overwrite a copy that another line still restores.
  return EEXIST;
}

void RemoveJournalLeftovers(const char* journal) {
  char pattern[MAX_PATH];
  if (!FormatText(pattern, "%.*s$*", int(kRootChars), journal)) return;
  std::vector<std::string> names;
  FileSearchRecord search;
  for (int r = StartFileSearch(pattern, 0, search); r == 0; r = NextFileSearch(search))
    if (strlen(search.name) == kTempNameChars) names.push_back(search.name);
  EndFileSearch(search);
  for (const std::string& name : names) {
    char path[MAX_PATH];
    if (!FormatText(path, "%.*s%s", int(kRootChars), journal, name.c_str())) continue;
    std::vector<std::string> lines;
    UndoEntry entry;
    // Only a file that reads as a journal (or holds nothing yet) is taken for one.
    if (ReadJournalLines(path, lines) == 0 && (lines.empty() || ParseUndoLine(lines[0].c_str(), entry)))
      RemoveFilePath(path);
  }
}
