#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "bounded_text.h"
#include "paths.h"
#include "window.h"

namespace {

struct PathCase {
  const char* in;
  const char* arg;
  const char* out;  // null: refused, buffer unchanged
};

TEST(Paths, AppendPathJoinsWithOneBackslashOrRefuses) {
  const std::string a250(250, 'a');
  const struct {
    std::string in, arg, out;  // out empty: refused, the buffer keeps in
  } cases[] = {
      {"C:\\X", "\\\\Y", "C:\\X\\Y"},
      {"C:\\A\\", "\\B", "C:\\A\\B"},
      {"C:\\A", "B", "C:\\A\\B"},
      {"C:\\A", "", "C:\\A\\"},
      {"C:\\A\\", "", "C:\\A\\"},
      {"", "B", "B"},  // an empty directory stays relative
      {a250, "12345678", a250 + "\\12345678"},  // 259 characters: the last that fits
      {a250, "123456789", ""},
  };
  for (const auto& c : cases) {
    char buf[260];
    CopyText(buf, c.in.c_str());
    EXPECT_EQ(AppendPath(buf, c.arg.c_str()), !c.out.empty()) << c.arg;
    EXPECT_EQ(std::string(buf), c.out.empty() ? c.in : c.out) << c.arg;
  }
}

TEST(Paths, ParentAndUncForms) {
  const PathCase parents[] = {
      {"\\\\SRV\\SYS\\APPS\\PLIVEX", "", "\\\\SRV\\SYS\\APPS\\"},
      {"\\\\SRV\\SYS\\APPS\\PLIVEX\\", "", "\\\\SRV\\SYS\\APPS\\"},
      {"\\\\SRV\\SYS\\APPS\\", "", "\\\\SRV\\SYS\\"},
      {"NOSLASH", "", ""},
  };
  for (const PathCase& c : parents) {
    char buf[260];
    CopyText(buf, c.in);
    CutToParent(buf);
    EXPECT_STREQ(buf, c.out) << c.in;
  }
  const PathCase uncs[] = {
      {"SRV", "SYS:\\APPS\\PLIVEX", "\\\\SRV\\SYS\\APPS\\PLIVEX"},
      {"SRV", "SYS:\\APPS\\PLIVEX\\", "\\\\SRV\\SYS\\APPS\\PLIVEX"},
      {"SRV", "SYS:APPS", "\\\\SRV\\SYS\\APPS"},
      {"SRV", "\\APPS\\PLIVEX", "\\\\SRV\\APPS\\PLIVEX"},
  };
  for (const PathCase& c : uncs) {
    char buf[256];
    EXPECT_TRUE(ToUncPath(c.in, c.arg, buf));
    EXPECT_STREQ(buf, c.out) << c.arg;
  }
  char small[12] = "unchanged";
  EXPECT_FALSE(ToUncPath("SRV", "SYS:\\APPS\\PLIVEX", small));
}

TEST(Paths, CompactKeepsRootAndTail) {
  const struct {
    const char* in;
    int width;
    const char* out;
  } cases[] = {
      {"\\\\SRV\\SYS\\APPS\\PLIVEX\\PACKAGES\\OFFICE\\SETUP.EXE", 30, "\\\\SRV\\SYS\\...\\OFFICE\\SETUP.EXE"},
      {"\\\\SRV\\SYS\\APPS\\PLIVEX\\PACKAGES\\OFFICE\\SETUP.EXE", 200,
       "\\\\SRV\\SYS\\APPS\\PLIVEX\\PACKAGES\\OFFICE\\SETUP.EXE"},
      {"C:\\WINDOWS\\SYSTEM\\DRIVERS\\X.SYS", 15, "C:\\...ERS\\X.SYS"},
      {"APPS\\PLIVEX\\PACKAGES\\SETUP.EXE", 14, "\\...\\SETUP.EXE"},
      {"\\\\SERVERONLY", 5, "\\\\\\..."},  // root and dots already too long
  };
  for (const auto& c : cases) {
    char buf[260];
    CompactPath(c.in, c.width, buf, sizeof buf);
    EXPECT_STREQ(buf, c.out) << c.in << " " << c.width;
  }
}

}  // namespace
