#include "progman_dde.h"

#include <string.h>

#include "messages.h"
#include "status_window.h"

namespace {

constexpr const char* kProgmanName = "PROGMAN";  // both service and topic
// The conversation context the agent has always offered: only its size is set.
constexpr UINT kConvContextSize = 34;
// The command's data handle is passed in place of the data itself.
constexpr DWORD kDataIsHandle = 0xFFFFFFFF;

// We only ever ask; whatever the server sends our way is answered with nothing.
HDDEDATA CALLBACK ProgmanCallback(UINT, UINT, HCONV, HSZ, HSZ, HDDEDATA, ULONG_PTR, ULONG_PTR) {
  return nullptr;
}

}  // namespace

void WaitPumping(DWORD ms) {
  const DWORD start = GetTickCount();
  // The unsigned difference ends the wait on time even when the tick count wraps round.
  for (DWORD waited; (waited = GetTickCount() - start) < ms;) {
    PumpMessages();
    // Sleeps until the window has something to do (input already queued counts) or the time
    // is up: the window stays alive without a core spun for the 30 s of a missing server.
    MsgWaitForMultipleObjectsEx(0, nullptr, ms - waited, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
}

bool ProgmanConnect(DWORD* instance, HCONV* conversation) {
  *instance = 0;
  *conversation = nullptr;
  if (DdeInitializeA(instance, ProgmanCallback, APPCMD_CLIENTONLY, 0) != DMLERR_NO_ERROR) {
    Trace("DdeInitialize failed\n");
    return false;
  }
  HSZ name = DdeCreateStringHandleA(*instance, kProgmanName, CP_WINANSI);
  if (!name) {
    DdeUninitialize(*instance);
    return false;
  }
  CONVCONTEXT context;
  memset(&context, 0, sizeof context);
  context.cb = kConvContextSize;
  const DWORD start = GetTickCount();
  while (GetTickCount() - start < kProgmanConnectMillis) {
    if (*conversation) break;
    *conversation = DdeConnect(*instance, name, name, &context);
    if (!*conversation) {
      Trace("Program Manager did not answer\n");
      WaitPumping(kProgmanRetryPauseMillis);
    }
  }
  DdeFreeStringHandle(*instance, name);
  if (!*conversation) {
    DdeUninitialize(*instance);
    return false;
  }
  return true;
}

void ProgmanExecute(DWORD instance, HCONV conversation, const char* command, DWORD timeout) {
  Trace("DDE execute %s\n", command);
  HDDEDATA data = DdeCreateDataHandle(instance, reinterpret_cast<LPBYTE>(const_cast<char*>(command)), DWORD(strlen(command) + 1), 0, nullptr, CF_TEXT, 0);
  if (!data) return;
  DWORD result = 0;
  // The data handle goes to the system with the transaction, taken or not.
  if (!DdeClientTransaction(reinterpret_cast<LPBYTE>(data), kDataIsHandle, conversation, nullptr, 0, XTYP_EXECUTE, timeout, &result))
    Trace("DDE execute failed, error 0x%04X\n", DdeGetLastError(instance));
}

void ProgmanDisconnect(DWORD instance, HCONV conversation) {
  DdeDisconnect(conversation);
  DdeUninitialize(instance);
}
