// Program typing from real file headers, the copy routine and the file search, on real files.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "eligibility.h"
#include "filesys.h"
#include "tasks.h"

namespace {

std::string TempDir() {
  char base[MAX_PATH];
  GetTempPathA(sizeof base, base);
  std::string dir = std::string(base) + "plxtasks" + std::to_string(GetCurrentProcessId());
  CreateDirectoryA(dir.c_str(), nullptr);
  return dir;
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD put;
  WriteFile(h, bytes.data(), DWORD(bytes.size()), &put, nullptr);
  CloseHandle(h);
}

// An MZ stub whose relocation table sits at relocOffset and whose new header (at 0x80)
// starts with sig and has targetOs at its offset 54.
std::vector<uint8_t> Executable(uint16_t relocOffset, const char* sig, uint8_t targetOs) {
  std::vector<uint8_t> b(0x80 + 64, 0);
  b[0] = 'M';
  b[1] = 'Z';
  b[24] = uint8_t(relocOffset);
  b[25] = uint8_t(relocOffset >> 8);
  b[60] = 0x80;
  memcpy(&b[0x80], sig, strlen(sig));
  b[0x80 + 54] = targetOs;
  return b;
}

class Files : public ::testing::Test {
 protected:
  std::string dir = TempDir();
  std::string Path(const char* name) { return dir + "\\" + name; }
  void TearDown() override {
    for (const char* n : {"a.exe", "dos.exe", "os2.exe", "win16.exe", "lx.exe", "text.txt", "short.exe",
                          "SETUP.COM", "X.NLM", "src.dat", "dst.dat", "empty.dat", "sub"}) {
      SetFileAttributesA(Path(n).c_str(), FILE_ATTRIBUTE_NORMAL);
      DeleteFileA(Path(n).c_str());
      RemoveDirectoryA(Path(n).c_str());
    }
    RemoveDirectoryA(dir.c_str());
  }
};

}  // namespace

TEST_F(Files, AppTypeFromHeaders) {
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, sizeof self);
  EXPECT_EQ(GetAppType(self), 5);  // this very program is a Win32 program

  WriteBytes(Path("dos.exe"), Executable(0x1C, "", 0));
  EXPECT_EQ(GetAppType(Path("dos.exe").c_str()), 1);
  WriteBytes(Path("os2.exe"), Executable(0x40, "NE", 1));
  EXPECT_EQ(GetAppType(Path("os2.exe").c_str()), 2);
  WriteBytes(Path("win16.exe"), Executable(0x40, "NE", 2));
  EXPECT_EQ(GetAppType(Path("win16.exe").c_str()), 4);
  WriteBytes(Path("lx.exe"), Executable(0x40, "LX", 0));
  EXPECT_EQ(GetAppType(Path("lx.exe").c_str()), 3);
  WriteBytes(Path("text.txt"), std::vector<uint8_t>(100, 'x'));
  EXPECT_EQ(GetAppType(Path("text.txt").c_str()), 0);
  WriteBytes(Path("short.exe"), {'M', 'Z', 0, 0});
  EXPECT_EQ(GetAppType(Path("short.exe").c_str()), 0);
  EXPECT_EQ(GetAppType(Path("none.exe").c_str()), 0);
  // Typed by name alone, without being opened.
  EXPECT_EQ(GetAppType(Path("SETUP.COM").c_str()), 1);
  EXPECT_EQ(GetAppType(Path("X.NLM").c_str()), 7);
}

TEST_F(Files, CopyKeepsContentAndEvenSecondTime) {
  std::vector<uint8_t> data(5000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7);
  WriteBytes(Path("src.dat"), data);
  HANDLE h = CreateFileA(Path("src.dat").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  SYSTEMTIME st{1998, 3, 0, 7, 9, 5, 3, 0};  // an odd second
  FILETIME ft;
  SystemTimeToFileTime(&st, &ft);
  SetFileTime(h, nullptr, nullptr, &ft);
  CloseHandle(h);

  ASSERT_EQ(CopyFileWithProgress(Path("dst.dat").c_str(), Path("src.dat").c_str(), false), 0);
  HANDLE out;
  ASSERT_EQ(OpenFileForRead(Path("dst.dat").c_str(), &out), 0);
  std::vector<uint8_t> back(6000);
  DWORD got = 0;
  ReadFileBlock(out, back.data(), DWORD(back.size()), &got);
  back.resize(got);
  EXPECT_EQ(back, data);
  FILETIME written;
  GetFileTime(out, nullptr, nullptr, &written);
  CloseFileHandle(out);
  SYSTEMTIME w;
  FileTimeToSystemTime(&written, &w);
  EXPECT_EQ(w.wSecond, 2);  // DOS time keeps two-second steps
  EXPECT_EQ(w.wMinute, 5);

  EXPECT_EQ(CopyFileWithProgress("\\\\SRV\\SYS\\X.DAT", Path("src.dat").c_str(), false), 415);
  EXPECT_EQ(CopyFileWithProgress(Path("dst.dat").c_str(), Path("missing.dat").c_str(), false), ERROR_FILE_NOT_FOUND);
  WriteBytes(Path("empty.dat"), {});
  EXPECT_EQ(CopyFileWithProgress(Path("dst.dat").c_str(), Path("empty.dat").c_str(), false), 0);
}

TEST_F(Files, SearchSkipsDirectoriesUnlessAsked) {
  CreateDirectoryA(Path("sub").c_str(), nullptr);
  FileSearchRecord rec;
  EXPECT_EQ(StartFileSearch(Path("su*").c_str(), 0, rec), 1);  // only a directory matches
  EndFileSearch(rec);
  EXPECT_EQ(StartFileSearch(Path("su*").c_str(), FILE_ATTRIBUTE_DIRECTORY, rec), 0);
  EXPECT_STREQ(rec.name, "sub");
  EndFileSearch(rec);
  EXPECT_EQ(StartFileSearch(Path("nothing*").c_str(), 0, rec), 2);
  EndFileSearch(rec);
}

TEST(ErrorNumbers, ClassicMapping) {
  EXPECT_EQ(ClassicErrorNumber(ERROR_FILE_NOT_FOUND), 2);
  EXPECT_EQ(ClassicErrorNumber(ERROR_PATH_NOT_FOUND), 2);
  EXPECT_EQ(ClassicErrorNumber(ERROR_ACCESS_DENIED), 13);
  EXPECT_EQ(ClassicErrorNumber(ERROR_SHARING_VIOLATION), 13);
  EXPECT_EQ(ClassicErrorNumber(ERROR_ALREADY_EXISTS), 17);
  EXPECT_EQ(ClassicErrorNumber(ERROR_FILE_EXISTS), 17);
  EXPECT_EQ(ClassicErrorNumber(ERROR_DIR_NOT_EMPTY), 41);
  EXPECT_EQ(ClassicErrorNumber(ERROR_DISK_FULL), 28);
  EXPECT_EQ(ClassicErrorNumber(ERROR_INVALID_PARAMETER), 22);
}

TEST(Eligibility, DatesAndTimeWindows) {
  SYSTEMTIME today{};
  today.wYear = 1997; today.wMonth = 11; today.wDay = 4;
  const uint8_t same[3] = {97, 11, 4}, before[3] = {97, 11, 3}, after[3] = {98, 1, 1};
  EXPECT_EQ(CompareDate(today, same), 0);
  EXPECT_EQ(CompareDate(today, before), 1);
  EXPECT_EQ(CompareDate(today, after), -1);

  const uint8_t from[3] = {8, 0, 0}, to[3] = {17, 0, 0};
  EXPECT_TRUE(IsInTimeWindowAt(from, to, 17 * 3600));
  EXPECT_FALSE(IsInTimeWindowAt(from, to, 17 * 3600 + 1));
  EXPECT_TRUE(IsInTimeWindowAt(from, to, 8 * 3600));
  EXPECT_FALSE(IsInTimeWindowAt(from, to, 8 * 3600 - 1));
  EXPECT_FALSE(IsInTimeWindowAt(to, from, 12 * 3600));  // an end before the start never matches

  EXPECT_FALSE(IsTargetOs(0));
  EXPECT_TRUE(IsTargetOs(7));
}
