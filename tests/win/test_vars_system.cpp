#include <gtest/gtest.h>

#include <string.h>
#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "corvnet.h"
#include "run_state.h"
#include "system_vars.h"
#include "variable_store.h"
#include "win_test_support.h"

namespace {

const std::vector<std::pair<std::string, char>> kSystemVariables = {
    {"[TARGET]", 'S'},       {"[PACKAGEPATH]", 'S'},  {"[DISKSPACE]", 'I'},     {"[RETVAL]", 'I'},
    {"[SERVERNAME]", 'S'},   {"[LOGINNAME]", 'S'},    {"[FULLNAME]", 'S'},      {"[FUSIONNAME]", 'S'},
    {"[INVENTORYNAME]", 'S'}, {"[LOGSCRNAME]", 'S'},  {"[LOGSCRPATH]", 'S'},    {"[LOCATION]", 'S'},
    {"[OS_VER_MAJOR]", 'I'}, {"[OS_VER_MINOR]", 'I'}, {"[OSVER]", 'S'},         {"[MACHINENAME]", 'S'},
    {"[NETCFG]", 'S'},       {"[BOOT_ROOT]", 'S'},    {"[WINDIR]", 'S'},        {"[WINSYSDIR]", 'S'},
    {"[NDRIVE]", 'S'},       {"[HDRIVE]", 'S'},
};

const char kProductOptions[] = "System\\CurrentControlSet\\Control\\ProductOptions";

std::string Str(const char* name) {
  char value[kVarValueSize];
  if (VariableStore::GetString(name, value) != 0) return "<undefined>";
  return value;
}

int32_t Int(const char* name) {
  int32_t v = -12345;
  EXPECT_EQ(VariableStore::GetInt(name, &v), 0) << name;
  return v;
}

std::string Cwd() {
  char dir[MAX_PATH];
  GetCurrentDirectoryA(sizeof dir, dir);
  return dir;
}

// A run-wide context with a results box to read reported messages from, a scratch
// directory, and the product type, current directory and PATH put back afterwards.
class SystemVariables : public ::testing::Test {
 protected:
  void SetUp() override {
    savedOptions_ = gOptions;
    savedContext_ = gContext;
    gOptions = AgentOptions{};
    ASSERT_TRUE(window_.Ok());
    cwd_ = Cwd();
    char path[4096];
    DWORD n = GetEnvironmentVariableA("PATH", path, sizeof path);
    hadPath_ = n > 0 && n < sizeof path;
    if (hadPath_) path_ = path;
    savedType_ = ReadProductType(&hadType_);

    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    dir_ = std::string(temp) + "plxvars" + std::to_string(GetCurrentProcessId());
    RemoveTree(dir_);
    ASSERT_TRUE(CreateDirectoryA(dir_.c_str(), nullptr));
    char full[MAX_PATH];
    GetFullPathNameA(dir_.c_str(), sizeof full, full, nullptr);
    dir_ = full;
  }

  void TearDown() override {
    VariableStore::Free();
    VariableStore::UseHeap(nullptr);
    if (heap_) HeapDestroy(heap_);
    SetCurrentDirectoryA(cwd_.c_str());
    SetEnvironmentVariableA("PATH", hadPath_ ? path_.c_str() : nullptr);
    WriteProductType(hadType_ ? savedType_.c_str() : nullptr);
    RemoveTree(dir_);
    gOptions = savedOptions_;
    gContext = savedContext_;
  }

  std::string Shown() const { return window_.Shown(); }

  static std::string ReadProductType(bool* present) {
    *present = false;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProductOptions, 0, KEY_READ, &key) != ERROR_SUCCESS) return "";
    char value[256] = {};
    DWORD size = sizeof value - 1;
    *present = RegQueryValueExA(key, "ProductType", nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size) ==
               ERROR_SUCCESS;
    RegCloseKey(key);
    return value;
  }

  // Null removes the value.
  static void WriteProductType(const char* value) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kProductOptions, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
    if (value)
      EXPECT_EQ(RegSetValueExA(key, "ProductType", 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                               DWORD(strlen(value) + 1)),
                ERROR_SUCCESS);
    else
      RegDeleteValueA(key, "ProductType");
    RegCloseKey(key);
  }

  static void WriteFile(const std::string& path, const char* text) {
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    fputs(text, f);
    fclose(f);
  }

  static void RemoveTree(const std::string& dir) {
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
      do {
        std::string name = fd.cFileName;
        if (name == "." || name == "..") continue;
        std::string path = dir + "\\" + name;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
          RemoveTree(path);
        else
          DeleteFileA(path.c_str());
      } while (FindNextFileA(h, &fd));
      FindClose(h);
    }
    RemoveDirectoryA(dir.c_str());
  }

  // The names in the store, in record order.
  static std::vector<std::pair<std::string, char>> Defined() {
    std::vector<std::pair<std::string, char>> out;
    for (int i = 0; i < gVariables.nCount; ++i)
      out.emplace_back(gVariables.pRecords[i].szName, gVariables.pRecords[i].cType);
    return out;
  }

  AgentOptions savedOptions_;
  AgentContext savedContext_;
  testsupport::ResultsWindow window_;
  std::string cwd_, path_, dir_, savedType_;
  bool hadPath_ = false, hadType_ = false;
  HANDLE heap_ = nullptr;
};

}  // namespace

TEST_F(SystemVariables, TwentyTwoInTheirOrder) {
  ASSERT_EQ(InitSystemVariables("SRV1"), 0);
  EXPECT_EQ(Defined(), kSystemVariables);
  EXPECT_EQ(Shown(), "");
}

TEST_F(SystemVariables, FixedAndPassedValues) {
  ASSERT_EQ(InitSystemVariables("SRV1"), 0);
  EXPECT_EQ(Str("[TARGET]"), "");
  EXPECT_EQ(Str("[PACKAGEPATH]"), "");
  EXPECT_EQ(Int("[DISKSPACE]"), 0);
  EXPECT_EQ(Int("[RETVAL]"), 0);
  EXPECT_EQ(Str("[SERVERNAME]"), "SRV1");
  EXPECT_EQ(Str("[FUSIONNAME]"), "");
  EXPECT_EQ(Str("[INVENTORYNAME]"), "");
  EXPECT_EQ(Str("[LOCATION]"), "");
}

TEST_F(SystemVariables, NetworkLibraryAnswersTakenAsTheyCome) {
  gContext.szLoginName[0] = '\0';
  ASSERT_EQ(InitSystemVariables("SRV1"), 0);
  char user[kNetUserSize] = {}, text[kNetTextSize] = {};
  getUserName("SRV1", user);
  EXPECT_EQ(Str("[LOGINNAME]"), user);
  EXPECT_STREQ(gContext.szLoginName, user);
  EXPECT_NE(Str("[LOGINNAME]"), "");  // Wine always has a logged-on user
  getFullName("SRV1", user, text);
  EXPECT_EQ(Str("[FULLNAME]"), text);
  getLoginScriptName("SRV1", text);
  EXPECT_EQ(Str("[LOGSCRNAME]"), text);
  getLoginScriptPath("SRV1", text);
  EXPECT_EQ(Str("[LOGSCRPATH]"), text);
  getMachineName(text);
  EXPECT_EQ(Str("[MACHINENAME]"), text);
  EXPECT_NE(Str("[MACHINENAME]"), "");
}

TEST_F(SystemVariables, ImpersonatedUserIsTheLoginName) {
  strcpy(gOptions.szImpersonateUser, "BOB");
  ASSERT_EQ(InitSystemVariables("SRV1"), 0);
  EXPECT_EQ(Str("[LOGINNAME]"), "BOB");
  EXPECT_STREQ(gContext.szLoginName, "BOB");
}

TEST_F(SystemVariables, VersionAsTheSystemReportsIt) {
  ASSERT_EQ(InitSystemVariables("SRV1"), 0);
  OSVERSIONINFOA vi{};
  vi.dwOSVersionInfoSize = sizeof vi;
  ASSERT_TRUE(GetVersionExA(&vi));
  EXPECT_EQ(Int("[OS_VER_MAJOR]"), int32_t(vi.dwMajorVersion));
  EXPECT_EQ(Int("[OS_VER_MINOR]"), int32_t(vi.dwMinorVersion));
  ASSERT_EQ(vi.dwPlatformId, DWORD(VER_PLATFORM_WIN32_NT));
}

TEST_F(SystemVariables, NtServerByProductType) {
  const std::vector<std::pair<const char*, const char*>> cases = {
      {"WinNT", "Windows NT"},         {"ServerNT", "Windows NT Server"}, {"LanmanNT", "Windows NT Server"},
      {"LanManNT", "Windows NT Server"}, {"SERVERNT", "Windows NT Server"}, {"servernt", "Windows NT Server"},
      {"ServerNTX", "Windows NT"},     {"", "Windows NT"},
  };
  for (const auto& c : cases) {
    WriteProductType(c.first);
    ASSERT_EQ(InitSystemVariables("SRV1"), 0);
    EXPECT_EQ(Str("[OSVER]"), c.second) << c.first;
    EXPECT_EQ(IsNtServer(), strcmp(c.second, "Windows NT Server") == 0) << c.first;
  }
  WriteProductType(nullptr);
  ASSERT_EQ(InitSystemVariables("SRV1"), 0);
  EXPECT_EQ(Str("[OSVER]"), "Windows NT");
  EXPECT_FALSE(IsNtServer());
}

TEST_F(SystemVariables, NtServerValueOfAnotherType) {
  HKEY key;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProductOptions, 0, KEY_WRITE, &key), ERROR_SUCCESS);
  DWORD number = 1;
  ASSERT_EQ(RegSetValueExA(key, "ProductType", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number),
            ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_FALSE(IsNtServer());
  // A product type longer than the 128 bytes read is no server either.
  std::string longType = "ServerNT" + std::string(200, ' ');
  WriteProductType(longType.c_str());
  EXPECT_FALSE(IsNtServer());
}

TEST_F(SystemVariables, BootDriveAndWindowsDirectories) {
  gContext.bNoWindows = true;  // a previous pass's state is cleared
  ASSERT_EQ(InitSystemVariables("SRV1"), 0);
  EXPECT_FALSE(gContext.bNoWindows);
  EXPECT_EQ(BootDriveNumber(), 3);
  EXPECT_EQ(Str("[BOOT_ROOT]"), "C:\\");
  EXPECT_EQ(Str("[WINDIR]"), "C:\\windows");
  EXPECT_EQ(Str("[WINSYSDIR]"), "C:\\windows\\system32");
}

TEST_F(SystemVariables, DriveRoots) {
  char root[4];
  DriveRoot(1, root);
  EXPECT_STREQ(root, "A:\\");
  DriveRoot(3, root);
  EXPECT_STREQ(root, "C:\\");
  DriveRoot(26, root);
  EXPECT_STREQ(root, "Z:\\");
}

TEST_F(SystemVariables, HardDriveBelowTheNetworkDrive) {
  // Wine's C: is a fixed disk.
  ASSERT_EQ(GetDriveTypeA("C:\\"), UINT(DRIVE_FIXED));
  EXPECT_EQ(FirstHardDrive(3), 3);
  EXPECT_EQ(FirstHardDrive(2), 2);
  EXPECT_EQ(FirstHardDrive(4), 3);
  EXPECT_EQ(FirstHardDrive(26), 3);
}

TEST_F(SystemVariables, NetCfgDirectoryOnTheSearchPath) {
  WriteFile(dir_ + "\\NET.CFG", "Link Driver NE2000\r\n");
  ASSERT_TRUE(SetCurrentDirectoryA(dir_.c_str()));
  ASSERT_EQ(InitSystemVariables("SRV1"), 0);
  EXPECT_EQ(Str("[NETCFG]"), dir_);
  char out[MAX_PATH];
  GetNetCfgDirectory(out);
  EXPECT_EQ(std::string(out), dir_);
}

TEST_F(SystemVariables, NetCfgFoundThroughPath) {
  std::string sub = dir_ + "\\netware";
  ASSERT_TRUE(CreateDirectoryA(sub.c_str(), nullptr));
  WriteFile(sub + "\\net.cfg", "x");  // the search ignores case; the name it gives is ours
  ASSERT_TRUE(SetEnvironmentVariableA("PATH", (path_ + ";" + sub).c_str()));
  ASSERT_EQ(InitSystemVariables("SRV1"), 0);
  EXPECT_EQ(Str("[NETCFG]"), sub);
}

TEST_F(SystemVariables, NetCfgCutAtADotDirectory) {
  std::string sub = dir_ + "\\.nw";
  ASSERT_TRUE(CreateDirectoryA(sub.c_str(), nullptr));
  WriteFile(sub + "\\NET.CFG", "x");
  ASSERT_TRUE(SetCurrentDirectoryA(sub.c_str()));
  ASSERT_EQ(InitSystemVariables("SRV1"), 0);
  EXPECT_EQ(Str("[NETCFG]"), dir_);
}

TEST_F(SystemVariables, NetCfgMissingIsEmpty) {
  ASSERT_TRUE(SetCurrentDirectoryA(dir_.c_str()));
  ASSERT_EQ(InitSystemVariables("SRV1"), 0);
  EXPECT_EQ(Str("[NETCFG]"), "");
  EXPECT_EQ(Shown(), "");
}

TEST_F(SystemVariables, NetCfgPathCut) {
  auto cut = [](const char* in) {
    char buf[MAX_PATH];
    strcpy(buf, in);
    CutNetCfgPath(buf);
    return std::string(buf);
  };
  EXPECT_EQ(cut("C:\\NWCLIENT\\NET.CFG"), "C:\\NWCLIENT");
  EXPECT_EQ(cut("C:\\NET.CFG"), "C:");
  EXPECT_EQ(cut("C:\\A\\.B\\C\\NET.CFG"), "C:\\A");
  EXPECT_EQ(cut("C:\\net.cfg\\NET.CFG"), "C:\\net.cfg");  // the name is found with its case
  EXPECT_EQ(cut("\\\\SRV\\SYS\\.\\NET.CFG"), "\\\\SRV\\SYS");
}

TEST_F(SystemVariables, StoreThatCannotBeCreated) {
  heap_ = HeapCreate(0, 0, 64 * 1024);
  ASSERT_NE(heap_, nullptr);
  VariableStore::Free();
  VariableStore::UseHeap(heap_);
  for (size_t size = 32 * 1024; size >= 16; size /= 2)
    while (HeapAlloc(heap_, 0, size)) {
    }
  EXPECT_EQ(InitSystemVariables("SRV1"), -1);
  EXPECT_EQ(gVariables.nCount, -1);
  EXPECT_EQ(Shown(), "\r\nERROR 0105: Not enough memory to create system variable: Initializing Variable Heap.\r\n\r\n");
}

TEST_F(SystemVariables, VariableThatCannotBeCreated) {
  // Room for the store and a few records only: the first variable that no longer fits is
  // named, and those defined before it stay.
  heap_ = HeapCreate(0, 0, 64 * 1024);
  ASSERT_NE(heap_, nullptr);
  VariableStore::Free();
  VariableStore::UseHeap(heap_);
  std::vector<void*> filler;
  for (size_t size = 32 * 1024; size >= 16; size /= 2)
    while (void* p = HeapAlloc(heap_, 0, size)) filler.push_back(p);
  size_t freed = 0;
  while (freed < 6 * sizeof(VariableRecord) && !filler.empty()) {
    freed += HeapSize(heap_, 0, filler.back());
    HeapFree(heap_, 0, filler.back());
    filler.pop_back();
  }
  EXPECT_EQ(InitSystemVariables("SRV1"), -1);
  int n = gVariables.nCount;
  ASSERT_GE(n, 1);
  ASSERT_LT(n, 22);
  std::vector<std::pair<std::string, char>> first(kSystemVariables.begin(), kSystemVariables.begin() + n);
  EXPECT_EQ(Defined(), first);
  EXPECT_EQ(Shown(), "\r\nERROR 0105: Not enough memory to create system variable: " + kSystemVariables[n].first +
                         ".\r\n\r\n");
}

TEST_F(SystemVariables, EachPassBuildsTheStoreAgain) {
  ASSERT_EQ(InitSystemVariables("SRV1"), 0);
  ASSERT_EQ(VariableStore::SetString("[TARGET]", "C:\\APPS"), 0);
  ASSERT_EQ(VariableStore::Define("[MINE]", 'S'), 0);
  ASSERT_EQ(InitSystemVariables("SRV1"), 0);
  EXPECT_EQ(gVariables.nCount, 22);
  EXPECT_EQ(Str("[TARGET]"), "");
  EXPECT_EQ(Str("[MINE]"), "<undefined>");
}
