// What running a function needs to know from the system around it: whether the current
// package wants function errors reported, and the last error codes of the system and of
// the file routines.
#pragma once
#include <stdint.h>

uint32_t CurrentPackageOptions();
int32_t LastSystemError();
int32_t RunTimeErrorNumber();
