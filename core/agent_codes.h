// The numbers the package tables, the tasks and the script results carry, by name.
#pragma once
#include <stdint.h>

#include "plx/records.h"

// Results beside 0 and message numbers.
enum ResultCode : int {
  kResultReported = -1,        // failed, and the failure was reported already
  kResultScriptExit = -2,      // the script ended by EXIT
  kResultRestart = -100,       // a package asked for Windows to restart
  kResultPackageStopped = -101,  // a script stopped the package
};

// The status a package user or machine row stores, what a targeting row names, and the key
// numbers: shared with the service, so they are defined once beside the records.
using plx::PackageStatus;
using plx::kStatusPending;
using plx::kStatusCompleted;
using plx::kStatusRefused;
using plx::kStatusRefusedPermanently;
using plx::kStatusFailed;
using plx::kStatusFailedRetry;
using plx::TargetKind;
using plx::kKindGroup;
using plx::kKindUser;
using plx::kKindSite;
using plx::kKindMachine;
using plx::KeyNumber;
using plx::kKeyRecordId;
using plx::kKeyServerName;
using plx::kKeyPackageWalk;
using plx::kKeyPackageId;
using plx::kKeyTargeting;
using plx::kKeyTargetName;
using plx::kKeyOfPackage;

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

// Package user RowFlags bits.
enum RowFlag : uint32_t { kRowFromServer = 0x1 };

