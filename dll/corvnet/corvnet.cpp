// CORVNET.dll: what the agent asks about the server, the user and the workstation.
//
// What Windows knows comes from Windows: the logged-on user (GetUserNameA), the computer
// name (GetComputerNameA), drive types (GetDriveTypeA), a letter's share (WNetGetConnectionA)
// and the node address (the first adapter's MAC, GetAdaptersInfo). What only a directory
// service knows comes from CORVNET.INI beside this DLL:
//
//   [Network]
//   NetNumber=0000ABCD          ; 8 hex digits; default 00000000
//   NodeAddress=00A0C9123456    ; 12 hex digits; default: the first adapter's MAC;
//                               ; no adapter and no value: getNetAddr fails
//   Unsupported=0               ; 1: getServerFromPath answers 3
//   Attached=SRV,SRV2           ; optional: the servers this workstation is attached to;
//                               ; NWInit of any other answers 2250 (not connected)
//   [Workstation]
//   UserName=ALICE              ; optional: instead of GetUserNameA
//   MachineName=WS01            ; optional: instead of GetComputerNameA
//   LoggedIn=0                  ; nobody is logged in: getUserName answers 1245
//   [Drives]
//   F=\\SRV\SYS                 ; drive letter mapped to that share
//   [User.ALICE]                ; one section per login name
//   FullName=Alice Smith
//   LoginScript=ALICE
//   LoginScriptPath=\\SRV\SYS\MAIL\1
//   PackageServers=SRV,SRV2     ; the user's package servers, in order
//   Groups=STAFF,ACCOUNTS
//
// A changed file counts from the next call on. Answers read from the file are kept until its
// write time or size changes, so that a run asking the same question for every package does
// not open the file each time. Names compare without regard to case.
#include "corvnet.h"

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <winnetwk.h>

#include <ctype.h>
#include <string.h>

#include <string>
#include <vector>

#include "dllfile.h"
#include "plx/bytes.h"

namespace {

std::string IniPath() {
  char path[MAX_PATH];
  if (!plxdll::FileBesideModule(reinterpret_cast<const void*>(&NWInit), "CORVNET.INI", path, sizeof path))
    return std::string();
  return path;
}

std::string ReadIniValue(const std::string& ini, const std::string& section, const char* key) {
  char value[1024];
  GetPrivateProfileStringA(section.c_str(), key, "", value, sizeof value, ini.c_str());
  return value;
}

uint64_t FileTimeValue(const FILETIME& t) { return uint64_t(t.dwHighDateTime) << 32 | t.dwLowDateTime; }

// A file written this recently may be written again within the same tick of its file system's
// clock (two seconds on FAT) without its time or size changing: its answers are not kept.
constexpr uint64_t kSettledFileTime = 2ull * 10000000ull;  // 100 ns units
// More distinct questions than a run asks: the kept answers start over.
constexpr size_t kMaxKeptAnswers = 64;

struct KeptAnswer {
  std::string section, key, value;
};

// What was read from the file as it was at writeTime with size bytes; callers may be on any
// thread.
struct IniAnswers {
  SRWLOCK lock = SRWLOCK_INIT;
  uint64_t writeTime = 0, size = 0;
  std::vector<KeptAnswer> answers;
};

IniAnswers& Kept() {
  static IniAnswers kept;
  return kept;
}

class Exclusive {
 public:
  explicit Exclusive(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
  ~Exclusive() { ReleaseSRWLockExclusive(&lock_); }
  Exclusive(const Exclusive&) = delete;
  Exclusive& operator=(const Exclusive&) = delete;

 private:
  SRWLOCK& lock_;
};

// The value of a key, or "" when the file, the section or the key is missing.
std::string IniText(const std::string& section, const char* key) {
  static const std::string ini = IniPath();
  if (ini.empty()) return std::string();
  WIN32_FILE_ATTRIBUTE_DATA file;
  if (!GetFileAttributesExA(ini.c_str(), GetFileExInfoStandard, &file)) return ReadIniValue(ini, section, key);
  IniAnswers& kept = Kept();
  Exclusive hold(kept.lock);
  uint64_t written = FileTimeValue(file.ftLastWriteTime);
  uint64_t size = uint64_t(file.nFileSizeHigh) << 32 | file.nFileSizeLow;
  if (written != kept.writeTime || size != kept.size) {
    kept.answers.clear();
    kept.writeTime = written;
    kept.size = size;
  }
  for (const KeptAnswer& a : kept.answers)
    if (_stricmp(a.section.c_str(), section.c_str()) == 0 && _stricmp(a.key.c_str(), key) == 0) return a.value;
  std::string value = ReadIniValue(ini, section, key);
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  if (FileTimeValue(now) < written + kSettledFileTime) return value;
  if (kept.answers.size() >= kMaxKeptAnswers) kept.answers.clear();
  kept.answers.push_back({section, key, value});
  return value;
}

std::string Trim(const std::string& s) {
  size_t a = s.find_first_not_of(" \t"), b = s.find_last_not_of(" \t");
  return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
}

// A comma-separated list; blank entries are dropped.
std::vector<std::string> IniList(const std::string& section, const char* key) {
  std::vector<std::string> out;
  std::string text = IniText(section, key);
  size_t at = 0;
  while (at <= text.size()) {
    size_t comma = text.find(',', at);
    if (comma == std::string::npos) comma = text.size();
    std::string item = Trim(text.substr(at, comma - at));
    if (!item.empty()) out.push_back(item);
    at = comma + 1;
  }
  return out;
}

std::string Upper(std::string s) {
  if (!s.empty()) CharUpperBuffA(&s[0], DWORD(s.size()));
  return s;
}

std::string UserSection(const char* login) { return std::string("User.") + login; }

// The logged-on user as the network knows him: the INI's name, else Windows's. 0 or a
// Win32 error.
DWORD CurrentUser(std::string& out) {
  out = IniText("Workstation", "UserName");
  if (out.empty()) {
    char name[257];
    DWORD len = sizeof name;
    if (!GetUserNameA(name, &len)) {
      DWORD e = GetLastError();
      return e ? e : ERROR_NOT_FOUND;
    }
    out = name;
  }
  out = Upper(out);
  return 0;
}

// The login name a call is about: the one given, else the current user.
std::string LoginOrCurrent(const char* login) {
  if (login && *login) return login;
  std::string user;
  CurrentUser(user);
  return user;
}

// Wine and long-path forms of a UNC path become "\\SRV\...", forward slashes backslashes.
std::string NormalisePath(const char* p) {
  char buf[1024];
  plxdll::NormaliseModulePath(p, buf, sizeof buf);
  std::string s = buf;
  for (char& c : s)
    if (c == '/') c = '\\';
  return s;
}

bool IsUnc(const std::string& p) { return p.size() > 2 && p[0] == '\\' && p[1] == '\\'; }

// A whole value into a caller's buffer of the size the entry point promises; one that does
// not fit leaves it empty (a cut name or path would name someone or somewhere else).
int PutValue(const std::string& value, char* out, size_t size) {
  if (value.size() >= size) {
    out[0] = '\0';
    return ERROR_INSUFFICIENT_BUFFER;
  }
  plx::CopyText(out, size, value.c_str());
  return 0;
}

// "\\SRV\SYS\..." gives "SRV". False when there is no server part or it does not fit.
bool ServerOfUnc(const std::string& unc, char* name, size_t size) {
  if (!IsUnc(unc)) return false;
  size_t end = unc.find('\\', 2);
  std::string server = unc.substr(2, end == std::string::npos ? std::string::npos : end - 2);
  return !server.empty() && PutValue(Upper(server), name, size) == 0;
}

// The share a letter is mapped to in [Drives], or "".
std::string MappedShare(int drive) {
  char letter[2] = {char('A' + drive), 0};
  return NormalisePath(Trim(IniText("Drives", letter)).c_str());
}

bool IsRemoteDrive(int drive) {
  char root[4] = {char('A' + drive), ':', '\\', 0};
  return GetDriveTypeA(root) == DRIVE_REMOTE;
}

// The share Windows itself knows for a remote letter, or "".
std::string ConnectedShare(int drive) {
  char local[3] = {char('A' + drive), ':', 0};
  char remote[MAX_PATH];
  DWORD len = sizeof remote;
  if (WNetGetConnectionA(local, remote, &len) != NO_ERROR) return std::string();
  return NormalisePath(remote);
}

// True when path is share itself or lies below it.
bool UnderShare(const std::string& path, std::string share) {
  while (share.size() > 2 && share.back() == '\\') share.pop_back();
  if (share.empty() || path.size() < share.size()) return false;
  if (_strnicmp(path.c_str(), share.c_str(), share.size()) != 0) return false;
  return path.size() == share.size() || path[share.size()] == '\\';
}

int DriveIndex(const std::string& path) {
  if (path.size() >= 2 && path[1] == ':' && isalpha(static_cast<unsigned char>(path[0])))
    return toupper(static_cast<unsigned char>(path[0])) - 'A';
  return -1;
}

bool IsHex(const std::string& s, size_t digits) {
  if (s.size() != digits) return false;
  for (char c : s)
    if (!isxdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

// The MAC address of the first adapter that has one, as 12 hex digits.
bool FirstAdapterAddress(std::string& out) {
  ULONG size = 0;
  if (GetAdaptersInfo(nullptr, &size) != ERROR_BUFFER_OVERFLOW || size == 0) return false;
  std::vector<unsigned char> buf(size);
  IP_ADAPTER_INFO* list = reinterpret_cast<IP_ADAPTER_INFO*>(buf.data());
  if (GetAdaptersInfo(list, &size) != NO_ERROR) return false;
  for (IP_ADAPTER_INFO* a = list; a; a = a->Next) {
    if (a->Type == MIB_IF_TYPE_LOOPBACK || a->AddressLength != 6) continue;
    bool zero = true;
    for (int i = 0; i < 6; ++i) zero = zero && a->Address[i] == 0;
    if (zero) continue;
    char hex[13];
    snprintf(hex, sizeof hex, "%02X%02X%02X%02X%02X%02X", a->Address[0], a->Address[1], a->Address[2],
             a->Address[3], a->Address[4], a->Address[5]);
    out = hex;
    return true;
  }
  return false;
}

// Copies an INI value of the user's section into out: 0, or ERROR_NOT_FOUND with an empty
// buffer when there is no such value (ERROR_INSUFFICIENT_BUFFER when it does not fit).
int UserValue(const std::string& user, const char* key, char* out, size_t size) {
  if (!out) return ERROR_INVALID_PARAMETER;
  std::string v = user.empty() ? std::string() : IniText(UserSection(user.c_str()), key);
  if (v.empty()) {
    out[0] = '\0';
    return ERROR_NOT_FOUND;
  }
  return PutValue(v, out, size);
}

}  // namespace

CORVNET_API int getServerFromPath(const char* directory, char* name) {
  if (!name) return 2;
  name[0] = '\0';
  if (!directory || !*directory) return 2;
  if (Trim(IniText("Network", "Unsupported")) == "1") return 3;
  std::string path = NormalisePath(directory);
  if (!IsUnc(path) && DriveIndex(path) < 0) {
    char full[MAX_PATH];
    DWORD n = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    if (n == 0 || n >= sizeof full) return 2;
    path = NormalisePath(full);
  }
  if (IsUnc(path)) return ServerOfUnc(path, name, kNetNameSize) ? 0 : 2;
  int drive = DriveIndex(path);
  if (drive < 0) return 2;
  std::string share = MappedShare(drive);
  if (!share.empty()) return ServerOfUnc(share, name, kNetNameSize) ? 0 : 2;
  if (!IsRemoteDrive(drive)) return 1;
  // Remote, but neither Windows nor the INI knows its share.
  return ServerOfUnc(ConnectedShare(drive), name, kNetNameSize) ? 0 : 2;
}

// The network layer needs no set-up of its own; the server name is only checked.
CORVNET_API int NWInit(const char* server) {
  if (!server || !*server) return ERROR_INVALID_PARAMETER;
  std::vector<std::string> attached = IniList("Network", "Attached");
  if (attached.empty()) return 0;
  for (const std::string& a : attached)
    if (_stricmp(a.c_str(), server) == 0) return 0;
  return ERROR_NOT_CONNECTED;
}

CORVNET_API int NWDeInit(void) { return 0; }

CORVNET_API int getUserName(const char* server, char* name) {
  if (!name) return ERROR_INVALID_PARAMETER;
  if (IniText("Workstation", "LoggedIn") == "0") {
    name[0] = '\0';
    return ERROR_NOT_LOGGED_ON;
  }
  std::string user;
  DWORD rc = CurrentUser(user);
  if (rc) {
    name[0] = '\0';
    return int(rc);
  }
  return PutValue(user, name, kNetUserSize);
}

CORVNET_API int getFullName(const char* server, const char* login, char* name) {
  return UserValue(LoginOrCurrent(login), "FullName", name, kNetTextSize);
}

CORVNET_API int getLoginScriptName(const char* server, char* name) {
  return UserValue(LoginOrCurrent(nullptr), "LoginScript", name, kNetTextSize);
}

CORVNET_API int getLoginScriptPath(const char* server, char* path) {
  return UserValue(LoginOrCurrent(nullptr), "LoginScriptPath", path, kNetTextSize);
}

CORVNET_API int getMachineName(char* name) {
  if (!name) return ERROR_INVALID_PARAMETER;
  std::string machine = IniText("Workstation", "MachineName");
  if (machine.empty()) {
    char buf[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD len = sizeof buf;
    if (!GetComputerNameA(buf, &len)) {
      name[0] = '\0';
      DWORD e = GetLastError();
      return e ? int(e) : ERROR_NOT_FOUND;
    }
    machine = buf;
  }
  return PutValue(machine, name, kNetTextSize);
}

// On failure the buffer holds two empty texts, so that nobody stores leftover bytes.
CORVNET_API int getNetAddr(char* address) {
  if (!address) return ERROR_INVALID_PARAMETER;
  memset(address, 0, kNetAddrSize);
  std::string net = Trim(IniText("Network", "NetNumber"));
  if (net.empty()) net = "00000000";
  std::string node = Trim(IniText("Network", "NodeAddress"));
  if (node.empty() && !FirstAdapterAddress(node)) return ERROR_NOT_FOUND;
  if (!IsHex(net, 8) || !IsHex(node, 12)) return ERROR_INVALID_DATA;
  net = Upper(net);
  node = Upper(node);
  memcpy(address, net.data(), 8);
  memcpy(address + 9, node.data(), 12);
  return 0;
}

CORVNET_API int isNetworkDrive(int drive) {
  if (drive < 0 || drive >= 26) return 0;
  return !MappedShare(drive).empty() || IsRemoteDrive(drive);
}

CORVNET_API int getNetworkDrive(const char* uncPath) {
  if (!uncPath) return -1;
  std::string path = NormalisePath(uncPath);
  if (!IsUnc(path)) return -1;
  for (int d = 0; d < 26; ++d)
    if (UnderShare(path, MappedShare(d))) return d;
  for (int d = 0; d < 26; ++d)
    if (IsRemoteDrive(d) && UnderShare(path, ConnectedShare(d))) return d;
  return -1;
}

// The enumeration value is the index of the next entry of the user's PackageServers; the
// first server is not skipped here, the caller does that. flag is not read by anyone and is
// cleared. With no more servers the name buffer is left as it was.
CORVNET_API int GetNWMemberPackageServers(uint32_t* enumHandle, const char* login, char* name,
                                          uint8_t* flag, const char* firstServer) {
  if (!enumHandle || !name) return ERROR_INVALID_PARAMETER;
  if (flag) *flag = 0;
  std::string user = LoginOrCurrent(login);
  if (user.empty()) return ERROR_NO_MORE_ITEMS;
  std::vector<std::string> servers = IniList(UserSection(user.c_str()), "PackageServers");
  uint32_t next = *enumHandle == 0xFFFFFFFFu ? 0 : *enumHandle;
  if (next >= servers.size()) return ERROR_NO_MORE_ITEMS;
  *enumHandle = next + 1;
  // A server name that does not fit ends the list rather than naming another server.
  if (servers[next].size() >= kNetNameSize) return ERROR_INSUFFICIENT_BUFFER;
  return PutValue(Upper(servers[next]), name, kNetNameSize);
}

// Windows has no shareable attribute: whether others may use a file at the same time is
// decided by each opener's share mode. So both setting and clearing it come down to the
// question the caller cares about: can the file be opened for writing while others have it
// open? -3: no such file; -4: access denied (read-only, a directory, or held exclusively by
// someone); any other Win32 error as it is. Nothing on the file is changed.
CORVNET_API int setNWFileShareable(const char* directory, const char* file, int shareable) {
  if (!directory || !file || !*file) return ERROR_INVALID_PARAMETER;
  std::string path = directory;
  while (*file == '\\') ++file;
  if (!path.empty() && path.back() != '\\') path += '\\';
  path += file;
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    DWORD e = GetLastError();
    return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND ? -3 : int(e);
  }
  // Said outright rather than left to the open below, which an administrator's rights
  // would let through.
  if (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) return -4;
  plxdll::Handle h(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (h.Valid()) return 0;
  DWORD e = GetLastError();
  if (e == ERROR_ACCESS_DENIED || e == ERROR_SHARING_VIOLATION || e == ERROR_WRITE_PROTECT) return -4;
  if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND) return -3;
  return int(e);
}

CORVNET_API uint8_t IsUserInGroup(const char* group, const char* login, const char* server) {
  if (!group || !*group) return 0;
  std::string user = LoginOrCurrent(login);
  if (user.empty()) return 0;
  for (const std::string& g : IniList(UserSection(user.c_str()), "Groups"))
    if (_stricmp(g.c_str(), group) == 0) return 1;
  return 0;
}
