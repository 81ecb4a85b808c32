// A stand-in Program Manager for the tests: serves "PROGMAN" over DDE and writes each
// conversation's events to the log file named first on its command line, one a line:
// "connect", every execute command as received (with its size in bytes after a tab), and
// "disconnect". The log file appears once the service is registered. Ends on WM_QUIT, or
// when the process named by the second argument (its parent) ends.
#include <windows.h>
#include <ddeml.h>
#include <stdlib.h>
#include <string.h>

#include <string>

namespace {

DWORD gInstance = 0;
HSZ gProgman = nullptr;
const char* gLogPath = nullptr;

void Log(const std::string& line) {
  HANDLE f = CreateFileA(gLogPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return;
  std::string text = line + "\n";
  DWORD written;
  WriteFile(f, text.data(), DWORD(text.size()), &written, nullptr);
  CloseHandle(f);
}

HDDEDATA CALLBACK Serve(UINT type, UINT, HCONV, HSZ topic, HSZ, HDDEDATA data, ULONG_PTR, ULONG_PTR) {
  switch (type) {
    case XTYP_CONNECT:
      if (DdeCmpStringHandles(topic, gProgman) != 0) return nullptr;
      Log("connect");
      return reinterpret_cast<HDDEDATA>(TRUE);
    case XTYP_EXECUTE: {
      DWORD size = DdeGetData(data, nullptr, 0, 0);
      std::string bytes(size, '\0');
      DdeGetData(data, reinterpret_cast<LPBYTE>(&bytes[0]), size, 0);
      Log(std::string(bytes.c_str()) + "\t" + std::to_string(size));
      return reinterpret_cast<HDDEDATA>(DDE_FACK);
    }
    case XTYP_DISCONNECT:
      Log("disconnect");
      return nullptr;
    default:
      return nullptr;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  gLogPath = argv[1];
  HANDLE parent = argc > 2 ? OpenProcess(SYNCHRONIZE, FALSE, DWORD(strtoul(argv[2], nullptr, 10))) : nullptr;
  const DWORD flags = APPCLASS_STANDARD | CBF_FAIL_ADVISES | CBF_FAIL_REQUESTS | CBF_FAIL_POKES |
                      CBF_SKIP_REGISTRATIONS | CBF_SKIP_UNREGISTRATIONS;
  if (DdeInitializeA(&gInstance, Serve, flags, 0) != DMLERR_NO_ERROR) return 1;
  gProgman = DdeCreateStringHandleA(gInstance, "PROGMAN", CP_WINANSI);
  if (!gProgman || !DdeNameService(gInstance, gProgman, nullptr, DNS_REGISTER)) return 1;
  DeleteFileA(gLogPath);
  Log("ready");
  for (;;) {
    DWORD waited = MsgWaitForMultipleObjects(parent ? 1 : 0, &parent, FALSE, INFINITE, QS_ALLINPUT);
    if (parent && waited == WAIT_OBJECT_0) break;
    MSG msg;
    bool quit = false;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) quit = true;
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    if (quit) break;
  }
  DdeNameService(gInstance, gProgman, nullptr, DNS_UNREGISTER);
  DdeFreeStringHandle(gInstance, gProgman);
  DdeUninitialize(gInstance);
  return 0;
}
