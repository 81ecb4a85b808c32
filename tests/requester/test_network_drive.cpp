// CORVNET.dll on a letter Wine really types as a network drive. The runner maps the letter
// (a dosdevices link, "network" under HKLM\Software\Wine\Drives, a wineserver restart) and
// names it in PLX_NETWORK_DRIVE.
#include <gtest/gtest.h>

#include <stdio.h>

#include "corvnet.h"
#include "support.h"

using rt::Env;

namespace {

std::string CorvnetIni() {
  char path[MAX_PATH];
  HMODULE dll = GetModuleHandleA("CORVNET.dll");
  DWORD n = dll ? GetModuleFileNameA(dll, path, sizeof path) : 0;
  if (n == 0 || n >= sizeof path) return std::string();
  std::string p = path;
  return p.substr(0, p.rfind('\\') + 1) + "CORVNET.INI";
}

void WriteIni(const std::string& path, const std::string& text) {
  FILE* f = fopen(path.c_str(), "w");
  ASSERT_NE(f, nullptr) << path;
  fputs(text.c_str(), f);
  fclose(f);
  WritePrivateProfileStringA(nullptr, nullptr, nullptr, path.c_str());  // drop any cached copy
}

}  // namespace

TEST(NetworkDrive, ALetterWineTypesAsRemote) {
  std::string letter = Env("PLX_NETWORK_DRIVE");
  if (letter.size() != 1) GTEST_SKIP() << "the runner mapped no network drive";
  int drive = letter[0] - 'A';
  std::string root = letter + ":\\";
  ASSERT_EQ(GetDriveTypeA(root.c_str()), UINT(DRIVE_REMOTE)) << "the drive set-up did not take";
  std::string ini = CorvnetIni();
  ASSERT_FALSE(ini.empty());
  DeleteFileA(ini.c_str());
  WritePrivateProfileStringA(nullptr, nullptr, nullptr, ini.c_str());

  EXPECT_NE(isNetworkDrive(drive), 0);
  EXPECT_EQ(isNetworkDrive(2), 0) << "C: is a local disk";
  char name[64] = "x";
  // Remote, but neither Windows nor the INI knows its share.
  EXPECT_EQ(getServerFromPath((root + "APPS\\PLIVEX\\").c_str(), name), 2);
  EXPECT_STREQ(name, "");
  EXPECT_EQ(getNetworkDrive("\\\\SRV\\SYS\\APPS"), -1);

  WriteIni(ini, "[Drives]\n" + letter + "=\\\\srv\\SYS\n");
  EXPECT_EQ(getServerFromPath((root + "APPS\\PLIVEX\\").c_str(), name), 0);
  EXPECT_STREQ(name, "SRV");
  EXPECT_EQ(getNetworkDrive("\\\\SRV\\sys\\APPS\\PLIVEX"), drive);
  EXPECT_EQ(getNetworkDrive("\\\\SRV\\SYSTEM"), -1) << "a share is a prefix only at a path boundary";
  EXPECT_EQ(getServerFromPath("C:\\PLIVEX\\", name), 1);
  DeleteFileA(ini.c_str());
  WritePrivateProfileStringA(nullptr, nullptr, nullptr, ini.c_str());
}
