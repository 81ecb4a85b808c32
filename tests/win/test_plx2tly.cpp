// plx2tly.dll: off without its INI; with Relaunch=1 it really starts a command line that
// carries the hand-over option, and no other.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "plx2tly.h"
#include "win_test_support.h"

namespace {

std::string Marker(const char* name) {
  char tmp[MAX_PATH];
  GetTempPathA(sizeof tmp, tmp);
  std::string path = std::string(tmp) + name + std::to_string(GetCurrentProcessId()) + ".txt";
  DeleteFileA(path.c_str());
  return path;
}

// A command line that leaves a file behind when it runs, with text in it.
std::string Writes(const std::string& marker, const char* text) {
  return "cmd.exe /c echo " + std::string(text) + "> \"" + marker + "\"";
}

bool Appears(const std::string& path, DWORD ms) {
  for (DWORD waited = 0; waited < ms; waited += 50, Sleep(50))
    if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
  return false;
}

}  // namespace

TEST(Metering, RelaunchOnlyWhenOnAndHandedOver) {
  testsupport::IniBesideDll ini("plx2tly.dll", "PLX2TLY.INI");
  std::string off = Marker("plxtly-off");
  EXPECT_EQ(DeferToTallyhold("SRV", Writes(off, "/IMP=ALICE").c_str()), 0);  // no INI
  ini.Write("[Metering]\r\nRelaunch=0\r\n");
  EXPECT_EQ(DeferToTallyhold("SRV", Writes(off, "/IMP=ALICE").c_str()), 0);
  ini.Write("[Metering]\r\nRelaunch=1\r\n");
  // Without the hand-over option the started agent would ask again, for ever: refused.
  for (const char* text : {"plain", "/IMP= x", "\"/IMP=\""})
    EXPECT_EQ(DeferToTallyhold("SRV", Writes(off, text).c_str()), 0) << text;
  EXPECT_EQ(DeferToTallyhold("SRV", "C:\\no\\such\\PLXWIN32.EXE \"/IMP=ALICE\""), 0);
  EXPECT_EQ(DeferToTallyhold("SRV", ""), 0);
  EXPECT_EQ(DeferToTallyhold("SRV", nullptr), 0);
  std::string on = Marker("plxtly-on");
  EXPECT_EQ(DeferToTallyhold("SRV", Writes(on, "\"/imp=ALICE\"").c_str()), 1);
  EXPECT_TRUE(Appears(on, 20000)) << "the command line did not run";
  EXPECT_EQ(GetFileAttributesA(off.c_str()), INVALID_FILE_ATTRIBUTES) << "a refused line was started";
  EXPECT_NE(testsupport::ReadWholeFile(on).find("/imp=ALICE"), std::string::npos);
  DeleteFileA(on.c_str());
}
