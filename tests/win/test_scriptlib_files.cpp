// The file functions on real files through compiled scripts: each case lays out a folder,
// runs one script and compares the whole folder afterwards, worked out by hand. With the
// package journalling, the journal's lines and a rollback that puts every byte back.
#include <stdio.h>

#include <map>
#include <string>
#include <vector>

#include "agent_codes.h"
#include "name_template.h"
#include "run_state.h"
#include "script_test_support.h"
#include "undo_journal.h"

namespace {

using scripttest::ScriptRun;
using testsupport::ReadWholeFile;
using testsupport::RemoveTree;

constexpr char kRoot[] = "C:\\PLXFILETEST";
constexpr char kJournal[] = "C:\\PLXUNDO.CFG";
constexpr char kSave[] = "C:\\PLXUNDO.SAV";
constexpr char kDirMark[] = "<dir>";
// Attributes a tree entry shows, as a prefix of its bytes: "R " read-only, "H " hidden, "S "
// system. A layout is written the same way.
const std::pair<DWORD, const char*> kShown[] = {
    {FILE_ATTRIBUTE_READONLY, "R "}, {FILE_ATTRIBUTE_HIDDEN, "H "}, {FILE_ATTRIBUTE_SYSTEM, "S "}};

using Tree = std::map<std::string, std::string>;  // path under the root -> bytes or <dir>

std::string At(const std::string& name) { return std::string(kRoot) + "\\" + name; }


void Lay(const Tree& tree) {
  CreateDirectoryA(kRoot, nullptr);
  for (const auto& [name, value] : tree) {  // a folder sorts before what is in it
    std::string bytes = value;
    DWORD attributes = 0;
    for (const auto& [bit, mark] : kShown)
      if (bytes.rfind(mark, 0) == 0) attributes |= bit, bytes.erase(0, 2);
    if (bytes == kDirMark) {
      CreateDirectoryA(At(name).c_str(), nullptr);
    } else {
      FILE* f = fopen(At(name).c_str(), "wb");
      ASSERT_NE(f, nullptr) << name;
      fwrite(bytes.data(), 1, bytes.size(), f);
      fclose(f);
    }
    if (attributes) SetFileAttributesA(At(name).c_str(), attributes);
  }
}

void Snap(const std::string& dir, const std::string& prefix, Tree& tree) {
  WIN32_FIND_DATAA fd;
  HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return;
  do {
    std::string name = fd.cFileName, path = dir + "\\" + name;
    if (name == "." || name == "..") continue;
    std::string shown;
    for (const auto& [bit, mark] : kShown)
      if (fd.dwFileAttributes & bit) shown += mark;
    bool isDir = fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
    tree[prefix + name] = shown + (isDir ? std::string(kDirMark) : ReadWholeFile(path));
    if (isDir) Snap(path, prefix + name + "\\", tree);
  } while (FindNextFileA(h, &fd));
  FindClose(h);
}
Tree Snap() {
  Tree tree;
  Snap(kRoot, "", tree);
  return tree;
}

void CleanAll() {
  RemoveTree(kRoot);
  RemoveTree(kSave);
  DeleteFileA(kJournal);
}

class ScriptFiles : public ::testing::Test {
 protected:
  void SetUp() override { CleanAll(); }
  void TearDown() override { CleanAll(); }
};

// Every script starts with [F] defined for FINDFILE; %D stands for the case's folder.
std::string Script(std::string body) {
  for (size_t at; (at = body.find("%D")) != std::string::npos;) body.replace(at, 2, kRoot);
  return "DEFINE \"[F]\", S\n" + body;
}

const Tree kTwoSources = {{"SRC", kDirMark}, {"SRC\\A.TXT", "a"}, {"SRC\\B.DOC", "b"},
                          {"SRC\\SUB", kDirMark}, {"DST", kDirMark}};

}  // namespace

TEST(NameTemplate, DosRule) {
  const struct {
    const char *source, *pattern, *expected;
  } cases[] = {
      {"README.TXT", "????????.BAK", "README.BAK"},
      {"LETTER.DOC", "??????01.???", "LETTER01.DOC"},
      {"FILE.C", "????.C??", "FILE.C"},
      {"README.TXT", "*.BAK", "README.BAK"},
      {"README.TXT", "NEW.*", "NEW.TXT"},
      {"README.TXT", "*.*", "README.TXT"},
      {"README.TXT", "PLAIN.DAT", "PLAIN.DAT"},  // no wildcard: the template itself
      {"MAKEFILE", "*.BAK", "MAKEFILE"},         // no dot in the source: no extension
      {"XYZ.DOC", "A*Q.*", "AYZ.DOC"},           // '*' ends the template's base
      {"README.TXT", "?.*", "R.TXT"},            // a shorter template keeps its own characters
      {"README.TXT", "*.B", "README.B"},
      {"A.TXT", "X??.*", "X.TXT"},
      {"LONGFILENAME.TXT", "*.BAK", "LONGFILENAME.BAK"},  // a lone '*' keeps the base whole
      {"LONGFILENAME.TXT", "????????*.BAK", "LONGFILE.BAK"},  // a built base is cut to eight
      {".PROFILE", "*.BAK", ".BAK"},
  };
  for (const auto& c : cases) {
    char out[MAX_PATH];
    ASSERT_TRUE(ApplyNameTemplate(c.source, c.pattern, out)) << c.source;
    EXPECT_STREQ(out, c.expected) << c.source << " " << c.pattern;
  }
  char small[4];
  EXPECT_FALSE(ApplyNameTemplate("README.TXT", "*.*", small));
  EXPECT_STREQ(small, "");
}

TEST_F(ScriptFiles, EachFunctionOnRealFiles) {
  const Tree three = {{"A.TXT", "a"}, {"B.TXT", "b"}, {"C.TXT", "c"}};
  const Tree tree = {{"T", kDirMark}, {"T\\X.TXT", "R x"}, {"T\\SUB", kDirMark}, {"T\\SUB\\DEEP", kDirMark},
                     {"T\\SUB\\DEEP\\Y.TXT", "y"}, {"T\\SUB\\Z.TXT", "R z"}};
  const struct Case {
    const char* name;
    Tree before;
    std::string body;
    int result;
    int32_t retval;
    Tree after;
    const char* shown = nullptr;  // in the results box
    const char* found = nullptr;  // [F] afterwards
  } cases[] = {
      {"copy without a match", kTwoSources, "COPY \"%D\\SRC\", \"*.EXE\", \"%D\\DST\"\n", 0, 2, kTwoSources},
      {"copy with an empty template keeps the names", kTwoSources,
       "COPY \"%D\\SRC\", \"*.*\", \"%D\\DST\", NULL\n", 0, 0,
       {{"SRC", kDirMark}, {"SRC\\A.TXT", "a"}, {"SRC\\B.DOC", "b"}, {"SRC\\SUB", kDirMark}, {"DST", kDirMark},
        {"DST\\A.TXT", "a"}, {"DST\\B.DOC", "b"}}},
      {"copy with *.BAK changes every extension", kTwoSources, "COPY \"%D\\SRC\", \"*\", \"%D\\DST\", \"*.BAK\"\n",
       0, 0,
       {{"SRC", kDirMark}, {"SRC\\A.TXT", "a"}, {"SRC\\B.DOC", "b"}, {"SRC\\SUB", kDirMark}, {"DST", kDirMark},
        {"DST\\A.BAK", "a"}, {"DST\\B.BAK", "b"}}},
      {"copy into a missing folder", kTwoSources, "COPY \"%D\\SRC\", \"A.TXT\", \"%D\\NONE\"\n", 0, 3, kTwoSources},
      {"mdir", {}, "MDIR \"%D\", \"NEW\"\n", 0, 0, {{"NEW", kDirMark}}},
      {"mdir of an existing folder", {{"NEW", kDirMark}}, "MDIR \"%D\", \"NEW\"\n", 0, 17, {{"NEW", kDirMark}}},
      {"mdir under a missing parent", {}, "MDIR \"%D\\NONE\", \"NEW\"\n", 0, 2, {}},
      {"deletefile", {{"A.TMP", "a"}, {"B.TMP", "b"}, {"C.TXT", "c"}}, "DELETEFILE \"%D\", \"*.TMP\"\n", 0, 0,
       {{"C.TXT", "c"}}},
      {"deletefile without a match", three, "DELETEFILE \"%D\", \"*.TMP\"\n", 0, 2, three},
      {"deletefile of a read-only file", {{"A.TMP", "R a"}}, "DELETEFILE \"%D\", \"*.TMP\"\n", 0, 13,
       {{"A.TMP", "R a"}}},
      {"deletedir of a full folder", tree, "DELETEDIR \"%D\", \"T\"\n", 0, 41, tree},
      {"deletedir all", tree, "DELETEDIR \"%D\", \"T\", all\n", 0, 0, {}},
      {"deletedir with a trailing dot", {{"SUBDIR", kDirMark}}, "DELETEDIR \"%D\", \"SUBDIR.\"\n", 0, 0, {}},
      {"deletedir of a missing folder", {}, "DELETEDIR \"%D\", \"NONE\", ALL\n", 0, 2, {}},
      {"findfile", {{"AA", kDirMark}, {"AB.TXT", "x"}}, "FINDFILE \"%D\", \"A*\", [F]\n", 0, 0,
       {{"AA", kDirMark}, {"AB.TXT", "x"}}, nullptr, "AB.TXT"},
      {"findfile never a folder", {{"AA", kDirMark}}, "FINDFILE \"%D\", \"A*\", [F]\n", 0, -1, {{"AA", kDirMark}},
       nullptr, ""},
      {"findfile into an undefined variable", {}, "FINDFILE \"%D\", \"A*\", [G]\n", -1, 208, {}},
      {"attrib RO on three files", three, "ATTRIB \"%D\", \"*.TXT\", RO\n", 0, 0,
       {{"A.TXT", "R a"}, {"B.TXT", "R b"}, {"C.TXT", "R c"}}},
      {"attrib RW", {{"A.TXT", "R a"}}, "ATTRIB \"%D\", \"A.TXT\", RW\n", 0, 0, {{"A.TXT", "a"}}},
      {"attrib H and SY", three, "ATTRIB \"%D\", \"A.TXT\", Hx\nATTRIB \"%D\", \"B.TXT\", SYS\n", 0, 0,
       {{"A.TXT", "H a"}, {"B.TXT", "S b"}, {"C.TXT", "c"}}},
      {"attrib -H and -SY", {{"A.TXT", "H a"}, {"B.TXT", "S b"}},
       "ATTRIB \"%D\", \"A.TXT\", -H\nATTRIB \"%D\", \"B.TXT\", -SY\n", 0, 0, {{"A.TXT", "a"}, {"B.TXT", "b"}}},
      {"attrib -SY must be whole", {{"B.TXT", "S b"}}, "ATTRIB \"%D\", \"B.TXT\", -SYS\n", -1, 210, {{"B.TXT", "S b"}}},
      {"attrib R alone", three, "ATTRIB \"%D\", \"*.TXT\", R\n", -1, 210, three,
       "ERROR 0210: Invalid option passed in function: ATTRIB."},
      {"attrib options are case-sensitive", three, "ATTRIB \"%D\", \"*.TXT\", ro\n", -1, 210, three},
      {"attrib without a match", three, "ATTRIB \"%D\", \"*.EXE\", RO\n", 0, 2, three},
      {"attrib without an option", three, "ATTRIB \"%D\", \"*.TXT\"\n", -1, 207, three},
      {"attrib SH on a shareable file", three, "ATTRIB \"%D\", \"A.TXT\", SH\n", 0, 0, three},
      {"attrib -SH on a read-only file", {{"A.TXT", "R a"}}, "ATTRIB \"%D\", \"A.TXT\", -SH\n", 0, 5,
       {{"A.TXT", "R a"}}},
      {"rename", three, "RENAME \"%D\", \"*.TXT\", \"%D\", \"*.OLD\"\n", 0, 0,
       {{"A.OLD", "a"}, {"B.OLD", "b"}, {"C.OLD", "c"}}},
      {"rename into another folder", {{"A.TXT", "a"}, {"D", kDirMark}}, "RENAME \"%D\", \"A.TXT\", \"%D\\D\", \"N.*\"\n",
       0, 0, {{"D", kDirMark}, {"D\\N.TXT", "a"}}},
      {"rename onto an existing file", {{"A.TXT", "a"}, {"B.TXT", "b"}},
       "RENAME \"%D\", \"A.TXT\", \"%D\", \"B.TXT\"\n", 0, 17, {{"A.TXT", "a"}, {"B.TXT", "b"}}},
      {"rename without a match", three, "RENAME \"%D\", \"*.EXE\", \"%D\", \"*.OLD\"\n", 0, 2, three},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CleanAll();
    Lay(c.before);
    ScriptRun run;
    EXPECT_EQ(run.RunText(Script(c.body)), c.result);
    EXPECT_EQ(run.Retval(), c.retval);
    EXPECT_EQ(Snap(), c.after);
    if (c.shown) {
      EXPECT_NE(run.Shown().find(c.shown), std::string::npos) << run.Shown();
    }
    if (c.found) {
      EXPECT_EQ(ScriptRun::String("[F]"), c.found);
    }
  }
}

TEST_F(ScriptFiles, CopyShowsEachFile) {
  static std::vector<std::string> calls;
  calls.clear();
  Lay({{"SRC", kDirMark}, {"SRC\\A.TXT", "a"}, {"DST", kDirMark}});
  ScriptRun run;
  StatusWindow spy = *CurrentStatusWindow();
  spy.showFileStatus = [](const char* action, const char* from, const char* to) {
    calls.push_back(std::string(action ? action : "-") + "|" + (from ? from : "-") + "|" + (to ? to : "-"));
  };
  const StatusWindow* before = CurrentStatusWindow();
  SetStatusWindow(&spy);
  EXPECT_EQ(run.RunText(Script("COPY \"%D\\SRC\", \"*.TXT\", \"%D\\DST\", \"*.OUT\"\n")), 0);
  SetStatusWindow(before);
  EXPECT_EQ(calls, (std::vector<std::string>{"Copying:|-|-",
                                             "Copying:|" + At("SRC\\A.TXT") + "|" + At("DST\\A.OUT"), "-|-|-"}));
}

TEST_F(ScriptFiles, JournalledChangesRollBack) {
  const Tree before = {{"SRC", kDirMark}, {"SRC\\A.TXT", "new"}, {"DST", kDirMark}, {"DST\\A.BAK", "old"},
                       {"T", kDirMark}, {"T\\X.TXT", "R x"}, {"T\\SUB", kDirMark}, {"T\\SUB\\Y.TXT", "y"},
                       {"DEL.TMP", "d"}, {"REN.TXT", "r"}, {"ATT.TXT", "t"}};
  Lay(before);
  ScriptRun run;
  gContext.currentPackage.Options = kOptionJournal;
  ASSERT_EQ(UndoInit(), 0);
  ASSERT_EQ(run.RunText(Script("COPY \"%D\\SRC\", \"A.TXT\", \"%D\\DST\", \"*.BAK\"\n"
                               "MDIR \"%D\", \"NEW\"\n"
                               "DELETEFILE \"%D\", \"DEL.TMP\"\n"
                               "DELETEDIR \"%D\", \"T\", ALL\n"
                               "RENAME \"%D\", \"REN.TXT\", \"%D\\DST\", \"REN.OUT\"\n"
                               "ATTRIB \"%D\", \"ATT.TXT\", RO\n")),
            0);
  EXPECT_EQ(ReadWholeFile(kJournal),
            "4=C:\\PLXFILETEST\\ATT.TXT,0x00000020\r\n"
            "6=C:\\PLXFILETEST\\REN.TXT,C:\\PLXFILETEST\\DST\\REN.OUT\r\n"
            "3=C:\\PLXFILETEST\\T\r\n"
            "2=C:\\PLXFILETEST\\T\\X.TXT,C:\\PLXUNDO.SAV\\X.000\r\n"
            "4=C:\\PLXFILETEST\\T\\X.TXT,0x00000021\r\n"
            "3=C:\\PLXFILETEST\\T\\SUB\r\n"
            "2=C:\\PLXFILETEST\\T\\SUB\\Y.TXT,C:\\PLXUNDO.SAV\\Y.000\r\n"
            "2=C:\\PLXFILETEST\\DEL.TMP,C:\\PLXUNDO.SAV\\DEL.000\r\n"
            "5=C:\\PLXFILETEST\\NEW\r\n"
            "1=C:\\PLXFILETEST\\DST\\A.BAK\r\n"
            "6=C:\\PLXFILETEST\\DST\\A.BAK,C:\\PLXUNDO.SAV\\A.000\r\n");
  EXPECT_EQ(Snap(), (Tree{{"SRC", kDirMark}, {"SRC\\A.TXT", "new"}, {"DST", kDirMark}, {"DST\\A.BAK", "new"},
                          {"DST\\REN.OUT", "r"}, {"NEW", kDirMark}, {"ATT.TXT", "R t"}}));
  EXPECT_EQ(UndoRollback(), 0);
  EXPECT_EQ(Snap(), before);
}

// A path with a comma cannot go into the journal: the record fails, the function stops at
// that change and the script fails.
TEST_F(ScriptFiles, UnrecordedChangeFailsTheScript) {
  const struct {
    const char* body;
    const char* function;
    Tree before, after;
  } cases[] = {
      {"COPY \"%D\", \"A.TXT\", \"%D\\D,E\"\n", "COPY", {{"A.TXT", "a"}, {"D,E", kDirMark}},
       {{"A.TXT", "a"}, {"D,E", kDirMark}}},
      {"MDIR \"%D\", \"D,E\"\n", "MDIR", {}, {{"D,E", kDirMark}}},
      {"DELETEFILE \"%D\", \"*.TXT\"\n", "DELETEFILE", {{"A,B.TXT", "a"}}, {{"A,B.TXT", "a"}}},
      {"DELETEDIR \"%D\", \"T\", ALL\n", "DELETEDIR", {{"T", kDirMark}, {"T\\A,B.TXT", "a"}},
       {{"T", kDirMark}, {"T\\A,B.TXT", "a"}}},
      {"DELETEDIR \"%D\", \"D,E\"\n", "DELETEDIR", {{"D,E", kDirMark}}, {}},
      {"RENAME \"%D\", \"A.TXT\", \"%D\", \"A,B.TXT\"\n", "RENAME", {{"A.TXT", "a"}}, {{"A,B.TXT", "a"}}},
      {"ATTRIB \"%D\", \"*.TXT\", RO\n", "ATTRIB", {{"A,B.TXT", "a"}}, {{"A,B.TXT", "a"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    CleanAll();
    Lay(c.before);
    ScriptRun run;
    gContext.currentPackage.Options = kOptionJournal;
    ASSERT_EQ(UndoInit(), 0);
    EXPECT_EQ(run.RunText(Script(c.body)), -1);
    EXPECT_EQ(Snap(), c.after);
    const std::string shown = run.Shown();
    EXPECT_NE(shown.find("ERROR 0134: Undo was unable to add an undo file entry."), std::string::npos) << shown;
    EXPECT_NE(shown.find(std::string("ERROR 0158: Undo failed in function: ") + c.function), std::string::npos);
  }
}
