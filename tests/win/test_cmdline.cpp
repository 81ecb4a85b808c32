// The option table: each row a command line, whether it is accepted, and what it sets.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cmdline.h"
#include "run_state.h"

namespace {

struct Case {
  std::vector<const char*> args;
  int result;
  // Expected option values (a field left at its default in the row is checked as such).
  int retries = 1, timeout = 6, pkgid = 0, odTimeout = 0;
  const char* server = "";
  const char* qs = "";
  const char* imp = "";
  const char* altlog = "";
  const char* ondemand = "";
  bool log = false, silent = false, noshow = false, autoexit = false;
};

const Case kCases[] = {
    {{}, 0},
    {{"/retries="}, 0},
    {{"/retries=-5"}, 0, 5},
    {{"/RETRIES=32000"}, 0, 32000},
    {{"/retries=0"}, 1, 0},
    {{"/retries=abc"}, 1, 0},
    {{"/retries=32001"}, 1, 32001},
    // Past 32 bits: a bad argument, never wrapped to 1.
    {{"/RETRIES=4294967297"}, 1},
    {{"/RETRIES=2147483648"}, 1},
    {{"/timeout=60"}, 0, 1, 60},
    {{"/timeout=61"}, 1, 1, 61},
    {{"/TIMEOUT=8589934593"}, 1},
    {{"/timeout=7x"}, 0, 1, 7},
    {{"/server=mysrv", "/qs=Setup", "/imp=bob", "/Silent"}, 0, 1, 6, 0, 0, "MYSRV", "Setup", "BOB", "", "", false,
     true, true},
    {{"/NOSHOW"}, 0, 1, 6, 0, 0, "", "", "", "", "", false, false, true},
    {{"/LOGX"}, 1},
    {{"/ALTLOG="}, 1},
    {{"/ALTLOG=C:\\X.LOG"}, 0, 1, 6, 0, 0, "", "", "", "C:\\X.LOG", "", true},
    {{"/PROTOCOL=IPX"}, 1},
    {{"/PROTOCOL=", "/PAGE", "/GENBOOT", "/AUTOEXIT"}, 0, 1, 6, 0, 0, "", "", "", "", "", false, false, false, true},
    {{"/"}, 1},
    {{"/SERVER="}, 1},
    {{"/QS="}, 1},
    {{"/IMP="}, 1},
    {{"/ondemandtimeout="}, 0},
    {{"/ONDEMANDTIMEOUT=30", "/ONDEMAND=JOB7"}, 0, 1, 6, 0, 30, "", "", "", "", "JOB7"},
    {{"/ONDEMANDTIMEOUT=99999999999"}, 1},
    {{"/ONDEMAND="}, 1},
    {{"/pkgid="}, 1},
    {{"/pkgid=x"}, 0},
    {{"/pkgid=-12"}, 0, 1, 6, 12},
    {{"/pkgid=4294967308"}, 1},
    // The first bad argument or /? stops the parse: nothing after it is taken.
    {{"/BAD", "/LOG"}, 1},
    {{"/?", "/LOG"}, 1},
    {{"/LOG", "/?"}, 1, 1, 6, 0, 0, "", "", "", "", "", true},
    {{"/retries=3", "/retries=4"}, 0, 4},
};

}  // namespace

TEST(CommandLine, OptionTable) {
  for (const Case& c : kCases) {
    std::string line;
    for (const char* a : c.args) line += std::string(a) + " ";
    SCOPED_TRACE(line);
    gOptions = AgentOptions{};
    gContext.szServerName[0] = '\0';
    std::vector<const char*> argv{"PLXWIN32.EXE"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    EXPECT_EQ(ParseCommandLine(int(argv.size()), const_cast<char**>(argv.data())), c.result);
    EXPECT_EQ(gOptions.nRetries, c.retries);
    EXPECT_EQ(gOptions.nTimeout, c.timeout);
    EXPECT_EQ(gOptions.nPackageId, c.pkgid);
    EXPECT_EQ(gOptions.nOnDemandTimeout, c.odTimeout);
    EXPECT_STREQ(gContext.szServerName, c.server);
    EXPECT_STREQ(gOptions.szQuickScript, c.qs);
    EXPECT_STREQ(gOptions.szImpersonateUser, c.imp);
    EXPECT_STREQ(gOptions.szAltLogFile, c.altlog);
    EXPECT_STREQ(gOptions.szOnDemand, c.ondemand);
    EXPECT_EQ(gOptions.bLog, c.log);
    EXPECT_EQ(gOptions.bSilent, c.silent);
    EXPECT_EQ(gOptions.bNoShow, c.noshow);
    EXPECT_EQ(gOptions.bAutoExit, c.autoexit);
  }
  gOptions = AgentOptions{};
}
