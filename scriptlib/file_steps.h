// Steps every file function takes alike: joining a found name to its directory, and
// journalling a change when the current package asks for undo.
#pragma once
#include <stddef.h>
#include <windows.h>

#include "undo_journal.h"

// Search masks: the directory bit lets directory entries through.
constexpr unsigned kSearchFiles = 0;
constexpr unsigned kSearchWithDirectories = FILE_ATTRIBUTE_DIRECTORY;

// directory joined with name into out. A path that does not fit is reported (161, the path
// the agent cannot work with) and false: never a shorter path, which would be another file.
bool JoinPath(char* out, size_t size, const char* directory, const char* name);
template <size_t N>
bool JoinPath(char (&out)[N], const char* directory, const char* name) {
  return JoinPath(out, N, directory, name);
}

// Journals one change of path (target: where a move goes) when the current package asks for
// undo. 0 lets the caller go on; otherwise the record's result, already reported with the
// path unless it is -1. The caller then stops and fails with kMsgUndoFailedIn.
int JournalChange(UndoKind kind, const char* path, const char* target = nullptr);
