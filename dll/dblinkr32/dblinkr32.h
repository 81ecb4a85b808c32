// Dblinkr32.dll: the database requester. Every call returns 0 or a requester status
// (10612: nothing (more) matches; 10619: table lock not obtained).
#pragma once
#include <stdint.h>

#ifdef DBLINKR32_BUILD
#define DBLINKR32_API extern "C" __declspec(dllexport)
#else
#define DBLINKR32_API extern "C" __declspec(dllimport)
#endif

// params: three 32-bit words: 12 (the block's size), retries, time-out in seconds.
DBLINKR32_API int32_t DBInitRequesterEx(const char* server, const uint32_t* params);
DBLINKR32_API int32_t DBInitSessionEx(uint32_t* session);
DBLINKR32_API int32_t DBConnectEx(uint32_t session, const char* server, const char* user,
                                  const char* password, const char* product, uint32_t reserved,
                                  uint32_t* connection);
// path and second: 256 bytes each.
DBLINKR32_API int32_t DBGetPathAppInstalledEx(const char* server, const char* item, char* path,
                                              char* second);
DBLINKR32_API int32_t DBOperationEx(uint32_t connection, uint32_t table, uint32_t cls, uint32_t op,
                                    uint32_t keyNo, uint32_t keyLength, uint32_t recordLength,
                                    void* key, void* record);
DBLINKR32_API int32_t DBDisconnectEx(uint32_t connection);
DBLINKR32_API int32_t DBTerminateSessionEx(uint32_t session);
DBLINKR32_API int32_t DBTerminateRequesterEx(const char* server);
