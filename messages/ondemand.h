// Status files of an on-demand run, for a watcher outside the agent.
#pragma once
#include <stddef.h>

// False when the server cannot say where its on-demand directory is, or (reported with
// message 161) when that directory does not fit dir.
bool BuildOnDemandDir(const char* serverName, char* dir, size_t size);
template <size_t N>
bool BuildOnDemandDir(const char* serverName, char (&dir)[N]) {
  return BuildOnDemandDir(serverName, dir, N);
}
void OnDemandNotifyStart(const char* dir, const char* name);
void OnDemandNotifyStatus(const char* dir, const char* name, const char* text);
void OnDemandNotifyEnd(const char* dir, const char* name);
// 0 or the errno of the failed create or write.
int WriteOnDemandFile(const char* dir, const char* name, const char* extension, const char* text);

// The status line of the running on-demand job, formatted; nothing when the run is not one.
void OnDemandStatus(const char* format, ...);
