// The workstation id in equip.id: read, replaced, generated; and the user information.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <windows.h>

#include <string>

#include "identity.h"
#include "run_state.h"
#include "win_handle.h"
#include "win_test_support.h"
#include "window.h"

namespace {

const char kIdFile[] = "C:\\equip.id";
constexpr DWORD kIdAttributes = 0x27;  // read-only, hidden, system, archive
const char kNone[] = "<none>";

std::string Read(const std::string& path) { return testsupport::ReadWholeFile(path); }

void Remove(const std::string& path) {
  SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  DeleteFileA(path.c_str());
}

void Write(const std::string& path, const std::string& bytes, DWORD attributes) {
  Remove(path);
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr) << path;
  fwrite(bytes.data(), 1, bytes.size(), f);
  fclose(f);
  ASSERT_TRUE(SetFileAttributesA(path.c_str(), attributes));
}

// Twelve upper-case hex digits, each group of four one value of 0 to 32767.
bool IsGeneratedId(const std::string& id) {
  if (id.size() != 12 || id.find_first_not_of("0123456789ABCDEF") != std::string::npos) return false;
  return id[0] <= '7' && id[4] <= '7' && id[8] <= '7';
}

std::string Stored(const std::string& id) { return id + std::string(12, '\0'); }

// C:\equip.id belongs to the prefix the other tests use too: it is put back afterwards.
class Identity : public ::testing::Test {
 protected:
  void SetUp() override {
    savedAttributes_ = GetFileAttributesA(kIdFile);
    if (savedAttributes_ != INVALID_FILE_ATTRIBUTES) saved_ = Read(kIdFile);
    Remove(kIdFile);
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    dir_ = std::string(temp) + "plxid" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(dir_.c_str(), nullptr);
  }
  void TearDown() override {
    Remove(kIdFile);
    if (savedAttributes_ != INVALID_FILE_ATTRIBUTES) Write(kIdFile, saved_, savedAttributes_);
    for (const char* f : {"\\equip.id", "\\a.id", "\\b.id"}) Remove(dir_ + f);
    RemoveDirectoryA(dir_.c_str());
  }
  std::string dir_, saved_;
  DWORD savedAttributes_ = INVALID_FILE_ATTRIBUTES;
  testsupport::SavedRun run_;
};

struct FileCase {
  const char* what;
  std::string bytes;  // kNone: no file
  DWORD attributes;
  const char* id;     // the id read, or null for a new one stored in place of the file
};

const FileCase kFileCases[] = {
    {"no file", kNone, 0, nullptr},
    {"whatever follows", "0123456789ABtrailing bytes", FILE_ATTRIBUTE_ARCHIVE, "0123456789AB"},
    {"whatever its characters", Stored("hello world!"), FILE_ATTRIBUTE_ARCHIVE, "hello world!"},
    {"protected, read as it is", Stored("0123456789AB"), kIdAttributes, "0123456789AB"},
    {"short", "01234567", kIdAttributes, nullptr},
    {"zero among the first twelve", std::string("01234\0" "6789AB", 12) + std::string(12, '\0'), FILE_ATTRIBUTE_ARCHIVE,
     nullptr},
    {"empty", "", FILE_ATTRIBUTE_ARCHIVE, nullptr},
};

}  // namespace

TEST_F(Identity, IdFileCases) {
  for (const FileCase& c : kFileCases) {
    SCOPED_TRACE(c.what);
    Remove(kIdFile);
    if (c.bytes != kNone) Write(kIdFile, c.bytes, c.attributes);
    char site[64] = "stale", id[64];
    memset(id, '#', sizeof id);
    ASSERT_TRUE(GetWorkstationId(site, id));
    EXPECT_STREQ(site, "");  // no requester in this process
    if (c.id) {
      EXPECT_STREQ(id, c.id);
      EXPECT_EQ(Read(kIdFile), c.bytes);
      EXPECT_EQ(GetFileAttributesA(kIdFile), c.attributes);
    } else {
      EXPECT_TRUE(IsGeneratedId(id)) << id;
      EXPECT_EQ(Read(kIdFile), Stored(id));
      EXPECT_EQ(GetFileAttributesA(kIdFile), kIdAttributes);
      char again[64] = {};
      ASSERT_TRUE(GetWorkstationId(site, again));  // the next run reads it back
      EXPECT_STREQ(again, id);
    }
  }
  // Damaged and held open by another program: it can be neither read nor replaced.
  Write(kIdFile, "0123", kIdAttributes);
  plxwin::Handle h(CreateFileA(kIdFile, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(h.Valid());
  char site[64], id[64];
  EXPECT_FALSE(GetWorkstationId(site, id));
  h.Close();
  EXPECT_EQ(Read(kIdFile), "0123");
  char small[12];
  EXPECT_FALSE(GetWorkstationId(site, small)) << "no room for 12 characters and the end";
}

TEST_F(Identity, GeneratedIds) {
  std::string path = dir_ + "\\equip.id";
  Write(path, Stored("OLDOLDOLDOLD"), kIdAttributes);  // a protected file is replaced
  char id[64];
  ASSERT_TRUE(GenerateWorkstationId(path.c_str(), id));
  EXPECT_TRUE(IsGeneratedId(id)) << id;
  EXPECT_EQ(Read(path), Stored(id));
  EXPECT_EQ(GetFileAttributesA(path.c_str()), kIdAttributes);
  EXPECT_FALSE(GenerateWorkstationId((dir_ + "\\missing\\equip.id").c_str(), id));
  // Two workstations in the same second draw the same id: the seed is the time.
  std::string a = dir_ + "\\a.id", b = dir_ + "\\b.id";
  char first[64] = {}, second[64] = {};
  bool sameSecond = false;
  for (int attempt = 0; attempt < 5 && !sameSecond; ++attempt) {
    time_t before = time(nullptr);
    ASSERT_TRUE(GenerateWorkstationId(a.c_str(), first));
    ASSERT_TRUE(GenerateWorkstationId(b.c_str(), second));
    sameSecond = time(nullptr) == before;
  }
  ASSERT_TRUE(sameSecond);
  EXPECT_STREQ(first, second);
}

TEST(UserInformation, NodeServerAndLogin) {
  testsupport::SavedRun saved;
  HWND parent = CreateWindowExA(0, "STATIC", "info", WS_OVERLAPPEDWINDOW, 0, 0, 400, 200, nullptr, nullptr,
                                GetModuleHandleA(nullptr), nullptr);
  ASSERT_NE(parent, nullptr);
  for (int id : {IDC_NODE, IDC_SERVER, IDC_LOGIN})
    CreateWindowExA(0, "STATIC", "", WS_CHILD, 0, 0, 300, 20, parent, HMENU(INT_PTR(id)), GetModuleHandleA(nullptr), nullptr);
  auto field = [&](int id) {
    char text[256] = {};
    GetDlgItemTextA(parent, id, text, sizeof text);
    return std::string(text);
  };
  testsupport::IniBesideDll ini("CORVNET.dll", "CORVNET.INI");
  gContext.hMainDlg = nullptr;  // no window: nothing to fill
  ShowUserInformation("0123456789AB", "", "SRV", "ALICE");
  EXPECT_EQ(field(IDC_SERVER), "");
  gContext.hMainDlg = parent;
  ini.Write("[Network]\r\nNetNumber=0000abcd\r\nNodeAddress=00A0C9123456\r\n");
  ShowUserInformation("0123456789AB", "SITE-A", "SRV", "ALICE");
  EXPECT_EQ(field(IDC_NODE), "[0000ABCD:00A0C9123456]");
  EXPECT_EQ(field(IDC_SERVER), "SRV");
  EXPECT_EQ(field(IDC_LOGIN), "ALICE");
  ini.Write("[Network]\r\nNodeAddress=NOTANADDRESS\r\n");
  ShowUserInformation("0123456789AB", "SITE-A", "SRV", "ALICE");
  EXPECT_EQ(field(IDC_NODE), "[00000000:0123456789AB]");
  DestroyWindow(parent);
}
