// The program, message box, log, environment, file date and service functions against the
// real system: real programs, real files with set times, a real service.
#include <direct.h>
#include <stdlib.h>

#include <string>

#include "agent_codes.h"
#include "bounded_text.h"
#include "script_test_support.h"

namespace {

using scripttest::ScriptRun;

std::string SystemDir() {
  char dir[MAX_PATH];
  GetSystemDirectoryA(dir, sizeof dir);
  return dir;
}

std::string Cmd() { return SystemDir() + "\\cmd.exe"; }

std::string Cwd() {
  char dir[MAX_PATH] = {};
  return _getcwd(dir, sizeof dir) ? dir : "";
}

std::string Trim(std::string s) {
  while (!s.empty() && (s.back() == '\r' || s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

std::string Lower(std::string s) {
  for (char& c : s) c = char(tolower(static_cast<unsigned char>(c)));
  return s;
}

// A file whose last-write time is the DOS date and time given.
void WriteStamped(const std::string& path, WORD date, WORD time) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << path;
  FILETIME ft;
  ASSERT_TRUE(DosDateTimeToFileTime(date, time, &ft));
  ASSERT_TRUE(SetFileTime(h, nullptr, nullptr, &ft));
  CloseHandle(h);
}

}  // namespace

TEST(ScriptPrograms, ShellAndShellWait) {
  const std::string cmd = Cmd();
  const struct {
    std::string body;
    int32_t retval;
  } cases[] = {
      {"ShellWait \"" + cmd + "\", \"/c exit 3\", NONE\n", 3},
      {"SHELL \"" + cmd + "\", \"/c exit 3\", NONE\n", 0},
      {"ShellWait \"" + cmd + "\", \"/c exit 0\", keeppath\n", 0},
      {"SHELL \"C:\\windows\\nosuch.exe\", NULL, NONE\n", 2},
      {"ShellWait \"C:\\no\\such\\program.exe\", NULL, KEEPPATH\n", 217},  // its folder cannot be entered
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    ScriptRun run;
    // The script goes on after the call: [RETVAL] is copied before anything else runs.
    EXPECT_EQ(run.RunText("DEFINE \"[K]\", I\n" + c.body + "ASSIGN [K], [RETVAL]\n"), 0);
    EXPECT_EQ(ScriptRun::Int("[K]"), 0);  // ASSIGN sees [RETVAL] as 0 ...
    EXPECT_EQ(run.RunText("DEFINE \"[K]\", I\n" + c.body + "EXIT [RETVAL]\n"), -2);
    EXPECT_EQ(run.Retval(), c.retval);  // ... EXIT sees the outcome of the call
  }
  ScriptRun run;
  EXPECT_EQ(run.RunText("SHELL \"" + cmd + "\", NULL\n"), -1);
  EXPECT_NE(run.Shown().find("ERROR 0207: Invalid number of parameters passed to function: SHELL."), std::string::npos);
}

TEST(ScriptPrograms, KeepPathRunsInTheProgramsFolder) {
  ScriptRun run;
  const std::string before = Cwd();
  const std::string out = run.dir.File("CWD.TXT");
  for (const char* option : {"KEEPPATH", "NONE"}) {
    SCOPED_TRACE(option);
    DeleteFileA(out.c_str());
    EXPECT_EQ(run.RunText("ShellWait \"" + Cmd() + "\", \"/c cd > " + out + "\", " + option + "\n"), 0);
    EXPECT_EQ(run.Retval(), 0);
    std::string ranIn = Trim(testsupport::ReadWholeFile(out));
    EXPECT_EQ(Lower(ranIn), Lower(std::string(option) == "KEEPPATH" ? SystemDir() : before));
    EXPECT_EQ(Cwd(), before);
  }
}

TEST(ScriptPrograms, PauseShowsABoxUnlessSilent) {
  static std::string caption, text;
  static int boxes = 0;
  ScriptRun run;
  StatusWindow services = *CurrentStatusWindow();
  services.showMessageBox = [](const char* c, const char* t) {
    ++boxes;
    caption = c;
    text = t;
  };
  const StatusWindow* previous = CurrentStatusWindow();
  SetStatusWindow(&services);
  const struct {
    const char* body;
    bool silent;
    int boxes;
    const char* text;
  } cases[] = {
      {"PAUSE \"Insert disk 2\"\n", false, 1, "Insert disk 2"},
      {"PAUSE NULL\n", false, 1, "Press the Enter Key to continue..."},
      {"PAUSE \"Insert disk 2\"\n", true, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    boxes = 0;
    caption.clear();
    text.clear();
    gOptions.bSilent = c.silent;
    EXPECT_EQ(run.RunText(c.body), 0);
    EXPECT_EQ(boxes, c.boxes);
    EXPECT_EQ(text, c.text);
    EXPECT_EQ(caption, c.boxes ? "Orvik Distribution Agent" : "");
  }
  SetStatusWindow(previous);
}

TEST(ScriptPrograms, GetEnvWriteLogAndUnsupported) {
  ScriptRun run;
  _putenv("PLXSCRIPTENV=from the environment");
  EXPECT_EQ(run.RunText("DEFINE \"[E]\", S\nGetEnv \"plxscriptenv\", [E]\n"), 0);
  EXPECT_EQ(ScriptRun::String("[E]"), "from the environment");
  EXPECT_EQ(run.Retval(), 0);
  EXPECT_EQ(run.RunText("DEFINE \"[E]\", S\nSTRCOPY [E], \"old\"\nGetEnv \"PLXSCRIPTUNSET\", [E]\n"), 0);
  EXPECT_EQ(ScriptRun::String("[E]"), "");
  EXPECT_EQ(run.Retval(), -1);
  EXPECT_EQ(run.RunText("GetEnv \"PATH\", [NOSUCH]\n"), -1);
  EXPECT_EQ(run.Retval(), 208);

  // WriteLog: the log file when logging is on; without a package the history says so.
  const std::string log = run.dir.File("AGENT.LOG");
  gOptions.bLog = true;
  CopyText(gOptions.szAltLogFile, log.c_str());
  EXPECT_EQ(run.RunText("WriteLog \"installed the thing\"\n"), 0);
  EXPECT_NE(testsupport::ReadWholeFile(log).find("installed the thing"), std::string::npos);
  EXPECT_NE(run.Shown().find("Unable to add an entry to the history log (no package ID)."), std::string::npos);
  gOptions.bLog = false;

  for (const char* f : {"LoadNLM", "UnLoadNLM", "UPGRADEOS"}) {
    EXPECT_EQ(run.RunText(std::string("ASSIGN [RETVAL], 4\n") + f + "\n"), -1);
    EXPECT_NE(run.Shown().find(std::string("ERROR 0232: Function ") + f + " is not supported"), std::string::npos);
  }
}

TEST(ScriptPrograms, FileDateComp) {
  ScriptRun run;
  // 5 March 2024; 09:00 and 17:00 as DOS times.
  const WORD day = WORD(((2024 - 1980) << 9) | (3 << 5) | 5);
  const WORD nine = WORD(9 << 11), five = WORD(17 << 11);
  const std::string early = run.dir.File("EARLY.TXT"), late = run.dir.File("LATE.TXT");
  const std::string nextDay = run.dir.File("NEXT.TXT");
  WriteStamped(early, day, nine);
  WriteStamped(late, day, five);
  WriteStamped(nextDay, WORD(day + 1), nine);
  const struct {
    std::string one, two;
    int result;
    int32_t retval;
  } cases[] = {
      {early, late, 0, -1},
      {late, early, 0, 1},
      {early, early, 0, 1},
      {late, nextDay, 0, -1},  // a later date wins over an earlier time
      {run.dir.File("NONE.TXT"), late, -1, 2},
      {early, run.dir.File("NONE.TXT"), -1, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.one + " " + c.two);
    // Function errors are reported for this package; a comparison outcome never is.
    gContext.currentPackage.Options = kOptionReportRetval;
    EXPECT_EQ(run.RunText("FILEDATECOMP \"" + c.one + "\", \"" + c.two + "\"\nEXIT [RETVAL]\n"),
              c.result == 0 ? -2 : -1);
    EXPECT_EQ(run.Retval(), c.retval);
    EXPECT_EQ(run.Shown().find("FILEDATECOMP returned"), std::string::npos) << run.Shown();
    if (c.result) {
      EXPECT_NE(run.Shown().find("The script T.QSC failed on line 2."), std::string::npos) << run.Shown();
    }
  }
}

TEST(ScriptPrograms, FunctionErrorsReportedWhenThePackageAsks) {
  ScriptRun run;
  const std::string missing = "SHELL \"C:\\windows\\nosuch.exe\", NULL, NONE\n";
  gContext.currentPackage.Options = 0;
  EXPECT_EQ(run.RunText(missing), 0);
  EXPECT_EQ(run.Shown().find("0229"), std::string::npos);
  gContext.currentPackage.Options = kOptionReportRetval;
  EXPECT_EQ(run.RunText(missing + "DEFINE \"[S]\", S\nSTRCOMPARE [S], \"a\"\n"), 0);
  std::string shown = run.Shown();
  EXPECT_NE(shown.find("ERROR 0229: SHELL returned error code: 2."), std::string::npos) << shown;
  EXPECT_NE(shown.find("No such file or directory."), std::string::npos) << shown;
  EXPECT_EQ(shown.find("STRCOMPARE returned"), std::string::npos) << shown;
}

TEST(ScriptPrograms, StartsAndStopsARealService) {
  char module[MAX_PATH];
  GetModuleFileNameA(nullptr, module, sizeof module);
  std::string exe(module);
  exe = exe.substr(0, exe.rfind('\\') + 1) + "plxscriptsvc.exe";
  const char* name = "PlxScriptTestSvc";
  SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  ASSERT_NE(scm, nullptr);
  SC_HANDLE svc = CreateServiceA(scm, name, name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                 SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE, exe.c_str(), nullptr, nullptr, nullptr,
                                 nullptr, nullptr);
  if (!svc && GetLastError() == ERROR_SERVICE_EXISTS) svc = OpenServiceA(scm, name, SERVICE_ALL_ACCESS);
  ASSERT_NE(svc, nullptr) << GetLastError();
  auto waitFor = [&](DWORD state) {
    SERVICE_STATUS s{};
    for (int i = 0; i < 100; ++i) {
      if (QueryServiceStatus(svc, &s) && s.dwCurrentState == state) return true;
      Sleep(50);
    }
    return false;
  };

  ScriptRun run;
  EXPECT_EQ(run.RunText("ASSIGN [RETVAL], 9\nStartService \"PlxScriptTestSvc\"\n"), 0);
  EXPECT_EQ(run.Retval(), 0);
  EXPECT_TRUE(waitFor(SERVICE_RUNNING));
  EXPECT_EQ(run.RunText("StartService \"PlxScriptTestSvc\"\n"), 0);
  EXPECT_EQ(run.Retval(), int32_t(ERROR_SERVICE_ALREADY_RUNNING));
  EXPECT_EQ(run.RunText("StopService \"PlxScriptTestSvc\"\n"), 0);
  EXPECT_EQ(run.Retval(), 0);
  EXPECT_TRUE(waitFor(SERVICE_STOPPED));
  EXPECT_EQ(run.RunText("StopService \"PlxScriptTestSvc\"\n"), 0);
  EXPECT_EQ(run.Retval(), int32_t(ERROR_SERVICE_NOT_ACTIVE));
  EXPECT_EQ(run.RunText("StartService \"PlxNoSuchService\"\n"), 0);
  EXPECT_EQ(run.Retval(), int32_t(ERROR_SERVICE_DOES_NOT_EXIST));
  EXPECT_EQ(run.RunText("StopService\n"), -1);
  EXPECT_EQ(run.Retval(), 207);

  DeleteService(svc);
  CloseServiceHandle(svc);
  CloseServiceHandle(scm);
}
