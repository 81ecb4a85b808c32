// What the status window offers the rooms below the agent: results text, the progress bar,
// the file being worked on, prompts, message boxes and the message pump. The window itself
// lives with the agent, which fills in StatusWindow at start-up; a test fills it with a real
// window of its own. An operation left empty does nothing (a question then gets "no").
#pragma once
#include <stddef.h>

struct StatusWindow {
  // Appends text already in the box's form (CR LF line ends) at the end of the results box.
  void (*appendResults)(const char* text);
  void (*progressStart)();
  void (*progressReset)();
  void (*progressSet)(int percent);
  void (*showFileStatus)(const char* action, const char* from, const char* to);
  // The question shown as text in a yes/no box; true for yes.
  bool (*askYesNo)(const char* text, const char* caption);
  // Edits buffer (size bytes, always terminated) in a prompt dialog; false on Cancel, with
  // the buffer as it was.
  bool (*promptForText)(const char* prompt, char* buffer, const char* title, int size);
  void (*showMessageBox)(const char* caption, const char* text);
  void (*pumpMessages)();
};

// The process-wide window; null puts it away. The caller keeps services alive meanwhile.
void SetStatusWindow(const StatusWindow* services);
const StatusWindow* CurrentStatusWindow();

// What the rooms call. /SILENT decides here, so that every window answers alike.
void PumpMessages();
// At most 511 characters of text, each line feed shown as a line end; a text without one
// still ends its line.
void AppendResultsText(const char* text);
void ShowMessageBox(const char* caption, const char* text);
bool AskYesNo(const char* question, const char* detail, const char* caption);
bool PromptForText(const char* prompt, char* buffer, const char* title, int size);
void ProgressStart();
void ProgressReset();
void ProgressSet(int percent);
void ShowFileStatus(const char* action, const char* from, const char* to);

// The results-box form of a text (see AppendResultsText) into out.
void ToResultsText(const char* text, char* out, size_t size);
