// The undo journal of a package installed with kOptionJournal: before a change is made to a
// file or directory, UndoRecord writes what puts it back into PLXUNDO.CFG (newest line on
// top), keeping copies of files in PLXUNDO.SAV, both in the root of the boot drive. A
// completed package commits (the copies go), a failed one rolls back, newest change first.
//
// Results are 0 or a message number; the journal's own failures are reported by the caller
// (UndoInit, UndoRecord) or here (UndoCommit, UndoRollback's walk).
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <windows.h>

// The kinds below carry the names of two Win32 macros; the agent calls the A functions by
// their own names.
#undef DeleteFile
#undef MoveFile

enum class UndoKind : int {
  ModifyFile = 0,     // 0=path,copy
  AddFile = 1,        // 1=path
  DeleteFile = 2,     // 2=path,copy
  RemoveDir = 3,      // 3=path
  SetAttributes = 4,  // 4=path,0xHHHHHHHH
  AddDir = 5,         // 5=path
  MoveFile = 6,       // 6=from,to
};

// Each half of the caller's buffer holds one path: the changed path in the first, the
// target of a move (kind 6) or the saved copy UndoRecord made (kinds 1, 2) in the second.
constexpr size_t kUndoPathSize = 255;
constexpr size_t kUndoBufferSize = 2 * kUndoPathSize;
// The longest journal line read back, trailing white space included.
constexpr size_t kUndoLineChars = 520;

// The journal's messages.
enum UndoMessage : uint32_t {
  kMsgNoBootDrive = 101,
  kMsgUndoInit = 133,
  kMsgUndoAddEntry = 134,
  kMsgUndoCommit = 135,
  kMsgUndoBackup = 136,
  kMsgUndoMove = 137,
  kMsgUndoAttributes = 138,
  kMsgUndoCorrupt = 139,
  kMsgUndoRestoreFile = 140,
  kMsgUndoRemoveFile = 141,
  kMsgUndoRecreateDir = 142,
  kMsgUndoRestoreAttributes = 143,
  kMsgUndoRemoveDir = 144,
  kMsgUndoFailedIn = 158,  // the script functions' "Undo failed in function: %s"
};

// One parsed journal line.
struct UndoEntry {
  int kind = 0;
  char szPath[kUndoPathSize + 1] = {};
  char szSecond[kUndoPathSize + 1] = {};
};

// Creates or empties the journal: 0, 101 or 133.
int UndoInit();
// Journals a change before it is made: 0, 101 or the record's failure (134-138).
int UndoRecord(UndoKind kind, char* pathBuffer, size_t size);
template <size_t N>
int UndoRecord(UndoKind kind, char (&pathBuffer)[N]) {
  static_assert(N >= kUndoBufferSize, "the journal takes two paths");
  return UndoRecord(kind, pathBuffer, N);
}
// Discards the journal and the copies; problems are reported here.
void UndoCommit();
// Undoes every journalled change, newest first: 0, 101 or 133.
int UndoRollback();

// Splits a line (trailing white space is cut first) into kind, path and second field. False
// for a line without a path after its kind: the journal is corrupt from there on.
bool ParseUndoLine(const char* line, UndoEntry& entry);
// "C:\PLXUNDO.CFG" and "C:\PLXUNDO.SAV" on the boot drive; false when it is unknown.
bool UndoJournalPath(char* out, size_t size);
bool UndoSaveDirectory(char* out, size_t size);
template <size_t N>
bool UndoJournalPath(char (&out)[N]) {
  return UndoJournalPath(out, N);
}
template <size_t N>
bool UndoSaveDirectory(char (&out)[N]) {
  return UndoSaveDirectory(out, N);
}
