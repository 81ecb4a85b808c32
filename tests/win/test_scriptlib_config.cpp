// The start-up file functions as scripts run them on a real CONFIG.SYS: each case selects
// the file, runs one function and compares [RETVAL] and the file's bytes with what was
// worked out by hand.
#include <errno.h>

#include <string>

#include "agent_codes.h"
#include "script_test_support.h"
#include "undo_journal.h"

namespace {

using scripttest::ScriptRun;
using testsupport::ReadWholeFile;

const std::string kAutoexecHead = "@ECHO OFF\r\nrem\tPATH=C:\\OLD\r\nSET PATH=C:\\DOS;C:\\WIN;C:\\UTIL\r\n\r\n";
const std::string kAutoexec = kAutoexecHead + "LH MOUSE\r\n";
const char kConfig[] =
    "REM config\r\n; FILES=99\r\nFILES = 30\r\n\r\nDEVICE=A.SYS /X /Z\r\nSHELL=C:\\COMMAND.COM /P\r\n";

// kAutoexec with its third line replaced.
std::string PathLine(const std::string& line) {
  return "@ECHO OFF\r\nrem\tPATH=C:\\OLD\r\n" + line + "\r\n\r\nLH MOUSE\r\n";
}
// kConfig with one line replaced (index from 0; an empty text removes it).
std::string ConfigWith(int index, const std::string& line) {
  const char* lines[] = {"REM config", "; FILES=99", "FILES = 30", "", "DEVICE=A.SYS /X /Z", "SHELL=C:\\COMMAND.COM /P"};
  std::string out;
  for (int i = 0; i < 6; ++i) {
    if (i == index && line.empty()) continue;
    out += (i == index ? line : lines[i]) + "\r\n";
  }
  return out;
}

struct Case {
  std::string body;
  std::string before;
  int32_t retval;
  std::string after;      // empty: the file as it was
  int result = 0;         // RunScript's
  const char* s = "old";  // [S] afterwards
  int32_t n = 7;          // [N] afterwards
};

const char kPrelude[] = "DEFINE \"[S]\", S\nDEFINE \"[N]\", I\nSTRCOPY [S], \"old\"\nASSIGN [N], 7\n";

std::string Select(const ScriptRun& run, const char* name = "CONFIG.SYS") {
  return std::string(kPrelude) + "SETSYSFILE \"" + run.dir.Path() + "\", \"" + name + "\"\n";
}

// The folder holds the script and the file only: no temporary file was left behind.
int FilesIn(const std::string& dir) {
  WIN32_FIND_DATAA fd;
  HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &fd);
  int n = 0;
  if (h == INVALID_HANDLE_VALUE) return 0;
  do n += (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? 0 : 1;
  while (FindNextFileA(h, &fd));
  FindClose(h);
  return n;
}

}  // namespace

TEST(ConfigFunctions, EachFunctionOnARealFile) {
  // "DEVICE=" and 247 characters make the longest line there is room for.
  const std::string fits(247, 'd'), tooLong(248, 'd');
  const Case cases[] = {
      // The placement keyword: raw, upper case, fetched last.
      {"ADDLINE \"x\", \"\", before\n", kAutoexec, 210, "", -1},
      {"ADDLINE \"x\", \"\", \"BEFORE\"\n", kAutoexec, 210, "", -1},
      {"ADDDEVICE \"x.sys\", NULL, `BEFORE `\n", kAutoexec, 210, "", -1},
      {"ADDLINE \"x\", \"\"\n", kAutoexec, 207, "", -1},
      {"ADDLINE [NOPE], \"\", FOO\n", kAutoexec, 208, "", -1},  // parameters before the keyword
      // ADDPATH: the rem line is a comment, the SET PATH line holds the list.
      {"ADDPATH \"PATH\", \"c:\\new\", \"C:\\WIN\", BEFORE\n", kAutoexec, 0,
       PathLine("SET PATH=C:\\DOS;C:\\NEW;C:\\WIN;C:\\UTIL")},
      // After the anchor, the entry that held it is written as the anchor was given.
      {"ADDPATH \"PATH\", \"c:\\new\", \"c:\\win\", AFTER\n", kAutoexec, 0,
       PathLine("SET PATH=C:\\DOS;c:\\win;C:\\NEW;C:\\UTIL")},
      {"ADDPATH \"PATH\", \"c:\\new\", \"C:\\X\", BEFORE\n", kAutoexec, 0,
       PathLine("SET PATH=C:\\NEW;C:\\DOS;C:\\WIN;C:\\UTIL")},
      {"ADDPATH \"PATH\", \"c:\\new\", NULL, AFTER\n", kAutoexec, 0,
       PathLine("SET PATH=C:\\DOS;C:\\WIN;C:\\UTIL;C:\\NEW")},
      {"ADDPATH \"PATH\", \"c:\\dos\", NULL, BEFORE\n", kAutoexec, 0,
       PathLine("SET PATH=C:\\DOS;C:\\DOS;C:\\WIN;C:\\UTIL")},
      {"ADDPATH \"path\", \"c:\\new\", \"\", AFTER\n", "@ECHO OFF\r\n", 0, "SET PATH=C:\\NEW\r\n@ECHO OFF\r\n"},
      {"ADDPATH \"PATH\", \"c:\\new\", \"\", BEFORE\n", "PATH = \r\n", 0, "PATH =C:\\NEW;\r\n"},
      // ADDLINE: beside the anchor's line, else at the start or the end.
      {"ADDLINE \"lh share\", \"\", AFTER\n", kAutoexec, 0, kAutoexec + "LH SHARE\r\n"},
      {"ADDLINE \"lh share\", \"NOTHERE\", AFTER\n", kAutoexec, 0, kAutoexec + "LH SHARE\r\n"},
      {"ADDLINE \"lh share\", \"\", BEFORE\n", kAutoexec, 0, "LH SHARE\r\n" + kAutoexec},
      {"ADDLINE \"lh share\", \"mouse\", BEFORE\n", kAutoexec, 0,
       kAutoexecHead + "LH SHARE\r\nLH MOUSE\r\n"},
      {"ADDLINE \"lh share\", \"echo\", AFTER\n", kAutoexec, 0,
       "@ECHO OFF\r\nLH SHARE" + kAutoexec.substr(9)},
      {"ADDLINE \"x\", \"\", AFTER\n", "A\r\nB", 0, "A\r\nB\r\nX\r\n"},
      // ADDDEVICE: "DEVICE=" and the driver, upper-cased; the comment line is no anchor.
      {"ADDDEVICE \"c:\\dos\\himem.sys\", \"\", BEFORE\n", kConfig, 0,
       "DEVICE=C:\\DOS\\HIMEM.SYS\r\n" + std::string(kConfig)},
      {"ADDDEVICE \"emm386.exe noems\", \"files\", AFTER\n", kConfig, 0,
       ConfigWith(2, "FILES = 30\r\nDEVICE=EMM386.EXE NOEMS")},
      {"ADDDEVICE \"" + fits + "\", \"\", AFTER\n", "A\r\n", 0, "A\r\nDEVICE=" + std::string(247, 'D') + "\r\n"},
      {"ADDDEVICE \"" + tooLong + "\", \"\", AFTER\n", "A\r\n", ERANGE, ""},
      // REPLACELINE and REPLACELINEADD.
      {"REPLACELINE \"mouse\", NULL\n", kAutoexec, 0, kAutoexecHead},
      {"REPLACELINE \"files\", \"files=40\"\n", kConfig, 0, ConfigWith(2, "FILES=40")},
      {"REPLACELINE \"nothere\", \"x\"\n", kConfig, -2, ""},
      {"REPLACELINEADD \"nothere\", \"lastdrive=z\", AFTER\n", kConfig, 0, std::string(kConfig) + "LASTDRIVE=Z\r\n"},
      {"REPLACELINEADD \"nothere\", \"lastdrive=z\", BEFORE\n", kConfig, 0, "LASTDRIVE=Z\r\n" + std::string(kConfig)},
      {"REPLACELINEADD \"shell\", \"shell=x\", BEFORE\n", kConfig, 0, ConfigWith(5, "SHELL=X")},
      // CFGSETSTRING and CFGSETVALUE: the value replaced, spacing and key as written.
      {"CFGSETSTRING \"BUFFERS\", \"40\"\n", kConfig, -2, ""},
      {"CFGSETSTRING \"files\", \"40\"\n", kConfig, 0, ConfigWith(2, "FILES = 40")},
      {"CFGSETSTRING \"SHELL\", \"c:\\command.com\"\n", kConfig, 0, ConfigWith(5, "SHELL=C:\\COMMAND.COM")},
      {"CFGSETVALUE \"files\", -5\n", kConfig, 0, ConfigWith(2, "FILES = -5")},
      {"CFGSETVALUE \"Files\", 40\n", "Files=\r\n", 0, "Files=40\r\n"},
      {"CFGSETVALUE \"files\", [S]\n", kConfig, 208, "", -1},
      // CFGGETVALUE and CFGGETSTRING.
      {"CFGGETVALUE \"FILES\", [N]\n", kConfig, 0, "", 0, "old", 30},
      {"CFGGETVALUE \"DEVICE\", [N]\n", kConfig, 0, "", 0, "old", 0},
      {"CFGGETVALUE \"BUFFERS\", [N]\n", kConfig, -2, "", 0, "old", 7},
      {"CFGGETVALUE \"FILES\", [S]\n", kConfig, 208, "", -1},
      {"CFGGETSTRING \"shell\", [S]\n", kConfig, 0, "", 0, "C:\\COMMAND.COM /P"},
      {"CFGGETSTRING \"BUFFERS\", [S]\n", kConfig, -2, "", 0, ""},
      {"CFGGETSTRING \"SHELL\", [N]\n", kConfig, 208, "", -1},
      // REPLACEKEY: the token swapped, deleted with a short new token, or added at the end.
      {"REPLACEKEY \"DEVICE\", \"/X\", \"/y\"\n", kConfig, 0, ConfigWith(4, "DEVICE=A.SYS /Y /Z")},
      {"REPLACEKEY \"DEVICE\", \"/x\", NULL\n", kConfig, 0, ConfigWith(4, "DEVICE=A.SYS /Z")},
      {"REPLACEKEY \"DEVICE\", \"/Q\", \"/q\"\n", kConfig, 0, ConfigWith(4, "DEVICE=A.SYS /X /Z /Q")},
      {"REPLACEKEY \"BUFFERS\", \"/X\", \"/Y\"\n", kConfig, -2, ""},
      // SETSYSFILE: no file by that name, or a directory.
      {"SETSYSFILE \"C:\\\", \"NOFILE.SYS\"\n", kConfig, 2, ""},
      {"SETSYSFILE \"C:\\\", \"WINDOWS\"\n", kConfig, 2, ""},
      {"SETSYSFILE \"C:\\CONFIG.SYS\"\n", kConfig, 207, "", -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    ScriptRun run;
    run.dir.Write("CONFIG.SYS", c.before);
    EXPECT_EQ(run.RunText(Select(run) + c.body), c.result) << run.Shown();
    EXPECT_EQ(run.Retval(), c.retval);
    EXPECT_EQ(ReadWholeFile(run.dir.File("CONFIG.SYS")), c.after.empty() ? c.before : c.after);
    EXPECT_EQ(ScriptRun::String("[S]"), c.s);
    EXPECT_EQ(ScriptRun::Int("[N]"), c.n);
    EXPECT_EQ(FilesIn(run.dir.Path()), 2);
  }
}

TEST(ConfigFunctions, ReadOnlyFileIsLeftAlone) {
  const char* bodies[] = {
      "ADDPATH \"PATH\", \"c:\\new\", \"\", BEFORE\n",  "ADDPATH \"NOKEY\", \"c:\\new\", \"\", BEFORE\n",
      "ADDLINE \"x\", \"\", AFTER\n",                    "ADDLINE \"x\", \"mouse\", BEFORE\n",
      "ADDLINE \"x\", \"nothere\", BEFORE\n",            "REPLACELINE \"mouse\", \"x\"\n",
      "ADDDEVICE \"x.sys\", \"echo\", AFTER\n",          "CFGSETSTRING \"PATH\", \"x\"\n",
      "CFGSETVALUE \"PATH\", 1\n",                       "REPLACEKEY \"PATH\", \"C:\\DOS\", \"C:\\D\"\n",
      "REPLACELINEADD \"nothere\", \"x\", AFTER\n",
  };
  for (const char* body : bodies) {
    SCOPED_TRACE(body);
    ScriptRun run;
    run.dir.Write("CONFIG.SYS", kAutoexec);
    std::string path = run.dir.File("CONFIG.SYS");
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(run.RunText(Select(run) + body), 0);
    EXPECT_EQ(run.Retval(), 5);
    EXPECT_EQ(ReadWholeFile(path), kAutoexec);
    EXPECT_EQ(GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_READONLY, DWORD(FILE_ATTRIBUTE_READONLY));
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(FilesIn(run.dir.Path()), 2);
  }
}

TEST(ConfigFunctions, SelectionOutlivesTheScriptAndIsJournalledOnce) {
  ScriptRun run;
  run.dir.Write("CONFIG.SYS", kConfig);
  const std::string path = run.dir.File("CONFIG.SYS");
  gContext.currentPackage.Options = kOptionJournal;
  ASSERT_EQ(UndoInit(), 0);
  ASSERT_EQ(run.RunText(Select(run) + "CFGSETVALUE \"FILES\", 40\n"), 0);
  // A later script edits the file selected last without selecting it; selecting it again
  // keeps the first saved copy, the one a rollback must bring back.
  ASSERT_EQ(run.RunText("CFGSETVALUE \"FILES\", 50\n"), 0);
  EXPECT_EQ(ReadWholeFile(path), ConfigWith(2, "FILES = 50"));
  ASSERT_EQ(run.RunText(Select(run) + "CFGSETVALUE \"FILES\", 60\n"), 0);
  EXPECT_EQ(ReadWholeFile("C:\\PLXUNDO.CFG"), "0=" + path + ",C:\\PLXUNDO.SAV\\CONFIG.000\r\n");
  EXPECT_EQ(UndoRollback(), 0);
  EXPECT_EQ(ReadWholeFile(path), kConfig);

  // A journal that cannot take the entry: the function fails and the file is not selected
  // any further than its path.
  ASSERT_EQ(UndoInit(), 0);
  SetFileAttributesA("C:\\PLXUNDO.CFG", FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(run.RunText(Select(run)), -1);
  EXPECT_EQ(run.Retval(), 158);
  std::string shown = run.Shown();
  size_t journal = shown.find("ERROR 0134: Undo was unable to add an undo file entry.");
  size_t failed = shown.find("ERROR 0158: Undo failed in function: SETSYSFILE");
  EXPECT_NE(journal, std::string::npos) << shown;
  EXPECT_NE(failed, std::string::npos) << shown;
  EXPECT_LT(journal, failed);
  SetFileAttributesA("C:\\PLXUNDO.CFG", FILE_ATTRIBUTE_NORMAL);
  UndoCommit();
  EXPECT_EQ(ReadWholeFile(path), kConfig);
}
