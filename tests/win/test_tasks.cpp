// Program typing from real file headers, the copy routine, the file search and the classic
// error numbers, on real files.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "eligibility.h"
#include "filesys.h"
#include "program.h"
#include "status_window.h"
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
  plxwin::Handle h(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(h);
  DWORD put = 0;
  ASSERT_TRUE(WriteFile(h.Get(), bytes.data(), DWORD(bytes.size()), &put, nullptr));
}

std::vector<uint8_t> ReadBytes(const std::string& path) {
  plxwin::Handle h;
  std::vector<uint8_t> back(1 << 20);
  DWORD got = 0;
  if (OpenFileForRead(path.c_str(), h) == 0) ReadFileBlock(h.Get(), back.data(), DWORD(back.size()), &got);
  back.resize(got);
  return back;
}

std::vector<uint8_t> Pattern(size_t n) {
  std::vector<uint8_t> data(n);
  for (size_t i = 0; i < n; ++i) data[i] = uint8_t(i * 7 + i / 251);
  return data;
}

// An MZ stub whose relocation table sits at relocOffset and whose new header (at 0x80)
// starts with sig and has targetOs at its offset 54; cut to size bytes when size is given.
std::vector<uint8_t> Executable(uint16_t relocOffset, const char* sig, uint8_t targetOs, size_t size = 0) {
  std::vector<uint8_t> b(0x80 + 64, 0);
  b[0] = 'M';
  b[1] = 'Z';
  b[24] = uint8_t(relocOffset);
  b[25] = uint8_t(relocOffset >> 8);
  b[60] = 0x80;
  memcpy(&b[0x80], sig, strlen(sig) + 1);
  b[0x80 + 54] = targetOs;
  if (size) b.resize(size);
  return b;
}

class Files : public ::testing::Test {
 protected:
  std::string dir = TempDir();
  std::string Path(const std::string& name) { return dir + "\\" + name; }
  void TearDown() override {
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA(Path("*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
      do {
        SetFileAttributesA(Path(fd.cFileName).c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(Path(fd.cFileName).c_str());
        RemoveDirectoryA(Path(fd.cFileName).c_str());
      } while (FindNextFileA(h, &fd));
      FindClose(h);
    }
    RemoveDirectoryA(dir.c_str());
  }
};

// A status window that records the bar and handles the thread's messages as the agent's does.
struct Recorder {
  static std::vector<int> percents;
  static int starts, resets;
  static void Start() { ++starts; }
  static void Reset() { ++resets; }
  static void Set(int p) { percents.push_back(p); }
  static void Pump() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
  }
  StatusWindow services{};
  const StatusWindow* previous = CurrentStatusWindow();
  Recorder() {
    percents.clear();
    starts = resets = 0;
    services.progressStart = Start;
    services.progressReset = Reset;
    services.progressSet = Set;
    services.pumpMessages = Pump;
    SetStatusWindow(&services);
  }
  ~Recorder() { SetStatusWindow(previous); }
};
std::vector<int> Recorder::percents;
int Recorder::starts, Recorder::resets;

// The bar's position when a posted message was handled; -1 until then.
int gHandledAt = -1;
constexpr UINT kProbeMessage = WM_APP + 7;
LRESULT CALLBACK ProbeProc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
  if (m == kProbeMessage) {
    gHandledAt = Recorder::percents.empty() ? 0 : Recorder::percents.back();
    return 0;
  }
  return DefWindowProcA(w, m, wp, lp);
}

}  // namespace

TEST_F(Files, AppTypeFromHeaders) {
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, sizeof self);
  EXPECT_EQ(GetAppType(self), 5);  // this very program is a Win32 program

  const struct {
    const char* name;
    std::vector<uint8_t> bytes;  // empty: no file
    int type;
  } cases[] = {
      {"dos.exe", Executable(0x3F, "", 0), 1},
      {"pe.exe", Executable(0x40, "PE", 0), 5},
      {"pe-no-zeros.exe", Executable(0x40, "PEx", 2), 4},  // not PE: typed by its target byte
      {"lx.exe", Executable(0x40, "LX", 0), 3},
      {"os2.exe", Executable(0x40, "NE", 1), 2},
      {"win16.exe", Executable(0x40, "NE", 2), 4},
      {"other-ne.exe", Executable(0x40, "NE", 3), 1},
      {"short-new-header.exe", Executable(0x40, "PE", 0, 0x80 + 63), 1},
      {"smallest.exe", Executable(0, "", 0, 28), 1},
      {"too-small.exe", Executable(0, "", 0, 27), 0},
      {"no-mz.exe", std::vector<uint8_t>(100, 'x'), 0},
      {"none.exe", {}, 0},
      {"SETUP.COM", {}, 1},  // typed by name alone, without being opened
      {"setup.com", {}, 1},
      {"X.NLM", {}, 7},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (!c.bytes.empty()) WriteBytes(Path(c.name), c.bytes);
    EXPECT_EQ(GetAppType(Path(c.name).c_str()), c.type);
  }
}

TEST_F(Files, CopyKeepsContentEvenSecondTimeAndShowsProgress) {
  std::vector<uint8_t> data = Pattern(5000);
  WriteBytes(Path("src.dat"), data);
  {
    plxwin::Handle h(CreateFileA(Path("src.dat").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    SYSTEMTIME st{1998, 3, 0, 7, 9, 5, 3, 0};  // an odd second
    FILETIME ft;
    SystemTimeToFileTime(&st, &ft);
    ASSERT_TRUE(SetFileTime(h.Get(), nullptr, nullptr, &ft));
  }
  Recorder bar;
  ASSERT_EQ(CopyFileWithProgress(Path("dst.dat").c_str(), Path("src.dat").c_str(), true), 0);
  EXPECT_EQ(ReadBytes(Path("dst.dat")), data);
  // Five blocks of 1,024 bytes out of 5,000.
  EXPECT_EQ(Recorder::percents, (std::vector<int>{20, 40, 61, 81, 100}));
  EXPECT_EQ(Recorder::starts, 1);
  EXPECT_EQ(Recorder::resets, 1);

  plxwin::Handle out;
  ASSERT_EQ(OpenFileForRead(Path("dst.dat").c_str(), out), 0);
  FILETIME written;
  ASSERT_TRUE(GetFileTime(out.Get(), nullptr, nullptr, &written));
  SYSTEMTIME w;
  FileTimeToSystemTime(&written, &w);
  EXPECT_EQ(w.wYear, 1998);
  EXPECT_EQ(w.wMinute, 5);
  EXPECT_EQ(w.wSecond, 2);  // DOS time keeps two-second steps
  EXPECT_EQ(CloseFileHandle(out), 0);

  // Without progress the bar is left alone.
  Recorder quiet;
  ASSERT_EQ(CopyFileWithProgress(Path("dst2.dat").c_str(), Path("src.dat").c_str(), false), 0);
  EXPECT_TRUE(Recorder::percents.empty());
  EXPECT_EQ(Recorder::starts + Recorder::resets, 0);
}

TEST_F(Files, CopyResultsAndWhatStaysBehind) {
  WriteBytes(Path("src.dat"), Pattern(3000));
  WriteBytes(Path("empty.dat"), {});
  WriteBytes(Path("old.dat"), {'o', 'l', 'd'});
  plxwin::Handle holder(CreateFileA(Path("old.dat").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(holder);
  const struct {
    const char* what;
    std::string destination, source;
    int result;
    bool destinationExists;
  } cases[] = {
      {"empty source", Path("e.dat"), Path("empty.dat"), 0, true},
      {"missing source", Path("m.dat"), Path("missing.dat"), ERROR_FILE_NOT_FOUND, false},
      {"UNC destination", "\\\\SRV\\SYS\\X.DAT", Path("src.dat"), kCopyNoDriveInfo, false},
      {"no drive letter", ".\\X.DAT", Path("src.dat"), kCopyNoDriveInfo, false},
      {"missing directory", Path("nodir\\x.dat"), Path("src.dat"), ERROR_PATH_NOT_FOUND, false},
      // Refused before anything was written: the file that was there stays.
      {"destination open elsewhere", Path("old.dat"), Path("src.dat"), ERROR_SHARING_VIOLATION, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(CopyFileWithProgress(c.destination.c_str(), c.source.c_str(), false), c.result);
    EXPECT_EQ(GetFileAttributesA(c.destination.c_str()) != INVALID_FILE_ATTRIBUTES, c.destinationExists);
  }
  EXPECT_EQ(ReadBytes(Path("old.dat")), (std::vector<uint8_t>{'o', 'l', 'd'}));
}

TEST_F(Files, FailedCopyLeavesNoHalfWrittenFile) {
  // A source that opens but cannot be read: a process's memory file, whose first page is
  // never mapped. The destination was already created when the read fails.
  const char* source = "Z:\\proc\\self\\mem";
  WriteBytes(Path("dst.dat"), {'o', 'l', 'd'});
  nRunTimeError = 0;
  int e = CopyFileWithProgress(Path("dst.dat").c_str(), source, false);
  EXPECT_EQ(e, ERROR_NOT_READY);  // the system's word for the failed read
  EXPECT_EQ(nRunTimeError, e);
  EXPECT_EQ(GetFileAttributesA(Path("dst.dat").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(Files, LongCopyKeepsTheWindowAnswering) {
  WriteBytes(Path("big.dat"), Pattern(512 * 1024));
  WNDCLASSA wc{};
  wc.lpfnWndProc = ProbeProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = "PlxCopyProbe";
  RegisterClassA(&wc);
  HWND probe = CreateWindowExA(0, "PlxCopyProbe", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
  ASSERT_TRUE(probe);
  Recorder bar;
  gHandledAt = -1;
  ASSERT_TRUE(PostMessageA(probe, kProbeMessage, 0, 0));
  ASSERT_EQ(CopyFileWithProgress(Path("copy.dat").c_str(), Path("big.dat").c_str(), true), 0);
  // Handled while blocks were still being copied, not once the copy was over.
  EXPECT_GT(gHandledAt, 0);
  EXPECT_LT(gHandledAt, 100);
  DestroyWindow(probe);
}

TEST_F(Files, SearchSkipsDirectoriesUnlessAsked) {
  CreateDirectoryA(Path("sub").c_str(), nullptr);
  WriteBytes(Path("sub.txt"), {'x'});
  FileSearchRecord rec;
  EXPECT_EQ(StartFileSearch(Path("sub").c_str(), 0, rec), 1);  // only a directory matches
  EXPECT_FALSE(rec.handle);  // nothing left open
  EXPECT_EQ(StartFileSearch(Path("sub").c_str(), FILE_ATTRIBUTE_DIRECTORY, rec), 0);
  EXPECT_STREQ(rec.name, "sub");
  EXPECT_EQ(rec.attributes & FILE_ATTRIBUTE_DIRECTORY, DWORD(FILE_ATTRIBUTE_DIRECTORY));
  EndFileSearch(rec);
  EXPECT_FALSE(rec.handle);
  ASSERT_EQ(StartFileSearch(Path("sub*").c_str(), 0, rec), 0);
  EXPECT_STREQ(rec.name, "sub.txt");
  EXPECT_EQ(rec.size, 1u);
  EXPECT_EQ(NextFileSearch(rec), 1);
  EndFileSearch(rec);
  EXPECT_EQ(StartFileSearch(Path("nothing*").c_str(), 0, rec), 2);
}

TEST(Programs, RunResultsAndTheWorkingDirectory) {
  char system[MAX_PATH];
  ASSERT_GT(GetSystemDirectoryA(system, sizeof system), 0u);
  const std::string cmd = std::string(system) + "\\cmd.exe";
  // Arguments making a command line (program, blank, arguments) of 511 and of 512 characters.
  const std::string longest = "/c rem " + std::string(511 - cmd.size() - 1 - 7, 'x');
  const std::string tooLong = longest + "x";
  const std::string deepProgram = "C:\\" + std::string(260, 'd') + "\\x.exe";
  const struct {
    const char* what;
    int wait;
    std::string program, arguments;
    int changeDirectory, result;
  } cases[] = {
      {"exit code when waiting", 1, cmd, "/c exit 3", 1, 3},
      {"not waiting", 0, cmd, "/c exit 3", 0, 0},
      {"no such program", 1, "C:\\no-such-dir-plx\\x.exe", "", 0, ERROR_PATH_NOT_FOUND},
      {"directory that cannot be entered", 1, "C:\\no-such-dir-plx\\x.exe", "", 1, 217},
      {"directory too long to hold", 1, deepProgram, "", 1, 217},
      {"longest command line", 1, cmd, longest, 0, 0},
      {"command line too long", 1, cmd, tooLong, 0, ERROR_FILENAME_EXCED_RANGE},
  };
  char before[MAX_PATH], after[MAX_PATH];
  GetCurrentDirectoryA(sizeof before, before);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(RunProgram(c.wait, c.program.c_str(), c.arguments.c_str(), c.changeDirectory), c.result);
    GetCurrentDirectoryA(sizeof after, after);
    EXPECT_STREQ(after, before);
  }
}

TEST(ErrorNumbers, ClassicNumberOfEverySystemError) {
  const struct {
    int classic;
    std::vector<DWORD> systemErrors;
  } rows[] = {
      {2, {2, 3, 15, 18, 53, 67, 161, 206}},
      {13, {5, 16, 19, 20, 25, 30, 33, 36, 65, 82, 83, 108, 132, 158, 167}},
      {17, {80, 183}},
      {41, {145}},
      {28, {112}},
      {22, {0, 1, 4, 14, 17, 37, 50, 87, 111, 113, 144, 146, 182, 184, 1000}},
  };
  for (const auto& row : rows)
    for (DWORD e : row.systemErrors) EXPECT_EQ(ClassicErrorNumber(e), row.classic) << "system error " << e;
}

TEST_F(Files, DirectoryAndFileCallsStoreTheClassicNumber) {
  nRunTimeError = 0;
  EXPECT_EQ(MakeDirectory(Path("d").c_str()), 0);
  EXPECT_EQ(MakeDirectory(Path("d").c_str()), kClassicExists);
  EXPECT_EQ(nRunTimeError, kClassicExists);
  WriteBytes(Path("d\\f.txt"), {'x'});
  EXPECT_TRUE(IsDirectory(Path("d").c_str()));
  EXPECT_FALSE(IsDirectory(Path("d\\f.txt").c_str()));  // a file where a folder should be
  uint32_t freeBytes = 0;
  EXPECT_EQ(FreeBytesOnDrive(26, &freeBytes), 0);  // Z:, the last drive letter
  EXPECT_EQ(FreeBytesOnDrive(27, &freeBytes), ERROR_INVALID_DRIVE);
  EXPECT_EQ(FreeBytesOnDrive(0, &freeBytes), ERROR_INVALID_DRIVE);
  EXPECT_EQ(RemoveDirectoryPath(Path("d").c_str()), kClassicNotEmpty);
  EXPECT_EQ(RenamePath(Path("d\\f.txt").c_str(), Path("g.txt").c_str()), 0);
  EXPECT_EQ(DeleteFilePath(Path("d\\f.txt").c_str()), kClassicNotFound);
  EXPECT_EQ(nRunTimeError, kClassicNotFound);
  // The wrappers keep the system's own code.
  plxwin::Handle h;
  EXPECT_EQ(OpenFileForRead(Path("d\\f.txt").c_str(), h), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(nRunTimeError, ERROR_FILE_NOT_FOUND);
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
  const uint8_t t0830[3] = {8, 30, 0}, t0845[3] = {8, 45, 30};
  EXPECT_TRUE(IsInTimeWindowAt(t0830, t0845, 8 * 3600 + 45 * 60 + 30));
  EXPECT_FALSE(IsInTimeWindowAt(t0830, t0845, 8 * 3600 + 29 * 60 + 59));
  EXPECT_FALSE(IsInTimeWindowAt(t0830, t0845, 8 * 3600 + 45 * 60 + 31));

  EXPECT_FALSE(IsTargetOs(0));
  EXPECT_TRUE(IsTargetOs(7));
}
