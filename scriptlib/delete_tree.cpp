#include "delete_tree.h"

#include <windows.h>

#include "file_steps.h"
#include "filesys.h"

namespace {

constexpr const char* kEverything = "*.*";
// A path too long to join (reported there) fails as the system fails a name too long.
constexpr int kPathTooLong = kClassicNotFound;

// Removes every plain subdirectory of directory. Entries with any bit beside the directory
// bit (hidden, system, read-only folders) are left, and so the directory stays non-empty.
int RemoveSubdirectories(const char* directory, const char* pattern) {
  FileSearchRecord search;
  for (int r = StartFileSearch(pattern, kSearchWithDirectories, search); r == 0; r = NextFileSearch(search)) {
    if (search.attributes != FILE_ATTRIBUTE_DIRECTORY || search.name[0] == '.') continue;
    char sub[MAX_PATH];
    if (!JoinPath(sub, directory, search.name)) return kPathTooLong;
    if (int e = DeleteTree(sub)) return e;
    if (RemoveDirectoryPath(sub) != 0) return nRunTimeError;
    if (JournalChange(UndoKind::RemoveDir, sub) != 0) return kMsgUndoFailedIn;
  }
  return 0;
}

int DeleteFiles(const char* directory, const char* pattern) {
  FileSearchRecord search;
  for (int r = StartFileSearch(pattern, kSearchFiles, search); r == 0; r = NextFileSearch(search)) {
    char path[MAX_PATH];
    if (!JoinPath(path, directory, search.name)) return kPathTooLong;
    if (search.attributes & FILE_ATTRIBUTE_READONLY) {
      // Journalled first, so that a rollback gives the file back read-only, not just its bytes.
      if (JournalChange(UndoKind::SetAttributes, path) != 0) return kMsgUndoFailedIn;
      if (SetAttributes(path, FILE_ATTRIBUTE_NORMAL) != 0) return nRunTimeError;
    }
    if (JournalChange(UndoKind::DeleteFile, path) != 0) return kMsgUndoFailedIn;
    if (DeleteFilePath(path) != 0) return nRunTimeError;
  }
  return 0;
}

}  // namespace

int DeleteTree(const char* directory) {
  char pattern[MAX_PATH];
  if (!JoinPath(pattern, directory, kEverything)) return kPathTooLong;
  if (int e = RemoveSubdirectories(directory, pattern)) return e;
  return DeleteFiles(directory, pattern);
}
