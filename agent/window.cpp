#include "window.h"

#include <commctrl.h>
#include <string.h>

#include "agent.h"
#include "bounded_text.h"

namespace {

constexpr UINT_PTR kAutoExitTimer = 1;
constexpr UINT kAutoExitMillis = 5000;

HWND Item(int id) { return gContext.hMainDlg ? GetDlgItem(gContext.hMainDlg, id) : nullptr; }

void RefuseWhileBusy() { Beep(2000, 150); }

void SetCloseEnabled(HWND dlg, bool enabled) {
  EnableWindow(GetDlgItem(dlg, IDC_CLOSE), enabled);
  EnableMenuItem(GetSystemMenu(dlg, FALSE), SC_CLOSE, MF_BYCOMMAND | (enabled ? MF_ENABLED : MF_GRAYED));
}

void OnInitDialog(HWND dlg) {
  HICON icon = LoadIconA(gContext.hInstance, MAKEINTRESOURCEA(IDI_PROGRAM));
  SendMessageA(dlg, WM_SETICON, ICON_SMALL, LPARAM(icon));
  SendMessageA(dlg, WM_SETICON, ICON_BIG, LPARAM(icon));
  gContext.hMainDlg = dlg;
  PrepareResultsBox(GetDlgItem(dlg, IDC_RESULTS));
  AppendResultsText("PLXWIN32 Initializing...\n");
  PostMessageA(dlg, WM_PLX_RUN, 0, 0);
  SetCloseEnabled(dlg, false);
}

void OnRun(HWND dlg) {
  gContext.bBusy = true;
  int rc = AgentRun(__argc, __argv);
  gContext.bBusy = false;
  if (rc != 0 || gOptions.bSilent || gOptions.szOnDemand[0]) {
    DestroyWindow(dlg);
    return;
  }
  SetCloseEnabled(dlg, true);
  if (gOptions.bAutoExit) SetTimer(dlg, kAutoExitTimer, kAutoExitMillis, nullptr);
}

struct PromptState {
  const char* prompt;
  const char* title;
  char* buffer;
  int size;
};

INT_PTR CALLBACK PromptDialogProc(HWND dlg, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_INITDIALOG: {
      auto* st = reinterpret_cast<PromptState*>(lParam);
      SetWindowLongPtrA(dlg, DWLP_USER, lParam);
      SetWindowTextA(dlg, st->title);
      SetDlgItemTextA(dlg, IDC_PROMPT_TEXT, st->prompt);
      SetDlgItemTextA(dlg, IDC_PROMPT_EDIT, st->buffer);
      return TRUE;
    }
    case WM_COMMAND: {
      auto* st = reinterpret_cast<PromptState*>(GetWindowLongPtrA(dlg, DWLP_USER));
      if (LOWORD(wParam) == IDOK) {
        GetDlgItemTextA(dlg, IDC_PROMPT_EDIT, st->buffer, st->size);
        EndDialog(dlg, IDOK);
        return TRUE;
      }
      if (LOWORD(wParam) == IDCANCEL) {
        EndDialog(dlg, IDCANCEL);
        return TRUE;
      }
      break;
    }
  }
  return FALSE;
}

}  // namespace

INT_PTR CALLBACK MainDialogProc(HWND dlg, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_INITDIALOG:
      OnInitDialog(dlg);
      return FALSE;  // focus stays off the results box
    case WM_PLX_RUN:
      OnRun(dlg);
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL || LOWORD(wParam) == IDC_CLOSE) {
        // Escape or Enter during the run must not tear the window down under it.
        if (gContext.bBusy)
          RefuseWhileBusy();
        else
          DestroyWindow(dlg);
        return TRUE;
      }
      break;
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) == SC_CLOSE && gContext.bBusy) {
        RefuseWhileBusy();
        return TRUE;
      }
      break;
    case WM_TIMER:
      if (wParam == kAutoExitTimer) {
        KillTimer(dlg, kAutoExitTimer);
        DestroyWindow(dlg);
      }
      return TRUE;
    case WM_CLOSE:
      if (gContext.bBusy)
        RefuseWhileBusy();
      else
        DestroyWindow(dlg);
      return TRUE;
    case WM_DESTROY:
      if (gContext.bBusy) RefuseWhileBusy();
      gContext.hMainDlg = nullptr;
      PostQuitMessage(0);
      return TRUE;
  }
  return FALSE;
}

namespace {

// Waiting input is taken in at most this often: each look into the queue costs a round trip
// to the window system and gives the processor away, which over a long package walk would
// cost more than the walk itself.
constexpr DWORD kPumpIntervalMillis = 50;

void DialogPumpMessages() {
  static DWORD lastPump = GetTickCount() - kPumpIntervalMillis;
  DWORD now = GetTickCount();
  if (now - lastPump < kPumpIntervalMillis) return;
  lastPump = now;
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {  // leave it for the dialog's own loop
      PostQuitMessage(int(msg.wParam));
      return;
    }
    if (gContext.hMainDlg && IsDialogMessageA(gContext.hMainDlg, &msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

void DialogAppendResults(const char* text) { AppendToResultsBox(Item(IDC_RESULTS), text); }

void DialogMessageBox(const char* caption, const char* text) {
  MessageBoxA(gContext.hMainDlg, text, caption, MB_OK);
}

bool DialogAskYesNo(const char* text, const char* caption) {
  return MessageBoxA(gContext.hMainDlg, text, caption, MB_YESNO) == IDYES;
}

bool DialogPromptForText(const char* prompt, char* buffer, const char* title, int size) {
  // The dialog edits a copy, so that Cancel leaves the caller's text untouched.
  char work[260];
  CopyText(work, buffer);
  PromptState st{prompt, title, work, size < int(sizeof work) ? size : int(sizeof work)};
  INT_PTR r = DialogBoxParamA(gContext.hInstance, MAKEINTRESOURCEA(IDD_PROMPT), gContext.hMainDlg,
                              PromptDialogProc, LPARAM(&st));
  if (r != IDOK) return false;
  CopyText(buffer, size_t(size), work);
  return true;
}

void DialogProgressStart() {
  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&icc);
  SendMessageA(Item(IDC_PROGRESS), PBM_SETRANGE, 0, MAKELPARAM(0, 100));
  SendMessageA(Item(IDC_PROGRESS), PBM_SETPOS, 0, 0);
}

void DialogProgressReset() { SendMessageA(Item(IDC_PROGRESS), PBM_SETPOS, 0, 0); }

void DialogProgressSet(int percent) { SendMessageA(Item(IDC_PROGRESS), PBM_SETPOS, WPARAM(percent), 0); }

void DialogFileStatus(const char* action, const char* from, const char* to) {
  SetWindowTextA(Item(IDC_ACTION), action ? action : "");
  CompactPathToFit(Item(IDC_FROM), from ? from : "");
  CompactPathToFit(Item(IDC_TO), to ? to : "");
  PumpMessages();
}

const StatusWindow kDialogWindow = {
    DialogAppendResults, DialogProgressStart, DialogProgressReset, DialogProgressSet, DialogFileStatus,
    DialogAskYesNo,      DialogPromptForText, DialogMessageBox,    DialogPumpMessages,
};

}  // namespace

void InstallStatusWindow() { SetStatusWindow(&kDialogWindow); }

void PrepareResultsBox(HWND box, int limit) {
  if (box) SendMessageA(box, EM_SETLIMITTEXT, WPARAM(limit), 0);
}

void AppendToResultsBox(HWND box, const char* text, int limit) {
  if (!box || !text) return;
  int add = int(strlen(text));
  int len = GetWindowTextLengthA(box);
  if (len + add > limit) {
    // The oldest lines give way, a quarter of the box at a time so that a long run does
    // not trim on every line; the newest text always goes in whole.
    int drop = len + add - limit + limit / 4;
    if (drop >= len) {
      drop = len;
    } else {
      int line = int(SendMessageA(box, EM_LINEFROMCHAR, WPARAM(drop), 0));
      int next = int(SendMessageA(box, EM_LINEINDEX, WPARAM(line + 1), 0));
      drop = next < 0 ? len : next;
    }
    SendMessageA(box, EM_SETSEL, 0, drop);
    SendMessageA(box, EM_REPLACESEL, FALSE, LPARAM(""));
    len = GetWindowTextLengthA(box);
    if (add > limit) text += add - limit;  // one text larger than the box: its end
  }
  // New text always lands at the end, even when the user has clicked into the box.
  SendMessageA(box, EM_SETSEL, len, len);
  SendMessageA(box, EM_REPLACESEL, FALSE, LPARAM(text));
  SendMessageA(box, EM_SCROLLCARET, 0, 0);
}

void CompactPath(const char* path, int n, char* out, size_t size) {
  size_t len = strlen(path);
  if (n < 0 || len <= size_t(n)) {
    CopyText(out, size, path);
    return;
  }
  size_t rootLen = 0;
  if (path[0] == '\\' && path[1] == '\\') {
    const char* server = path + 2;
    const char* afterServer = strchr(server, '\\');
    if (!afterServer) {
      rootLen = 2;
    } else {
      const char* afterShare = strchr(afterServer + 1, '\\');
      rootLen = afterShare ? size_t(afterShare - path) : len;
    }
  } else if (const char* colon = strchr(path, ':')) {
    rootLen = size_t(colon - path) + 1;
  }
  char text[260];
  FormatText(text, "%.*s\\...", int(rootLen), path);
  size_t head = strlen(text);
  if (head < size_t(n)) {
    size_t tail = size_t(n) - head;
    if (tail > len) tail = len;
    AppendText(text, path + len - tail);
  }
  CopyText(out, size, text);
}

void CompactPathToFit(HWND control, const char* path) {
  if (!control) return;
  HDC dc = GetDC(control);
  if (!dc) {
    SetWindowTextA(control, path);
    return;
  }
  HGDIOBJ old = SelectObject(dc, HGDIOBJ(SendMessageA(control, WM_GETFONT, 0, 0)));
  SIZE letter{};
  GetTextExtentPoint32A(dc, "A", 1, &letter);
  SelectObject(dc, old);
  ReleaseDC(control, dc);
  RECT rc{};
  GetClientRect(control, &rc);
  int n = letter.cx > 0 ? (rc.right - rc.left) / letter.cx : -1;
  char shown[260];
  CompactPath(path, n, shown, sizeof shown);
  SetWindowTextA(control, shown);
}
