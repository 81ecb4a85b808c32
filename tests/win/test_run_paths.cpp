// The server's directories from its installed path: each one fits its 256-byte field or is
// refused with a message, and the fields around them are never touched.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "agent.h"
#include "bounded_text.h"
#include "run_state.h"
#include "win_test_support.h"

namespace {

struct Case {
  size_t n;          // length of the directory D in "SYS:\D\PLIVEX"
  const char* named;  // null: accepted; else which path message 161 names
};

// With server SRV: the UNC form is 17 + n characters, the package path 26 + n; the
// package path also goes into a variable of 254 characters.
const Case kCases[] = {
    {1, nullptr},   {228, nullptr},  // package path of 254 characters
    {229, "package"},               // 255: fits its field, not its variable
    {230, "parent"},                // the package path would need 256
    {238, "parent"},                // the longest UNC form that fits: 255
    {239, "volume"},                // UNC form of 256
    {243, "volume"},                // the longest installed path the service gives: 255
};

}  // namespace

TEST(RunPaths, DirectoriesFitOrAreRefused) {
  testsupport::SavedRun saved;
  testsupport::ResultsWindow window;
  ASSERT_TRUE(window.Ok());
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.n);
    window.Clear();
    gContext = AgentContext{};
    CopyText(gContext.szServerName, "SRV");
    memset(gContext.szAppPath, 'A', sizeof gContext.szAppPath);
    memset(gContext.szOnDemandDir, 'O', sizeof gContext.szOnDemandDir);
    gContext.hSession = 0xA5A5A5A5u;
    const std::string dir(c.n, 'D');
    const std::string volume = "SYS:\\" + dir + "\\PLIVEX";
    const std::string parent = "\\\\SRV\\SYS\\" + dir + "\\";
    const std::string package = parent + "PLIVEX\\PACKAGES";
    ASSERT_EQ(volume.size(), 12 + c.n);
    EXPECT_EQ(DerivePaths(volume.c_str()), c.named == nullptr);
    if (!c.named) {
      EXPECT_STREQ(gContext.szPackagePath, package.c_str());
      EXPECT_STREQ(gContext.szTesselPath, "\\\\SRV\\SYS\\TESSEL");
      EXPECT_STREQ(gContext.szConsolePath, "\\\\SRV\\SYS\\CONSOLE");
      EXPECT_EQ(window.Shown(), "");
    } else {
      std::string path = !strcmp(c.named, "volume") ? volume : !strcmp(c.named, "parent") ? parent : package;
      // The line is cut where every message line is; the path's start tells which it is.
      std::string line = "\r\nERROR 0161: Unable to parse path: " + path.substr(0, 40);
      EXPECT_EQ(window.Shown().substr(0, line.size()), line);
    }
    for (char ch : {gContext.szPackagePath[255], gContext.szTesselPath[255], gContext.szConsolePath[255]})
      EXPECT_EQ(ch, '\0');
    EXPECT_EQ(std::string(gContext.szAppPath, sizeof gContext.szAppPath), std::string(256, 'A'));
    EXPECT_EQ(std::string(gContext.szOnDemandDir, sizeof gContext.szOnDemandDir), std::string(256, 'O'));
    EXPECT_EQ(gContext.hSession, 0xA5A5A5A5u);
  }
}
