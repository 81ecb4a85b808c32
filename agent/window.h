// The status window and the prompts. Everything here runs on the window's own thread.
#pragma once
#include <windows.h>

#include "status_window.h"

enum {
  IDD_MAIN = 1, IDD_PROMPT = 2,
  IDI_PROGRAM = 102,
  IDC_RESULTS = 101, IDC_PROMPT_TEXT = 102, IDC_PROMPT_EDIT = 101,
  IDC_TITLE = 200, IDC_TITLE2 = 201, IDC_NODE = 202, IDC_SERVER = 203, IDC_LOGIN = 204,
  IDC_FROM = 206, IDC_TO = 207, IDC_ACTION = 208, IDC_PROGRESS = 300, IDC_CLOSE = 6,
};

constexpr UINT WM_PLX_RUN = WM_USER + 107;  // 1131: start the run

INT_PTR CALLBACK MainDialogProc(HWND dlg, UINT msg, WPARAM wParam, LPARAM lParam);
// Makes the agent's dialog (gContext.hMainDlg) the status window the other rooms talk to.
void InstallStatusWindow();
// The results box holds a whole run: its limit is raised far past the control's default of
// about 30,000 characters. Should a run still fill it, the oldest lines give way, never the
// newest text.
constexpr int kResultsBoxLimit = 4 * 1024 * 1024;
void PrepareResultsBox(HWND box, int limit = kResultsBoxLimit);
void AppendToResultsBox(HWND box, const char* text, int limit = kResultsBoxLimit);
void CompactPathToFit(HWND control, const char* path);
// Pure part of the compaction, for a control that holds n characters.
void CompactPath(const char* path, int n, char* out, size_t size);
