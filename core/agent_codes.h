// The numbers the package tables, the tasks and the script results carry, by name.
#pragma once
#include <stdint.h>

// Results beside 0 and message numbers.
enum ResultCode : int {
  kResultReported = -1,        // failed, and the failure was reported already
  kResultScriptExit = -2,      // the script ended by EXIT
  kResultRestart = -100,       // a package asked for Windows to restart
  kResultPackageStopped = -101,  // a script stopped the package
};

// The status a package user or machine row stores.
enum PackageStatus : uint16_t {
  kStatusPending = 0,
  kStatusCompleted = 1,
  kStatusRefused = 2,             // ask again next time
  kStatusRefusedPermanently = 3,
  kStatusFailed = 4,
  kStatusFailedRetry = 5,         // failed, but may be tried again
};

// Package Options bits.
enum PackageOption : uint32_t {
  kOptionNoAsk = 0x0001,             // install without asking the user
  kOptionForceDate = 0x0002,         // ForceDate is in force
  kOptionMaxRefusals = 0x0004,       // MaxRefusals is in force
  kOptionInstallWhenForced = 0x0008,  // at the force date or refusal limit: install, else refuse for good
  kOptionOverridePath = 0x0010,      // offer to override the install path
  kOptionAbortWithoutWindows = 0x0020,
  kOptionNeedsWindows = 0x0080,      // ask for the Windows directory when none is known
  kOptionWindowsInPath = 0x0100,     // as kOptionNeedsWindows, and put it on the start-up PATH
  kOptionRepeating = 0x0200,         // never ask; a completed run is stored as pending
  kOptionReportRetval = 0x0800,      // report a script function's non-zero [RETVAL]
  kOptionRetryFailures = 0x2000,     // failed runs may be retried up to MaxFailures
  kOptionPerWorkstation = 0x4000,    // done on another workstation still runs here
  kOptionJournal = 0x8000,           // journal changes for undo
};

// Package Flags bits.
enum PackageFlag : uint32_t {
  kFlagDeleted = 0x0002,
  kFlagTimeRestricted = 0x0200,
  kFlagNotReady = 0x0800,
};

// Package TargetOs bits.
enum TargetOsBit : uint32_t {
  kOsNtServer = 0x1,
  kOsNtWorkstation = 0x2,
  kOsWindows95 = 0x4,
};

// Package task types and task flags.
enum TaskType : uint32_t {
  kTaskFileset = 1,
  kTaskQuickScript = 2,
  kTaskProgram = 3,
  kTaskFileCopy = 4,
  kTaskPathFileCopy = 5,
  kTaskTessel = 6,
};
enum TaskFlag : uint32_t {
  kTaskWaitForProgram = 0x1,
  kTaskStopOnFailure = 0x2,
};

// What a package user row targets.
enum TargetKind : uint32_t { kKindGroup = 5, kKindUser = 6, kKindSite = 7, kKindMachine = 8 };

// Package user RowFlags bits.
enum RowFlag : uint32_t { kRowFromServer = 0x1 };

// Key numbers of the requester reads.
enum KeyNumber : uint32_t {
  kKeyRecordId = 0,       // any table: the row's RecordId
  kKeyServerName = 3,     // servers: the name
  kKeyPackageWalk = 4,    // packages: all, in index order
  kKeyPackageId = 5,      // packages: server, package
  kKeyTargeting = 6,      // package users: server, package, 1, kind
  kKeyTargetName = 7,     // package users: server, package, kind, name
  kKeyOfPackage = 8,      // dependencies and tasks: server, package
};
