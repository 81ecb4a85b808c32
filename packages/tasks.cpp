#include "tasks.h"

#include <stdio.h>
#include <string.h>
#include <windows.h>

#include <vector>

#include "agent_codes.h"
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

namespace {

int32_t ReadTask(uint32_t op, uint32_t serverId, uint32_t packageId, plx::PackageTaskRecord& task) {
  std::vector<uint8_t> key = NumberKey({serverId, packageId}), buf;
  int32_t st = ReadRecord(gContext.hConnection, plx::kTableTask, op, kKeyOfPackage, key, buf);
  if (st == 0) plx::Decode(buf.data(), task);
  return st;
}

// [TARGET] joined with a file name.
void TargetFile(const char* name, char* out /* 260 */) {
  out[0] = '\0';
  VariableStore::GetString("[TARGET]", out, 260);
  AppendPath(out, 260, name);
}

void SourceFile(const char* dir, const char* name, char* out /* 260 */) {
  plx::CopyText(out, 260, dir);
  AppendPath(out, 260, name);
}

// The copy step shared by program and file tasks: 0, 499 or another error number.
int CopyWithStatus(const char* source, const char* target) {
  ShowFileStatus("Copying:", source, target);
  int e = CopyFileWithProgress(target, source, true);
  ShowFileStatus(nullptr, nullptr, nullptr);
  return e;
}

int ReportCopyFailure(int e, const char* app) {
  if (e == 499)
    ReportMessage(1, 152, app);
  else if (e != 0)
    ReportMessage(1, 155, e, app);
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

int FilesetTask(const char* name, const char* targetPath, const char* packagePath) {
  if (!name || !*name) return 0;
  OnDemandStatus("decompressing fileset %s", name);
  Trace("decompressing fileset %s\n", name);
  // Filesets need the decompression library, which this agent does not carry yet: the task
  // fails in the open rather than passing for done.
  Trace("decompressFileset: no fileset library for '%s' into '%s' from '%s'\n", name, targetPath, packagePath);
  ReportMessage(1, 203, "decompressFileset");
  return kResultReported;
}

int GetAppType(const char* path) {
  const char* dot = strrchr(path, '.');
  if (dot && _stricmp(dot + 1, "COM") == 0) return 1;
  if (dot && _stricmp(dot + 1, "NLM") == 0) return 7;
  plxwin::Handle f;
  if (OpenFileForRead(path, f) != 0) return 0;
  uint8_t mz[64] = {};
  DWORD got = 0;
  ReadFileBlock(f.Get(), mz, sizeof mz, &got);
  int type = 0;
  if (got >= 28 && mz[0] == 'M' && mz[1] == 'Z') {
    if (plx::GetU16(mz + 24) < 64 || got < 62) {
      type = 1;
    } else {
      uint8_t nh[64] = {};
      DWORD nhGot = 0;
      SetFilePointer(f.Get(), LONG(plx::GetU16(mz + 60)), nullptr, FILE_BEGIN);
      ReadFileBlock(f.Get(), nh, sizeof nh, &nhGot);
      if (nhGot < 64) type = 1;
      else if (nh[0] == 'P' && nh[1] == 'E' && nh[2] == 0 && nh[3] == 0) type = 5;
      else if (nh[0] == 'L' && nh[1] == 'X') type = 3;
      else type = nh[54] == 1 ? 2 : nh[54] == 2 ? 4 : 1;
    }
  }
  return type;
}

int doExecutableTask(const char* app, const char* args, const char* packagePath, int wait) {
  Trace("doExecutableTask ... path = '%s', app name = '%s', cmd line = '%s'\n", packagePath, app, args);
  OnDemandStatus("executing %s", app);
  char target[260], source[260];
  TargetFile(app, target);
  SourceFile(packagePath, app, source);
  Trace("copying app to target path (%s)\n", target);
  if (int e = CopyWithStatus(source, target)) return ReportCopyFailure(e, app);
  int type = GetAppType(target);
  if (type == 0) {
    ReportMessage(1, 149, app);
    return kResultReported;
  }
  Trace("doExecutableTask: app (%s) type is %d\n", target, type);
  int r = (type == 1 || type == 4 || type == 5) ? RunProgram(wait, target, args, 1) : 148;
  if (r == 0) return 0;
  if (r == 148)
    ReportMessage(1, 148, app);
  else
    ReportMessage(1, 153, app, r);
  return kResultReported;
}

int doFileCopyTask(const char* app, const char* sourceDir) {
  Trace("doFileCopyTask: app name = '%s' app path = '%s'\n", app, sourceDir);
  char target[260], source[260];
  TargetFile(app, target);
  SourceFile(sourceDir, app, source);
  OnDemandStatus("copying file %s", source);
  Trace("copying '%s' to '%s'\n", source, target);
  return ReportCopyFailure(CopyWithStatus(source, target), app);
}

int PathFileCopyTask(const char* name, const char* packagePath, bool fromPackageDir) {
  char dir[260], file[260];
  plx::CopyText(dir, sizeof dir, name);
  plx::CopyText(file, sizeof file, name);
  if (char* slash = strrchr(dir, '\\')) {
    *slash = '\0';
    plx::CopyText(file, sizeof file, slash + 1);
  }
  return doFileCopyTask(file, fromPackageDir ? packagePath : dir);
}

int doTessel(const char* fileset, const char* tesselPath) {
  Trace("doTessel: fileset = '%s' tessel path = '%s'\n", fileset, tesselPath);
  char base[260];
  plx::CopyText(base, sizeof base, fileset);
  if (char* dot = strchr(base, '.')) *dot = '\0';
  char ini[260], program[260];
  plx::CopyText(ini, sizeof ini, tesselPath);
  AppendPath(ini, base);
  AppendPath(ini, base);
  strncat(ini, ".INI", sizeof ini - strlen(ini) - 1);
  plx::CopyText(program, sizeof program, tesselPath);
  AppendPath(program, base);
  AppendPath(program, "TSSETUP.EXE");
  Trace("doTessel: executing app: '%s' with cmdline: '%s'\n", program, ini);
  int r = RunProgram(1, program, gOptions.bSilent ? "/SILENT" : "", 1);
  if (r != 0) ReportMessage(1, 166, r, fileset);
  return r;
}
