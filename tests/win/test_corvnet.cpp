// CORVNET.dll: answers from Windows where Windows knows, from CORVNET.INI beside the DLL for
// what only a directory service would know.
#include <gtest/gtest.h>
#include <windows.h>
#include <string.h>

#include <string>

#include "corvnet.h"
#include "win_handle.h"
#include "win_test_support.h"

namespace {

class Corvnet : public ::testing::Test {
 protected:
  testsupport::IniBesideDll ini{"CORVNET.dll", "CORVNET.INI"};
};

const char kDrives[] = "[Drives]\r\nF=\\\\srv\\SYS\r\nG=not a share\r\nH=\\\\SRV\\DATA\\\r\n";

struct ServerCase {
  const char* ini;
  const char* dir;
  int rc;
  const char* name;
};

const ServerCase kServerCases[] = {
    {"", "\\\\srv\\SYS\\PUBLIC\\", 0, "SRV"},
    {"", "\\\\Srv2\\VOL", 0, "SRV2"},
    {"", "\\\\?\\UNC\\srv3\\SYS\\PLIVEX\\", 0, "SRV3"},  // the forms Wine gives a program on a share
    {"", "UNC\\SRV4\\SYS\\", 0, "SRV4"},
    {"", "\\\\\\SYS\\", 2, ""},
    {"", "\\\\SSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSS\\SYS", 2, ""},  // 64: no room
    {"", "\\\\SSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSS\\SYS", 0,
     "SSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSS"},  // 63 fits
    {"", "", 2, ""},
    {"", "C:\\PLIVEX\\", 1, ""},
    {"", "Q:\\", 1, ""},  // nothing behind the letter
    {kDrives, "F:\\PUBLIC\\", 0, "SRV"},
    {kDrives, "f:\\", 0, "SRV"},
    {kDrives, "G:\\", 2, ""},
    {"[Network]\r\nUnsupported=1\r\n", "\\\\SRV\\SYS\\PUBLIC\\", 3, ""},
    {"[Network]\r\nUnsupported=1\r\n", "C:\\", 3, ""},
    {"[Network]\r\nUnsupported=0\r\n", "\\\\SRV\\SYS\\PUBLIC\\", 0, "SRV"},
};

}  // namespace

TEST_F(Corvnet, ServerOfADirectory) {
  ASSERT_EQ(GetDriveTypeA("C:\\"), UINT(DRIVE_FIXED));
  ASSERT_EQ(GetDriveTypeA("Q:\\"), UINT(DRIVE_NO_ROOT_DIR));
  for (const ServerCase& c : kServerCases) {
    ini.Write(c.ini);
    char name[kNetNameSize];
    memset(name, 'x', sizeof name);
    EXPECT_EQ(getServerFromPath(c.dir, name), c.rc) << c.dir;
    EXPECT_EQ(std::string(name, strnlen(name, sizeof name)), c.name) << c.dir;
  }
  char name[kNetNameSize];
  EXPECT_EQ(getServerFromPath(nullptr, name), 2);
  EXPECT_EQ(getServerFromPath("\\\\SRV\\SYS", nullptr), 2);
}

TEST_F(Corvnet, NetworkDrivesAndTheirShares) {
  EXPECT_EQ(isNetworkDrive(5), 0);
  EXPECT_EQ(getNetworkDrive("\\\\SRV\\SYS"), -1);
  ini.Write(kDrives);
  for (int d : {-1, 2, 26}) EXPECT_EQ(isNetworkDrive(d), 0) << d;
  for (int d : {5, 7}) EXPECT_NE(isNetworkDrive(d), 0) << d;
  const std::pair<const char*, int> cases[] = {
      {"\\\\SRV\\SYS", 5},     {"\\\\srv\\sys\\PUBLIC\\X.EXE", 5}, {"\\\\SRV\\SYS\\", 5}, {"\\\\SRV\\SYSTEM", -1},
      {"\\\\SRV\\DATA\\APPS", 7}, {"\\\\OTHER\\SYS", -1},            {"C:\\SRV\\SYS", -1}, {nullptr, -1}};
  for (const auto& c : cases) EXPECT_EQ(getNetworkDrive(c.first), c.second) << (c.first ? c.first : "null");
}

TEST_F(Corvnet, UserValues) {
  // Without the INI: Windows's own names (Wine always has a user), the login upper-cased.
  char user[kNetUserSize + 8], buf[kNetTextSize + 8];
  EXPECT_EQ(getUserName("SRV", user), 0);
  EXPECT_NE(user[0], '\0');
  EXPECT_EQ(std::string(user).find_first_of("abcdefghijklmnopqrstuvwxyz"), std::string::npos) << user;
  EXPECT_EQ(getMachineName(buf), 0);
  EXPECT_NE(buf[0], '\0');
  EXPECT_EQ(getUserName("SRV", nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(getMachineName(nullptr), ERROR_INVALID_PARAMETER);

  std::string n255(255, 'n'), n256(256, 'n');
  ini.Write(("[Workstation]\r\nUserName=alice\r\nMachineName=WS01\r\n[User.ALICE]\r\nFullName=Alice Smith\r\n"
             "LoginScript=ALICE\r\nLoginScriptPath=\\\\SRV\\SYS\\MAIL\\1\r\n[User.BOB]\r\nFullName=" + n255 +
             "\r\n[User.DAVE]\r\nFullName=" + n256 + "\r\nLoginScriptPath=\\\\SRV\\" + n256 + "\r\n")
                .c_str());
  EXPECT_EQ(getUserName("SRV", user), 0);
  EXPECT_STREQ(user, "ALICE");
  EXPECT_EQ(getMachineName(buf), 0);
  EXPECT_STREQ(buf, "WS01");
  struct {
    int (*call)(const char* login, char* out);
    const char* login;
    int rc;
    std::string value;
  } cases[] = {
      {[](const char* l, char* o) { return getFullName("SRV", l, o); }, "alice", 0, "Alice Smith"},
      {[](const char* l, char* o) { return getFullName("SRV", l, o); }, nullptr, 0, "Alice Smith"},  // current user
      {[](const char* l, char* o) { return getFullName("SRV", l, o); }, "BOB", 0, n255},
      // One past the buffer: refused whole, never cut.
      {[](const char* l, char* o) { return getFullName("SRV", l, o); }, "DAVE", ERROR_INSUFFICIENT_BUFFER, ""},
      {[](const char* l, char* o) { return getFullName("SRV", l, o); }, "CAROL", ERROR_NOT_FOUND, ""},
      {[](const char*, char* o) { return getLoginScriptName("SRV", o); }, nullptr, 0, "ALICE"},
      {[](const char*, char* o) { return getLoginScriptPath("SRV", o); }, nullptr, 0, "\\\\SRV\\SYS\\MAIL\\1"},
  };
  for (const auto& c : cases) {
    memset(buf, '#', sizeof buf);
    EXPECT_EQ(c.call(c.login, buf), c.rc) << (c.login ? c.login : "current");
    EXPECT_EQ(std::string(buf), c.value) << (c.login ? c.login : "current");
    EXPECT_EQ(buf[kNetTextSize], '#');
  }
  ini.Write(("[Workstation]\r\nUserName=DAVE\r\n[User.DAVE]\r\nLoginScriptPath=\\\\SRV\\" + n256 + "\r\n").c_str());
  EXPECT_EQ(getLoginScriptName("SRV", buf), ERROR_NOT_FOUND);
  EXPECT_EQ(getLoginScriptPath("SRV", buf), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_STREQ(buf, "");
  ini.Write(("[Workstation]\r\nUserName=" + std::string(kNetUserSize, 'u') + "\r\n").c_str());
  memset(user, '#', sizeof user);
  EXPECT_EQ(getUserName("SRV", user), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_STREQ(user, "");
}

TEST_F(Corvnet, NetworkAddress) {
  const std::pair<const char*, int> cases[] = {
      {"[Network]\r\nNetNumber=0000abcd\r\nNodeAddress=00a0c9123456\r\n", 0},
      {"[Network]\r\nNodeAddress=00A0C9123456\r\n", 0},
      {"[Network]\r\nNodeAddress=00A0C912345\r\n", ERROR_INVALID_DATA},
      {"[Network]\r\nNetNumber=XYZ\r\nNodeAddress=00A0C9123456\r\n", ERROR_INVALID_DATA}};
  const char* want[] = {"0000ABCD\0" "00A0C9123456", "00000000\0" "00A0C9123456", "", ""};
  for (size_t i = 0; i < 4; ++i) {
    ini.Write(cases[i].first);
    char addr[kNetAddrSize + 2];
    memset(addr, '#', sizeof addr);
    EXPECT_EQ(getNetAddr(addr), cases[i].second) << i;
    char expected[kNetAddrSize] = {};  // on failure: zeros, no leftovers
    memcpy(expected, want[i], cases[i].second ? 0 : kNetAddrSize - 1);
    EXPECT_EQ(memcmp(addr, expected, kNetAddrSize), 0) << i;
    EXPECT_EQ(addr[kNetAddrSize], '#');
  }
  EXPECT_EQ(getNetAddr(nullptr), ERROR_INVALID_PARAMETER);
  // Without a configured address the node is an adapter's address: twelve hex digits, not
  // all zero; or no address at all on a machine without an adapter.
  ini.Write("");
  char addr[kNetAddrSize];
  if (getNetAddr(addr) == 0) {
    EXPECT_STREQ(addr, "00000000");
    std::string node(addr + 9);
    EXPECT_EQ(node.size(), 12u);
    EXPECT_EQ(node.find_first_not_of("0123456789ABCDEF"), std::string::npos) << node;
    EXPECT_NE(node, "000000000000");
  }
}

TEST_F(Corvnet, PackageServersGroupsAndNetworkLayer) {
  ini.Write(("[User.ALICE]\r\nPackageServers=SRV, srv2 ,," + std::string(kNetNameSize, 'L') +
             ",SRV3\r\nGroups=STAFF, Accounts\r\n[User.BOB]\r\nPackageServers=\r\n").c_str());
  uint32_t h = 0xFFFFFFFFu;
  char name[kNetNameSize];
  uint8_t flag = 9;
  for (const char* w : {"SRV", "SRV2"}) {
    ASSERT_EQ(GetNWMemberPackageServers(&h, "alice", name, &flag, "SRV"), 0) << w;
    EXPECT_STREQ(name, w);
  }
  EXPECT_EQ(flag, 0);
  // A name too long for the buffer ends the list rather than naming another server.
  EXPECT_NE(GetNWMemberPackageServers(&h, "ALICE", name, &flag, "SRV"), 0);
  EXPECT_STREQ(name, "SRV2");
  ASSERT_EQ(GetNWMemberPackageServers(&h, "alice", name, &flag, "SRV"), 0);
  EXPECT_STREQ(name, "SRV3");
  EXPECT_NE(GetNWMemberPackageServers(&h, "ALICE", name, &flag, "SRV"), 0);
  EXPECT_STREQ(name, "SRV3") << "the buffer is left alone at the end";
  for (const char* user : {"BOB", "NOBODY"}) {
    h = 0xFFFFFFFFu;
    EXPECT_NE(GetNWMemberPackageServers(&h, user, name, &flag, "SRV"), 0) << user;
  }
  EXPECT_NE(GetNWMemberPackageServers(nullptr, "ALICE", name, &flag, "SRV"), 0);
  h = 0xFFFFFFFFu;
  EXPECT_EQ(GetNWMemberPackageServers(&h, "ALICE", name, nullptr, nullptr), 0) << "flag and first server are optional";

  EXPECT_EQ(IsUserInGroup("accounts", "ALICE", "SRV"), 1);
  EXPECT_EQ(IsUserInGroup("STAFF", "alice", nullptr), 1);
  for (const char* g : {"STAF", "", static_cast<const char*>(nullptr)}) EXPECT_EQ(IsUserInGroup(g, "ALICE", "SRV"), 0);
  EXPECT_EQ(IsUserInGroup("STAFF", "BOB", "SRV"), 0);

  EXPECT_EQ(NWInit("SRV"), 0);
  EXPECT_NE(NWInit(""), 0);
  EXPECT_NE(NWInit(nullptr), 0);
  ini.Write("[Network]\r\nAttached=SRV1, SRV2\r\n");
  EXPECT_EQ(NWInit("srv2"), 0);
  EXPECT_EQ(NWInit("SRV3"), ERROR_NOT_CONNECTED);
  EXPECT_EQ(NWDeInit(), 0);
}

// Answers kept between calls follow the file: a new write time or a new size, and a file
// rewritten within the same instant as its last read.
TEST_F(Corvnet, AnswersFollowTheFileOnDisk) {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const ULONGLONG hourAgo = (ULONGLONG(now.dwHighDateTime) << 32 | now.dwLowDateTime) - 3600ull * 10000000ull;
  struct {
    const char* alice;  // ALICE's groups; BOB is always in PLANT
    int writtenAfterHourAgo;  // seconds; -1: left as written now
    const char* in;
    const char* out;
  } cases[] = {
      {"STAFF", 0, "staff", "SALES"},  {"SALES", 1, "SALES", "STAFF"},  // same size, other time
      {"SALES,AB", 1, "AB", "STAFF"},                                   // same time, other size
      {"STAFF", -1, "STAFF", "SALES"}, {"SALES", -1, "SALES", "STAFF"},  // same size, just written
  };
  for (const auto& c : cases) {
    ini.Write(("[User.ALICE]\r\nGroups=" + std::string(c.alice) + "\r\n[User.BOB]\r\nGroups=PLANT\r\n").c_str());
    if (c.writtenAfterHourAgo >= 0) {
      ULONGLONG t = hourAgo + ULONGLONG(c.writtenAfterHourAgo) * 10000000ull;
      FILETIME ft{DWORD(t), DWORD(t >> 32)};
      plxwin::Handle f(CreateFileA(ini.Path().c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, 0, nullptr));
      ASSERT_TRUE(f.Valid() && SetFileTime(f.Get(), nullptr, nullptr, &ft)) << c.alice;
    }
    for (int again = 0; again < 2; ++again) {
      EXPECT_EQ(IsUserInGroup(c.in, "ALICE", "SRV"), 1) << c.alice << again;
      EXPECT_EQ(IsUserInGroup(c.out, "ALICE", "SRV"), 0) << c.alice << again;
      EXPECT_EQ(IsUserInGroup("PLANT", "BOB", "SRV"), 1) << c.alice << again;
    }
  }
}

TEST_F(Corvnet, FileShareableAnswersWhetherOthersCanWriteIt) {
  char tmp[MAX_PATH];
  GetTempPathA(sizeof tmp, tmp);
  std::string dir = std::string(tmp) + "plxshare" + std::to_string(GetCurrentProcessId());
  CreateDirectoryA(dir.c_str(), nullptr);
  std::string file = dir + "\\DATA.DBF", ro = dir + "\\RO.DBF", sub = dir + "\\SUB";
  for (const std::string& f : {file, ro})
    plxwin::Handle(CreateFileA(f.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(SetFileAttributesA(ro.c_str(), FILE_ATTRIBUTE_READONLY));
  CreateDirectoryA(sub.c_str(), nullptr);
  const std::pair<std::string, const char*> ok[] = {{dir, "DATA.DBF"}, {dir + "\\", "\\data.dbf"}};
  for (const auto& c : ok)
    for (int set : {1, 0}) EXPECT_EQ(setNWFileShareable(c.first.c_str(), c.second, set), 0) << c.second;
  EXPECT_EQ(setNWFileShareable(dir.c_str(), "NONE.DBF", 1), -3);
  EXPECT_EQ(setNWFileShareable((dir + "\\NODIR").c_str(), "DATA.DBF", 1), -3);
  EXPECT_EQ(setNWFileShareable(dir.c_str(), "RO.DBF", 1), -4);
  EXPECT_EQ(setNWFileShareable(dir.c_str(), "SUB", 1), -4);
  {
    // Someone holds the file and lets nobody else write it.
    plxwin::Handle held(CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held.Valid());
    EXPECT_EQ(setNWFileShareable(dir.c_str(), "DATA.DBF", 1), -4);
  }
  EXPECT_EQ(setNWFileShareable(dir.c_str(), "DATA.DBF", 1), 0);
  EXPECT_EQ(GetFileAttributesA(file.c_str()), DWORD(FILE_ATTRIBUTE_ARCHIVE)) << "the file is not changed";
  EXPECT_EQ(setNWFileShareable(nullptr, "DATA.DBF", 1), ERROR_INVALID_PARAMETER);
  SetFileAttributesA(ro.c_str(), FILE_ATTRIBUTE_NORMAL);
  for (const std::string& f : {ro, file}) DeleteFileA(f.c_str());
  RemoveDirectoryA(sub.c_str());
  RemoveDirectoryA(dir.c_str());
}
