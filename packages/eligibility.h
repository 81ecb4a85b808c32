// Whether a package applies today: its own conditions, then the force options.
#pragma once
#include <windows.h>
#include <stdint.h>

#include "plx/records.h"

bool doCheckPkg(const plx::PackageRecord& pkg);
// 1 if the package date is before today, 0 if equal, -1 if after.
int CompareDate(const SYSTEMTIME& today, const uint8_t packageDate[3]);
// IsNtServer comes with the system variables' probes.
bool IsTargetOs(uint32_t targetOs);
bool IsInTimeWindow(const uint8_t from[3], const uint8_t to[3]);
// The same for a given time of day, in seconds since midnight.
bool IsInTimeWindowAt(const uint8_t from[3], const uint8_t to[3], long now);

enum class ForceDecision { Install, Refuse, RefusePermanently };
// Decides, asking the user where the package says so; refusals are written here.
ForceDecision ApplyForceOptions(const plx::PackageRecord& pkg);
