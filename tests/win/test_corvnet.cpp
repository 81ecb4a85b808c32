// CORVNET.dll: answers from Windows where Windows knows, from CORVNET.INI beside the DLL
// for what only a directory service would know.
#include <gtest/gtest.h>
#include <windows.h>
#include <iphlpapi.h>

#include <string.h>

#include <string>

#include "corvnet.h"
#include "win_test_support.h"

namespace {

// CORVNET.INI beside the DLL, empty for the length of one test.
class Corvnet : public ::testing::Test {
 protected:
  void Write(const char* text) { ini.Write(text); }
  testsupport::IniBesideDll ini{"CORVNET.dll", "CORVNET.INI"};
};

std::string ServerOf(const char* dir, int* rc) {
  char name[kNetNameSize];
  memset(name, 'x', sizeof name);
  *rc = getServerFromPath(dir, name);
  return std::string(name, strnlen(name, sizeof name));
}

std::string Upper(std::string s) {
  CharUpperBuffA(&s[0], DWORD(s.size()));
  return s;
}

}  // namespace

TEST_F(Corvnet, ServerFromUncPaths) {
  int rc = -1;
  EXPECT_EQ(ServerOf("\\\\srv\\SYS\\PUBLIC\\", &rc), "SRV");
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(ServerOf("\\\\Srv2\\VOL", &rc), "SRV2");
  EXPECT_EQ(rc, 0);
  // The forms Wine gives for a program started from a share.
  EXPECT_EQ(ServerOf("\\\\?\\UNC\\srv3\\SYS\\PLIVEX\\", &rc), "SRV3");
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(ServerOf("UNC\\SRV4\\SYS\\", &rc), "SRV4");
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(ServerOf("\\\\\\SYS\\", &rc), "");
  EXPECT_EQ(rc, 2);
  std::string tooLong = "\\\\" + std::string(70, 'S') + "\\SYS";
  EXPECT_EQ(ServerOf(tooLong.c_str(), &rc), "");
  EXPECT_EQ(rc, 2) << "a name that does not fit is no server name";
  char name[64];
  EXPECT_EQ(getServerFromPath(nullptr, name), 2);
  EXPECT_EQ(getServerFromPath("", name), 2);
  EXPECT_EQ(getServerFromPath("\\\\SRV\\SYS", nullptr), 2);
}

TEST_F(Corvnet, ServerFromDriveLetters) {
  ASSERT_EQ(GetDriveTypeA("C:\\"), UINT(DRIVE_FIXED));
  int rc = -1;
  EXPECT_EQ(ServerOf("C:\\PLIVEX\\", &rc), "");
  EXPECT_EQ(rc, 1);
  // A letter nothing is behind.
  ASSERT_EQ(GetDriveTypeA("Q:\\"), UINT(DRIVE_NO_ROOT_DIR));
  EXPECT_EQ(ServerOf("Q:\\", &rc), "");
  EXPECT_EQ(rc, 1);

  Write("[Drives]\r\nF=\\\\srv\\SYS\r\nG=not a share\r\n");
  EXPECT_EQ(ServerOf("F:\\PUBLIC\\", &rc), "SRV");
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(ServerOf("f:\\", &rc), "SRV");
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(ServerOf("G:\\", &rc), "");
  EXPECT_EQ(rc, 2);
}

TEST_F(Corvnet, UnsupportedNetwork) {
  Write("[Network]\r\nUnsupported=1\r\n");
  int rc = -1;
  ServerOf("\\\\SRV\\SYS\\PUBLIC\\", &rc);
  EXPECT_EQ(rc, 3);
  ServerOf("C:\\", &rc);
  EXPECT_EQ(rc, 3);
  Write("[Network]\r\nUnsupported=0\r\n");
  EXPECT_EQ(ServerOf("\\\\SRV\\SYS\\PUBLIC\\", &rc), "SRV");
  EXPECT_EQ(rc, 0);
}

TEST_F(Corvnet, NetworkDrivesAndTheirShares) {
  EXPECT_EQ(isNetworkDrive(5), 0);
  EXPECT_EQ(getNetworkDrive("\\\\SRV\\SYS"), -1);
  Write("[Drives]\r\nF=\\\\SRV\\SYS\r\nH=\\\\SRV\\DATA\\\r\n");
  EXPECT_NE(isNetworkDrive(5), 0);
  EXPECT_NE(isNetworkDrive(7), 0);
  EXPECT_EQ(isNetworkDrive(2), 0) << "C: is a local disk";
  EXPECT_EQ(isNetworkDrive(-1), 0);
  EXPECT_EQ(isNetworkDrive(26), 0);

  EXPECT_EQ(getNetworkDrive("\\\\SRV\\SYS"), 5);
  EXPECT_EQ(getNetworkDrive("\\\\srv\\sys\\PUBLIC\\X.EXE"), 5);
  EXPECT_EQ(getNetworkDrive("\\\\SRV\\SYS\\"), 5);
  EXPECT_EQ(getNetworkDrive("\\\\SRV\\SYSTEM"), -1);
  EXPECT_EQ(getNetworkDrive("\\\\SRV\\DATA\\APPS"), 7);
  EXPECT_EQ(getNetworkDrive("\\\\OTHER\\SYS"), -1);
  EXPECT_EQ(getNetworkDrive("C:\\SRV\\SYS"), -1);
  EXPECT_EQ(getNetworkDrive(nullptr), -1);
}

TEST_F(Corvnet, UserAndMachineFromWindows) {
  char expectUser[257];
  DWORD len = sizeof expectUser;
  ASSERT_TRUE(GetUserNameA(expectUser, &len));
  char user[kNetUserSize];
  EXPECT_EQ(getUserName("SRV", user), 0);
  EXPECT_EQ(std::string(user), Upper(expectUser));

  char expectMachine[MAX_COMPUTERNAME_LENGTH + 1];
  len = sizeof expectMachine;
  ASSERT_TRUE(GetComputerNameA(expectMachine, &len));
  char machine[kNetTextSize];
  EXPECT_EQ(getMachineName(machine), 0);
  EXPECT_STREQ(machine, expectMachine);

  EXPECT_EQ(getUserName("SRV", nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(getMachineName(nullptr), ERROR_INVALID_PARAMETER);
}

TEST_F(Corvnet, UserAndMachineFromTheIni) {
  std::string longName(300, 'n');
  std::string text = "[Workstation]\r\nUserName=alice\r\nMachineName=WS01\r\n[User.ALICE]\r\nFullName=Alice Smith\r\n"
                     "LoginScript=ALICE\r\nLoginScriptPath=\\\\SRV\\SYS\\MAIL\\1\r\n[User.BOB]\r\nFullName=" + longName + "\r\n";
  Write(text.c_str());
  char user[kNetUserSize + 8];
  memset(user, '#', sizeof user);
  EXPECT_EQ(getUserName("SRV", user), 0);
  EXPECT_STREQ(user, "ALICE");
  char buf[kNetTextSize + 8];
  EXPECT_EQ(getMachineName(buf), 0);
  EXPECT_STREQ(buf, "WS01");
  EXPECT_EQ(getFullName("SRV", "alice", buf), 0);
  EXPECT_STREQ(buf, "Alice Smith");
  EXPECT_EQ(getFullName("SRV", nullptr, buf), 0) << "no login: the current user";
  EXPECT_STREQ(buf, "Alice Smith");
  EXPECT_EQ(getLoginScriptName("SRV", buf), 0);
  EXPECT_STREQ(buf, "ALICE");
  EXPECT_EQ(getLoginScriptPath("SRV", buf), 0);
  EXPECT_STREQ(buf, "\\\\SRV\\SYS\\MAIL\\1");

  // Filled up to the buffer's size and no further.
  memset(buf, '#', sizeof buf);
  EXPECT_EQ(getFullName("SRV", "BOB", buf), 0);
  EXPECT_EQ(strlen(buf), size_t(kNetTextSize - 1));
  EXPECT_EQ(buf[kNetTextSize], '#');
  EXPECT_EQ(getFullName("SRV", "CAROL", buf), ERROR_NOT_FOUND);
  EXPECT_STREQ(buf, "");

  Write("[Workstation]\r\nUserName=BOB\r\n");
  EXPECT_EQ(getLoginScriptName("SRV", buf), ERROR_NOT_FOUND);
  EXPECT_STREQ(buf, "");
}

TEST_F(Corvnet, LongUserNameIsCutToTheBuffer) {
  std::string text = "[Workstation]\r\nUserName=" + std::string(300, 'u') + "\r\n";
  Write(text.c_str());
  char user[kNetUserSize + 8];
  memset(user, '#', sizeof user);
  EXPECT_EQ(getUserName("SRV", user), 0);
  EXPECT_EQ(strlen(user), size_t(kNetUserSize - 1));
  EXPECT_EQ(user[kNetUserSize], '#');
}

TEST_F(Corvnet, NetworkAddressFromTheIni) {
  Write("[Network]\r\nNetNumber=0000abcd\r\nNodeAddress=00a0c9123456\r\n");
  char addr[kNetAddrSize + 2];
  memset(addr, '#', sizeof addr);
  EXPECT_EQ(getNetAddr(addr), 0);
  EXPECT_EQ(memcmp(addr, "0000ABCD\0" "00A0C9123456\0", kNetAddrSize), 0);
  EXPECT_EQ(addr[kNetAddrSize], '#');

  Write("[Network]\r\nNodeAddress=00A0C9123456\r\n");
  EXPECT_EQ(getNetAddr(addr), 0);
  EXPECT_EQ(memcmp(addr, "00000000\0" "00A0C9123456\0", kNetAddrSize), 0);

  Write("[Network]\r\nNodeAddress=00A0C912345\r\n");
  EXPECT_EQ(getNetAddr(addr), ERROR_INVALID_DATA);
  EXPECT_EQ(memcmp(addr, "\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0", kNetAddrSize), 0) << "no leftovers";
  Write("[Network]\r\nNetNumber=XYZ\r\nNodeAddress=00A0C9123456\r\n");
  EXPECT_EQ(getNetAddr(addr), ERROR_INVALID_DATA);
  EXPECT_EQ(getNetAddr(nullptr), ERROR_INVALID_PARAMETER);
}

TEST_F(Corvnet, NodeAddressOfTheFirstAdapter) {
  // Without a configured address the node is a real adapter's MAC address. (The test
  // program does not link the IP helper library, so it is loaded here.)
  HMODULE iphlp = LoadLibraryA("iphlpapi.dll");
  ASSERT_NE(iphlp, nullptr);
  using GetAdaptersInfoFn = DWORD(WINAPI*)(IP_ADAPTER_INFO*, ULONG*);
  auto getAdapters = reinterpret_cast<GetAdaptersInfoFn>(reinterpret_cast<void*>(GetProcAddress(iphlp, "GetAdaptersInfo")));
  ASSERT_NE(getAdapters, nullptr);
  ULONG size = 0;
  std::string macs;
  if (getAdapters(nullptr, &size) == ERROR_BUFFER_OVERFLOW) {
    std::string buf(size, '\0');
    IP_ADAPTER_INFO* list = reinterpret_cast<IP_ADAPTER_INFO*>(&buf[0]);
    ASSERT_EQ(getAdapters(list, &size), DWORD(NO_ERROR));
    for (IP_ADAPTER_INFO* a = list; a; a = a->Next) {
      char hex[13];
      snprintf(hex, sizeof hex, "%02X%02X%02X%02X%02X%02X", a->Address[0], a->Address[1], a->Address[2],
               a->Address[3], a->Address[4], a->Address[5]);
      if (a->AddressLength == 6 && strcmp(hex, "000000000000") != 0) macs += std::string(hex) + " ";
    }
  }
  char addr[kNetAddrSize];
  int rc = getNetAddr(addr);
  if (macs.empty()) {
    EXPECT_NE(rc, 0) << "no adapter and no configured address";
    return;
  }
  ASSERT_EQ(rc, 0);
  EXPECT_STREQ(addr, "00000000");
  std::string node(addr + 9);
  EXPECT_EQ(node.size(), 12u);
  EXPECT_NE(macs.find(node + " "), std::string::npos) << node << " is not among " << macs;
}

TEST_F(Corvnet, PackageServersInOrder) {
  Write("[User.ALICE]\r\nPackageServers=SRV, srv2 ,,SRV3\r\n[User.BOB]\r\nPackageServers=\r\n");
  uint32_t h = 0xFFFFFFFFu;
  char name[kNetNameSize];
  uint8_t flag = 9;
  const char* want[] = {"SRV", "SRV2", "SRV3"};
  for (const char* w : want) {
    ASSERT_EQ(GetNWMemberPackageServers(&h, "alice", name, &flag, "SRV"), 0) << w;
    EXPECT_STREQ(name, w);
  }
  EXPECT_EQ(flag, 0);
  EXPECT_NE(GetNWMemberPackageServers(&h, "ALICE", name, &flag, "SRV"), 0);
  EXPECT_STREQ(name, "SRV3") << "the buffer is left alone at the end";
  EXPECT_NE(GetNWMemberPackageServers(&h, "ALICE", name, &flag, "SRV"), 0) << "and stays at the end";

  h = 0xFFFFFFFFu;
  EXPECT_NE(GetNWMemberPackageServers(&h, "BOB", name, &flag, "SRV"), 0);
  h = 0xFFFFFFFFu;
  EXPECT_NE(GetNWMemberPackageServers(&h, "NOBODY", name, &flag, "SRV"), 0);
  EXPECT_NE(GetNWMemberPackageServers(nullptr, "ALICE", name, &flag, "SRV"), 0);
  h = 0xFFFFFFFFu;
  EXPECT_EQ(GetNWMemberPackageServers(&h, "ALICE", name, nullptr, nullptr), 0) << "flag and first server are optional";
}

TEST_F(Corvnet, GroupMembership) {
  Write("[User.ALICE]\r\nGroups=STAFF, Accounts\r\n");
  EXPECT_EQ(IsUserInGroup("accounts", "ALICE", "SRV"), 1);
  EXPECT_EQ(IsUserInGroup("STAFF", "alice", nullptr), 1);
  EXPECT_EQ(IsUserInGroup("STAF", "ALICE", "SRV"), 0);
  EXPECT_EQ(IsUserInGroup("STAFF", "BOB", "SRV"), 0);
  EXPECT_EQ(IsUserInGroup(nullptr, "ALICE", "SRV"), 0);
  EXPECT_EQ(IsUserInGroup("", "ALICE", "SRV"), 0);
}

TEST_F(Corvnet, NetworkLayerStartsForANamedServer) {
  EXPECT_EQ(NWInit("SRV"), 0);
  EXPECT_NE(NWInit(""), 0);
  EXPECT_NE(NWInit(nullptr), 0);
  EXPECT_EQ(NWDeInit(), 0);
}

TEST_F(Corvnet, FileShareableAnswersWhetherOthersCanWriteIt) {
  char tmp[MAX_PATH];
  ASSERT_GT(GetTempPathA(sizeof tmp, tmp), 0u);
  std::string dir = std::string(tmp) + "plxshare" + std::to_string(GetCurrentProcessId());
  ASSERT_TRUE(CreateDirectoryA(dir.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
  std::string file = dir + "\\DATA.DBF", ro = dir + "\\RO.DBF", sub = dir + "\\SUB";
  for (const std::string& f : {file, ro}) {
    HANDLE h = CreateFileA(f.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
  }
  ASSERT_TRUE(SetFileAttributesA(ro.c_str(), FILE_ATTRIBUTE_READONLY));
  ASSERT_TRUE(CreateDirectoryA(sub.c_str(), nullptr));

  EXPECT_EQ(setNWFileShareable(dir.c_str(), "DATA.DBF", 1), 0);
  EXPECT_EQ(setNWFileShareable(dir.c_str(), "DATA.DBF", 0), 0);
  EXPECT_EQ(setNWFileShareable((dir + "\\").c_str(), "\\data.dbf", 1), 0);
  EXPECT_EQ(setNWFileShareable(dir.c_str(), "NONE.DBF", 1), -3);
  EXPECT_EQ(setNWFileShareable((dir + "\\NODIR").c_str(), "DATA.DBF", 1), -3);
  EXPECT_EQ(setNWFileShareable(dir.c_str(), "RO.DBF", 1), -4);
  EXPECT_EQ(setNWFileShareable(dir.c_str(), "SUB", 1), -4);
  {
    // Someone holds the file and lets nobody else write it.
    HANDLE held = CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(setNWFileShareable(dir.c_str(), "DATA.DBF", 1), -4);
    CloseHandle(held);
  }
  EXPECT_EQ(setNWFileShareable(dir.c_str(), "DATA.DBF", 1), 0);
  EXPECT_EQ(GetFileAttributesA(file.c_str()), DWORD(FILE_ATTRIBUTE_ARCHIVE)) << "the file is not changed";
  EXPECT_EQ(setNWFileShareable(nullptr, "DATA.DBF", 1), ERROR_INVALID_PARAMETER);

  SetFileAttributesA(ro.c_str(), FILE_ATTRIBUTE_NORMAL);
  DeleteFileA(ro.c_str());
  DeleteFileA(file.c_str());
  RemoveDirectoryA(sub.c_str());
  RemoveDirectoryA(dir.c_str());
}
