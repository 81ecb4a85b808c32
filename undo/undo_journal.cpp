// Recording, committing and rolling back. Every file operation goes through the text
// engine's file seam, so a test can fail each one in turn.
//
// Why a kill at any instant can be rolled back:
// - A line is on disk before the change it describes: the journal is only ever replaced
//   whole by a committed file moved over it (AddLineToFile, WriteJournalLines).
// - A file is only copied or moved into the save directory, never changed there, and a copy
//   is named by a line only once it is complete (kinds 0 and 2: copy, then line). A kill
//   between the two leaves an unnamed copy in the save directory and the file untouched.
// - Adding over an existing file (kind 1) writes "6=path,copy" first, then moves the file
//   aside, then writes "1=path". Killed before the move: rollback finds no copy and a file
//   in place, and leaves it. Killed after it: the move is undone. Killed after "1=": the new
//   file is deleted, then the old one moved back.
// - Rollback is safe to repeat from the top after a stop anywhere: a missing file to delete
//   is fine, a move whose source is gone while its target is in place was done, a directory
//   to make that exists or to remove that is gone is done. A file added over another ("1="
//   on its "6=" line) is undone as one step, only while its moved-aside copy is there. What
//   a repeat could spoil is dropped from the journal once done: a restored copy (kind 0, its
//   copy is gone), and an added file whose path an older line restores, which a repeat would
//   delete again after that restore.
// - A stop while the journal itself was rewritten leaves its temporary file in the root;
//   init, commit and rollback remove such files.
// - Commit takes the journal away before the copies: a kill in between leaves unnamed copies,
//   never a journal that would undo part of a completed package.
#include "undo_journal.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "bounded_text.h"
#include "journal_file.h"
#include "messages.h"
#include "text_engine.h"

namespace {

// The attributes a saved copy carries for the file it stands for.
constexpr DWORD kCarriedAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
constexpr char kSaveDirName[] = "PLXUNDO.SAV";
constexpr int kNothingToSave = -1;  // the file to save went away: nothing to journal

// 0 when path exists, ENOENT when it does not, or the error that hid the answer.
int Probe(const char* path, DWORD* attributes = nullptr) {
  DWORD a = 0;
  int e = GetPathAttributes(path, a);
  if (attributes) *attributes = a;
  return e;
}

// 0 when path is an existing file, ENOENT when there is none (or a directory is there), or
// the error that hid the answer: a file that may exist is never taken for a missing one.
int FileState(const char* path) {
  DWORD a = 0;
  int e = Probe(path, &a);
  return (e == 0 && (a & FILE_ATTRIBUTE_DIRECTORY)) ? ENOENT : e;
}

// A read-only or hidden file is removed all the same; 0, ENOENT or the failure.
int RemoveAnyFile(const char* path) {
  SetPathAttributes(path, FILE_ATTRIBUTE_NORMAL);
  return RemoveFilePath(path);
}

// Gives to the carried attributes of from.
int CarryAttributes(const char* from, const char* to) {
  DWORD a = 0;
  if (int e = GetPathAttributes(from, a)) return e;
  return (a & kCarriedAttributes) ? SetPathAttributes(to, a & kCarriedAttributes) : 0;
}

// One half of the caller's buffer as a path; false when it is not terminated within it.
bool HalfOf(const char* half, char (&out)[kUndoPathSize + 1]) {
  size_t n = strnlen(half, kUndoPathSize);
  if (n == kUndoPathSize) return false;
  memcpy(out, half, n);
  out[n] = '\0';
  return true;
}

int AddJournalLine(const char* journal, UndoKind kind, const char* path, const char* second) {
  char line[kUndoLineChars + 2];
  bool fits = second ? FormatText(line, "%d=%s,%s", int(kind), path, second)
                     : FormatText(line, "%d=%s", int(kind), path);
  if (!fits || AddLineToFile(journal, line, kAtStart) != 0) return kMsgUndoAddEntry;
  return 0;
}

// Copies path to a new saved-copy name: 0, kNothingToSave, or 136.
int SaveCopy(const char* path, char (&copy)[MAX_PATH]) {
  if (MakeSavedCopyName(path, copy) != 0) return kMsgUndoBackup;
  int e = CopyFileThrough(copy, path);
  if (e == ERROR_FILE_NOT_FOUND) return kNothingToSave;
  if (e == 0 && CarryAttributes(path, copy) == 0) return 0;
  if (e == 0) RemoveAnyFile(copy);  // a copy that lost the attributes would restore wrongly
  return kMsgUndoBackup;
}

// Kinds 0 and 2: a saved copy, then its line. A copy whose line failed is not kept.
int RecordWithCopy(const char* journal, UndoKind kind, const char* path, char (&copy)[MAX_PATH]) {
  if (int e = FileState(path)) return e == ENOENT ? kNothingToSave : int(kMsgUndoBackup);
  int r = SaveCopy(path, copy);
  if (r != 0) return r;
  r = AddJournalLine(journal, kind, path, copy);
  if (r != 0) RemoveAnyFile(copy);
  return r;
}

int RecordAddFile(const char* journal, const char* path, char (&copy)[MAX_PATH]) {
  if (int e = FileState(path)) {
    if (e != ENOENT) return kMsgUndoMove;
    return AddJournalLine(journal, UndoKind::AddFile, path, nullptr);
  }
  if (MakeSavedCopyName(path, copy) != 0) return kMsgUndoMove;
  if (int r = AddJournalLine(journal, UndoKind::MoveFile, path, copy)) return r;
  if (RenameFileTo(path, copy) != 0) return kMsgUndoMove;
  return AddJournalLine(journal, UndoKind::AddFile, path, nullptr);
}

int RecordAttributes(const char* journal, const char* path) {
  bool found = false;
  if (JournalHasEntry(journal, UndoKind::SetAttributes, path, &found) != 0) return kMsgUndoAddEntry;
  if (found) return 0;  // the first recorded value is the one to restore
  DWORD a = 0;
  if (GetPathAttributes(path, a) != 0) return kMsgUndoAttributes;
  char value[16];
  FormatText(value, "0x%08X", unsigned(a));
  return AddJournalLine(journal, UndoKind::SetAttributes, path, value);
}

// A move back from a saved copy (kinds 2 and 6). One whose source is gone while its target
// is in place was done by an earlier rollback stopped before it dropped the line.
void MoveBack(const char* from, const char* to) {
  if (RenameFileTo(from, to) == 0) return;
  if (Probe(from) == ENOENT && Probe(to) == 0) return;
  ReportMessage(1, kMsgUndoRemoveFile, to);
}

void RestoreCopy(const UndoEntry& entry) {
  const char* path = entry.szPath;
  const char* copy = entry.szSecond;
  if (Probe(copy) != 0) {
    // Nothing to restore from: the file is left as it is.
    ReportMessage(1, kMsgUndoRestoreFile, path);
    return;
  }
  int e = RemoveAnyFile(path);
  if ((e != 0 && e != ENOENT) || CopyFileThrough(path, copy) != 0 || CarryAttributes(copy, path) != 0) {
    ReportMessage(1, kMsgUndoRestoreFile, path);  // the copy stays, and so does the save directory
    return;
  }
  RemoveAnyFile(copy);
}

void RollBackEntry(const UndoEntry& entry) {
  const char* path = entry.szPath;
  switch (UndoKind(entry.kind)) {
    case UndoKind::ModifyFile: RestoreCopy(entry); break;
    case UndoKind::AddFile: RemoveAnyFile(path); break;  // a file already gone is fine
    case UndoKind::DeleteFile: MoveBack(entry.szSecond, path); break;
    case UndoKind::RemoveDir: {
      int e = MakeDirectoryAt(path);
      DWORD a = 0;
      if (e != 0 && !(e == EEXIST && Probe(path, &a) == 0 && (a & FILE_ATTRIBUTE_DIRECTORY)))
        ReportMessage(1, kMsgUndoRecreateDir, path);
      break;
    }
    case UndoKind::SetAttributes:
      if (SetPathAttributes(path, DWORD(strtoul(entry.szSecond, nullptr, 16))) != 0)
        ReportMessage(1, kMsgUndoRestoreAttributes, path);
      break;
    case UndoKind::AddDir: {
      int e = RemoveDirectoryAt(path);
      if (e != 0 && e != ENOENT) ReportMessage(1, kMsgUndoRemoveDir, path);
      break;
    }
    case UndoKind::MoveFile: MoveBack(entry.szSecond, path); break;
  }
  // Any other kind is skipped.
}

bool SamePath(const char* a, const char* b) { return _stricmp(a, b) == 0; }

// "1=path" on top of "6=path,copy": a file added over one moved aside into the save
// directory.
bool AddedOverMovedAside(const UndoEntry& added, const UndoEntry& moved) {
  return UndoKind(added.kind) == UndoKind::AddFile && UndoKind(moved.kind) == UndoKind::MoveFile &&
         SamePath(added.szPath, moved.szPath) && FindNoCase(moved.szSecond, kSaveDirName);
}

// Undone only while the copy is there: once it was moved back, the file in place is the old
// one.
void RollBackAddedOver(const UndoEntry& moved) {
  const char* path = moved.szPath;
  const char* copy = moved.szSecond;
  int e = Probe(copy);
  if (e == ENOENT) {
    if (Probe(path) != 0) ReportMessage(1, kMsgUndoRemoveFile, path);
    return;
  }
  RemoveAnyFile(path);  // a failure shows at the move
  MoveBack(copy, path);
}

// Whether a line below `at` puts the file at its path back.
bool RestoredBelow(const std::vector<UndoEntry>& entries, size_t at) {
  for (size_t j = at + 1; j < entries.size(); ++j) {
    UndoKind k = UndoKind(entries[j].kind);
    if ((k == UndoKind::ModifyFile || k == UndoKind::DeleteFile || k == UndoKind::MoveFile) &&
        SamePath(entries[j].szPath, entries[at].szPath))
      return true;
  }
  return false;
}

void CommitEntry(const UndoEntry& entry) {
  switch (UndoKind(entry.kind)) {
    case UndoKind::ModifyFile:
    case UndoKind::DeleteFile: RemoveAnyFile(entry.szSecond); break;
    case UndoKind::MoveFile:
      if (FindNoCase(entry.szSecond, kSaveDirName)) RemoveAnyFile(entry.szSecond);
      break;
    default: break;
  }
}

// The journal's lines parsed from the top; false when a line is corrupt (the entries above
// it are kept).
bool ParseJournal(const std::vector<std::string>& lines, std::vector<UndoEntry>& entries) {
  entries.clear();
  for (const std::string& line : lines) {
    UndoEntry entry;
    if (!ParseUndoLine(line.c_str(), entry)) return false;
    entries.push_back(entry);
  }
  return true;
}

void RemoveSaveDirectory() {
  char dir[MAX_PATH];
  if (UndoSaveDirectory(dir)) RemoveDirectoryAt(dir);  // only goes when empty
}

}  // namespace

int UndoInit() {
  char journal[MAX_PATH];
  if (!UndoJournalPath(journal)) return kMsgNoBootDrive;
  RemoveJournalLeftovers(journal);
  int e = RemoveAnyFile(journal);
  if (e != 0 && e != ENOENT) return kMsgUndoInit;
  TextFile file;
  if (CreateTextExclusive(journal, file) != 0) return kMsgUndoInit;
  e = CommitText(file);
  int closed = CloseText(file);
  return (e != 0 || closed != 0) ? int(kMsgUndoInit) : 0;
}

int UndoRecord(UndoKind kind, char* buffer, size_t size) {
  char journal[MAX_PATH];
  if (!UndoJournalPath(journal)) return kMsgNoBootDrive;
  char path[kUndoPathSize + 1], second[kUndoPathSize + 1] = {};
  if (size < kUndoBufferSize || !HalfOf(buffer, path)) return kMsgUndoAddEntry;
  if (kind == UndoKind::MoveFile && !HalfOf(buffer + kUndoPathSize, second)) return kMsgUndoAddEntry;
  // The reader splits a line at ',': such a path would be restored somewhere else.
  if (strchr(path, ',') || strchr(second, ',')) return kMsgUndoAddEntry;

  char copy[MAX_PATH] = {};
  int r = 0;
  switch (kind) {
    case UndoKind::ModifyFile: {
      bool found = false;
      if (JournalHasEntry(journal, kind, path, &found) != 0) return kMsgUndoAddEntry;
      if (found) return 0;  // the first copy is the one to restore
      r = RecordWithCopy(journal, kind, path, copy);
      // A file not there yet is one the change creates (an INI file written from nothing):
      // journalled as added, so that a rollback removes it.
      if (r == kNothingToSave && path[0]) r = AddJournalLine(journal, UndoKind::AddFile, path, nullptr);
      break;
    }
    case UndoKind::AddFile: r = RecordAddFile(journal, path, copy); break;
    case UndoKind::DeleteFile: r = RecordWithCopy(journal, kind, path, copy); break;
    case UndoKind::RemoveDir:
    case UndoKind::AddDir: r = AddJournalLine(journal, kind, path, nullptr); break;
    case UndoKind::SetAttributes: r = RecordAttributes(journal, path); break;
    case UndoKind::MoveFile: r = AddJournalLine(journal, kind, path, second); break;
  }
  if (r == kNothingToSave) return 0;
  if ((kind == UndoKind::AddFile || kind == UndoKind::DeleteFile) && copy[0])
    CopyText(buffer + kUndoPathSize, kUndoPathSize, copy);
  return r;
}

void UndoCommit() {
  char journal[MAX_PATH];
  std::vector<std::string> lines;
  if (UndoJournalPath(journal)) RemoveJournalLeftovers(journal);
  if (!UndoJournalPath(journal) || ReadJournalLines(journal, lines) != 0) {
    ReportMessage(1, kMsgUndoCommit);
    return;
  }
  std::vector<UndoEntry> entries;
  bool whole = ParseJournal(lines, entries);
  // The journal goes first: once it is gone, nothing can undo part of a completed package.
  int e = RemoveAnyFile(journal);
  if (e != 0 && e != ENOENT) {
    ReportMessage(1, kMsgUndoCommit);
    return;
  }
  for (const UndoEntry& entry : entries) CommitEntry(entry);
  if (!whole) ReportMessage(1, kMsgUndoCorrupt);
  RemoveSaveDirectory();
}

int UndoRollback() {
  char journal[MAX_PATH];
  if (!UndoJournalPath(journal)) return kMsgNoBootDrive;
  RemoveJournalLeftovers(journal);
  std::vector<std::string> lines;
  if (ReadJournalLines(journal, lines) != 0) return kMsgUndoInit;
  std::vector<UndoEntry> entries;
  bool whole = ParseJournal(lines, entries);
  for (size_t i = 0; i < entries.size(); ++i) {
    const UndoEntry& entry = entries[i];
    if (i + 1 < entries.size() && AddedOverMovedAside(entry, entries[i + 1])) {
      RollBackAddedOver(entries[++i]);
      continue;
    }
    RollBackEntry(entry);
    UndoKind kind = UndoKind(entry.kind);
    // If the journal cannot be shortened, the walk goes on all the same.
    if (kind == UndoKind::ModifyFile || (kind == UndoKind::AddFile && RestoredBelow(entries, i)))
      WriteJournalLines(journal, lines, i + 1);
  }
  if (!whole) ReportMessage(1, kMsgUndoCorrupt);
  RemoveAnyFile(journal);
  RemoveSaveDirectory();
  return 0;
}
