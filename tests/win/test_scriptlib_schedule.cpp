// SCHEDULEWIN starting a real program that writes the command line it got beside itself;
// the script does not wait for it, so the test does.
#include <string>

#include "script_test_support.h"

namespace {

using scripttest::ScriptRun;

std::string EchoProgram() {
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, sizeof path);
  std::string p = path;
  return p.substr(0, p.rfind('\\') + 1) + "cmdline_echo.exe";
}

// The file's text once it appears, or "timed out".
std::string AwaitFile(const std::string& path) {
  for (int i = 0; i < 200; ++i) {
    if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) return testsupport::ReadWholeFile(path);
    Sleep(50);
  }
  return "timed out";
}

}  // namespace

TEST(ScriptSchedule, StartsTheProgramWithItsArguments) {
  ScriptRun run;
  const std::string dir = run.dir.Path();
  ASSERT_TRUE(CopyFileA(EchoProgram().c_str(), run.dir.File("ECHO.EXE").c_str(), FALSE));
  const std::string program = dir + "\\ECHO.EXE";
  const struct {
    std::string parameters;
    std::string commandLine;
  } cases[] = {
      {"\"" + dir + "\\\", \"\\ECHO.EXE\", \"/Q /R\"", program + " /Q /R"},
      {"\"" + dir + "\", \"ECHO.EXE\", \"/Q /R\"", program + " /Q /R"},
      {"\"" + dir + "\\\", \"ECHO.EXE\", NULL", program},
      {"\"" + dir + "\", \"\\ECHO.EXE\"", program},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.parameters);
    const std::string out = run.dir.File("CMDLINE.TXT");
    DeleteFileA(out.c_str());
    // The script has ended before the program is looked for: nothing waited for it.
    EXPECT_EQ(run.RunText("ASSIGN [RETVAL], 9\nSCHEDULEWIN " + c.parameters + "\n"), 0);
    EXPECT_EQ(run.Retval(), 0);
    EXPECT_EQ(AwaitFile(out), c.commandLine);
  }
  DeleteFileA(run.dir.File("CMDLINE.TXT").c_str());
  DeleteFileA(run.dir.File("ECHO.EXE").c_str());
}

TEST(ScriptSchedule, AProgramThatCannotStartEndsTheScript) {
  const struct {
    std::string body;
    int32_t retval;
    const char* shown;
  } cases[] = {
      {"SCHEDULEWIN \"C:\\windows\", \"NOSUCH.EXE\", NULL\nWRITELN \"never\"\n", 2, "ERROR 0002"},
      {"SCHEDULEWIN \"C:\\windows\"\nWRITELN \"never\"\n", 207,
       "ERROR 0207: Invalid number of parameters passed to function: SCHEDULEWIN."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    ScriptRun run;
    EXPECT_EQ(run.RunText(c.body), -1);
    EXPECT_EQ(run.Retval(), c.retval);
    EXPECT_NE(run.Shown().find(c.shown), std::string::npos) << run.Shown();
    EXPECT_NE(run.Shown().find("The script T.QSC failed on line 2."), std::string::npos);
    EXPECT_EQ(run.Shown().find("never"), std::string::npos);
  }
}
