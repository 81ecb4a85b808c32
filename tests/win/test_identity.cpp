#include <gtest/gtest.h>

#include <ctype.h>
#include <string.h>
#include <time.h>
#include <windows.h>

#include <string>
#include <vector>

#include "corvnet.h"
#include "identity.h"
#include "run_state.h"
#include "win_test_support.h"
#include "window.h"

namespace {

const char kIdFile[] = "C:\\equip.id";

std::string ReadBytes(const std::string& path) { return testsupport::ReadWholeFile(path); }

void WriteBytes(const std::string& path, const std::string& bytes, DWORD attributes = FILE_ATTRIBUTE_ARCHIVE) {
  SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  DeleteFileA(path.c_str());
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr) << path;
  fwrite(bytes.data(), 1, bytes.size(), f);
  fclose(f);
  ASSERT_TRUE(SetFileAttributesA(path.c_str(), attributes));
}

bool IsGeneratedId(const std::string& id) {
  if (id.size() != 12) return false;
  for (size_t i = 0; i < id.size(); ++i) {
    char c = id[i];
    if (!isdigit(static_cast<unsigned char>(c)) && (c < 'A' || c > 'F')) return false;
    // Each group of four digits is one value of 0 to 32767.
    if (i % 4 == 0 && c > '7') return false;
  }
  return true;
}

// The id file as a stored id must be: the id, then twelve zero bytes.
std::string StoredForm(const std::string& id) { return id + std::string(12, '\0'); }

// C:\equip.id belongs to the prefix the other tests use too: whatever was there is put
// back after each case. A scratch directory takes the files of GenerateWorkstationId.
class Identity : public ::testing::Test {
 protected:
  void SetUp() override {
    savedContext_ = gContext;
    savedOptions_ = gOptions;
    gOptions = AgentOptions{};
    savedAttributes_ = GetFileAttributesA(kIdFile);
    if (savedAttributes_ != INVALID_FILE_ATTRIBUTES) saved_ = ReadBytes(kIdFile);
    Remove(kIdFile);
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    dir_ = std::string(temp) + "plxid" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(dir_.c_str(), nullptr);
  }

  void TearDown() override {
    Remove(kIdFile);
    if (savedAttributes_ != INVALID_FILE_ATTRIBUTES) WriteBytes(kIdFile, saved_, savedAttributes_);
    Remove(dir_ + "\\equip.id");
    RemoveDirectoryA(dir_.c_str());
    gContext = savedContext_;
    gOptions = savedOptions_;
  }

  static void Remove(const std::string& path) {
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(path.c_str());
  }

  std::string dir_;
  std::string saved_;
  DWORD savedAttributes_ = INVALID_FILE_ATTRIBUTES;
  AgentContext savedContext_;
  AgentOptions savedOptions_;
};

}  // namespace

TEST_F(Identity, GeneratedIdFileLayoutAndAttributes) {
  std::string path = dir_ + "\\equip.id";
  char id[64];
  memset(id, '#', sizeof id);
  ASSERT_TRUE(GenerateWorkstationId(path.c_str(), id));
  EXPECT_EQ(strlen(id), 12u);
  EXPECT_TRUE(IsGeneratedId(id)) << id;
  EXPECT_EQ(ReadBytes(path), StoredForm(id));
  EXPECT_EQ(GetFileAttributesA(path.c_str()), DWORD(0x27));
}

TEST_F(Identity, GeneratedIdReplacesAProtectedFile) {
  std::string path = dir_ + "\\equip.id";
  WriteBytes(path, "OLDOLDOLDOLD" + std::string(12, '\0'), 0x27);
  char id[64] = {};
  ASSERT_TRUE(GenerateWorkstationId(path.c_str(), id));
  EXPECT_TRUE(IsGeneratedId(id)) << id;
  EXPECT_EQ(ReadBytes(path), StoredForm(id));
  EXPECT_EQ(GetFileAttributesA(path.c_str()), DWORD(0x27));
}

TEST_F(Identity, IdCannotBeStoredInAMissingFolder) {
  std::string path = dir_ + "\\missing\\equip.id";
  char id[64] = {};
  EXPECT_FALSE(GenerateWorkstationId(path.c_str(), id));
  EXPECT_EQ(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(Identity, IdCannotReplaceAFileThatCannotBeDeleted) {
  std::string path = dir_ + "\\equip.id";
  const std::string old = "OLD!" + std::string(4, '\0');
  WriteBytes(path, old, 0x27);
  // Another program holds it open without letting it be deleted.
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  char id[64] = {};
  EXPECT_FALSE(GenerateWorkstationId(path.c_str(), id));
  CloseHandle(h);
  EXPECT_EQ(ReadBytes(path), old);
}

TEST_F(Identity, SameSecondDrawsTheSameId) {
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
  Remove(a);
  Remove(b);
}

TEST_F(Identity, NewIdWhenThereIsNoFile) {
  char site[64] = "stale", id[64] = "stale";
  ASSERT_TRUE(GetWorkstationId(site, id));
  EXPECT_TRUE(IsGeneratedId(id)) << id;
  EXPECT_STREQ(site, "");  // no database requester in this process
  EXPECT_EQ(ReadBytes(kIdFile), StoredForm(id));
  EXPECT_EQ(GetFileAttributesA(kIdFile), DWORD(0x27));
  // The next run reads the same id back.
  char again[64] = {};
  ASSERT_TRUE(GetWorkstationId(site, again));
  EXPECT_STREQ(again, id);
}

TEST_F(Identity, StoredIdIsUsedWhateverFollows) {
  const std::string bytes = "0123456789ABtrailing bytes";
  WriteBytes(kIdFile, bytes);
  char site[64], id[64];
  ASSERT_TRUE(GetWorkstationId(site, id));
  EXPECT_STREQ(id, "0123456789AB");
  EXPECT_EQ(ReadBytes(kIdFile), bytes);
}

TEST_F(Identity, StoredIdIsUsedWhateverItsCharacters) {
  WriteBytes(kIdFile, StoredForm("hello world!"));
  char site[64], id[64];
  ASSERT_TRUE(GetWorkstationId(site, id));
  EXPECT_STREQ(id, "hello world!");
}

TEST_F(Identity, ProtectedFileIsReadWithoutChangingIt) {
  WriteBytes(kIdFile, StoredForm("0123456789AB"), 0x27);
  char site[64], id[64];
  ASSERT_TRUE(GetWorkstationId(site, id));
  EXPECT_STREQ(id, "0123456789AB");
  EXPECT_EQ(GetFileAttributesA(kIdFile), DWORD(0x27));
  EXPECT_EQ(ReadBytes(kIdFile), StoredForm("0123456789AB"));
}

TEST_F(Identity, ShortFileIsReplaced) {
  WriteBytes(kIdFile, "01234567", 0x27);
  char site[64], id[64];
  ASSERT_TRUE(GetWorkstationId(site, id));
  EXPECT_TRUE(IsGeneratedId(id)) << id;
  EXPECT_EQ(ReadBytes(kIdFile), StoredForm(id));
  EXPECT_EQ(GetFileAttributesA(kIdFile), DWORD(0x27));
}

TEST_F(Identity, ZeroAmongTheFirstTwelveIsReplaced) {
  WriteBytes(kIdFile, std::string("01234\0" "6789AB", 12) + std::string(12, '\0'));
  char site[64], id[64];
  ASSERT_TRUE(GetWorkstationId(site, id));
  EXPECT_TRUE(IsGeneratedId(id)) << id;
  EXPECT_EQ(ReadBytes(kIdFile), StoredForm(id));
}

TEST_F(Identity, EmptyFileIsReplaced) {
  WriteBytes(kIdFile, "");
  char site[64], id[64];
  ASSERT_TRUE(GetWorkstationId(site, id));
  EXPECT_TRUE(IsGeneratedId(id)) << id;
  EXPECT_EQ(ReadBytes(kIdFile), StoredForm(id));
}

TEST_F(Identity, DamagedFileThatCannotBeReplaced) {
  WriteBytes(kIdFile, "0123", 0x27);
  HANDLE h = CreateFileA(kIdFile, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  char site[64], id[64];
  EXPECT_FALSE(GetWorkstationId(site, id));
  CloseHandle(h);
  EXPECT_EQ(ReadBytes(kIdFile), "0123");
}

namespace {

// The user-information part of the status window: three static fields.
class UserInformation : public ::testing::Test {
 protected:
  void SetUp() override {
    savedContext_ = gContext;
    parent_ = CreateWindowExA(0, "STATIC", "info", WS_OVERLAPPEDWINDOW, 0, 0, 400, 200, nullptr, nullptr,
                              GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(parent_, nullptr);
    for (int id : {IDC_NODE, IDC_SERVER, IDC_LOGIN})
      ASSERT_NE(CreateWindowExA(0, "STATIC", id == IDC_NODE ? "[N/A:N/A]" : "", WS_CHILD, 0, 0, 300, 20, parent_,
                                HMENU(INT_PTR(id)), GetModuleHandleA(nullptr), nullptr),
                nullptr);
    gContext.hMainDlg = parent_;
  }
  void TearDown() override {
    DestroyWindow(parent_);
    gContext = savedContext_;
  }
  std::string Field(int id) const {
    char text[256] = {};
    GetDlgItemTextA(parent_, id, text, sizeof text);
    return text;
  }
  HWND parent_ = nullptr;
  AgentContext savedContext_;
};

}  // namespace

TEST_F(UserInformation, NodeServerAndLogin) {
  ShowUserInformation("0123456789AB", "SITE-A", "SRV", "ALICE");
  char address[kNetAddrSize] = {};
  std::string expected = getNetAddr(address) == 0
                             ? "[" + std::string(address, 8) + ":" + std::string(address + 9, 12) + "]"
                             : "[00000000:0123456789AB]";
  EXPECT_EQ(Field(IDC_NODE), expected);
  EXPECT_EQ(Field(IDC_NODE).size(), 23u);
  EXPECT_EQ(Field(IDC_SERVER), "SRV");
  EXPECT_EQ(Field(IDC_LOGIN), "ALICE");
}

TEST_F(UserInformation, NoWindowNoEffect) {
  gContext.hMainDlg = nullptr;
  ShowUserInformation("0123456789AB", "", "SRV", "ALICE");
  EXPECT_EQ(Field(IDC_NODE), "[N/A:N/A]");
  EXPECT_EQ(Field(IDC_SERVER), "");
}
