#include <gtest/gtest.h>

#include <vector>

#include "cmdline.h"
#include "run_state.h"

namespace {

// Parses a fresh option set; the run-wide records are reset around every case.
int Parse(std::vector<const char*> args) {
  gOptions = AgentOptions{};
  gContext.szServerName[0] = '\0';
  args.insert(args.begin(), "PLXWIN32.EXE");
  return ParseCommandLine(int(args.size()), const_cast<char**>(args.data()));
}

}  // namespace

TEST(CommandLine, DefaultsWithoutArguments) {
  EXPECT_EQ(Parse({}), 0);
  EXPECT_EQ(gOptions.nRetries, 1);
  EXPECT_EQ(gOptions.nTimeout, 6);
  EXPECT_FALSE(gOptions.bLog);
  EXPECT_STREQ(gContext.szServerName, "");
}

TEST(CommandLine, RetriesAndTimeoutRanges) {
  EXPECT_EQ(Parse({"/retries="}), 0);
  EXPECT_EQ(gOptions.nRetries, 1);
  EXPECT_EQ(Parse({"/retries=-5"}), 0);
  EXPECT_EQ(gOptions.nRetries, 5);
  EXPECT_EQ(Parse({"/RETRIES=32000"}), 0);
  EXPECT_EQ(Parse({"/retries=0"}), 1);
  EXPECT_EQ(Parse({"/retries=abc"}), 1);
  EXPECT_EQ(Parse({"/retries=32001"}), 1);
  EXPECT_EQ(Parse({"/timeout=60"}), 0);
  EXPECT_EQ(gOptions.nTimeout, 60);
  EXPECT_EQ(Parse({"/timeout=61"}), 1);
}

TEST(CommandLine, PrefixAndWholeWordOptions) {
  EXPECT_EQ(Parse({"/server=mysrv", "/qs=Setup", "/imp=bob", "/Silent"}), 0);
  EXPECT_STREQ(gContext.szServerName, "MYSRV");
  EXPECT_STREQ(gOptions.szQuickScript, "Setup");
  EXPECT_STREQ(gOptions.szImpersonateUser, "BOB");
  EXPECT_TRUE(gOptions.bSilent);
  EXPECT_TRUE(gOptions.bNoShow);

  EXPECT_EQ(Parse({"/NOSHOW"}), 0);
  EXPECT_TRUE(gOptions.bNoShow);
  EXPECT_FALSE(gOptions.bSilent);

  EXPECT_EQ(Parse({"/LOGX"}), 1);
  EXPECT_EQ(Parse({"/ALTLOG="}), 1);
  EXPECT_EQ(Parse({"/ALTLOG=C:\\X.LOG"}), 0);
  EXPECT_TRUE(gOptions.bLog);
  EXPECT_STREQ(gOptions.szAltLogFile, "C:\\X.LOG");

  EXPECT_EQ(Parse({"/PROTOCOL=IPX"}), 1);
  EXPECT_EQ(Parse({"/PROTOCOL=", "/PAGE", "/GENBOOT", "/AUTOEXIT"}), 0);
  EXPECT_TRUE(gOptions.bAutoExit);
  EXPECT_EQ(Parse({"/"}), 1);
  EXPECT_EQ(Parse({"/SERVER="}), 1);
  EXPECT_EQ(Parse({"/QS="}), 1);
}

TEST(CommandLine, OnDemandAndPackageId) {
  EXPECT_EQ(Parse({"/ondemandtimeout="}), 0);
  EXPECT_EQ(gOptions.nOnDemandTimeout, 0);
  EXPECT_STREQ(gOptions.szOnDemand, "");
  EXPECT_EQ(Parse({"/ONDEMANDTIMEOUT=30", "/ONDEMAND=JOB7"}), 0);
  EXPECT_EQ(gOptions.nOnDemandTimeout, 30);
  EXPECT_STREQ(gOptions.szOnDemand, "JOB7");
  EXPECT_EQ(Parse({"/ONDEMAND="}), 1);
  EXPECT_EQ(Parse({"/pkgid="}), 1);
  EXPECT_EQ(Parse({"/pkgid=x"}), 0);
  EXPECT_EQ(gOptions.nPackageId, 0);
  EXPECT_EQ(Parse({"/pkgid=-12"}), 0);
  EXPECT_EQ(gOptions.nPackageId, 12);
}

TEST(CommandLine, StopsAtTheFirstBadArgumentOrHelp) {
  EXPECT_EQ(Parse({"/BAD", "/LOG"}), 1);
  EXPECT_FALSE(gOptions.bLog);
  EXPECT_EQ(Parse({"/?", "/LOG"}), 1);
  EXPECT_FALSE(gOptions.bLog);
  EXPECT_EQ(Parse({"/LOG", "/?"}), 1);
  EXPECT_TRUE(gOptions.bLog);
}
