// Every file-editing script function run in a package that journals its changes, then the
// rollback a failed package ends with: each file must come back byte for byte. Run alone,
// each function proves that it saved the file before changing it; run all in one package,
// files edited several times prove that only the first saved copy is kept and restored.
#include <map>
#include <string>
#include <vector>

#include "agent_codes.h"
#include "script_test_support.h"
#include "undo_journal.h"

namespace {

using scripttest::ScriptRun;
using testsupport::ReadWholeFile;

constexpr char kJournal[] = "C:\\PLXUNDO.CFG";
constexpr char kSaveDir[] = "C:\\PLXUNDO.SAV";

struct Call {
  const char* file;
  const char* function;
  const char* params;  // after the INI file's path for the INI functions
};

// Each function once; CONFIG.SYS, AUTOEXEC.BAT and SYSTEM.INI edited by several.
const Call kCalls[] = {
    {"CONFIG.SYS", "CFGSETSTRING", R"("stacks", "0,0")"},
    {"CONFIG.SYS", "CFGSETVALUE", R"("FILES", 60)"},
    {"AUTOEXEC.BAT", "ADDPATH", R"("PATH", "c:\net", "c:\dos", BEFORE)"},
    {"CONFIGNW.SYS", "ADDLINE", R"("rem end of file", "", AFTER)"},
    {"AUTOEXEC.BAT", "REPLACELINE", R"("SMARTDRV", "")"},
    {"AUTOEXLF.BAT", "REPLACELINEADD", R"("KEYB", "keyb us", BEFORE)"},
    {"CONFIG.SYS", "ADDDEVICE", R"("c:\dos\ansi.sys", "SETVER", BEFORE)"},
    {"AUTOEXNW.BAT", "REPLACEKEY", R"("VLM", "/MX", "/ps=server1")"},
    {"SYSTEM.INI", "WRITEINISTR", R"("boot", "shell", "explorer.exe")"},
    {"LFUNIX.INI", "WRITEINIINT", R"("Startup", "Retries", 3)"},
    {"SYSTEM.INI", "ADDINIMULTIKEY", R"("386Enh", "device", "vshare.386")"},
    {"SYSTEM.INI", "DELINIMULTIKEY", R"("386Enh", "network", "vnetware.386")"},
};

std::string ScriptLine(const ScriptRun& run, const Call& c) {
  if (std::string(c.function).find("INI") != std::string::npos)
    return std::string(c.function) + " \"" + run.dir.File(c.file) + "\", " + c.params + "\n";
  // Selecting the file is what saves it: the editing functions themselves journal nothing.
  return "SETSYSFILE \"" + run.dir.Path() + "\", \"" + c.file + "\"\n" + c.function + " " + c.params + "\n";
}

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class ScriptlibUndo : public ::testing::Test {
 protected:
  void SetUp() override { Clean(); }
  void TearDown() override { Clean(); }
  static void Clean() {
    DeleteFileA(kJournal);
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((std::string(kSaveDir) + "\\*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
      do DeleteFileA((std::string(kSaveDir) + "\\" + fd.cFileName).c_str());
      while (FindNextFileA(h, &fd));
      FindClose(h);
    }
    RemoveDirectoryA(kSaveDir);
  }

  // Runs the calls in one package and rolls it back. Checks that every file was changed,
  // that the journal holds one saved copy per file, and that the rollback restored them all.
  void RunAndRollBack(const std::vector<Call>& calls, const std::string& what) {
    ScriptRun run;
    gContext.currentPackage.Options = kOptionJournal;
    std::map<std::string, std::string> originals;
    for (const Call& c : calls) {
      originals[c.file] = ReadWholeFile(std::string(PLX_WIN_TEST_DATA "/corpus/") + c.file);
      run.dir.Write(c.file, originals[c.file]);
    }
    std::string script;
    for (const Call& c : calls) script += ScriptLine(run, c);
    ASSERT_EQ(UndoInit(), 0) << what;
    EXPECT_EQ(run.RunText(script), 0) << what << "\n" << run.Shown();
    EXPECT_EQ(run.Retval(), 0) << what;
    const std::string journal = ReadWholeFile(kJournal);
    EXPECT_EQ(Count(journal, "0="), int(originals.size())) << what << "\n" << journal;
    for (const auto& [file, bytes] : originals) {
      EXPECT_NE(ReadWholeFile(run.dir.File(file)), bytes) << what << ": " << file << " was not edited";
      EXPECT_EQ(Count(journal, "0=" + run.dir.File(file) + ","), 1) << what << ": " << file << "\n" << journal;
    }
    // What the package loop does when a later task fails.
    EXPECT_EQ(UndoRollback(), 0) << what;
    for (const auto& [file, bytes] : originals) EXPECT_EQ(ReadWholeFile(run.dir.File(file)), bytes) << what << ": " << file;
    EXPECT_EQ(GetFileAttributesA(kJournal), INVALID_FILE_ATTRIBUTES) << what;
    EXPECT_EQ(GetFileAttributesA(kSaveDir), INVALID_FILE_ATTRIBUTES) << what;
  }
};

TEST_F(ScriptlibUndo, EachFunctionAloneIsRolledBack) {
  for (const Call& c : kCalls) RunAndRollBack({c}, std::string(c.function) + " on " + c.file);
}

TEST_F(ScriptlibUndo, FilesEditedSeveralTimesComeBackAsTheyWereBeforeThePackage) {
  RunAndRollBack(std::vector<Call>(std::begin(kCalls), std::end(kCalls)), "all in one package");
}

TEST_F(ScriptlibUndo, AnIniFileWrittenFromNothingIsRemovedByTheRollback) {
  ScriptRun run;
  gContext.currentPackage.Options = kOptionJournal;
  const std::string ini = run.dir.File("NEW.INI");
  ASSERT_EQ(UndoInit(), 0);
  EXPECT_EQ(run.RunText("WRITEINISTR \"" + ini + "\", \"Boot\", \"shell\", \"a.exe\"\n"
                        "WRITEINISTR \"" + ini + "\", \"Boot\", \"shell\", \"b.exe\"\n"),
            0);
  EXPECT_EQ(ReadWholeFile(ini), "[Boot]\r\nshell=b.exe\r\n");
  EXPECT_EQ(UndoRollback(), 0);
  EXPECT_EQ(GetFileAttributesA(ini.c_str()), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
