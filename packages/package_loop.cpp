#include "package_loop.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "agent_codes.h"
#include "corvnet.h"
#include "eligibility.h"
#include "filesys.h"
#include "functions.h"
#include "history.h"
#include "messages.h"
#include "ondemand.h"
#include "paths.h"
#include "plx/bytes.h"
#include "run_state.h"
#include "status_window.h"
#include "system_vars.h"
#include "tables.h"
#include "tasks.h"
#include "variable_store.h"

namespace {

// Asks for the Windows directory until a real one is given. False when the user gives up.
bool SettleWindowsDirectory(const plx::PackageRecord& pkg) {
  for (;;) {
    char entry[256] = {};
    if (!PromptForText("Windows Path:", entry, "Enter Path to Windows", 255)) return false;
    char winIni[260];
    plx::CopyText(winIni, sizeof winIni, entry);
    AppendPath(winIni, "WIN.INI");
    char system[260];
    if (GetFileAttributesA(winIni) != INVALID_FILE_ATTRIBUTES && GetSystemDirectoryA(system, sizeof system)) {
      VariableStore::SetString("[WINDIR]", entry);
      VariableStore::SetString("[WINSYSDIR]", system);
      gContext.bNoWindows = false;
      if (pkg.Options & kOptionWindowsInPath) AddWindowsToAutoexecPath(entry);
      return true;
    }
    ReportMessage(0, 102);
  }
}

// Installs a taken package and stores its outcome: returns the task result
// (kResultRestart asks for a restart).
int InstallPackage(const plx::PackageRecord& pkg, int* lastResult) {
  if (gContext.bNoWindows) {
    if (pkg.Options & kOptionAbortWithoutWindows) {
      ReportMessage(1, 120);
      WritePackageStatus(gContext.szMachineId, gContext.szLoginName, kStatusFailed);
      Trace("package aborted since windows not present\n");
      return 0;
    }
    if ((pkg.Options & (kOptionNeedsWindows | kOptionWindowsInPath)) && !SettleWindowsDirectory(pkg)) {
      ReportMessage(1, 120);
      WritePackageStatus(gContext.szMachineId, gContext.szLoginName, kStatusFailed);
      Trace("package aborted since windows path not entered\n");
      return 0;
    }
  }

  char path[260];
  plx::CopyText(path, sizeof path, pkg.InstallPath);
  ExpandPathVariable(path);
  CharUpperA(path);
  Trace("package install path = %s\n", path);
  if ((pkg.Options & kOptionOverridePath) &&
      AskYesNo("Do you want to override the default installation path?(Y/N)", path, "Override Install Path"))
    PromptForText("New path:", path, "Enter Install Path", 255);

  Trace("validating target path\n");
  bool created = false;
  int rc = ValidateTargetPath(path, &created);
  *lastResult = rc;
  bool completed = false;
  if (rc != 0) {
    if (rc != kResultReported) ReportMessage(1, rc, path);
  } else {
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
    PrintResults("\nPackage installed successfully.\n\n");
    AddHistoryEntry(pkg.PackageId, gContext.szMachineId, "Package installed successfully.");
    OnDemandStatus("Completed package %s", pkg.Name);
  } else {
    char target[260] = {};
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

void ExpandPathVariable(char* path) {
  if (path[0] != '[') return;
  const char* close = strchr(path, ']');
  if (!close || close - path + 1 > 252) return;
  char name[253];
  size_t n = size_t(close - path) + 1;
  memcpy(name, path, n);
  name[n] = '\0';
  char value[260] = {};
  if (VariableStore::GetString(name, value) != 0) return;
  char rest[260];
  plx::CopyText(rest, sizeof rest, close + 1);
  AppendPath(value, rest);
  plx::CopyText(path, 260, value);
}

int CreateDirectoryPath(char driveLetter, const char* rest) {
  char built[260];
  snprintf(built, sizeof built, "%c:", driveLetter);
  char parts[260];
  plx::CopyText(parts, sizeof parts, rest);
  for (char* part = strtok(parts, "\\"); part; part = strtok(nullptr, "\\")) {
    AppendPath(built, part);
    if (IsDirectory(built)) continue;
    if (int e = MakeDirectory(built)) return e;
  }
  return 0;
}

int ValidateTargetPath(char* path, bool* created) {
  *created = false;
  char drive = 0;
  char rest[260] = {};
  if (path[0] == '\\' && path[1] == '\\') {
    const char* server = path + 2;
    const char* share = strchr(server, '\\');
    const char* after = share ? strchr(share + 1, '\\') : nullptr;
    if (!share || !after) return -1;
    char unc[260];
    snprintf(unc, sizeof unc, "%.*s", int(after - path), path);
    int index = getNetworkDrive(unc);
    if (index < 0) {
      ReportMessage(1, 161, path);
      return kResultReported;
    }
    drive = char('A' + index);
    plx::CopyText(rest, sizeof rest, after + 1);
  } else {
    const char* colon = strchr(path, ':');
    size_t volume = colon ? size_t(colon - path) : strlen(path);
    if (path[0] == '\0' || (colon && volume == 0)) return 111;
    if (volume == 1) {
      drive = char(toupper(static_cast<unsigned char>(path[0])));
    } else {
      char vol[260];
      snprintf(vol, sizeof vol, "%.*s", int(volume), path);
      if (!strchr(vol, '/')) {
        ReportMessage(1, 112, path);
        return kResultReported;
      }
      int index = getNetworkDrive(vol);
      if (index < 0) {
        ReportMessage(1, 161, path);
        return kResultReported;
      }
      drive = char('A' + index);
    }
    plx::CopyText(rest, sizeof rest, colon ? colon + 1 : "");
  }

  char drivePath[260];
  if (path[0] == '\\') {
    snprintf(drivePath, sizeof drivePath, "%c:", drive);
    AppendPath(drivePath, rest);
  } else {
    snprintf(drivePath, sizeof drivePath, "%c:%s", drive, rest);
  }
  if (!IsDirectory(drivePath)) {
    if (int e = CreateDirectoryPath(drive, rest)) {
      ReportMessage(1, 114, e, path);
      return kResultReported;
    }
    PrintResults("Created target path.\n");
    *created = true;
  }
  VariableStore::SetString("[TARGET]", drivePath);
  uint32_t freeBytes = 0;
  if (FreeBytesOnDrive(drive - 'A' + 1, &freeBytes) != 0) return 112;
  if (VariableStore::SetInt("[DISKSPACE]", int32_t(freeBytes)) != 0) {
    ReportMessage(0, 105, "[DISKSPACE]");
    return kResultReported;
  }
  PrintResults("Target path: %s\n", drivePath);
  PrintResults("Disk space : %lu bytes free\n\n", (unsigned long)freeBytes);
  plx::CopyText(path, 260, drivePath);
  return 0;
}

void AddWindowsToAutoexecPath(const char* windowsDir) {
  char file[64];
  snprintf(file, sizeof file, "\"%c:\\autoexec.bat\"\x05", char('A' + BootDriveNumber() - 1));
  char params[600];
  snprintf(params, sizeof params, "\"path\"\x05\"%s\"\x05\"\"\x05" "BEFORE\x05", windowsDir);
  ExecuteFunction("SETSYSFILE", file);
  ExecuteFunction("ADDPATH", params);
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
