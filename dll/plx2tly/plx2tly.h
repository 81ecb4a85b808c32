// plx2tly.dll: the metering bridge. Non-zero: the metering product will start commandLine
// again under impersonation, so the caller must end.
#pragma once
#include <stdint.h>

#ifdef PLX2TLY_BUILD
#define PLX2TLY_API extern "C" __declspec(dllexport)
#else
#define PLX2TLY_API extern "C" __declspec(dllimport)
#endif

PLX2TLY_API uint8_t DeferToTallyhold(const char* server, const char* commandLine);
