// SCHEDULEWIN starting a real program that writes the command line it got beside itself;
// the script does not wait for it, so the test does.
#include <string>

#include "script_test_support.h"

TEST(ScriptSchedule, StartsProgramsWithoutWaiting) {
  scripttest::ScriptRun run;
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, sizeof self);
  std::string echo = self;
  echo = echo.substr(0, echo.rfind('\\') + 1) + "cmdline_echo.exe";
  const std::string dir = run.dir.Path(), out = run.dir.File("CMDLINE.TXT");
  ASSERT_TRUE(CopyFileA(echo.c_str(), run.dir.File("ECHO.EXE").c_str(), FALSE));
  const struct {
    std::string parameters;
    int result;
    int32_t retval;
    std::string seen;  // the program's command line, or what the results box shows
  } cases[] = {
      {"\"" + dir + "\\\", \"\\ECHO.EXE\", \"/Q /R\"", 0, 0, dir + "\\ECHO.EXE /Q /R"},
      {"\"" + dir + "\", \"ECHO.EXE\", \"/Q /R\"", 0, 0, dir + "\\ECHO.EXE /Q /R"},
      {"\"" + dir + "\\\", \"ECHO.EXE\", NULL", 0, 0, dir + "\\ECHO.EXE"},
      {"\"" + dir + "\", \"\\ECHO.EXE\"", 0, 0, dir + "\\ECHO.EXE"},
      {"\"" + dir + "\", \"NOSUCH.EXE\"", -1, 2, "ERROR 0002"},
      {"\"" + dir + "\"", -1, 207, "ERROR 0207: Invalid number of parameters passed to function: SCHEDULEWIN."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.parameters);
    DeleteFileA(out.c_str());
    EXPECT_EQ(run.RunText("ASSIGN [RETVAL], 9\nSCHEDULEWIN " + c.parameters + "\nWRITELN \"after\"\n"), c.result);
    EXPECT_EQ(run.Retval(), c.retval);
    EXPECT_EQ(run.Shown().find("after") != std::string::npos, c.result == 0) << run.Shown();
    if (c.result != 0) {
      EXPECT_NE(run.Shown().find(c.seen), std::string::npos) << run.Shown();
      EXPECT_NE(run.Shown().find("The script T.QSC failed on line 3."), std::string::npos) << run.Shown();
      continue;
    }
    // The script has ended before the program is looked for: nothing waited for it.
    for (int i = 0; i < 200 && GetFileAttributesA(out.c_str()) == INVALID_FILE_ATTRIBUTES; ++i) Sleep(50);
    EXPECT_EQ(testsupport::ReadWholeFile(out), c.seen);
  }
  DeleteFileA(out.c_str());
  DeleteFileA(run.dir.File("ECHO.EXE").c_str());
}
