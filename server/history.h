// The package history on the server.
#pragma once
#include <stdint.h>

// 0 on success, -1 on failure (already printed where a text is due).
int AddHistoryEntry(uint32_t packageId, const char* machineId, const char* text);
