// Small Win32 helpers the companion DLLs (and the agent) share: the path of a file that
// lives beside the DLL (each DLL keeps its settings in an INI file there, so an
// administrator configures a share by dropping one file next to the binaries).
#pragma once
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "win_handle.h"

namespace plxdll {

// The DLLs' name for the shared owned kernel handle.
using Handle = plxwin::Handle;

// Wine reports a module loaded from a share as "\\?\UNC\SRV\..." or "UNC\SRV\...", Windows
// as "\\SRV\..."; GetPrivateProfileString wants the plain form.
inline void NormaliseModulePath(const char* in, char* out, size_t size) {
  if (strncmp(in, "\\\\?\\UNC\\", 8) == 0)
    snprintf(out, size, "\\\\%s", in + 8);
  else if (strncmp(in, "UNC\\", 4) == 0)
    snprintf(out, size, "\\\\%s", in + 4);
  else if (strncmp(in, "\\\\?\\", 4) == 0)
    snprintf(out, size, "%s", in + 4);
  else
    snprintf(out, size, "%s", in);
}

// Full path of `name` in the directory of the module that holds `addressInModule`.
// False when the module cannot be found or the path would not fit.
inline bool FileBesideModule(const void* addressInModule, const char* name, char* out, size_t size) {
  HMODULE module = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                              GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          static_cast<LPCSTR>(addressInModule), &module))
    return false;
  char raw[MAX_PATH];
  DWORD n = GetModuleFileNameA(module, raw, sizeof raw);
  if (n == 0 || n >= sizeof raw) return false;
  char path[MAX_PATH];
  NormaliseModulePath(raw, path, sizeof path);
  char* slash = strrchr(path, '\\');
  size_t dirLen = slash ? size_t(slash - path + 1) : 0;
  int w = snprintf(out, size, "%.*s%s", int(dirLen), path, name);
  return w > 0 && size_t(w) < size;
}

}  // namespace plxdll
