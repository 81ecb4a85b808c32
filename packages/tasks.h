// A package's tasks, run in order.
#pragma once
#include <stddef.h>
#include <stdint.h>

// 0 success, -100 restart requested, -101 a script stopped the package, else failure.
int PerformPackageTasks(const char* targetPath, uint32_t packageId, uint32_t serverId);

int doExecutableTask(const char* app, const char* args, const char* packagePath, int wait);
int doFileCopyTask(const char* app, const char* sourceDir);
int PathFileCopyTask(const char* name, const char* packagePath, bool fromPackageDir);
int doTessel(const char* fileset, const char* tesselPath);
int FilesetTask(const char* name, const char* targetPath, const char* packagePath);
// The fileset library's work for FilesetTask: space check, decompression, messages.
int decompressFileset(const char* name, const char* targetPath, const char* packagePath);

// Records a file of a fileset in the undo journal before the library writes it (packages
// with the journal option only); 0 when it was recorded.
constexpr size_t kJournalPathSize = 510;
int JournalFilesetFile(char (&path)[kJournalPathSize]);

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
