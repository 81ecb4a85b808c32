// CORVNET.dll: what the agent may ask about the server, the user and the workstation.
// Texts are NUL-terminated ANSI strings; results are 0 for success unless said otherwise.
#pragma once
#include <stdint.h>

#ifdef CORVNET_BUILD
#define CORVNET_API extern "C" __declspec(dllexport)
#else
#define CORVNET_API extern "C" __declspec(dllimport)
#endif

enum { kNetNameSize = 64, kNetUserSize = 128, kNetTextSize = 256, kNetAddrSize = 22 };

// 0: server of that directory in name (64 bytes); 1: not a network drive;
// 3: unsupported network configuration; 2: the server cannot be determined.
CORVNET_API int getServerFromPath(const char* directory, char* name);
CORVNET_API int NWInit(const char* server);
CORVNET_API int NWDeInit(void);
CORVNET_API int getUserName(const char* server, char* name /* 128 */);
CORVNET_API int getFullName(const char* server, const char* login, char* name /* 256 */);
CORVNET_API int getLoginScriptName(const char* server, char* name /* 256 */);
CORVNET_API int getLoginScriptPath(const char* server, char* path /* 256 */);
CORVNET_API int getMachineName(char* name /* 256 */);
// 22 bytes: network number (8 hex digits, NUL), node address (12 hex digits, NUL).
CORVNET_API int getNetAddr(char* address);
// drive: 0 = A:. Non-zero when the letter is mapped to the network.
CORVNET_API int isNetworkDrive(int drive);
// Index (0 = A:) of a letter mapped to that UNC path, -1 when none.
CORVNET_API int getNetworkDrive(const char* uncPath);
// enumHandle starts at 0xFFFFFFFF. 0: name (64 bytes) holds the user's next package server.
CORVNET_API int GetNWMemberPackageServers(uint32_t* enumHandle, const char* login, char* name,
                                          uint8_t* flag, const char* firstServer);
// 0 done; -4 access denied; -3 not found; other: failure code.
CORVNET_API int setNWFileShareable(const char* directory, const char* file, int shareable);
// Non-zero when login is a member of group (on server; may be null).
CORVNET_API uint8_t IsUserInGroup(const char* group, const char* login, const char* server);
