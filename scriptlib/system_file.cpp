#include "system_file.h"

#include <string.h>

#include "agent_codes.h"
#include "bounded_text.h"
#include "messages.h"
#include "script_platform.h"
#include "undo_journal.h"

char SystemFilePath[kSystemFilePathSize] = "";

namespace {
constexpr int kJournalAlreadyReported = -1;
constexpr int kRecordIntoHistory = 1;
}  // namespace

KeptSystemFile::KeptSystemFile() { CopyText(szPath, SystemFilePath); }

void KeptSystemFile::PutBack() const { CopyText(SystemFilePath, szPath); }

int JournalFileChange(const char* path) {
  if (!(CurrentPackageOptions() & kOptionJournal)) return 0;
  char buffer[kUndoBufferSize] = {};
  // A path too long for the journal's half of the buffer is refused by the journal itself.
  CopyText(buffer, path);
  int rc = UndoRecord(UndoKind::ModifyFile, buffer);
  if (rc == 0) return 0;
  if (rc != kJournalAlreadyReported) ReportMessage(kRecordIntoHistory, uint32_t(rc), path);
  return kMsgUndoFailedIn;
}

void UpperCaseText(char* text) {
  for (; *text; ++text)
    if (*text >= 'a' && *text <= 'z') *text = char(*text - 'a' + 'A');
}
