// The system variables that describe the workstation, the user and the network, and the
// small probes behind their values.
#pragma once
#include <stddef.h>
#include <stdint.h>

// Creates the store and defines the 22 system variables in their fixed order. 0, or -1
// after the failure was reported (105 for a variable, 101 for the boot drive).
int InitSystemVariables(const char* serverName);

// Number of the boot drive (1 = A: ... 26 = Z:) from the registry, or -1.
int BootDriveNumber();

// The probes, each asking the system afresh.

// Both 0 when the version cannot be had.
void GetOsVersionNumbers(int32_t* major, int32_t* minor);
// "Windows 95", "Windows NT" or "Windows NT Server" into out.
void GetOsName(char* out, size_t size);
// The Windows NT platform, as GetVersionExA reports it.
bool IsWindowsNt();
// On the NT platform only: ProductType "ServerNT" or "LanManNT" (any case) under
// ProductOptions.
bool IsNtServer();
// "C:\" for 3 into out (at least 4 bytes; a smaller one is left empty).
void DriveRoot(int number, char* out, size_t size);
template <size_t N>
void DriveRoot(int number, char (&out)[N]) {
  DriveRoot(number, out, N);
}
// The first of C: to Z: that the network library calls a network drive; 0 when none.
int FirstNetworkDrive();
// The first fixed disk from C: up to below networkDrive; networkDrive itself when there
// is none (or when it is C: or lower).
int FirstHardDrive(int networkDrive);
// The directory of the NET.CFG on the search path without its trailing backslash, or ""
// (also when it does not fit out).
void GetNetCfgDirectory(char* out, size_t size);
template <size_t N>
void GetNetCfgDirectory(char (&out)[N]) {
  GetNetCfgDirectory(out, N);
}
// The cut applied to a found NET.CFG path, in place.
void CutNetCfgPath(char* path);
