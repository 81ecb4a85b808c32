// CORVNET.dll on a letter Wine really types as a network drive. The runner maps the letter
// (a dosdevices link, "network" under HKLM\Software\Wine\Drives, a wineserver restart) and
// names it in PLX_NETWORK_DRIVE.
#include <gtest/gtest.h>

#include <stdio.h>

#include "corvnet.h"
#include "support.h"

namespace {

// Writes CORVNET.INI beside the DLL ("" removes it) and drops any cached copy.
void WriteIni(const std::string& text) {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(GetModuleHandleA("CORVNET.dll"), path, sizeof path);
  ASSERT_TRUE(n > 0 && n < sizeof path);
  std::string ini = std::string(path).substr(0, std::string(path).rfind('\\') + 1) + "CORVNET.INI";
  DeleteFileA(ini.c_str());
  FILE* f = text.empty() ? nullptr : fopen(ini.c_str(), "w");
  if (f) fputs(text.c_str(), f), fclose(f);
  WritePrivateProfileStringA(nullptr, nullptr, nullptr, ini.c_str());
}

}  // namespace

TEST(NetworkDrive, ALetterWineTypesAsRemote) {
  std::string letter = rt::Env("PLX_NETWORK_DRIVE"), root = letter + ":\\";
  ASSERT_EQ(letter.size(), 1u);
  int drive = letter[0] - 'A';
  ASSERT_EQ(GetDriveTypeA(root.c_str()), UINT(DRIVE_REMOTE)) << "the drive set-up did not take";
  WriteIni("");
  EXPECT_NE(isNetworkDrive(drive), 0);
  EXPECT_EQ(isNetworkDrive(2), 0) << "C: is a local disk";
  char name[64] = "x";
  // Remote, but neither Windows nor the INI knows its share.
  EXPECT_EQ(getServerFromPath((root + "APPS\\PLIVEX\\").c_str(), name), 2);
  EXPECT_STREQ(name, "");
  EXPECT_EQ(getNetworkDrive("\\\\SRV\\SYS\\APPS"), -1);

  WriteIni("[Drives]\n" + letter + "=\\\\srv\\SYS\n");
  EXPECT_EQ(getServerFromPath((root + "APPS\\PLIVEX\\").c_str(), name), 0);
  EXPECT_STREQ(name, "SRV");
  EXPECT_EQ(getNetworkDrive("\\\\SRV\\sys\\APPS\\PLIVEX"), drive);
  EXPECT_EQ(getNetworkDrive("\\\\SRV\\SYSTEM"), -1) << "a share is a prefix only at a path boundary";
  EXPECT_EQ(getServerFromPath("C:\\PLIVEX\\", name), 1);
  WriteIni("");
}
