// The workstation's identity: the 12-character id kept in equip.id at the root of the boot
// drive, the site name from the server, and the user information shown in the window.
#pragma once
#include <stddef.h>

constexpr int kIdLength = 12;
constexpr int kIdFileSize = 24;        // the id, then zeros
constexpr unsigned kIdFileAttributes = 0x27;  // read-only, hidden, system, archive

// True when machineId holds a 12-character id; siteName gets the site name (cut to its
// field), empty when the server does not give one. Message 101 when there is no boot drive.
bool GetWorkstationId(char* siteName, size_t siteSize, char* machineId, size_t idSize);
// Draws a new id into machineId and stores it at path, replacing what is there. False when
// it cannot be stored (or machineId cannot hold an id).
bool GenerateWorkstationId(const char* path, char* machineId, size_t idSize);

template <size_t S, size_t I>
bool GetWorkstationId(char (&siteName)[S], char (&machineId)[I]) {
  return GetWorkstationId(siteName, S, machineId, I);
}
template <size_t I>
bool GenerateWorkstationId(const char* path, char (&machineId)[I]) {
  return GenerateWorkstationId(path, machineId, I);
}
// Node address, server and login name into the user information of the status window.
void ShowUserInformation(const char* machineId, const char* siteName, const char* serverName,
                         const char* loginName);
