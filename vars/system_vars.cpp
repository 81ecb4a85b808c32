#include "system_vars.h"

#include <windows.h>
#include <ctype.h>
#include <stdio.h>
#include <string.h>

#include "corvnet.h"
#include "messages.h"
#include "bounded_text.h"
#include "run_state.h"
#include "variable_store.h"
#include "win_handle.h"

namespace {

constexpr char kProductOptionsKey[] = "System\\CurrentControlSet\\Control\\ProductOptions";
constexpr char kWin95SetupKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Setup";
constexpr char kNtCurrentVersionKey[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

bool GetVersionInfo(OSVERSIONINFOA& vi) {
  memset(&vi, 0, sizeof vi);
  vi.dwOSVersionInfoSize = sizeof vi;
  return GetVersionExA(&vi) != FALSE;
}

// A text value of at most size - 1 characters; false when the key or value cannot be read.
bool ReadRegistryText(const char* key, const char* name, char* out, DWORD size) {
  plxwin::RegKey h;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, h.Receive()) != ERROR_SUCCESS) return false;
  memset(out, 0, size);
  DWORD type = 0, len = size - 1;  // room for a terminator the data may lack
  LONG rc = RegQueryValueExA(h.Get(), name, nullptr, &type, reinterpret_cast<BYTE*>(out), &len);
  return rc == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ);
}

int FirstFixedDrive(int from, int to) {
  for (int n = from; n <= to; ++n) {
    char root[4];
    DriveRoot(n, root);
    if (GetDriveTypeA(root) == DRIVE_FIXED) return n;
  }
  return 0;
}

// Writes a defined variable's value; message 105 with its name when that fails (which it
// does when the definition failed).
bool WriteString(const char* name, const char* value) {
  if (VariableStore::SetString(name, value) == 0) return true;
  ReportMessage(0, 105, name);
  return false;
}

bool PutString(const char* name, const char* value) {
  VariableStore::Define(name, 'S');
  return WriteString(name, value);
}

bool PutInt(const char* name, int32_t value) {
  VariableStore::Define(name, 'I');
  if (VariableStore::SetInt(name, value) == 0) return true;
  ReportMessage(0, 105, name);
  return false;
}

}  // namespace

void GetOsVersionNumbers(int32_t* major, int32_t* minor) {
  OSVERSIONINFOA vi;
  bool ok = GetVersionInfo(vi);
  if (major) *major = ok ? int32_t(vi.dwMajorVersion) : 0;
  if (minor) *minor = ok ? int32_t(vi.dwMinorVersion) : 0;
}

bool IsWindowsNt() {
  OSVERSIONINFOA vi;
  return GetVersionInfo(vi) && vi.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

bool IsNtServer() {
  if (!IsWindowsNt()) return false;
  char type[129];  // the value is read up to 128 bytes
  if (!ReadRegistryText(kProductOptionsKey, "ProductType", type, sizeof type)) return false;
  return _stricmp(type, "ServerNT") == 0 || _stricmp(type, "LanManNT") == 0;
}

void GetOsName(char* out, size_t size) {
  if (IsWindowsNt())
    CopyText(out, size, IsNtServer() ? "Windows NT Server" : "Windows NT");
  else
    CopyText(out, size, "Windows 95");
}

int BootDriveNumber() {
  OSVERSIONINFOA vi;
  if (!GetVersionInfo(vi)) return -1;
  char value[32];
  bool read;
  if (vi.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS)
    read = ReadRegistryText(kWin95SetupKey, "BootDir", value, sizeof value);
  else if (vi.dwPlatformId == VER_PLATFORM_WIN32_NT)
    read = ReadRegistryText(kNtCurrentVersionKey, "SystemRoot", value, sizeof value);
  else
    return -1;
  if (!read) return -1;
  // Only a drive letter names a drive; anything else (an empty value, a UNC root) is as
  // unknown as a missing one.
  int letter = toupper(static_cast<unsigned char>(value[0]));
  if (letter < 'A' || letter > 'Z') return -1;
  return letter - 64;
}

void DriveRoot(int number, char* out, size_t size) {
  constexpr size_t kRootSize = 4;
  if (size == 0) return;
  out[0] = '\0';
  if (size < kRootSize) return;
  out[0] = char(64 + number);
  out[1] = ':';
  out[2] = '\\';
  out[3] = '\0';
}

int FirstNetworkDrive() {
  for (int n = 3; n <= 26; ++n)
    if (isNetworkDrive(n - 1)) return n;
  return 0;
}

int FirstHardDrive(int networkDrive) {
  if (networkDrive <= 3) return networkDrive;
  int n = FirstFixedDrive(3, networkDrive - 1);
  return n ? n : networkDrive;
}

void CutNetCfgPath(char* path) {
  char* name = strstr(path, "NET.CFG");
  if (!name) return;
  // The character before the name is its backslash; a name at the very start has none.
  if (name > path) name[-1] = '\0';
  else name[0] = '\0';
  if (char* dot = strstr(path, "\\.")) *dot = '\0';
}

void GetNetCfgDirectory(char* out, size_t size) {
  if (size == 0) return;
  memset(out, 0, size);
  DWORD n = SearchPathA(nullptr, "NET.CFG", nullptr, DWORD(size), out, nullptr);
  if (n == 0 || n >= size) {
    out[0] = '\0';
    return;
  }
  CutNetCfgPath(out);
}

int InitSystemVariables(const char* serverName) {
  gContext.bNoWindows = false;
  if (VariableStore::Init() != 0) {
    ReportMessage(0, 105, "Initializing Variable Heap");
    return -1;
  }
  const char* server = serverName ? serverName : "";

  if (!PutString("[TARGET]", "") || !PutString("[PACKAGEPATH]", "") || !PutInt("[DISKSPACE]", 0) ||
      !PutInt("[RETVAL]", 0) || !PutString("[SERVERNAME]", server))
    return -1;

  char login[kNetUserSize] = {};
  if (gOptions.szImpersonateUser[0])
    CopyText(login, gOptions.szImpersonateUser);
  else
    getUserName(server, login);
  login[sizeof login - 1] = '\0';
  if (!PutString("[LOGINNAME]", login)) return -1;
  CopyText(gContext.szLoginName, login);

  // The network library's answers are taken as they come, whatever its result code.
  char text[kNetTextSize] = {};
  getFullName(server, login, text);
  text[sizeof text - 1] = '\0';
  if (!PutString("[FULLNAME]", text) || !PutString("[FUSIONNAME]", "") || !PutString("[INVENTORYNAME]", ""))
    return -1;
  memset(text, 0, sizeof text);
  getLoginScriptName(server, text);
  text[sizeof text - 1] = '\0';
  if (!PutString("[LOGSCRNAME]", text)) return -1;
  memset(text, 0, sizeof text);
  getLoginScriptPath(server, text);
  text[sizeof text - 1] = '\0';
  if (!PutString("[LOGSCRPATH]", text) || !PutString("[LOCATION]", "")) return -1;

  int32_t major, minor;
  GetOsVersionNumbers(&major, &minor);
  if (!PutInt("[OS_VER_MAJOR]", major) || !PutInt("[OS_VER_MINOR]", minor)) return -1;
  char os[32];
  GetOsName(os, sizeof os);
  if (!PutString("[OSVER]", os)) return -1;

  memset(text, 0, sizeof text);
  getMachineName(text);
  text[sizeof text - 1] = '\0';
  if (!PutString("[MACHINENAME]", text)) return -1;

  char netcfg[MAX_PATH];
  GetNetCfgDirectory(netcfg);
  if (!PutString("[NETCFG]", netcfg)) return -1;

  VariableStore::Define("[BOOT_ROOT]", 'S');
  int boot = BootDriveNumber();
  if (boot == -1) {
    ReportMessage(0, 101);
    return -1;
  }
  char root[4];
  DriveRoot(boot, root);
  if (!WriteString("[BOOT_ROOT]", root)) return -1;

  // Both are defined before the Windows directory is asked for; without one they stay
  // empty and the package engine asks the user (the no-Windows flag).
  VariableStore::Define("[WINDIR]", 'S');
  VariableStore::Define("[WINSYSDIR]", 'S');
  char windir[MAX_PATH] = "", sysdir[MAX_PATH] = "";
  UINT len = GetWindowsDirectoryA(windir, sizeof windir);
  if (len == 0 || len >= sizeof windir) {
    windir[0] = '\0';
    gContext.bNoWindows = true;
  } else {
    len = GetSystemDirectoryA(sysdir, sizeof sysdir);
    if (len == 0 || len >= sizeof sysdir) sysdir[0] = '\0';
  }
  // Written even when empty, so that a failed definition is still found out.
  if (!WriteString("[WINDIR]", windir) || !WriteString("[WINSYSDIR]", sysdir)) return -1;

  // Without any network drive there is no letter to name: [NDRIVE] stays empty, and
  // [HDRIVE] names the first fixed disk of C: to Z: (empty when there is none). Neither
  // is an error: an agent started from a UNC path needs no mapped letter.
  char ndrive[4] = "", hdrive[4] = "";
  int network = FirstNetworkDrive();
  if (network) {
    DriveRoot(network, ndrive);
    DriveRoot(FirstHardDrive(network), hdrive);
  } else if (int fixed = FirstFixedDrive(3, 26)) {
    DriveRoot(fixed, hdrive);
  }
  if (!PutString("[NDRIVE]", ndrive) || !PutString("[HDRIVE]", hdrive)) return -1;
  return 0;
}
