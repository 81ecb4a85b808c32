// plx2tly.dll: off without its INI; with Relaunch=1 it really starts the command line.
#include <gtest/gtest.h>
#include <windows.h>

#include <string.h>

#include <string>

#include "plx2tly.h"
#include "win_test_support.h"

namespace {

// PLX2TLY.INI beside the DLL, empty for one test.
class Metering : public ::testing::Test {
 protected:
  void Relaunch(const char* value) {
    ASSERT_TRUE(WritePrivateProfileStringA("Metering", "Relaunch", value, ini.Path().c_str()));
  }
  testsupport::IniBesideDll ini{"plx2tly.dll", "PLX2TLY.INI"};
};

std::string TempFile(const char* name) {
  char tmp[MAX_PATH];
  GetTempPathA(sizeof tmp, tmp);
  return std::string(tmp) + name + std::to_string(GetCurrentProcessId()) + ".txt";
}

bool WaitForFile(const std::string& path, DWORD ms) {
  for (DWORD waited = 0; waited < ms; waited += 50) {
    if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
    Sleep(50);
  }
  return false;
}

}  // namespace

TEST_F(Metering, OffWithoutItsIni) {
  std::string marker = TempFile("plxtly-off");
  DeleteFileA(marker.c_str());
  std::string cmd = "cmd.exe /c echo ran> \"" + marker + "\"";
  EXPECT_EQ(DeferToTallyhold("SRV", cmd.c_str()), 0);
  Relaunch("0");
  EXPECT_EQ(DeferToTallyhold("SRV", cmd.c_str()), 0);
  Sleep(300);
  EXPECT_EQ(GetFileAttributesA(marker.c_str()), INVALID_FILE_ATTRIBUTES) << "nothing was started";
}

TEST_F(Metering, RelaunchStartsTheCommandLine) {
  Relaunch("1");
  std::string marker = TempFile("plxtly-on");
  DeleteFileA(marker.c_str());
  std::string cmd = "cmd.exe /c echo ran> \"" + marker + "\"";
  EXPECT_EQ(DeferToTallyhold("SRV", cmd.c_str()), 1);
  EXPECT_TRUE(WaitForFile(marker, 20000)) << "the command line did not run";
  DeleteFileA(marker.c_str());
}

TEST_F(Metering, RelaunchThatCannotStartIsRefused) {
  Relaunch("1");
  EXPECT_EQ(DeferToTallyhold("SRV", "C:\\no\\such\\PLXWIN32.EXE /IMP=ALICE"), 0);
  EXPECT_EQ(DeferToTallyhold("SRV", ""), 0);
  EXPECT_EQ(DeferToTallyhold("SRV", nullptr), 0);
}
