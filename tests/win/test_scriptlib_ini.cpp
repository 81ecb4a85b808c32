// The INI file functions as scripts run them on real files in a Windows directory of the
// test's own: [RETVAL], the variable read and the file's bytes afterwards, worked by hand.
#include <string>

#include "agent_codes.h"
#include "script_test_support.h"
#include "undo_journal.h"

namespace {

using scripttest::ScriptRun;
using testsupport::ReadWholeFile;

const std::string kIni =
    "; settings\r\n[boot]\r\nshell=progman.exe\r\n\r\n[386Enh]\r\ndevice=a.386\r\nKey = old\r\n"
    "load=a.exe b.exe\r\n[other]\r\nk=1\r\n";

// kIni with its line starting with from replaced by to (empty: removed).
std::string IniWith(const std::string& from, const std::string& to) {
  std::string s = kIni;
  size_t at = s.find(from), end = s.find("\r\n", at) + 2;
  return s.replace(at, end - at, to.empty() ? "" : to + "\r\n");
}

struct Case {
  std::string body;   // %D stands for the Windows directory
  std::string before;  // T.INI; empty: no such file
  int32_t retval;
  std::string after;  // empty: as before
  int result = 0;
  const char* s = "unset";
  int32_t n = 7;
};

std::string Expand(std::string text, const std::string& dir) {
  for (size_t at; (at = text.find("%D")) != std::string::npos;) text.replace(at, 2, dir);
  return text;
}

std::string Prelude(const ScriptRun& run) {
  return "DEFINE \"[WINDIR]\", S\nSTRCOPY [WINDIR], \"" + run.dir.Path() +
         "\"\nDEFINE \"[S]\", S\nDEFINE \"[N]\", I\nSTRCOPY [S], \"unset\"\nASSIGN [N], 7\n";
}

const char kJournal[] = "C:\\PLXUNDO.CFG";

}  // namespace

TEST(IniFunctions, EachFunctionOnARealFile) {
  const Case cases[] = {
      // WRITEINISTR: the file, the section or the key added as needed.
      {"WRITEINISTR \"T.INI\", \"sec\", \"key\", \"Value\"\n", "", 0, "[sec]\r\nkey=Value\r\n"},
      {"WRITEINISTR \"T.INI\", \"extra\", \"a\", \"1\"\n", kIni, 0, kIni + "\r\n[extra]\r\na=1\r\n"},
      {"WRITEINISTR \"T.INI\", \"x\", \"a\", \"1\"\n", "[y]\r\nb=2", 0, "[y]\r\nb=2\r\n\r\n[x]\r\na=1\r\n"},
      {"WRITEINISTR \"T.INI\", \"boot\", \"network\", \"x\"\n", kIni, 0, IniWith("shell=", "network=x\r\nshell=progman.exe")},
      {"WRITEINISTR \"T.INI\", \"386ENH\", \"key\", \"new\"\n", kIni, 0, IniWith("Key = ", "Key = new")},
      {"WRITEINISTR \"T.INI\", \"other\", \"shell\", \"cmd\"\n", kIni, 0, IniWith("k=1", "shell=cmd\r\nk=1")},
      {"WRITEINISTR \"%D\\T.INI\", \"boot\", \"shell\", \"x.exe\"\n", kIni, 0, IniWith("shell=", "shell=x.exe")},
      {"WRITEINIINT \"T.INI\", \"other\", \"k\", -7\n", kIni, 0, IniWith("k=1", "k=-7")},
      {"WRITEINIINT \"T.INI\", \"other\", \"k\", \"5\"\n", kIni, 208, "", -1},
      {"WRITEINISTR \"T.INI\", \"other\", \"k\"\n", kIni, 207, "", -1},
      // GETINISTR and GETINIINT: only inside the section, unless none is given.
      {"GETINISTR \"T.INI\", \"boot\", \"load\", [S]\n", kIni, -2, ""},
      {"GETINISTR \"T.INI\", \"\", \"load\", [S]\n", kIni, 0, "", 0, "a.exe b.exe"},
      {"GETINISTR \"T.INI\", \"386enh\", \"KEY\", [S]\n", kIni, 0, "", 0, "old"},
      {"GETINISTR \"T.INI\", \"nosuch\", \"k\", [S]\n", kIni, -1, ""},
      {"GETINISTR \"%D\\T.INI\", \"other\", \"k\", [S]\n", kIni, 0, "", 0, "1"},
      {"GETINISTR \".\\T.INI\", \"other\", \"k\", [S]\n", kIni, 2, ""},  // as given: not in the Windows directory
      {"GETINISTR \"T.INI\", \"other\", \"k\", [S]\n", "", 2, ""},
      {"GETINISTR \"T.INI\", \"other\", \"k\", [N]\n", kIni, 208, "", -1},
      {"GETINIINT \"T.INI\", \"other\", \"k\", [N]\n", kIni, 0, "", 0, "unset", 1},
      {"GETINIINT \"T.INI\", \"boot\", \"shell\", [N]\n", kIni, 0, "", 0, "unset", 0},
      {"GETINIINT \"T.INI\", \"boot\", \"k\", [N]\n", kIni, -2, ""},
      {"GETINIINT \"T.INI\", \"boot\", \"k\"\n", kIni, 207, "", -1},
      // ADDINIMULTIKEY: upper-cased, under the header even with the key there already.
      {"ADDINIMULTIKEY \"T.INI\", \"386Enh\", \"device\", \"x.386\"\n", kIni, 0,
       IniWith("device=", "DEVICE=X.386\r\ndevice=a.386")},
      {"ADDINIMULTIKEY \"T.INI\", \"new\", \"device\", \"x.386\"\n", kIni, 0, kIni + "DEVICE=X.386\r\n"},
      // DELINIMULTIKEY: the item and the separators after it.
      {"DELINIMULTIKEY \"T.INI\", \"386Enh\", \"load\", \"b.exe\"\n", kIni, 0, IniWith("load=", "load=a.exe ")},
      {"DELINIMULTIKEY \"T.INI\", \"386Enh\", \"load\", \"A.EXE\"\n", kIni, 0, IniWith("load=", "load=b.exe")},
      {"DELINIMULTIKEY \"T.INI\", \"boot\", \"shell\", \"progman.exe\"\n", kIni, 0, IniWith("shell=", "")},
      {"DELINIMULTIKEY \"T.INI\", \"386Enh\", \"load\", \"c.exe\"\n", kIni, 0, ""},
      {"DELINIMULTIKEY \"T.INI\", \"boot\", \"load\", \"a.exe\"\n", kIni, -2, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    ScriptRun run;
    if (!c.before.empty()) run.dir.Write("T.INI", c.before);
    EXPECT_EQ(run.RunText(Prelude(run) + Expand(c.body, run.dir.Path())), c.result) << run.Shown();
    EXPECT_EQ(run.Retval(), c.retval);
    EXPECT_EQ(ReadWholeFile(run.dir.File("T.INI")), c.after.empty() ? c.before : c.after);
    EXPECT_EQ(ScriptRun::String("[S]"), c.s);
    EXPECT_EQ(ScriptRun::Int("[N]"), c.n);
  }
}

TEST(IniFunctions, ReadOnlyFileIsLeftAlone) {
  const struct {
    const char* body;
    int32_t retval;
  } cases[] = {
      {"WRITEINISTR \"T.INI\", \"boot\", \"shell\", \"x\"\n", 5},
      {"WRITEINISTR \"T.INI\", \"boot\", \"nokey\", \"x\"\n", 5},
      {"WRITEINIINT \"T.INI\", \"nosection\", \"k\", 1\n", 5},
      {"DELINIMULTIKEY \"T.INI\", \"386Enh\", \"load\", \"a.exe\"\n", 5},
      // What ADDLINE returned, not what its edit gave.
      {"ADDINIMULTIKEY \"T.INI\", \"386Enh\", \"device\", \"x.386\"\n", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    ScriptRun run;
    run.dir.Write("T.INI", kIni);
    std::string path = run.dir.File("T.INI");
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(run.RunText(Prelude(run) + c.body), 0);
    EXPECT_EQ(run.Retval(), c.retval);
    EXPECT_EQ(ReadWholeFile(path), kIni);
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  }
}

TEST(IniFunctions, WritersAreJournalledAndRolledBack) {
  const char* bodies[] = {
      "WRITEINISTR \"T.INI\", \"boot\", \"shell\", \"x\"\n",
      "WRITEINIINT \"T.INI\", \"other\", \"k\", 2\n",
      "ADDINIMULTIKEY \"T.INI\", \"386Enh\", \"device\", \"x.386\"\n",
      "DELINIMULTIKEY \"T.INI\", \"386Enh\", \"load\", \"a.exe\"\n",
  };
  for (const char* body : bodies) {
    SCOPED_TRACE(body);
    ScriptRun run;
    run.dir.Write("T.INI", kIni);
    run.dir.Write("CONFIG.SYS", "FILES=30\r\n");
    const std::string path = run.dir.File("T.INI");
    gContext.currentPackage.Options = kOptionJournal;
    ASSERT_EQ(UndoInit(), 0);
    // The multi-key functions borrow the selected file's path and give it back.
    std::string script = Prelude(run) + "SETSYSFILE \"" + run.dir.Path() + "\", \"CONFIG.SYS\"\n" + body + body +
                         "CFGGETSTRING \"FILES\", [S]\n";
    ASSERT_EQ(run.RunText(script), 0) << run.Shown();
    EXPECT_EQ(ScriptRun::String("[S]"), "30");
    EXPECT_NE(ReadWholeFile(path), kIni);
    // Newest on top; the second call found the file journalled already.
    EXPECT_EQ(ReadWholeFile(kJournal), "0=" + path + ",C:\\PLXUNDO.SAV\\T.000\r\n0=" + run.dir.File("CONFIG.SYS") +
                                           ",C:\\PLXUNDO.SAV\\CONFIG.000\r\n");
    EXPECT_EQ(UndoRollback(), 0);
    EXPECT_EQ(ReadWholeFile(path), kIni);

    // A journal that cannot take the entry stops the function before the file changes.
    ASSERT_EQ(UndoInit(), 0);
    SetFileAttributesA(kJournal, FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(run.RunText(Prelude(run) + body), -1);
    EXPECT_EQ(run.Retval(), 158);
    EXPECT_NE(run.Shown().find("ERROR 0158: Undo failed in function: "), std::string::npos) << run.Shown();
    EXPECT_EQ(ReadWholeFile(path), kIni);
    SetFileAttributesA(kJournal, FILE_ATTRIBUTE_NORMAL);
    UndoCommit();
  }
}
