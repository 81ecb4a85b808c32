// CVFSET32.dll through its two exported names, on real files: archives made here byte by
// byte (so each can be damaged exactly where a case wants), unpacked into real folders.
#include <gtest/gtest.h>
#include <windows.h>
#include <zlib.h>

#include <stdlib.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "cvfset32.h"
#include "tasks.h"
#include "win_test_support.h"

namespace {

using testsupport::RemoveTree;

constexpr uint16_t kDate1997 = (1997 - 1980) << 9 | 5 << 5 | 14;  // 1997-05-14
constexpr uint16_t kTime1022 = 10 << 11 | 22 << 5 | 36 / 2;        // 10:22:36
constexpr uint8_t kRO = 0x01, kHidden = 0x02, kSystem = 0x04, kArchive = 0x20;

struct Member {
  std::string name, data;
  uint16_t method = 8;
  uint8_t attributes = kArchive;
  uint16_t date = kDate1997, time = kTime1022;
  uint16_t flags = 0;
  uint8_t needed = 20;
  uint32_t crcDelta = 0;  // added to the true CRC in both headers
};

void U16(std::vector<uint8_t>& b, uint32_t v) {
  b.push_back(uint8_t(v));
  b.push_back(uint8_t(v >> 8));
}
void U32(std::vector<uint8_t>& b, uint32_t v) {
  U16(b, v & 0xFFFF);
  U16(b, v >> 16);
}

std::string RawDeflate(const std::string& data) {
  z_stream z = {};
  deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, uLong(data.size())), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = uInt(data.size());
  z.next_out = reinterpret_cast<Bytef*>(&out[0]);
  z.avail_out = uInt(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// A ZIP archive as the APPNOTE lays it out: local headers with data, central directory, end.
std::vector<uint8_t> Zip(const std::vector<Member>& members, const std::string& comment = "PLXFSET 1") {
  std::vector<uint8_t> b, dir;
  for (const Member& m : members) {
    std::string packed = m.method == 8 ? RawDeflate(m.data) : m.data;
    uint32_t crc = uint32_t(crc32(0, reinterpret_cast<const Bytef*>(m.data.data()), uInt(m.data.size()))) + m.crcDelta;
    uint32_t at = uint32_t(b.size());
    for (std::vector<uint8_t>* h : {&b, &dir}) {
      bool central = h == &dir;
      U32(*h, central ? 0x02014b50 : 0x04034b50);
      if (central) U16(*h, 20);
      U16(*h, m.needed);
      U16(*h, m.flags);
      U16(*h, m.method);
      U16(*h, m.time);
      U16(*h, m.date);
      U32(*h, crc);
      U32(*h, uint32_t(packed.size()));
      U32(*h, uint32_t(m.data.size()));
      U16(*h, uint32_t(m.name.size()));
      U16(*h, 0);
      if (central) {
        U16(*h, 0), U16(*h, 0), U16(*h, 0);
        U32(*h, m.attributes);
        U32(*h, at);
      }
      h->insert(h->end(), m.name.begin(), m.name.end());
      if (!central) h->insert(h->end(), packed.begin(), packed.end());
    }
  }
  uint32_t dirAt = uint32_t(b.size());
  b.insert(b.end(), dir.begin(), dir.end());
  U32(b, 0x06054b50);
  U16(b, 0), U16(b, 0);
  U16(b, uint32_t(members.size())), U16(b, uint32_t(members.size()));
  U32(b, uint32_t(dir.size()));
  U32(b, dirAt);
  U16(b, uint32_t(comment.size()));
  b.insert(b.end(), comment.begin(), comment.end());
  return b;
}

std::string Pattern(size_t n, unsigned seed) {
  std::string s(n, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (char& c : s) c = char((x = x * 1103515245u + 12345u) >> 16);
  return s;
}

std::string Text(size_t n) {
  std::string s;
  for (int i = 0; s.size() < n; ++i) s += "line " + std::to_string(i) + " of a text that packs well\r\n";
  s.resize(n);
  return s;
}

void WriteBytes(const std::string& path, const void* data, size_t n) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << path;
  DWORD put = 0;
  WriteFile(h, data, DWORD(n), &put, nullptr);
  CloseHandle(h);
}

std::string ReadBytes(const std::string& path) {
  std::string s;
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return "<missing>";
  char chunk[65536];
  DWORD got = 0;
  while (ReadFile(h, chunk, sizeof chunk, &got, nullptr) && got) s.append(chunk, got);
  CloseHandle(h);
  return s;
}

// Every file and folder under dir, relative, folders with a trailing backslash, sorted.
void ListTree(const std::string& dir, const std::string& prefix, std::vector<std::string>& out) {
  WIN32_FIND_DATAA fd;
  HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return;
  do {
    std::string n = fd.cFileName;
    if (n == "." || n == "..") continue;
    bool folder = fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
    out.push_back(prefix + n + (folder ? "\\" : ""));
    if (folder) ListTree(dir + "\\" + n, prefix + n + "\\", out);
  } while (FindNextFileA(h, &fd));
  FindClose(h);
  std::sort(out.begin(), out.end());
}

std::vector<std::string> Tree(const std::string& dir) {
  std::vector<std::string> out;
  ListTree(dir, "", out);
  return out;
}


// What the callbacks saw.
struct Seen {
  std::vector<uint32_t> totals, dones;
  std::vector<std::string> files;
  std::vector<std::string> contentAtCallback;  // of each file, when its callback came
  int refuseAt = -1;  // the file callback answers 1 for this file
  int abortAt = -1;   // the progress callback sets the abort byte at this call
};
Seen* gSeen = nullptr;

void __stdcall OnProgress(uint32_t total, uint32_t done, const char* from, const char* to, uint8_t* abortFlag) {
  gSeen->totals.push_back(total);
  gSeen->dones.push_back(done);
  if (int(gSeen->dones.size()) - 1 == gSeen->abortAt) *abortFlag = 1;
}

uint16_t __stdcall OnFile(const char* path) {
  gSeen->files.push_back(path);
  gSeen->contentAtCallback.push_back(ReadBytes(path));
  return int(gSeen->files.size()) - 1 == gSeen->refuseAt ? 1 : 0;
}

class Fileset : public ::testing::Test {
 protected:
  HMODULE library = LoadLibraryA(kFsetLibraryName);
  FsetSpaceCheckProc spaceCheck = nullptr;
  FsetUnCrushProc unCrush = nullptr;
  std::string dir, target;
  Seen seen;

  void SetUp() override {
    ASSERT_TRUE(library);
    spaceCheck = reinterpret_cast<FsetSpaceCheckProc>(reinterpret_cast<void*>(GetProcAddress(library, "_lzDoSpaceCheck@8")));
    unCrush = reinterpret_cast<FsetUnCrushProc>(reinterpret_cast<void*>(GetProcAddress(library, "_lzUnCrushFsetEx@16")));
    ASSERT_TRUE(spaceCheck && unCrush);
    char base[MAX_PATH];
    GetTempPathA(sizeof base, base);
    dir = std::string(base) + "plxfset" + std::to_string(GetCurrentProcessId());
    RemoveTree(dir);
    CreateDirectoryA(dir.c_str(), nullptr);
    target = dir + "\\target";
    gSeen = &seen;
  }
  void TearDown() override {
    RemoveTree(dir);
    gSeen = nullptr;
    FreeLibrary(library);
  }
  std::string Archive(const std::vector<uint8_t>& bytes, const char* name = "SET.ZIP") {
    std::string path = dir + "\\" + name;
    WriteBytes(path, bytes.data(), bytes.size());
    return path;
  }
  uint16_t Run(const std::string& archive, const std::string& into) {
    return unCrush(archive.c_str(), into.c_str(), OnProgress, OnFile);
  }
};

TEST_F(Fileset, UnpacksEveryMemberWithTimeAndAttributes) {
  const std::vector<Member> members = {
      {"readme.txt", Text(5000), 8, kRO | kArchive},
      {"bin/tool.dat", Pattern(2500000, 1), 0, kHidden | kSystem},
      {"bin/big.txt", Text(3500000), 8, 0, 0x4A21, 0x7BBD},  // 2017-01-01 15:29:58, in blocks
      {"empty/", "", 0, 0x10},
      {"deep/er/zero.txt", "", 0, 0},
      {"dos\\style.ini", "[x]\r\n", 8, kArchive},  // a DOS tool's separator
  };
  CreateDirectoryA(target.c_str(), nullptr);
  WriteBytes(target + "\\readme.txt", "old", 3);
  SetFileAttributesA((target + "\\readme.txt").c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
  std::string archive = Archive(Zip(members));
  ASSERT_EQ(spaceCheck(archive.c_str(), target.c_str()), 0);
  ASSERT_EQ(Run(archive, target + "\\"), 0);  // a trailing backslash names the same folder

  EXPECT_EQ(Tree(target), (std::vector<std::string>{"bin\\", "bin\\big.txt", "bin\\tool.dat", "deep\\",
                                                    "deep\\er\\", "deep\\er\\zero.txt", "dos\\", "dos\\style.ini",
                                                    "empty\\", "readme.txt"}));
  // The file callback comes before each file is written, with the full path, files only.
  EXPECT_EQ(seen.files, (std::vector<std::string>{target + "\\readme.txt", target + "\\bin\\tool.dat",
                                                  target + "\\bin\\big.txt", target + "\\deep\\er\\zero.txt",
                                                  target + "\\dos\\style.ini"}));
  EXPECT_EQ(seen.contentAtCallback[0], "old");
  EXPECT_EQ(seen.contentAtCallback[1], "<missing>");
  const uint32_t total = 5000 + 2500000 + 3500000 + 5;
  ASSERT_FALSE(seen.dones.empty());
  EXPECT_TRUE(std::all_of(seen.totals.begin(), seen.totals.end(), [&](uint32_t t) { return t == total; }));
  EXPECT_TRUE(std::is_sorted(seen.dones.begin(), seen.dones.end()));
  EXPECT_EQ(seen.dones.back(), total);
  EXPECT_GE(seen.dones.size(), 8u);  // the big members report as they go, not only at their end

  for (const Member& m : members) {
    if (m.name.back() == '/') continue;
    std::string path = target + "\\" + m.name;
    std::replace(path.begin(), path.end(), '/', '\\');
    SCOPED_TRACE(m.name);
    EXPECT_TRUE(ReadBytes(path) == m.data);
    DWORD attributes = GetFileAttributesA(path.c_str());
    // Wine shows every file as one to archive, so only the other three bits can be seen.
    EXPECT_EQ(attributes & (kRO | kHidden | kSystem), m.attributes & (kRO | kHidden | kSystem));
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    FILETIME utc, local;
    WORD date = 0, time = 0;
    ASSERT_TRUE(GetFileTime(h, nullptr, nullptr, &utc));
    CloseHandle(h);
    FileTimeToLocalFileTime(&utc, &local);
    FileTimeToDosDateTime(&local, &date, &time);
    EXPECT_EQ(date, m.date);
    EXPECT_EQ(time, m.time);
  }
}

TEST_F(Fileset, RefusedArchivesWriteNothing) {
  const Member good{"good.txt", Text(20000)};
  const std::vector<uint8_t> whole = Zip({good, {"second.bin", Pattern(70000, 2), 0}});
  std::vector<uint8_t> cut(whole.begin(), whole.begin() + whole.size() / 2);
  const size_t end = whole.size() - 22 - 9;  // the end record, before its 9-byte comment
  std::vector<uint8_t> farDirectory = whole;
  farDirectory[end + 17] += 1;  // the directory 256 bytes further on, past the end record
  std::vector<uint8_t> lostEntry = whole;
  lostEntry[end + 10] = 3;  // one entry more than the directory holds
  lostEntry[end + 8] = 3;
  const char text[] = "[fileset]\r\nnot an archive at all\r\n";
  const struct {
    const char* what;
    std::vector<uint8_t> bytes;  // empty: no file at all
    uint16_t spaceStatus, status;
  } cases[] = {
      {"no such file", {}, kFsetOpenFailed, kFsetOpenFailed},
      {"a text file", std::vector<uint8_t>(text, text + sizeof text - 1), kFsetNotFileset, kFsetNotFileset},
      {"cut in half", cut, kFsetCorrupt, kFsetCorrupt},
      {"directory outside the archive", farDirectory, kFsetCorrupt, kFsetCorrupt},
      {"an entry missing from the directory", lostEntry, kFsetCorrupt, kFsetCorrupt},
      {"climbs out", Zip({good, {"..\\..\\WINDOWS\\WIN.INI", "evil"}}), kFsetCorrupt, kFsetCorrupt},
      {"climbs out with slashes", Zip({good, {"sub/../../x.txt", "evil"}}), kFsetCorrupt, kFsetCorrupt},
      {"dots Windows drops", Zip({good, {"sub/. ./x.txt", "evil"}}), kFsetCorrupt, kFsetCorrupt},
      {"drive letter", Zip({good, {"C:\\x.txt", "evil"}}), kFsetCorrupt, kFsetCorrupt},
      {"drive-relative", Zip({good, {"C:x.txt", "evil"}}), kFsetCorrupt, kFsetCorrupt},
      {"absolute", Zip({good, {"\\x.txt", "evil"}}), kFsetCorrupt, kFsetCorrupt},
      {"absolute with slash", Zip({good, {"/tmp/x.txt", "evil"}}), kFsetCorrupt, kFsetCorrupt},
      {"share", Zip({good, {"\\\\SRV\\SYS\\x.txt", "evil"}}), kFsetCorrupt, kFsetCorrupt},
      {"device", Zip({good, {"sub/NUL.txt", "evil"}}), kFsetCorrupt, kFsetCorrupt},
      {"wildcard", Zip({good, {"a*.txt", "evil"}}), kFsetCorrupt, kFsetCorrupt},
      {"empty name", Zip({good, {"", "evil"}}), kFsetCorrupt, kFsetCorrupt},
      {"newer format", Zip({good}, "PLXFSET 2"), 0, kFsetNewerFormat},
      {"older format", Zip({good}, "PLXFSET 0"), 0, kFsetOlderFormat},
      {"newer method", Zip({good, {"b.bz2", "x", 12, kArchive, kDate1997, kTime1022, 0, 46}}), 0, kFsetNewerFormat},
      {"newer feature level", Zip({good, {"z.txt", "x", 8, kArchive, kDate1997, kTime1022, 0, 45}}), 0,
       kFsetNewerFormat},
      {"imploded", Zip({good, {"old.txt", "x", 6, kArchive, kDate1997, kTime1022, 0, 10}}), 0, kFsetOlderFormat},
      {"encrypted", Zip({good, {"secret.txt", "x", 8, kArchive, kDate1997, kTime1022, 1}}), 0, kFsetEncrypted},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string archive = c.bytes.empty() ? dir + "\\NONE.ZIP" : Archive(c.bytes);
    EXPECT_EQ(spaceCheck(archive.c_str(), target.c_str()), c.spaceStatus);
    seen = Seen{};
    EXPECT_EQ(Run(archive, target), c.status);
    EXPECT_TRUE(seen.files.empty());
    EXPECT_EQ(Tree(target), std::vector<std::string>{});
    RemoveTree(target);
  }
}

TEST_F(Fileset, AMemberThatClimbsOutLeavesWindowsAlone) {
  char windows[MAX_PATH];
  ASSERT_GT(GetWindowsDirectoryA(windows, sizeof windows), 0u);
  std::string winIni = std::string(windows) + "\\WIN.INI", before = ReadBytes(winIni);
  // Two levels under the root, so that ..\..\WINDOWS is the real Windows folder.
  std::string root = std::string(windows).substr(0, 3) + "PLXFSETT";
  std::string archive = Archive(Zip({{"a.txt", "a"}, {"..\\..\\WINDOWS\\WIN.INI", "[evil]\r\n"}}));
  EXPECT_EQ(Run(archive, root + "\\T"), kFsetCorrupt);
  EXPECT_EQ(ReadBytes(winIni), before);
  EXPECT_EQ(GetFileAttributesA(root.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(Fileset, DamagedMembersAreCaughtAndNotLeftBehind) {
  Member flipped{"flipped.txt", Text(300000)};
  std::vector<uint8_t> damaged = Zip({{"first.txt", "fine", 0}, flipped});
  damaged[30 + 9 + 4 + 30 + 11 + 2000] ^= 0x55;  // inside the second member's deflate data
  Member badCrc{"crc.bin", Pattern(5000, 3), 0};
  badCrc.crcDelta = 1;
  Member badCrcPacked{"crc.txt", Text(5000)};
  badCrcPacked.crcDelta = 0x100;
  std::vector<uint8_t> short_ = Zip({{"first.txt", "fine", 0}, {"short.txt", Text(9000)}});
  // Claims one byte more than its stream gives, in both headers.
  short_[30 + 9 + 4 + 22] += 1;
  short_[short_.size() - 9 - 22 - 2 * 46 - 9 - 9 + 46 + 9 + 24] += 1;
  const struct {
    const char* what;
    std::vector<uint8_t> bytes;
    std::vector<std::string> tree;
  } cases[] = {
      {"deflate data damaged", damaged, {"first.txt"}},
      {"stored member, bad CRC", Zip({{"first.txt", "fine", 0}, badCrc}), {"first.txt"}},
      {"deflated member, bad CRC", Zip({{"first.txt", "fine", 0}, badCrcPacked}), {"first.txt"}},
      {"size larger than the data", short_, {"first.txt"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string archive = Archive(c.bytes);
    EXPECT_EQ(spaceCheck(archive.c_str(), target.c_str()), 0);
    EXPECT_EQ(Run(archive, target), kFsetCorrupt);
    EXPECT_EQ(Tree(target), c.tree);
    EXPECT_EQ(ReadBytes(target + "\\first.txt"), "fine");
    RemoveTree(target);
  }
}

TEST_F(Fileset, CallbacksStopTheWork) {
  std::string archive = Archive(Zip({{"one.txt", "1"}, {"two.txt", "2"}, {"three.txt", "3"}}));
  seen.refuseAt = 1;
  EXPECT_EQ(Run(archive, target), kFsetJournalFailed);
  EXPECT_EQ(Tree(target), (std::vector<std::string>{"one.txt"}));  // refused before it was written
  RemoveTree(target);
  seen = Seen{};
  seen.abortAt = 0;
  EXPECT_EQ(Run(archive, target), kFsetAborted);
  EXPECT_TRUE(seen.files.empty());
  RemoveTree(target);
  // Without callbacks it works all the same; an empty fileset is a fileset.
  EXPECT_EQ(unCrush(archive.c_str(), target.c_str(), nullptr, nullptr), 0);
  EXPECT_EQ(ReadBytes(target + "\\three.txt"), "3");
  std::string empty = Archive(Zip({}, ""), "EMPTY.ZIP");
  EXPECT_EQ(spaceCheck(empty.c_str(), target.c_str()), 0);
  EXPECT_EQ(unCrush(empty.c_str(), target.c_str(), nullptr, nullptr), 0);
}

// Needs a drive with little room: its runner mounts a small file system and maps it to
// the letter in PLX_SMALL_DRIVE.
TEST_F(Fileset, BiggerThanTheDrive) {
  const char* letter = getenv("PLX_SMALL_DRIVE");
  if (!letter || !*letter) GTEST_SKIP() << "runs under tests/win/run_small_drive.py, which maps a small drive";
  std::string small = std::string(1, letter[0]) + ":\\FSET";
  ULARGE_INTEGER freeBytes;
  ASSERT_TRUE(GetDiskFreeSpaceExA((std::string(1, letter[0]) + ":\\").c_str(), &freeBytes, nullptr, nullptr));
  ASSERT_LT(freeBytes.QuadPart, 4u << 20) << "the drive is not small";
  const size_t room = size_t(freeBytes.QuadPart);
  // Packs to almost nothing, unpacks to more than the drive holds.
  std::string tooBig = Archive(Zip({{"a.txt", std::string(room / 2, 'a')}, {"b.txt", std::string(room / 2 + 65536, 'b')}}));
  std::string fits = Archive(Zip({{"a.txt", std::string(room / 4, 'a')}}), "FITS.ZIP");
  EXPECT_EQ(spaceCheck(tooBig.c_str(), small.c_str()), kFsetOutOfSpace);
  EXPECT_EQ(spaceCheck(fits.c_str(), small.c_str()), 0);
  // Past the check, the writes themselves run out of room; the half-written file goes.
  EXPECT_EQ(Run(tooBig, small), kFsetOutOfSpace);
  EXPECT_EQ(ReadBytes(small + "\\b.txt"), "<missing>");
  RemoveTree(small);
  EXPECT_EQ(Run(fits, small), 0);
  RemoveTree(small);
}

}  // namespace

namespace {

// The status window as the fileset task drives it, one line per call.
std::vector<std::string> gEvents;
struct BarRecorder {
  StatusWindow services{};
  const StatusWindow* previous = CurrentStatusWindow();
  BarRecorder() {
    gEvents.clear();
    services.appendResults = [](const char* text) { gEvents.push_back("text " + std::string(text)); };
    services.progressStart = [] { gEvents.push_back("start"); };
    services.progressReset = [] { gEvents.push_back("reset"); };
    services.progressSet = [](int p) { gEvents.push_back("set " + std::to_string(p)); };
    services.showFileStatus = [](const char* action, const char* from, const char* to) {
      gEvents.push_back(std::string("file ") + (action ? action : "-") + "|" + (from ? from : "-") + "|" + (to ? to : "-"));
    };
    SetStatusWindow(&services);
  }
  ~BarRecorder() { SetStatusWindow(previous); }
};

}  // namespace

TEST_F(Fileset, TheTaskDrivesTheBarAndReports) {
  testsupport::SavedRun saved;
  gContext.currentPackage.Options = 0;
  Archive(Zip({{"a.txt", std::string(1000, 'a'), 0}, {"sub/b.txt", std::string(3000, 'b'), 0}}), "TWO.ZIP");
  Archive(Zip({{"zero.txt", "", 0}}), "ZERO.ZIP");
  BarRecorder bar;
  const std::string separator = "text \r\n\r\n";
  ASSERT_EQ(decompressFileset("TWO.ZIP", target.c_str(), dir.c_str()), 0);
  // Shown only when the percent changes: nothing for the first file's 0.
  EXPECT_EQ(gEvents, (std::vector<std::string>{"start", "file Decompressing:|a.txt|" + target + "\\a.txt", "set 25",
                                               "file Decompressing:|sub/b.txt|" + target + "\\sub\\b.txt", "set 100",
                                               separator, "reset", "file -|-|-"}));
  // Nothing to count shows 0 percent, here after the 100 of the fileset before.
  gEvents.clear();
  ASSERT_EQ(decompressFileset("ZERO.ZIP", target.c_str(), dir.c_str()), 0);
  EXPECT_EQ(gEvents, (std::vector<std::string>{"start", "file Decompressing:|zero.txt|" + target + "\\zero.txt",
                                               "set 0", separator, "reset", "file -|-|-"}));
  // A space check that fails: the separator, the message, and no decompression at all.
  gEvents.clear();
  EXPECT_EQ(decompressFileset("NONE.ZIP", target.c_str(), dir.c_str()), -1);
  ASSERT_EQ(gEvents.size(), 2u);
  EXPECT_EQ(gEvents[0], separator);
  EXPECT_NE(gEvents[1].find("ERROR 0121: Unable to open Fileset: " + dir + "\\NONE.ZIP"), std::string::npos);
  // A failed decompression: its message, then the separator and the bar put back.
  Archive(Zip({{"a.txt", "a"}}, "PLXFSET 9"), "NEW.ZIP");
  gEvents.clear();
  EXPECT_EQ(decompressFileset("NEW.ZIP", target.c_str(), dir.c_str()), -1);
  ASSERT_EQ(gEvents.size(), 5u);
  EXPECT_EQ(gEvents[0], "start");
  EXPECT_NE(gEvents[1].find("ERROR 0132: Unable to decompress " + dir + "\\NEW.ZIP because format is newer"),
            std::string::npos);
  EXPECT_EQ(std::vector<std::string>(gEvents.begin() + 2, gEvents.end()),
            (std::vector<std::string>{separator, "reset", "file -|-|-"}));
}
