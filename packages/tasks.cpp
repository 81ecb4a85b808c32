#include "tasks.h"

#include <string.h>
#include <windows.h>

#include <vector>

#include "agent_codes.h"
#include "bounded_text.h"
#include "cvfset32.h"
#include "dllfile.h"
#include "filesys.h"
#include "messages.h"
#include "ondemand.h"
#include "paths.h"
#include "plx/bytes.h"
#include "program.h"
#include "quickscript.h"
#include "run_state.h"
#include "status_window.h"
#include "tables.h"
#include "variable_store.h"
#include "win_handle.h"

namespace {

// Message numbers of the task types.
constexpr uint32_t kMsgNoCopySpace = 152, kMsgCopyError = 155, kMsgNotAnApp = 149, kMsgCannotRun = 148,
                   kMsgAppFailed = 153, kMsgTesselFailed = 166;
// Message numbers of the fileset task.
constexpr uint32_t kMsgFsetOpen = 121, kMsgFsetInvalid = 123, kMsgFsetCreate = 124, kMsgFsetError = 125,
                   kMsgFsetNoSpace = 129, kMsgFsetNewer = 132, kMsgFsetOlder = 150, kMsgFsetBackup = 151,
                   kMsgFsetCorrupt = 160;
constexpr int kCopyNoSpace = 499;  // the copy's "destination drive lacks room"
// A source or target name that does not fit a path: the system's "name too long", reported
// the way a failed copy is, so that no shorter name is ever used in its place.
constexpr int kPathTooLong = ERROR_FILENAME_EXCED_RANGE;
constexpr size_t kMzHeaderBytes = 28, kNewHeaderBytes = 64;
constexpr size_t kMzRelocationAt = 24, kMzNewHeaderAt = 60, kNewHeaderSystemAt = 54;
constexpr uint16_t kMzFirstNewHeader = 64;  // a relocation table below this: a DOS program

int32_t ReadTask(uint32_t op, uint32_t serverId, uint32_t packageId, plx::PackageTaskRecord& task) {
  std::vector<uint8_t> key = NumberKey({serverId, packageId}), buf;
  int32_t st = ReadRecord(gContext.hConnection, plx::kTableTask, op, kKeyOfPackage, key, buf);
  if (st == 0) plx::Decode(buf.data(), task);
  return st;
}

// [TARGET] joined with a file name; false when it does not fit.
bool TargetFile(const char* name, char* out, size_t size) {
  char target[kVarValueSize] = {};
  VariableStore::GetString("[TARGET]", target);
  return CopyText(out, size, target) && AppendPath(out, size, name);
}

bool SourceFile(const char* dir, const char* name, char* out, size_t size) {
  return CopyText(out, size, dir) && AppendPath(out, size, name);
}

// The copy step shared by program and file tasks: 0, 499 or another error number.
int CopyWithStatus(const char* source, const char* target) {
  ShowFileStatus("Copying:", source, target);
  int e = CopyFileWithProgress(target, source, true);
  ShowFileStatus(nullptr, nullptr, nullptr);
  return e;
}

int ReportCopyFailure(int e, const char* app) {
  if (e == kCopyNoSpace)
    ReportMessage(1, kMsgNoCopySpace, app);
  else if (e != 0)
    ReportMessage(1, kMsgCopyError, e, app);
  return e;
}

int RunTask(const plx::PackageTaskRecord& task, const char* targetPath) {
  switch (task.TaskType) {
    case kTaskFileset: return FilesetTask(task.TaskName, targetPath, gContext.szPackagePath);
    case kTaskQuickScript: return RunQuickScript(task.TaskName, gContext.szPackagePath);
    case kTaskProgram:
      return doExecutableTask(task.TaskName, task.TaskArgs, gContext.szPackagePath,
                              (task.TaskFlags & kTaskWaitForProgram) ? 1 : 0);
    case kTaskFileCopy: return doFileCopyTask(task.TaskName, gContext.szPackagePath);
    case kTaskPathFileCopy: return PathFileCopyTask(task.TaskName, gContext.szPackagePath, task.ServerId != 0);
    case kTaskTessel: return doTessel(task.TaskName, gContext.szTesselPath);
  }
  return 0;
}

}  // namespace

int PerformPackageTasks(const char* targetPath, uint32_t packageId, uint32_t serverId) {
  Trace("processing package tasks\n");
  plx::PackageTaskRecord task;
  int result = 0;
  for (int32_t st = ReadTask(plx::kOpGetEqual, serverId, packageId, task);
       st == 0 && task.PackageId == packageId && task.ServerId == serverId;
       st = ReadTask(plx::kOpGetNext, serverId, packageId, task)) {
    PumpMessages();
    if (task.TaskType < kTaskFileset || task.TaskType > kTaskTessel) continue;  // unknown types leave the result alone
    result = RunTask(task, targetPath);
    if (result == kResultRestart || result == kResultPackageStopped) return result;
    if (result != 0 && (task.TaskFlags & kTaskStopOnFailure)) return result;
  }
  return result;
}

namespace {

// The percent the bar shows, kept from one progress call to the next (and from one fileset
// to the next): the window is redrawn only when it changes.
int nLastPercent = 0;

void __stdcall FilesetProgress(uint32_t total, uint32_t done, const char* fromName, const char* toName,
                               uint8_t* abortFlag) {
  if (abortFlag) *abortFlag = 0;
  int percent = total == 0 ? 0 : int(uint64_t(done) * 100 / total);
  if (percent == nLastPercent) return;
  ShowFileStatus("Decompressing:", fromName, toName);
  ProgressSet(percent);
  nLastPercent = percent;
}

uint16_t __stdcall FilesetFileCallback(const char* path) {
  if (!(gContext.currentPackage.Options & kOptionJournal)) return 0;
  char buffer[kJournalPathSize];
  if (!CopyText(buffer, path)) return 1;  // a path the journal cannot hold cannot be put back
  return JournalFilesetFile(buffer) == 0 ? 0 : 1;
}

// The message of a space-check status: the four it knows; any other under its own number.
uint32_t SpaceCheckMessage(uint16_t s) {
  switch (s) {
    case kFsetOpenFailed: return kMsgFsetOpen;
    case kFsetNotFileset: return kMsgFsetInvalid;
    case kFsetCorrupt: return kMsgFsetCorrupt;
    case kFsetCreateFailed:
    case kFsetOutOfSpace: return kMsgFsetNoSpace;
  }
  return s;
}

uint32_t DecompressMessage(uint16_t s) {
  switch (s) {
    case kFsetOpenFailed: return kMsgFsetOpen;
    case kFsetCreateFailed: return kMsgFsetCreate;
    case kFsetNotFileset: return kMsgFsetInvalid;
    case kFsetOlderFormat: return kMsgFsetOlder;
    case kFsetNewerFormat: return kMsgFsetNewer;
    case kFsetJournalFailed: return kMsgFsetBackup;
    case kFsetCorrupt: return kMsgFsetCorrupt;
    case kFsetOutOfSpace: return kMsgFsetNoSpace;
  }
  return kMsgFsetError;
}

void ReportFilesetFailure(uint32_t message, const char* filesetPath, const char* targetPath) {
  if (message == kMsgFsetNoSpace)
    ReportMessage(1, message, filesetPath, targetPath);
  else
    ReportMessage(1, message, filesetPath);
}

// The separator of the results box: two empty lines.
void ResultsSeparator() { PrintResults("\n\n"); }

}  // namespace

int JournalFilesetFile(char (&path)[kJournalPathSize]) {
  // The journal is not part of this agent yet: a file that cannot be recorded must not be
  // written, so a journalled fileset fails in the open until the journal records it here.
  Trace("no journal for '%s'\n", path);
  return 1;
}

int decompressFileset(const char* name, const char* targetPath, const char* packagePath) {
  char filesetPath[MAX_PATH];
  // A fileset path that does not fit is refused as a path the agent cannot work with.
  if (!CopyText(filesetPath, packagePath) || !AppendPath(filesetPath, name)) {
    ReportMessage(1, kBadPathMessage, name);
    return kResultReported;
  }
  Trace("decompressFileset: '%s'\n", filesetPath);
  Trace("target path: '%s'\n", targetPath);
  // The library lives beside the agent. Without it no fileset can be read: reported as
  // "Error in Fileset", the message for what the library's statuses do not name.
  char libraryPath[MAX_PATH] = {};
  plxwin::Module library;
  if (plxdll::FileBesideModule(reinterpret_cast<const void*>(&FilesetTask), kFsetLibraryName, libraryPath,
                               sizeof libraryPath))
    library.Reset(LoadLibraryA(libraryPath));
  auto spaceCheck = library ? reinterpret_cast<FsetSpaceCheckProc>(
                                  reinterpret_cast<void*>(GetProcAddress(library.Get(), kFsetSpaceCheckName)))
                            : nullptr;
  auto unCrush = library ? reinterpret_cast<FsetUnCrushProc>(
                               reinterpret_cast<void*>(GetProcAddress(library.Get(), kFsetUnCrushName)))
                         : nullptr;
  if (!spaceCheck || !unCrush) {
    Trace("decompressFileset: no fileset library at '%s'\n", libraryPath);
    ResultsSeparator();
    ReportMessage(1, kMsgFsetError, filesetPath);
    return kResultReported;
  }
  if (uint16_t s = spaceCheck(filesetPath, targetPath)) {
    ResultsSeparator();
    ReportFilesetFailure(SpaceCheckMessage(s), filesetPath, targetPath);
    return kResultReported;
  }
  ProgressStart();
  uint16_t s = unCrush(filesetPath, targetPath, FilesetProgress, FilesetFileCallback);
  Trace("finished decompressing fileset, rc = %ld\n", long(s));
  if (s != 0) ReportFilesetFailure(DecompressMessage(s), filesetPath, targetPath);
  ResultsSeparator();
  ProgressReset();
  ShowFileStatus(nullptr, nullptr, nullptr);
  return s == 0 ? 0 : kResultReported;
}

int FilesetTask(const char* name, const char* targetPath, const char* packagePath) {
  if (!name || !*name) return 0;
  OnDemandStatus("decompressing fileset %s", name);
  Trace("decompressing fileset %s\n", name);
  return decompressFileset(name, targetPath, packagePath);
}

int GetAppType(const char* path) {
  const char* dot = strrchr(path, '.');
  if (dot && _stricmp(dot + 1, "COM") == 0) return kAppDos;
  if (dot && _stricmp(dot + 1, "NLM") == 0) return kAppNetWareModule;
  plxwin::Handle file;
  if (OpenFileForRead(path, file) != 0) return kAppUnknown;
  uint8_t mz[kNewHeaderBytes] = {};
  DWORD got = 0;
  ReadFileBlock(file.Get(), mz, sizeof mz, &got);
  if (got < kMzHeaderBytes || mz[0] != 'M' || mz[1] != 'Z') return kAppUnknown;
  if (plx::GetU16(mz + kMzRelocationAt) < kMzFirstNewHeader || got < kMzNewHeaderAt + 2) return kAppDos;
  uint8_t nh[kNewHeaderBytes] = {};
  DWORD nhGot = 0;
  SetFilePointer(file.Get(), LONG(plx::GetU16(mz + kMzNewHeaderAt)), nullptr, FILE_BEGIN);
  ReadFileBlock(file.Get(), nh, sizeof nh, &nhGot);
  if (nhGot < kNewHeaderBytes) return kAppDos;
  if (nh[0] == 'P' && nh[1] == 'E' && nh[2] == 0 && nh[3] == 0) return kAppWin32;
  if (nh[0] == 'L' && nh[1] == 'X') return kAppLx;
  // The new header's target system: 1 OS/2, 2 Windows.
  switch (nh[kNewHeaderSystemAt]) {
    case 1: return kAppOs2;
    case 2: return kAppWindows16;
  }
  return kAppDos;
}

int doExecutableTask(const char* app, const char* args, const char* packagePath, int wait) {
  Trace("doExecutableTask ... path = '%s', app name = '%s', cmd line = '%s'\n", packagePath, app, args);
  OnDemandStatus("executing %s", app);
  char target[MAX_PATH], source[MAX_PATH];
  if (!TargetFile(app, target, sizeof target) || !SourceFile(packagePath, app, source, sizeof source))
    return ReportCopyFailure(kPathTooLong, app);
  Trace("copying app to target path (%s)\n", target);
  if (int e = CopyWithStatus(source, target)) return ReportCopyFailure(e, app);
  int type = GetAppType(target);
  if (type == kAppUnknown) {
    ReportMessage(1, kMsgNotAnApp, app);
    return kResultReported;
  }
  Trace("doExecutableTask: app (%s) type is %d\n", target, type);
  const bool runs = type == kAppDos || type == kAppWindows16 || type == kAppWin32;
  int r = runs ? RunProgram(wait, target, args, 1) : kMsgCannotRun;
  if (r == 0) return 0;
  if (r == kMsgCannotRun)
    ReportMessage(1, kMsgCannotRun, app);
  else
    ReportMessage(1, kMsgAppFailed, app, r);
  return kResultReported;
}

int doFileCopyTask(const char* app, const char* sourceDir) {
  Trace("doFileCopyTask: app name = '%s' app path = '%s'\n", app, sourceDir);
  char target[MAX_PATH], source[MAX_PATH];
  if (!TargetFile(app, target, sizeof target) || !SourceFile(sourceDir, app, source, sizeof source))
    return ReportCopyFailure(kPathTooLong, app);
  OnDemandStatus("copying file %s", source);
  Trace("copying '%s' to '%s'\n", source, target);
  return ReportCopyFailure(CopyWithStatus(source, target), app);
}

int PathFileCopyTask(const char* name, const char* packagePath, bool fromPackageDir) {
  char dir[sizeof(plx::PackageTaskRecord::TaskName)], file[sizeof(plx::PackageTaskRecord::TaskName)];
  if (!CopyText(dir, name)) return ReportCopyFailure(kPathTooLong, name);
  CopyText(file, name);
  if (char* slash = strrchr(dir, '\\')) {
    *slash = '\0';
    CopyText(file, slash + 1);
  }
  return doFileCopyTask(file, fromPackageDir ? packagePath : dir);
}

int doTessel(const char* fileset, const char* tesselPath) {
  Trace("doTessel: fileset = '%s' tessel path = '%s'\n", fileset, tesselPath);
  char base[MAX_PATH];
  char ini[MAX_PATH], program[MAX_PATH];
  bool fits = CopyText(base, fileset);
  if (char* dot = strchr(base, '.')) *dot = '\0';
  fits = fits && CopyText(ini, tesselPath) && AppendPath(ini, base) && AppendPath(ini, base) &&
         AppendText(ini, ".INI") && CopyText(program, tesselPath) && AppendPath(program, base) &&
         AppendPath(program, "TSSETUP.EXE");
  if (!fits) {
    ReportMessage(1, kMsgTesselFailed, long(kPathTooLong), fileset);
    return kPathTooLong;
  }
  Trace("doTessel: executing app: '%s' with cmdline: '%s'\n", program, ini);
  int r = RunProgram(1, program, gOptions.bSilent ? "/SILENT" : "", 1);
  if (r != 0) ReportMessage(1, kMsgTesselFailed, long(r), fileset);
  return r;
}
