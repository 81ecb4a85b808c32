#include "status_window.h"

#include "bounded_text.h"
#include "run_state.h"

namespace {

constexpr size_t kMaxResultsText = 511;
constexpr size_t kQuestionSize = 144;

const StatusWindow* gWindow = nullptr;

}  // namespace

void SetStatusWindow(const StatusWindow* services) { gWindow = services; }
const StatusWindow* CurrentStatusWindow() { return gWindow; }

void PumpMessages() {
  if (gWindow && gWindow->pumpMessages) gWindow->pumpMessages();
}

void ToResultsText(const char* text, char* out, size_t size) {
  if (size == 0) return;
  const size_t limit = size - 1 < kMaxResultsText ? size - 1 : kMaxResultsText;
  size_t n = 0;
  bool sawLineFeed = false;
  for (const char* p = text; *p && n < limit; ++p) {
    if (*p == '\n') {
      sawLineFeed = true;
      if (n + 2 > limit) break;
      out[n++] = '\r';
    }
    out[n++] = *p;
  }
  if (!sawLineFeed && n + 2 <= limit) {
    out[n++] = '\r';
    out[n++] = '\n';
  }
  out[n] = '\0';
}

void AppendResultsText(const char* text) {
  if (!text || !gWindow || !gWindow->appendResults) return;
  char out[kMaxResultsText + 1];
  ToResultsText(text, out, sizeof out);
  gWindow->appendResults(out);
}

void ShowMessageBox(const char* caption, const char* text) {
  if (gOptions.bSilent || !gWindow || !gWindow->showMessageBox) return;
  gWindow->showMessageBox(caption, text);
}

bool AskYesNo(const char* question, const char* detail, const char* caption) {
  if (gOptions.bSilent) return true;
  if (!gWindow || !gWindow->askYesNo) return false;
  char text[kQuestionSize];
  FormatText(text, "%s (%s)", question, detail);
  return gWindow->askYesNo(text, caption);
}

bool PromptForText(const char* prompt, char* buffer, const char* title, int size) {
  if (gOptions.bSilent || size <= 0 || !gWindow || !gWindow->promptForText) return false;
  return gWindow->promptForText(prompt, buffer, title, size);
}

void ProgressStart() {
  if (gWindow && gWindow->progressStart) gWindow->progressStart();
}

void ProgressReset() {
  if (gWindow && gWindow->progressReset) gWindow->progressReset();
}

void ProgressSet(int percent) {
  if (gWindow && gWindow->progressSet) gWindow->progressSet(percent);
}

void ShowFileStatus(const char* action, const char* from, const char* to) {
  if (gWindow && gWindow->showFileStatus) gWindow->showFileStatus(action, from, to);
}
