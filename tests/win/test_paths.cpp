#include <gtest/gtest.h>

#include <string.h>

#include "paths.h"
#include "window.h"

namespace {

std::string Append(const char* dir, const char* name) {
  char buf[260];
  strcpy(buf, dir);
  EXPECT_TRUE(AppendPath(buf, name));
  return buf;
}

std::string Parent(const char* path) {
  char buf[260];
  strcpy(buf, path);
  CutToParent(buf);
  return buf;
}

std::string Unc(const char* server, const char* path) {
  char buf[256];
  ToUncPath(server, path, buf, sizeof buf);
  return buf;
}

std::string Compact(const char* path, int n) {
  char buf[260];
  CompactPath(path, n, buf, sizeof buf);
  return buf;
}

}  // namespace

TEST(AppendPath, JoinsWithExactlyOneBackslash) {
  EXPECT_EQ(Append("C:\\X", "\\\\Y"), "C:\\X\\Y");
  EXPECT_EQ(Append("C:\\A\\", "\\B"), "C:\\A\\B");
  EXPECT_EQ(Append("C:\\A", "B"), "C:\\A\\B");
  EXPECT_EQ(Append("C:\\A", ""), "C:\\A\\");
  EXPECT_EQ(Append("C:\\A\\", ""), "C:\\A\\");
  EXPECT_EQ(Append("", "B"), "B");  // an empty directory stays relative
}

TEST(AppendPath, RefusesAPathThatDoesNotFit) {
  char buf[260];
  memset(buf, 'a', 250);
  buf[250] = '\0';
  EXPECT_FALSE(AppendPath(buf, "0123456789012345678901234567890123456789"));
  EXPECT_EQ(strlen(buf), 250u);
  EXPECT_TRUE(AppendPath(buf, "12345678"));  // 250 + backslash + 8 = 259: the last that fits
  EXPECT_EQ(strlen(buf), 259u);
}

TEST(ParentCut, KeepsTheTrailingBackslash) {
  EXPECT_EQ(Parent("\\\\SRV\\SYS\\APPS\\PLIVEX"), "\\\\SRV\\SYS\\APPS\\");
  EXPECT_EQ(Parent("\\\\SRV\\SYS\\APPS\\PLIVEX\\"), "\\\\SRV\\SYS\\APPS\\");
  EXPECT_EQ(Parent("\\\\SRV\\SYS\\APPS\\"), "\\\\SRV\\SYS\\");
  EXPECT_EQ(Parent("NOSLASH"), "");
}

TEST(ToUncPath, VolumeFormBecomesUnc) {
  EXPECT_EQ(Unc("SRV", "SYS:\\APPS\\PLIVEX"), "\\\\SRV\\SYS\\APPS\\PLIVEX");
  EXPECT_EQ(Unc("SRV", "SYS:\\APPS\\PLIVEX\\"), "\\\\SRV\\SYS\\APPS\\PLIVEX");
  EXPECT_EQ(Unc("SRV", "SYS:APPS"), "\\\\SRV\\SYS\\APPS");
  EXPECT_EQ(Unc("SRV", "\\APPS\\PLIVEX"), "\\\\SRV\\APPS\\PLIVEX");
}

TEST(ToUncPath, DerivedServerDirectories) {
  // The run's own derivation: package, Tessel and console directories.
  char pkg[256];
  ToUncPath("SRV", "SYS:\\APPS\\PLIVEX", pkg, sizeof pkg);
  CutToParent(pkg);
  EXPECT_STREQ(pkg, "\\\\SRV\\SYS\\APPS\\");
  char tessel[256], console[256];
  strcpy(tessel, pkg);
  AppendPath(pkg, "PLIVEX\\PACKAGES");
  CutToParent(tessel);
  strcpy(console, tessel);
  AppendPath(tessel, "TESSEL");
  AppendPath(console, "CONSOLE");
  EXPECT_STREQ(pkg, "\\\\SRV\\SYS\\APPS\\PLIVEX\\PACKAGES");
  EXPECT_STREQ(tessel, "\\\\SRV\\SYS\\TESSEL");
  EXPECT_STREQ(console, "\\\\SRV\\SYS\\CONSOLE");
}

TEST(CompactPath, KeepsRootAndTail) {
  const char* p = "\\\\SRV\\SYS\\APPS\\PLIVEX\\PACKAGES\\OFFICE\\SETUP.EXE";
  EXPECT_EQ(Compact(p, 30), "\\\\SRV\\SYS\\...\\OFFICE\\SETUP.EXE");
  EXPECT_EQ(Compact(p, 30).size(), 30u);
  EXPECT_EQ(Compact(p, 200), p);
  EXPECT_EQ(Compact("C:\\WINDOWS\\SYSTEM\\DRIVERS\\X.SYS", 15), "C:\\...ERS\\X.SYS");
  EXPECT_EQ(Compact("APPS\\PLIVEX\\PACKAGES\\SETUP.EXE", 14), "\\...\\SETUP.EXE");
  EXPECT_EQ(Compact("\\\\SERVERONLY", 5), "\\\\\\...");  // root and dots already too long
}
