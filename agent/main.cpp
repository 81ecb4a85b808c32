// Program entry: one agent per workstation, then the status window runs everything.
#include <windows.h>
#include <commctrl.h>
#include <string.h>

#include "agent.h"
#include "history.h"
#include "messages.h"
#include "win_handle.h"
#include "window.h"

namespace {

constexpr char kRunningName[] = "Corvane_PLXWIN32";
// An agent relaunched by the metering bridge may start while the agent that asked for the
// relaunch is still on its way out; it waits this long for that one to end.
constexpr DWORD kRelaunchWaitMillis = 10000;
constexpr DWORD kRelaunchPollMillis = 100;

bool IsRelaunch() {
  for (const char* p = GetCommandLineA(); *p; ++p)
    if (_strnicmp(p, "/IMP=", 5) == 0) return true;
  return false;
}

// Never closed once held: the name marks a running agent until this process ends.
bool HoldRunningMark() {
  const DWORD start = GetTickCount();
  for (;;) {
    plxwin::Handle running(CreateSemaphoreA(nullptr, 0, 1, kRunningName));
    if (!running || GetLastError() != ERROR_ALREADY_EXISTS) {
      running.Release();
      return true;
    }
    running.Close();
    if (!IsRelaunch() || GetTickCount() - start >= kRelaunchWaitMillis) return false;
    Sleep(kRelaunchPollMillis);
  }
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  if (!HoldRunningMark()) return 0;
  gContext.hInstance = instance;
  InstallStatusWindow();
  SetHistoryWriter(AddHistoryEntry);
  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&icc);
  DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, MainDialogProc, 0);
  return 0;
}
