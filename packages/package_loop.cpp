#include "package_loop.h"

#include <ctype.h>
#include <errno.h>
#include <string.h>
#include <windows.h>

#include "agent_codes.h"
#include "bounded_text.h"
#include "corvnet.h"
#include "eligibility.h"
#include "filesys.h"
#include "functions.h"
#include "history.h"
#include "library_functions.h"
#include "messages.h"
#include "ondemand.h"
#include "paths.h"
#include "plx/bytes.h"
#include "run_state.h"
#include "status_window.h"
#include "system_vars.h"
#include "tables.h"
#include "tasks.h"
#include "undo_journal.h"
#include "variable_store.h"

namespace {

constexpr size_t kPromptChars = 255;  // the longest entry the path prompts take
constexpr size_t kMaxPathVariableChars = 252;  // a bracketed name that may start a path
// Message numbers of the target path.
constexpr uint32_t kMsgNoDrive = 111, kMsgBadDrive = 112, kMsgCreatePath = 114, kMsgUnparsedPath = 161;
constexpr uint32_t kMsgNoWindows = 120, kMsgWindowsNotFound = 102, kMsgVariable = 105;

// A path that would not fit its buffer or the [TARGET] variable is reported as a path that
// could not be made, with the system's own "name too long" number.
int ReportPathTooLong(const char* path) {
  ReportMessage(1, kMsgCreatePath, int(ERROR_FILENAME_EXCED_RANGE), path);
  return kResultReported;
}

// A drive index from getNetworkDrive as a letter; 0 when there is none (reported).
char NetworkDriveLetter(const char* unc, const char* path) {
  int index = getNetworkDrive(unc);
  if (index < 0 || index >= 26) {
    ReportMessage(1, kMsgUnparsedPath, path);
    return 0;
  }
  return char('A' + index);
}

// Asks for the Windows directory until a real one is given. False when the user gives up.
bool SettleWindowsDirectory(const plx::PackageRecord& pkg) {
  for (;;) {
    char entry[kPromptChars + 1] = {};
    if (!PromptForText("Windows Path:", entry, "Enter Path to Windows", kPromptChars)) return false;
    char winIni[MAX_PATH];
    char system[MAX_PATH];
    // An entry too long to name its WIN.INI names no Windows directory either.
    if (CopyText(winIni, entry) && AppendPath(winIni, "WIN.INI") &&
        GetFileAttributesA(winIni) != INVALID_FILE_ATTRIBUTES && GetSystemDirectoryA(system, sizeof system)) {
      VariableStore::SetString("[WINDIR]", entry);
      VariableStore::SetString("[WINSYSDIR]", system);
      gContext.bNoWindows = false;
      if (pkg.Options & kOptionWindowsInPath) AddWindowsToAutoexecPath(entry);
      return true;
    }
    ReportMessage(0, kMsgWindowsNotFound);
  }
}

// Installs a taken package and stores its outcome: returns the task result
// (kResultRestart asks for a restart).
int InstallPackage(const plx::PackageRecord& pkg, int* lastResult) {
  if (gContext.bNoWindows) {
    if (pkg.Options & kOptionAbortWithoutWindows) {
      ReportMessage(1, kMsgNoWindows);
      WritePackageStatus(gContext.szMachineId, gContext.szLoginName, kStatusFailed);
      Trace("package aborted since windows not present\n");
      return 0;
    }
    if ((pkg.Options & (kOptionNeedsWindows | kOptionWindowsInPath)) && !SettleWindowsDirectory(pkg)) {
      ReportMessage(1, kMsgNoWindows);
      WritePackageStatus(gContext.szMachineId, gContext.szLoginName, kStatusFailed);
      Trace("package aborted since windows path not entered\n");
      return 0;
    }
  }

  char path[MAX_PATH];
  CopyText(path, pkg.InstallPath);
  int rc = 0;
  if (!ExpandPathVariable(path, sizeof path)) rc = ReportPathTooLong(pkg.InstallPath);
  CharUpperA(path);
  Trace("package install path = %s\n", path);
  if (rc == 0 && (pkg.Options & kOptionOverridePath) &&
      AskYesNo("Do you want to override the default installation path?(Y/N)", path, "Override Install Path"))
    PromptForText("New path:", path, "Enter Install Path", kPromptChars);

  bool created = false;
  if (rc == 0) {
    Trace("validating target path\n");
    rc = ValidateTargetPath(path, sizeof path, &created);
  }
  *lastResult = rc;
  bool completed = false;
  const bool journalled = (pkg.Options & kOptionJournal) != 0;
  if (rc != 0) {
    if (rc != kResultReported) ReportMessage(1, rc, path);
  } else {
    if (journalled) {
      Trace("initializing UNDO\n");
      if (int r = UndoInit()) {
        ReportMessage(1, r);
        WritePackageStatus(gContext.szMachineId, gContext.szLoginName, kStatusFailed);
        Trace("package aborted since undo init failed\n");
        return 0;
      }
    }
    OnDemandStatus("Performing package tasks for package %s", pkg.Name);
    Trace("performing package tasks\n");
    rc = PerformPackageTasks(path, pkg.PackageId, pkg.ServerId);
    *lastResult = rc;
    if (rc == 0 || rc == kResultRestart) {
      Trace("setting packageStatus to complete \n");
      completed = true;
    } else if (rc == kResultPackageStopped) {
      int32_t retval = 0;
      VariableStore::GetInt("[RETVAL]", &retval);
      Trace("package was aborted\n");
      completed = retval == 0;
    }
  }

  if (completed) {
    if (journalled) {
      Trace("committing UNDO for completed package\n");
      UndoCommit();
    }
    PrintResults("\nPackage installed successfully.\n\n");
    AddHistoryEntry(pkg.PackageId, gContext.szMachineId, "Package installed successfully.");
    OnDemandStatus("Completed package %s", pkg.Name);
  } else {
    // Also when the target path failed and no journal of this package was opened: a journal
    // left by an interrupted run is undone here.
    if (journalled) {
      Trace("undoing failed package\n");
      UndoRollback();
    }
    char target[kVarValueSize] = {};
    VariableStore::GetString("[TARGET]", target);
    if (created && strlen(target) > 3) {
      Trace("deleting target dir created: %s\n", target);
      RemoveDirectoryA(target);
    }
  }
  Trace("updating package records\n");
  WritePackageStatus(gContext.szMachineId, gContext.szLoginName, completed ? kStatusCompleted : kStatusFailed);
  return rc;
}

}  // namespace

bool ExpandPathVariable(char* path, size_t size) {
  if (path[0] != '[') return true;
  const char* close = strchr(path, ']');
  const size_t n = close ? size_t(close - path) + 1 : 0;
  if (!close || n > kMaxPathVariableChars) return true;
  char name[kMaxPathVariableChars + 1];
  memcpy(name, path, n);
  name[n] = '\0';
  char value[kVarValueSize] = {};
  if (VariableStore::GetString(name, value) != 0) return true;
  char joined[MAX_PATH];
  if (!CopyText(joined, value) || !AppendPath(joined, close + 1)) return false;
  if (strlen(joined) >= size) return false;
  CopyText(path, size, joined);
  return true;
}

int CreateDirectoryPath(char driveLetter, const char* rest) {
  char built[MAX_PATH];
  FormatText(built, "%c:", driveLetter);
  for (const char* part = rest; *part;) {
    const char* end = strchr(part, '\\');
    const size_t len = end ? size_t(end - part) : strlen(part);
    if (len > 0) {
      char component[MAX_PATH];
      if (len >= sizeof component) return ENAMETOOLONG;
      memcpy(component, part, len);
      component[len] = '\0';
      if (!AppendPath(built, component)) return ENAMETOOLONG;
      if (!IsDirectory(built))
        if (int e = MakeDirectory(built)) return e;
    }
    part += len + (end ? 1 : 0);
  }
  return 0;
}

int ValidateTargetPath(char* path, size_t size, bool* created) {
  *created = false;
  char drive = 0;
  char drivePath[MAX_PATH];
  const char* rest = "";
  if (path[0] == '\\' && path[1] == '\\') {
    const char* server = path + 2;
    const char* share = strchr(server, '\\');
    const char* after = share ? strchr(share + 1, '\\') : nullptr;
    // Left to us: a UNC path without a folder part cannot be parsed, and says so.
    if (!share || !after) {
      ReportMessage(1, kMsgUnparsedPath, path);
      return kResultReported;
    }
    char unc[MAX_PATH];
    if (!FormatText(unc, "%.*s", int(after - path), path)) return ReportPathTooLong(path);
    if (!(drive = NetworkDriveLetter(unc, path))) return kResultReported;
    rest = after + 1;
    FormatText(drivePath, "%c:", drive);
    if (!AppendPath(drivePath, rest)) return ReportPathTooLong(path);
  } else {
    const char* colon = strchr(path, ':');
    const size_t volume = colon ? size_t(colon - path) : strlen(path);
    if (path[0] == '\0' || (colon && volume == 0)) return kMsgNoDrive;
    rest = colon ? colon + 1 : "";
    if (volume == 1) {
      drive = char(toupper(static_cast<unsigned char>(path[0])));
    } else {
      // SERVER/VOLUME: the share \\SERVER\VOLUME, and the drive mapped to it.
      const char* slash = static_cast<const char*>(memchr(path, '/', volume));
      if (!slash) {
        ReportMessage(1, kMsgBadDrive, path);
        return kResultReported;
      }
      char unc[MAX_PATH];
      if (!FormatText(unc, "\\\\%.*s\\%.*s", int(slash - path), path, int(path + volume - slash - 1), slash + 1))
        return ReportPathTooLong(path);
      if (!(drive = NetworkDriveLetter(unc, path))) return kResultReported;
    }
    if (!FormatText(drivePath, "%c:%s", drive, rest)) return ReportPathTooLong(path);
  }
  // The drive path becomes [TARGET] and the caller's path: it must fit both whole.
  if (strlen(drivePath) >= kVarValueSize || strlen(drivePath) >= size) return ReportPathTooLong(path);

  if (!IsDirectory(drivePath)) {
    if (int e = CreateDirectoryPath(drive, drivePath + 2)) {
      ReportMessage(1, kMsgCreatePath, e, path);
      return kResultReported;
    }
    PrintResults("Created target path.\n");
    *created = true;
  }
  VariableStore::SetString("[TARGET]", drivePath);
  uint32_t freeBytes = 0;
  if (FreeBytesOnDrive(drive - 'A' + 1, &freeBytes) != 0) return kMsgBadDrive;
  if (VariableStore::SetInt("[DISKSPACE]", int32_t(freeBytes)) != 0) {
    ReportMessage(0, kMsgVariable, "[DISKSPACE]");
    return kResultReported;
  }
  PrintResults("Target path: %s\n", drivePath);
  PrintResults("Disk space : %lu bytes free\n\n", (unsigned long)freeBytes);
  CopyText(path, size, drivePath);
  return 0;
}

void AddWindowsToAutoexecPath(const char* windowsDir) {
  char file[32];
  FormatText(file, "\"%c:\\autoexec.bat\"\x05", char('A' + BootDriveNumber() - 1));
  char params[2 * MAX_PATH];
  // The directory comes from a prompt of at most 255 characters: it always fits.
  FormatText(params, "\"path\"\x05\"%s\"\x05\"\"\x05" "BEFORE\x05", windowsDir);
  // The handlers themselves, not the table: results are ignored and nothing is reported, so
  // SETSYSFILE's missing second parameter only leaves the path as the file selected.
  ScriptSetSysFile(file);
  ScriptAddPath(params);
}

int doPackages(int* packagesTaken, int* lastResult) {
  OnDemandStatus("Checking Packages");
  plx::PackageRecord& pkg = gContext.currentPackage;
  int found;
  if (gOptions.nPackageId == 0) {
    found = GetFirstPackage(gContext.hConnection, pkg);
  } else {
    uint32_t serverId = FindServerId(gContext.hConnection, gContext.szServerName);
    found = GetPackageByKey(gContext.hConnection, serverId, uint32_t(gOptions.nPackageId), pkg) == 1 ? 1 : 0;
  }
  if (found != 0 && found != 1) return found;

  while (found == 1) {
    PumpMessages();
    OnDemandStatus("Checking package %s", pkg.Name);
    Trace("at start of package %s\n", pkg.Name);
    bool closed = false;
    if (doCheckPkg(pkg)) {
      Trace("checking if the package is for user\n");
      bool forUs = IsPackageForUserOrMachine(pkg.PackageId, pkg.ServerId, gContext.szMachineId,
                                             gContext.szLoginName, gContext.szSiteName);
      *lastResult = forUs ? 1 : 0;
      if (!forUs) {
        Trace("package is not for this user or machine\n");
      } else {
        gContext.nCurrentPackageId = pkg.PackageId;
        Trace("checking dependent packages are completed\n");
        if (!CheckDependencies(pkg.PackageId, pkg.ServerId, gContext.szMachineId, gContext.szLoginName)) {
          Trace("dependent packages have not been completed\n");
        } else if (ApplyForceOptions(pkg) == ForceDecision::Install) {
          *packagesTaken += 1;
          PrintResults("Installing package \"%s\"...\n\n", pkg.Name);
          OnDemandStatus("Installing package %s", pkg.Name);
          closed = true;
          if (InstallPackage(pkg, lastResult) == kResultRestart) {
            Trace("doPackages: done with packages table\n");
            return 1;
          }
        }
      }
    }
    if (gOptions.nPackageId != 0) return 0;
    if (closed) Trace("getting next package\n");
    found = GetNextPackage(gContext.hConnection, pkg);
    if (found != 0 && found != 1) {
      Trace("doPackages: done with packages table\n");
      return found;
    }
  }
  Trace("doPackages: done with packages table\n");
  return 0;
}
