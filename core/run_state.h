// The run-wide records of the agent: the parsed options and the context every subsystem
// reads. Both are single process-wide instances, filled by the run and read by every room.
#pragma once
#include <windows.h>
#include <stdint.h>

#include "plx/records.h"

struct AgentOptions {
  char szQuickScript[64] = {};
  char szImpersonateUser[128] = {};
  bool bNoShow = false;
  bool bSilent = false;
  bool bLog = false;
  char szAltLogFile[256] = {};
  bool bAutoExit = false;
  char szOnDemand[80] = {};
  int nOnDemandTimeout = 0;
  int nPackageId = 0;
  int nRetries = 1;
  int nTimeout = 6;
};

// What the targeting decision learned about the current package's status rows; read when
// its outcome is written and when history entries are added.
struct StatusRowState {
  int32_t MachineRowId = -1;  // -1: none
  int32_t UserRowId = -1;
  uint32_t RefusalCount = 0;
  uint32_t FailureCount = 0;
  int nDoneStatus = -1;  // the status found on a side that is already done; -1: none
  bool bMachineApplies = false;
  bool bUserApplies = false;
  uint32_t nPendingSourceRef = 0;  // from the last matching targeting row; used by the next insert
};

struct AgentContext {
  char szServerName[64] = {};
  char szLoginName[128] = {};
  char szMachineId[64] = {};
  char szSiteName[64] = {};
  char szAppPath[256] = {};
  char szPackagePath[256] = {};
  char szTesselPath[256] = {};
  char szConsolePath[256] = {};
  char szOnDemandDir[256] = {};
  uint32_t hSession = 0;
  uint32_t hConnection = 0;
  plx::PackageRecord currentPackage;
  uint32_t nCurrentPackageId = 0;
  StatusRowState rows;
  bool bBusy = false;
  bool bNoWindows = false;  // the Windows directory could not be obtained
  HINSTANCE hInstance = nullptr;
  HWND hMainDlg = nullptr;
};

extern AgentOptions gOptions;
extern AgentContext gContext;
