#include "file_steps.h"

#include "agent_codes.h"
#include "bounded_text.h"
#include "messages.h"
#include "paths.h"
#include "script_platform.h"

bool JoinPath(char* out, size_t size, const char* directory, const char* name) {
  if (CopyText(out, size, directory) && AppendPath(out, size, name)) return true;
  // The message shows what the path would have been, as far as its line holds it.
  char shown[2 * MAX_PATH];
  FormatText(shown, "%s\\%s", directory, name);
  ReportMessage(1, kBadPathMessage, shown);
  CopyText(out, size, "");
  return false;
}

int JournalChange(UndoKind kind, const char* path, const char* target) {
  if (!(CurrentPackageOptions() & kOptionJournal)) return 0;
  char buffer[kUndoBufferSize] = {};
  // Each path must fit its half whole; the journal refuses a longer one the same way.
  int r = CopyText(buffer, kUndoPathSize, path) && (!target || CopyText(buffer + kUndoPathSize, kUndoPathSize, target))
              ? UndoRecord(kind, buffer)
              : int(kMsgUndoAddEntry);
  if (r != 0 && r != kResultReported) ReportMessage(1, uint32_t(r), path);
  return r;
}
