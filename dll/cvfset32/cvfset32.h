// CVFSET32.dll: the fileset library. Two calls, both stdcall, exported under their
// decorated names on every architecture, so the agent finds them with GetProcAddress:
//
//   _lzDoSpaceCheck@8   (filesetPath, targetPath)
//   _lzUnCrushFsetEx@16 (filesetPath, targetPath, progressCallback, fileCallback)
//
// Both return a status; 0 is success.
#pragma once
#include <windows.h>

#include <stdint.h>

enum FilesetStatus : uint16_t {
  kFsetOk = 0,
  kFsetOpenFailed = 4,     // the fileset cannot be opened or read
  kFsetCreateFailed = 5,   // a folder or file under the target cannot be made or written
  kFsetNotFileset = 6,     // not an archive at all
  kFsetOlderFormat = 7,
  kFsetNewerFormat = 8,
  kFsetJournalFailed = 10,  // the file callback refused the file
  kFsetAborted = 11,        // the progress callback set the abort byte
  kFsetCorrupt = 12,        // cut short, a bad checksum, a name that leaves the target
  kFsetEncrypted = 13,      // a member needs a password
  kFsetNoMemory = 14,
  kFsetOutOfSpace = 22,
};

// total and done count bytes of the members' content; the callback sets *abortFlag to
// non-zero to stop.
typedef void(__stdcall* FsetProgressCallback)(uint32_t total, uint32_t done, const char* fromName,
                                               const char* toName, uint8_t* abortFlag);
// Called before a file is written; 0 to go on, 1 to stop with kFsetJournalFailed.
typedef uint16_t(__stdcall* FsetFileCallback)(const char* path);

typedef uint16_t(__stdcall* FsetSpaceCheckProc)(const char* filesetPath, const char* targetPath);
typedef uint16_t(__stdcall* FsetUnCrushProc)(const char* filesetPath, const char* targetPath,
                                             FsetProgressCallback progress, FsetFileCallback file);

constexpr char kFsetLibraryName[] = "CVFSET32.dll";
constexpr char kFsetSpaceCheckName[] = "_lzDoSpaceCheck@8";
constexpr char kFsetUnCrushName[] = "_lzUnCrushFsetEx@16";
