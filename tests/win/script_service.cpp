// A service for the script tests to start and stop: it runs until told to stop.
#include <windows.h>

namespace {

SERVICE_STATUS_HANDLE gStatusHandle = nullptr;
HANDLE gStop = nullptr;

void Report(DWORD state) {
  SERVICE_STATUS s{};
  s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  s.dwCurrentState = state;
  s.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
  SetServiceStatus(gStatusHandle, &s);
}

DWORD WINAPI Control(DWORD control, DWORD, void*, void*) {
  if (control == SERVICE_CONTROL_STOP) {
    Report(SERVICE_STOP_PENDING);
    SetEvent(gStop);
  }
  return NO_ERROR;
}

void WINAPI ServiceMain(DWORD, char**) {
  gStatusHandle = RegisterServiceCtrlHandlerExA("", Control, nullptr);
  gStop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  Report(SERVICE_RUNNING);
  WaitForSingleObject(gStop, INFINITE);
  Report(SERVICE_STOPPED);
}

}  // namespace

int main() {
  char name[] = "";
  SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMain}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherA(table) ? 0 : 1;
}
