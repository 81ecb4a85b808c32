#include "eligibility.h"

#include <string.h>

#include "agent_codes.h"
#include "history.h"
#include "messages.h"
#include "run_state.h"
#include "status_window.h"
#include "system_vars.h"
#include "tables.h"

namespace {

long SecondsOf(const uint8_t t[3]) { return t[0] * 3600L + t[1] * 60L + t[2]; }

}  // namespace

int CompareDate(const SYSTEMTIME& today, const uint8_t d[3]) {
  const int a[3] = {today.wYear, today.wMonth, today.wDay};
  const int b[3] = {d[0] + 1900, d[1], d[2]};
  for (int i = 0; i < 3; ++i)
    if (a[i] != b[i]) return a[i] > b[i] ? 1 : -1;
  return 0;
}

bool IsTargetOs(uint32_t targetOs) {
  // Asked for every package: a process-wide cache would hide a change of the system's kind
  // from a long-lived caller, and the check costs a few registry reads.
  if (!IsWindowsNt()) return targetOs & kOsWindows95;
  return targetOs & (IsNtServer() ? kOsNtServer : kOsNtWorkstation);
}

bool IsInTimeWindowAt(const uint8_t from[3], const uint8_t to[3], long now) {
  return SecondsOf(from) <= now && now <= SecondsOf(to);
}

bool IsInTimeWindow(const uint8_t from[3], const uint8_t to[3]) {
  SYSTEMTIME t;
  GetLocalTime(&t);
  return IsInTimeWindowAt(from, to, t.wHour * 3600L + t.wMinute * 60L + t.wSecond);
}

bool doCheckPkg(const plx::PackageRecord& pkg) {
  SYSTEMTIME today;
  GetLocalTime(&today);
  Trace("doCheckPkg: today is %d-%d-%d\n", today.wMonth, today.wDay, today.wYear);
  Trace("checking target OS type\n");
  if (!IsTargetOs(pkg.TargetOs)) {
    Trace("package is not intended for this OS type\n");
    return false;
  }
  Trace("checking package time range\n");
  if ((pkg.Flags & kFlagTimeRestricted) && !IsInTimeWindow(pkg.TimeFrom, pkg.TimeTo)) {
    Trace("package is time restricted and not in range\n");
    return false;
  }
  Trace("checking if package is ready\n");
  if (pkg.Flags & kFlagNotReady) {
    Trace("package is not ready\n");
    return false;
  }
  Trace("checking if package is active (status = %c)\n", pkg.Status);
  if (pkg.Status != 'A') {
    Trace("package is not active\n");
    return false;
  }
  Trace("checking package start date (%d/%d/%d)\n", pkg.StartDate[1], pkg.StartDate[2], pkg.StartDate[0]);
  if (CompareDate(today, pkg.StartDate) < 0) {
    Trace("not yet start date\n");
    return false;
  }
  Trace("checking package flags (%08X)\n", pkg.Flags);
  if (pkg.Flags & kFlagDeleted) {
    Trace("package is deleted\n");
    return false;
  }
  return true;
}

ForceDecision ApplyForceOptions(const plx::PackageRecord& pkg) {
  Trace("processing 'force' options\n");
  if (pkg.Options & (kOptionNoAsk | kOptionRepeating)) return ForceDecision::Install;
  const ForceDecision reached = (pkg.Options & kOptionInstallWhenForced) ? ForceDecision::Install : ForceDecision::RefusePermanently;
  bool ask = true;
  ForceDecision d = ForceDecision::Install;
  SYSTEMTIME today;
  GetLocalTime(&today);
  if ((pkg.Options & kOptionForceDate) && CompareDate(today, pkg.ForceDate) >= 0) {
    d = reached;
    ask = false;
  }
  if (ask) {
    if (AskYesNo("Do you want to install this package now?(Y/N)", pkg.Name, "Accept Package")) {
      d = ForceDecision::Install;
    } else {
      d = ForceDecision::Refuse;
      // The count does not include this refusal yet: the one that reaches the limit decides.
      if ((pkg.Options & kOptionMaxRefusals) && gContext.rows.RefusalCount + 2 > pkg.MaxRefusals) d = reached;
    }
  }
  if (d == ForceDecision::RefusePermanently) {
    AddHistoryEntry(pkg.PackageId, gContext.szMachineId, "User refused package permanently.");
    WritePackageStatus(gContext.szMachineId, gContext.szLoginName, kStatusRefusedPermanently);
  } else if (d == ForceDecision::Refuse) {
    AddHistoryEntry(pkg.PackageId, gContext.szMachineId, "User refused package.");
    WritePackageStatus(gContext.szMachineId, gContext.szLoginName, kStatusRefused);
  }
  if (d != ForceDecision::Install) Trace("package was refused\n");
  return d;
}
