// The 22 system variables with their values, the product type, NET.CFG and running out of
// memory while they are defined.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "agent_codes.h"
#include "bounded_text.h"
#include "eligibility.h"
#include "run_state.h"
#include "system_vars.h"
#include "variable_store.h"
#include "win_handle.h"
#include "win_test_support.h"

namespace {

using Defs = std::vector<std::pair<std::string, char>>;
const Defs kSystemVariables = {
    {"[TARGET]", 'S'},       {"[PACKAGEPATH]", 'S'},  {"[DISKSPACE]", 'I'},  {"[RETVAL]", 'I'},
    {"[SERVERNAME]", 'S'},   {"[LOGINNAME]", 'S'},    {"[FULLNAME]", 'S'},   {"[FUSIONNAME]", 'S'},
    {"[INVENTORYNAME]", 'S'}, {"[LOGSCRNAME]", 'S'},  {"[LOGSCRPATH]", 'S'}, {"[LOCATION]", 'S'},
    {"[OS_VER_MAJOR]", 'I'}, {"[OS_VER_MINOR]", 'I'}, {"[OSVER]", 'S'},      {"[MACHINENAME]", 'S'},
    {"[NETCFG]", 'S'},       {"[BOOT_ROOT]", 'S'},    {"[WINDIR]", 'S'},     {"[WINSYSDIR]", 'S'},
    {"[NDRIVE]", 'S'},       {"[HDRIVE]", 'S'},
};
const char kProductOptions[] = "System\\CurrentControlSet\\Control\\ProductOptions";

std::string Str(const char* name) {
  char value[kVarValueSize];
  return VariableStore::GetString(name, value) == 0 ? value : "<undefined>";
}

int32_t Int(const char* name) {
  int32_t v = -12345;
  EXPECT_EQ(VariableStore::GetInt(name, &v), 0) << name;
  return v;
}

Defs Defined() {
  Defs out;
  for (int i = 0; i < gVariables.nCount; ++i) out.emplace_back(gVariables.pRecords[i].szName, gVariables.pRecords[i].cType);
  return out;
}

// Null removes the value.
void WriteProductType(const char* value) {
  plxwin::RegKey key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kProductOptions, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr,
                            key.Receive(), nullptr),
            ERROR_SUCCESS);
  if (value)
    RegSetValueExA(key.Get(), "ProductType", 0, REG_SZ, reinterpret_cast<const BYTE*>(value), DWORD(strlen(value) + 1));
  else
    RegDeleteValueA(key.Get(), "ProductType");
}

class SystemVariables : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(window_.Ok());
    char buf[4096];
    GetCurrentDirectoryA(sizeof buf, buf);
    cwd_ = buf;
    plxwin::RegKey key;
    DWORD size = sizeof buf - 1;
    memset(buf, 0, sizeof buf);
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProductOptions, 0, KEY_READ, key.Receive()) == ERROR_SUCCESS &&
        RegQueryValueExA(key.Get(), "ProductType", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size) == ERROR_SUCCESS)
      savedType_ = buf;
    GetTempPathA(sizeof buf, buf);
    dir_ = std::string(buf) + "plxvars" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(dir_.c_str(), nullptr);
    GetFullPathNameA(dir_.c_str(), sizeof buf, buf, nullptr);
    dir_ = buf;
    ini_.Write("[Workstation]\r\nUserName=carol\r\nMachineName=WS-17\r\n[User.CAROL]\r\nFullName=Carol King\r\n"
               "LoginScript=CAROL\r\nLoginScriptPath=\\\\SRV\\SYS\\MAIL\\7\r\n");
  }
  void TearDown() override {
    VariableStore::Free();
    VariableStore::UseHeap(nullptr);
    if (heap_) HeapDestroy(heap_);
    SetCurrentDirectoryA(cwd_.c_str());
    WriteProductType(savedType_.empty() ? nullptr : savedType_.c_str());
    DeleteFileA((dir_ + "\\NET.CFG").c_str());
    RemoveDirectoryA(dir_.c_str());
  }
  std::string Shown() const { return window_.Shown(); }
  void WriteFile(const std::string& path) {
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    fputs("Link Driver NE2000\r\n", f);
    fclose(f);
  }
  // A heap with room for the store and about `records` records.
  void SmallHeap(size_t records) {
    VariableStore::Free();
    heap_ = HeapCreate(0, 0, 64 * 1024);
    ASSERT_NE(heap_, nullptr);
    VariableStore::UseHeap(heap_);
    std::vector<void*> filler;
    for (size_t size = 32 * 1024; size >= 16; size /= 2)
      while (void* p = HeapAlloc(heap_, 0, size)) filler.push_back(p);
    for (size_t freed = 0; freed < records * sizeof(VariableRecord) && !filler.empty(); filler.pop_back()) {
      freed += HeapSize(heap_, 0, filler.back());
      HeapFree(heap_, 0, filler.back());
    }
  }

  testsupport::SavedRun saved_;
  testsupport::ResultsWindow window_;
  testsupport::IniBesideDll ini_{"CORVNET.dll", "CORVNET.INI"};
  std::string cwd_, dir_, savedType_;
  HANDLE heap_ = nullptr;
};

}  // namespace

TEST_F(SystemVariables, TwentyTwoInTheirOrderWithTheirValues) {
  gContext.bNoWindows = true;  // a previous pass's state is cleared
  WriteProductType("WinNT");
  ASSERT_TRUE(SetCurrentDirectoryA(dir_.c_str()));
  ASSERT_EQ(InitSystemVariables("SRV1"), 0);
  EXPECT_EQ(Defined(), kSystemVariables);
  EXPECT_EQ(Shown(), "");
  EXPECT_FALSE(gContext.bNoWindows);
  OSVERSIONINFOA vi{};
  vi.dwOSVersionInfoSize = sizeof vi;
  ASSERT_TRUE(GetVersionExA(&vi));
  const std::vector<std::pair<const char*, std::string>> strings = {
      {"[TARGET]", ""}, {"[PACKAGEPATH]", ""}, {"[SERVERNAME]", "SRV1"}, {"[LOGINNAME]", "CAROL"},
      {"[FULLNAME]", "Carol King"}, {"[FUSIONNAME]", ""}, {"[INVENTORYNAME]", ""}, {"[LOGSCRNAME]", "CAROL"},
      {"[LOGSCRPATH]", "\\\\SRV\\SYS\\MAIL\\7"}, {"[LOCATION]", ""}, {"[OSVER]", "Windows NT"},
      {"[MACHINENAME]", "WS-17"}, {"[NETCFG]", ""}, {"[BOOT_ROOT]", "C:\\"}, {"[WINDIR]", "C:\\windows"},
      {"[WINSYSDIR]", "C:\\windows\\system32"}, {"[NDRIVE]", ""}, {"[HDRIVE]", "C:\\"}};
  for (const auto& s : strings) EXPECT_EQ(Str(s.first), s.second) << s.first;
  EXPECT_EQ(Int("[DISKSPACE]"), 0);
  EXPECT_EQ(Int("[RETVAL]"), 0);
  EXPECT_EQ(Int("[OS_VER_MAJOR]"), int32_t(vi.dwMajorVersion));
  EXPECT_EQ(Int("[OS_VER_MINOR]"), int32_t(vi.dwMinorVersion));
  EXPECT_STREQ(gContext.szLoginName, "CAROL");
  // The impersonated user is the login name; each pass builds the store again.
  CopyText(gOptions.szImpersonateUser, "BOB");
  ASSERT_EQ(VariableStore::SetString("[TARGET]", "C:\\APPS"), 0);
  ASSERT_EQ(VariableStore::Define("[MINE]", 'S'), 0);
  ASSERT_EQ(InitSystemVariables("SRV1"), 0);
  EXPECT_EQ(Str("[LOGINNAME]"), "BOB");
  EXPECT_STREQ(gContext.szLoginName, "BOB");
  EXPECT_EQ(gVariables.nCount, 22);
  EXPECT_EQ(Str("[TARGET]"), "");
  EXPECT_EQ(Str("[MINE]"), "<undefined>");
}

TEST_F(SystemVariables, NtServerByProductType) {
  const std::vector<std::pair<const char*, const char*>> cases = {
      {"WinNT", "Windows NT"}, {"ServerNT", "Windows NT Server"}, {"LanmanNT", "Windows NT Server"},
      {"servernt", "Windows NT Server"}, {"ServerNTX", "Windows NT"}, {"", "Windows NT"}, {nullptr, "Windows NT"}};
  for (const auto& c : cases) {
    WriteProductType(c.first);
    char os[32];
    GetOsName(os, sizeof os);
    EXPECT_STREQ(os, c.second) << (c.first ? c.first : "(none)");
    // A package names server or workstation by its own bit.
    const bool server = strcmp(c.second, "Windows NT Server") == 0;
    EXPECT_EQ(IsTargetOs(kOsNtServer) != 0, server);
    EXPECT_EQ(IsTargetOs(kOsNtWorkstation) != 0, !server);
  }
  // A product type of another type, or longer than the 128 bytes read, is no server.
  plxwin::RegKey key;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProductOptions, 0, KEY_WRITE, key.Receive()), ERROR_SUCCESS);
  DWORD number = 1;
  RegSetValueExA(key.Get(), "ProductType", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
  EXPECT_FALSE(IsNtServer());
  WriteProductType(("ServerNT" + std::string(200, ' ')).c_str());
  EXPECT_FALSE(IsNtServer());
}

TEST_F(SystemVariables, DrivesAndNetCfg) {
  char root[4];
  DriveRoot(26, root);
  EXPECT_STREQ(root, "Z:\\");
  char tiny[3] = "xx";
  DriveRoot(3, tiny);
  EXPECT_STREQ(tiny, "");
  ASSERT_EQ(GetDriveTypeA("C:\\"), UINT(DRIVE_FIXED));
  for (auto c : std::vector<std::pair<int, int>>{{3, 3}, {2, 2}, {4, 3}, {26, 3}}) EXPECT_EQ(FirstHardDrive(c.first), c.second);
  // NET.CFG on the search path (here the current directory), given as its directory.
  WriteFile(dir_ + "\\NET.CFG");
  ASSERT_TRUE(SetCurrentDirectoryA(dir_.c_str()));
  char out[MAX_PATH];
  GetNetCfgDirectory(out);
  EXPECT_EQ(std::string(out), dir_);
  char small[8] = "x";
  GetNetCfgDirectory(small);
  EXPECT_STREQ(small, "");  // does not fit: nothing rather than a cut directory
  for (auto c : std::vector<std::pair<const char*, const char*>>{{"C:\\NWCLIENT\\NET.CFG", "C:\\NWCLIENT"},
                                                                  {"C:\\NET.CFG", "C:"},
                                                                  {"C:\\A\\.B\\C\\NET.CFG", "C:\\A"},
                                                                  {"C:\\net.cfg\\NET.CFG", "C:\\net.cfg"},
                                                                  {"\\\\SRV\\SYS\\.\\NET.CFG", "\\\\SRV\\SYS"}}) {
    char buf[MAX_PATH];
    CopyText(buf, c.first);
    CutNetCfgPath(buf);
    EXPECT_STREQ(buf, c.second) << c.first;
  }
}

TEST_F(SystemVariables, RunningOutOfMemory) {
  // No room for the store itself.
  SmallHeap(0);
  EXPECT_EQ(InitSystemVariables("SRV1"), -1);
  EXPECT_EQ(gVariables.nCount, -1);
  EXPECT_EQ(Shown(), "\r\nERROR 0105: Not enough memory to create system variable: Initializing Variable Heap.\r\n\r\n");
  // Room for a few records: the first variable that does not fit is named, those before stay.
  window_.Clear();
  VariableStore::UseHeap(nullptr);
  HeapDestroy(heap_);
  SmallHeap(6);
  EXPECT_EQ(InitSystemVariables("SRV1"), -1);
  int n = gVariables.nCount;
  ASSERT_GE(n, 1);
  ASSERT_LT(n, 22);
  EXPECT_EQ(Defined(), Defs(kSystemVariables.begin(), kSystemVariables.begin() + n));
  EXPECT_EQ(Shown(), "\r\nERROR 0105: Not enough memory to create system variable: " + kSystemVariables[n].first + ".\r\n\r\n");
}
