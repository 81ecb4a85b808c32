// Program entry: one agent per workstation, then the status window runs everything.
#include <windows.h>
#include <commctrl.h>

#include "agent/agent.h"
#include "agent/window.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  // Never closed: the name marks a running agent until this process ends.
  HANDLE running = CreateSemaphoreA(nullptr, 0, 1, "Corvane_PLXWIN32");
  if (running && GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(running);
    return 0;
  }
  gContext.hInstance = instance;
  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&icc);
  DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, MainDialogProc, 0);
  return 0;
}
