// A package's tasks, run in order.
#pragma once
#include <stdint.h>

// 0 success, -100 restart requested, -101 a script stopped the package, else failure.
int PerformPackageTasks(const char* targetPath, uint32_t packageId, uint32_t serverId);

int doExecutableTask(const char* app, const char* args, const char* packagePath, int wait);
int doFileCopyTask(const char* app, const char* sourceDir);
int PathFileCopyTask(const char* name, const char* packagePath, bool fromPackageDir);
int doTessel(const char* fileset, const char* tesselPath);
int FilesetTask(const char* name, const char* targetPath, const char* packagePath);

// What GetAppType tells of a program file.
enum AppType : int {
  kAppUnknown = 0,
  kAppDos = 1,
  kAppOs2 = 2,
  kAppLx = 3,
  kAppWindows16 = 4,
  kAppWin32 = 5,
  kAppNetWareModule = 7,
};
int GetAppType(const char* path);
