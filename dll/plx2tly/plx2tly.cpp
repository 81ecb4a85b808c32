// plx2tly.dll: the metering bridge.
//
// There is no metering product on these workstations, so the bridge is off unless its INI
// file beside the DLL turns the relaunch on:
//
//   [Metering]
//   Relaunch=1        ; start the agent's command line again and tell it to end
//
// With Relaunch=1 the command line is started as it is; the new agent carries the /IMP=
// option the caller added, which is all it needs to know that the hand-over happened. A
// line without that option is refused: the agent it started would ask again, for ever.
#include "plx2tly.h"

#include <windows.h>

#include <string.h>

#include <string>

#include "dllfile.h"

namespace {

bool RelaunchEnabled() {
  char ini[MAX_PATH];
  if (!plxdll::FileBesideModule(reinterpret_cast<const void*>(&DeferToTallyhold), "PLX2TLY.INI", ini,
                                sizeof ini))
    return false;
  return GetPrivateProfileIntA("Metering", "Relaunch", 0, ini) == 1;
}

bool CarriesHandOver(const char* commandLine) {
  for (const char* p = commandLine; *p; ++p)
    if (_strnicmp(p, "/IMP=", 5) == 0 && p[5] && !strchr("\" \t", p[5])) return true;
  return false;
}

}  // namespace

PLX2TLY_API uint8_t DeferToTallyhold(const char* server, const char* commandLine) {
  if (!commandLine || !CarriesHandOver(commandLine) || !RelaunchEnabled()) return 0;
  // CreateProcessA may write into the command line, so it gets a copy of its own.
  std::string line(commandLine);
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
    return 0;
  // Not waited for: the caller ends right after this returns.
  plxdll::Handle process(pi.hProcess), thread(pi.hThread);
  return 1;
}
