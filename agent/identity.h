// The workstation's identity: the 12-character id kept in equip.id at the root of the boot
// drive, the site name from the server, and the user information shown in the window.
#pragma once

constexpr int kIdLength = 12;
constexpr int kIdFileSize = 24;        // the id, then zeros
constexpr unsigned kIdFileAttributes = 0x27;  // read-only, hidden, system, archive

// True when machineId (64 bytes) holds a 12-character id; siteName (64 bytes) gets the
// site name, empty when the server does not give one. Message 101 when there is no boot
// drive.
bool GetWorkstationId(char* siteName, char* machineId);
// Draws a new id into machineId and stores it at path, replacing what is there. False when
// it cannot be stored.
bool GenerateWorkstationId(const char* path, char* machineId);
// Node address, server and login name into the user information of the status window.
void ShowUserInformation(const char* machineId, const char* siteName, const char* serverName,
                         const char* loginName);
