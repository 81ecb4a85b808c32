// The journal file itself, below the record, commit and rollback walks. Every operation goes
// through the text engine's file seam; results are 0 or the error number of what failed.
#pragma once
#include <stddef.h>

#include <string>
#include <vector>

#include "undo_journal.h"

// Every line of the journal, newest first, each as read (with its newline).
int ReadJournalLines(const char* path, std::vector<std::string>& lines);
// Puts a journal of lines[from..] in path's place: written beside it, committed, then moved
// over it, so that the journal is never seen half-written.
int WriteJournalLines(const char* path, const std::vector<std::string>& lines, size_t from);
// Whether a line holds "kind=path" (ignoring case).
int JournalHasEntry(const char* journal, UndoKind kind, const char* path, bool* found);
// A free saved-copy name for path in the save directory (made first): base name, then
// .000, .001, ... up to .999.
int MakeSavedCopyName(const char* path, char* out, size_t size);
template <size_t N>
int MakeSavedCopyName(const char* path, char (&out)[N]) {
  return MakeSavedCopyName(path, out, N);
}
// A stop while the journal was being rewritten leaves the new journal's temporary file
// beside it ("$" and six characters in the root). Such files, recognised by their name and by
// reading as a journal (or being empty), are removed.
void RemoveJournalLeftovers(const char* journal);
