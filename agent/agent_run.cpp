// The run: from the command line to the last disconnect, server by server.
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "agent.h"
#include "agent_codes.h"
#include "bounded_text.h"
#include "cmdline.h"
#include "corvnet.h"
#include "dblinkr32.h"
#include "dllfile.h"
#include "identity.h"
#include "messages.h"
#include "ondemand.h"
#include "package_loop.h"
#include "paths.h"
#include "plx/bytes.h"
#include "plx2tly.h"
#include "program.h"
#include "quickscript.h"
#include "system_vars.h"
#include "variable_store.h"
#include "window.h"

namespace {

constexpr char kProduct[] = "KVR610";
constexpr char kAborted[] = "\nProgram aborted.\n";

int Abort() {
  FinishRun(kAborted);
  return 0;
}

// Positive requester statuses have catalogue texts; negative ones are shown only as rc.
void ReportRequesterStatus(int32_t rc, const char* name) {
  if (rc > 0) ReportDatabaseError(0, rc, name);
}

void CloseDatabase() {
  DBDisconnectEx(gContext.hConnection);
  DBTerminateSessionEx(gContext.hSession);
}

// Every pass ends with the connection, the session and the server's requester closed.
void CloseServer() {
  CloseDatabase();
  DBTerminateRequesterEx(gContext.szServerName);
}

// The directory the program was started from: the module name up to "PLXWIN32.EXE",
// upper-cased, in the "\\SRV\..." form the agent works with (Wine reports a program
// started from a share as "UNC\SRV\...").
void GetAppPath(char* out, size_t size) {
  char module[256] = {};
  GetModuleFileNameA(nullptr, module, sizeof module - 1);
  char normal[260];
  plxdll::NormaliseModulePath(module, normal, sizeof normal);
  if (char* exe = strstr(normal, "PLXWIN32.EXE")) *exe = '\0';
  CharUpperA(normal);
  CopyText(out, size, normal);
}

// The server the agent was started from.
bool FindServer() {
  Trace("getting server name from exe path: %s\n", gContext.szAppPath);
  int rc = getServerFromPath(gContext.szAppPath, gContext.szServerName);
  if (rc == 0) return true;
  ReportMessage(0, rc == 1 ? 147 : rc == 3 ? 165 : 159);
  return false;
}

// The relaunch command line: the whole command line of this process and the hand-over
// option. A line that does not fit is never handed over cut: without its /IMP= the new
// agent would not know it was handed over and would ask for another relaunch.
constexpr size_t kRelaunchLineSize = 512;

// True when the metering bridge relaunches us and this process must end.
bool HandOverForImpersonation() {
  if (gOptions.szImpersonateUser[0]) {
    PrintResults("NT Impersonation is enabled for user %s.\n", gOptions.szImpersonateUser);
    return false;
  }
  const char* processLine = GetCommandLineA();
  Trace("not yet impersonating (cmd line = %s)\n", processLine);
  PrintResults("Initializing NT Impersonation...\n");
  char commandLine[kRelaunchLineSize];
  if (!FormatText(commandLine, "%s \"/IMP=%s\"", processLine, gContext.szLoginName)) {
    // Told in the results box as the line it is; the run goes on as one without the bridge.
    PrintResults("The command line is too long to start the agent again (%u characters at most).\n",
                 unsigned(kRelaunchLineSize - 1));
  } else {
    Trace("checking tallyhold...(passing %s)\n", commandLine);
    if (DeferToTallyhold(gContext.szServerName, commandLine)) {
      Trace("exiting plxwin32 (will be relaunched in impersonation mode)\n");
      return true;
    }
  }
  Trace("not impersonating\n");
  PrintResults("NT Impersonation is not available.\n");
  return false;
}

// A directory that does not fit its field is refused by name instead of being used cut (a
// cut path names another place).
bool RefusePath(const char* path) {
  ReportMessage(0, kBadPathMessage, path);
  return false;
}

}  // namespace

bool DerivePaths(const char* volumePath) {
  if (!ToUncPath(gContext.szServerName, volumePath, gContext.szPackagePath)) return RefusePath(volumePath);
  Trace("UNC version of package path: '%s'\n", gContext.szPackagePath);
  CutToParent(gContext.szPackagePath);
  Trace("package path after cleanup: '%s'\n", gContext.szPackagePath);
  CopyText(gContext.szTesselPath, gContext.szPackagePath);
  if (!AppendPath(gContext.szPackagePath, "PLIVEX\\PACKAGES")) return RefusePath(gContext.szPackagePath);
  CutToParent(gContext.szTesselPath);
  CopyText(gContext.szConsolePath, gContext.szTesselPath);
  if (!AppendPath(gContext.szTesselPath, "TESSEL")) return RefusePath(gContext.szTesselPath);
  if (!AppendPath(gContext.szConsolePath, "CONSOLE")) return RefusePath(gContext.szConsolePath);
  Trace("szPackagePath: %s\n", gContext.szPackagePath);
  Trace("szTesselPath: %s\n", gContext.szTesselPath);
  Trace("szConsolePath: %s\n", gContext.szConsolePath);
  // The scripts read the package path back from its variable, which holds one character
  // less than the field: a path that only fits the field would reach them cut.
  if (strlen(gContext.szPackagePath) >= kVarValueSize) return RefusePath(gContext.szPackagePath);
  return true;
}

namespace {

enum class Pass { kNext, kAborted, kRebooted };

Pass Aborted() {
  Abort();
  return Pass::kAborted;
}

// One server pass. Every way out leaves the session, connection and requester closed.
Pass WorkServer(const char* firstServer, int& nPackagesTaken, int& nRunResult) {
  nRunResult = 0;
  Trace("setting system variables...\n");
  if (int rc = InitSystemVariables(firstServer)) {
    ReportMessage(0, 130, rc);
    return Aborted();
  }
  PrintResults("Looking for packages on server %s, please wait...\n\n", gContext.szServerName);
  PumpMessages();

  Trace("initializing a DB session...\n");
  if (int32_t rc = DBInitSessionEx(&gContext.hSession)) {
    PrintResults("Unable to initialize a database session with server %s (rc = %ld)\n",
                 gContext.szServerName, long(rc));
    ReportRequesterStatus(rc, gContext.szServerName);
    return Aborted();
  }
  Trace("connecting to DB on server '%s'\n", gContext.szServerName);
  if (int32_t rc = DBConnectEx(gContext.hSession, gContext.szServerName, "", "", kProduct, 0,
                               &gContext.hConnection)) {
    PrintResults("Unable to connect to the database on server %s (rc = %ld)\n",
                 gContext.szServerName, long(rc));
    DBTerminateSessionEx(gContext.hSession);
    ReportRequesterStatus(rc, gContext.szServerName);
    return Aborted();
  }

  if (gOptions.szOnDemand[0]) {
    if (BuildOnDemandDir(gContext.szServerName, gContext.szOnDemandDir)) {
      Trace("built ondemand dir. calling notifystart with '%s' and '%s'\n", gContext.szOnDemandDir,
            gOptions.szOnDemand);
      OnDemandNotifyStart(gContext.szOnDemandDir, gOptions.szOnDemand);
    } else {
      Trace("unable to build ondemand dir\n");
      gOptions.szOnDemand[0] = '\0';
    }
  }

  char volumePath[256] = {};
  char configFile[256] = {};
  if (int32_t rc = DBGetPathAppInstalledEx(gContext.szServerName, kProduct, volumePath, configFile)) {
    PrintResults("Unable to determine package path on server %s (rc = %ld)\n",
                 gContext.szServerName, long(rc));
    CloseServer();
    ReportRequesterStatus(rc, gContext.szServerName);
    return Aborted();
  }
  Trace("after GetPathAppInstalled: package path = '%s' config file = '%s'\n", volumePath, configFile);
  if (!DerivePaths(volumePath)) {
    CloseServer();
    return Aborted();
  }

  if (VariableStore::SetString("[PACKAGEPATH]", gContext.szPackagePath) != 0) {
    ReportMessage(0, 105, "[PACKAGEPATH]");
    CloseServer();
    return Aborted();
  }

  int rc;
  if (!gOptions.szQuickScript[0]) {
    Trace("processing packages\n");
    rc = doPackages(&nPackagesTaken, &nRunResult);
  } else {
    Trace("executing quickscript '%s'\n", gOptions.szQuickScript);
    nRunResult = RunQuickScript(gOptions.szQuickScript, gContext.szPackagePath);
    rc = 1;
  }

  if (rc == 0) {
    const char* end = nPackagesTaken == 0 ? "No packages scheduled for today!\n\n" : "No more packages scheduled.\n\n";
    PrintResults("%s", end);
    OnDemandStatus("%s", end);
  } else if (rc == 1 && nRunResult == kResultRestart) {
    Trace("rebooting\n");
    VariableStore::Free();
    CloseDatabase();
    NWDeInit();
    if (gOptions.szOnDemand[0]) OnDemandNotifyEnd(gContext.szOnDemandDir, gOptions.szOnDemand);
    RebootWorkstation();
    // Connection, session and network layer are released already; only the requester is left.
    Trace("about to disconnect and terminate DB requester\n");
    DBTerminateRequesterEx(gContext.szServerName);
    return Pass::kRebooted;
  } else if (rc != 1) {
    ReportDatabaseError(1, rc, "PKG.DBF");
    CloseServer();
    return Aborted();
  }

  Trace("about to disconnect and terminate DB requester\n");
  CloseServer();
  return Pass::kNext;
}

}  // namespace

void FinishRun(const char* message, bool networkUp) {
  if (message && *message) PrintResults("%s", message);
  VariableStore::Free();
  if (gContext.szServerName[0]) DBTerminateRequesterEx(gContext.szServerName);
  if (networkUp) NWDeInit();
}

int AgentRun(int argc, char** argv) {
  Trace("at start of workthread\n");
  gContext.szServerName[0] = '\0';
  if (ParseCommandLine(argc, argv) == 1) return Abort();

  Trace("getting app path for %s\n", argv[0]);
  GetAppPath(gContext.szAppPath, sizeof gContext.szAppPath);
  Trace("PLX agent is running from: %s\n", gContext.szAppPath);
  PumpMessages();

  if (!gContext.szServerName[0] && !FindServer()) return Abort();
  Trace("server name = '%s'\n", gContext.szServerName);

  const uint32_t params[3] = {12, uint32_t(gOptions.nRetries), uint32_t(gOptions.nTimeout)};
  if (int32_t rc = DBInitRequesterEx(gContext.szServerName, params)) {
    PrintResults("Unable to initialize database communications with server %s (rc = %ld)\n",
                 gContext.szServerName, long(rc));
    ReportRequesterStatus(rc, gContext.szServerName);
    return Abort();
  }
  Trace("DBInitRequester to server '%s' successful\n", gContext.szServerName);
  PumpMessages();
  Trace("initializing network comm for %s\n", gContext.szServerName);
  if (int rc = NWInit(gContext.szServerName)) {
    ReportMessage(0, 131, rc);
    return Abort();
  }

  PumpMessages();
  if (!GetWorkstationId(gContext.szSiteName, gContext.szMachineId) || !gContext.szMachineId[0]) {
    ReportMessage(0, 109);
    return Abort();
  }
  Trace("machine ID = '%s'\n", gContext.szMachineId);
  PumpMessages();

  Trace("getting current user name...\n");
  if (gOptions.szImpersonateUser[0]) {
    CopyText(gContext.szLoginName, gOptions.szImpersonateUser);
  } else if (int rc = getUserName(gContext.szServerName, gContext.szLoginName)) {
    ReportMessage(0, 163, rc);
    return Abort();
  }
  Trace("user name = '%s'\n", gContext.szLoginName);
  ShowUserInformation(gContext.szMachineId, gContext.szSiteName, gContext.szServerName,
                      gContext.szLoginName);

  if (IsWindowsNt() && HandOverForImpersonation()) {
    FinishRun(nullptr);
    return 1;
  }

  char szFirstServer[64];
  CopyText(szFirstServer, gContext.szServerName);
  uint32_t enumHandle = 0xFFFFFFFFu;
  uint8_t flag = 0;
  int nPackagesTaken = 0;
  int nRunResult = 0;
  bool networkUp = true;
  for (;;) {
    Pass pass = WorkServer(szFirstServer, nPackagesTaken, nRunResult);
    if (pass == Pass::kAborted) return 0;
    if (pass == Pass::kRebooted) {
      networkUp = false;
      break;
    }

    Trace("back from terminate, getting next server\n");
    // A quickscript run never looks for further servers.
    bool more = !gOptions.szQuickScript[0] && nRunResult != kResultRestart;
    while (more) {
      more = GetNWMemberPackageServers(&enumHandle, gContext.szLoginName, gContext.szServerName,
                                       &flag, szFirstServer) == 0;
      if (!more) break;
      VariableStore::Free();
      if (_stricmp(gContext.szServerName, szFirstServer) != 0) break;
    }
    if (!more) break;
  }
  if (gOptions.szOnDemand[0]) OnDemandNotifyEnd(gContext.szOnDemandDir, gOptions.szOnDemand);
  FinishRun(nullptr, networkUp);
  return 0;
}
