#include "script_platform.h"

#include <windows.h>

#include "filesys.h"
#include "run_state.h"

uint32_t CurrentPackageOptions() { return gContext.currentPackage.Options; }
int32_t LastSystemError() { return int32_t(GetLastError()); }
int32_t RunTimeErrorNumber() { return nRunTimeError; }
