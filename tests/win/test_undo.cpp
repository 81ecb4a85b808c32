// The undo journal on real files of the boot drive: the journal's lines, commit and rollback
// of every kind, and every file operation of a record, commit and rollback failed in turn.
#include <gtest/gtest.h>
#include <stdio.h>
#include <windows.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "text_file_ops.h"
#include "undo_journal.h"
#include "win_test_support.h"

namespace {

using testsupport::ReadWholeFile;
using testsupport::RemoveTree;

constexpr char kDir[] = "C:\\PLXUNDOTEST";
constexpr char kJournal[] = "C:\\PLXUNDO.CFG";
constexpr char kSave[] = "C:\\PLXUNDO.SAV";
constexpr DWORD kRo = FILE_ATTRIBUTE_READONLY, kHidden = FILE_ATTRIBUTE_HIDDEN;
constexpr DWORD kShownAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                   FILE_ATTRIBUTE_DIRECTORY;

std::string In(const std::string& name) { return std::string(kDir) + "\\" + name; }

void Put(const std::string& path, const std::string& bytes, DWORD attributes = 0) {
  SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr) << path;
  fwrite(bytes.data(), 1, bytes.size(), f);
  fclose(f);
  if (attributes) SetFileAttributesA(path.c_str(), attributes);
}


// Every entry under dir: name -> attributes shown and bytes ("<dir>" for a folder).
using Tree = std::map<std::string, std::string>;
void Snap(const std::string& dir, const std::string& prefix, Tree& tree) {
  WIN32_FIND_DATAA fd;
  HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return;
  do {
    std::string name = fd.cFileName, path = dir + "\\" + name;
    if (name == "." || name == "..") continue;
    char attributes[16];
    snprintf(attributes, sizeof attributes, "%02lX:", fd.dwFileAttributes & kShownAttributes);
    bool isDir = fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
    tree[prefix + name] = attributes + (isDir ? std::string("<dir>") : ReadWholeFile(path));
    if (isDir) Snap(path, prefix + name + "\\", tree);
  } while (FindNextFileA(h, &fd));
  FindClose(h);
}
Tree Snap(const std::string& dir) {
  Tree tree;
  Snap(dir, "", tree);
  return tree;
}

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Temporary files the text engine leaves behind it, if any, in the folders the journal uses.
int TempsLeft() {
  int n = 0;
  for (const std::string& dir : {std::string("C:"), std::string(kDir), std::string(kSave)}) {
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((dir + "\\$*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) continue;
    do ++n; while (FindNextFileA(h, &fd));
    FindClose(h);
  }
  return n;
}

// Records one change and, when that worked, makes it as the caller would.
struct Step {
  UndoKind kind;
  std::string path, second;
  std::function<void()> change = nullptr;
};

int Record(const Step& step, char (&buffer)[kUndoBufferSize]) {
  memset(buffer, 0, sizeof buffer);
  snprintf(buffer, kUndoPathSize, "%s", step.path.c_str());
  snprintf(buffer + kUndoPathSize, kUndoPathSize, "%s", step.second.c_str());
  return UndoRecord(step.kind, buffer);
}

// Runs steps until a record fails; its result.
int RunSteps(const std::vector<Step>& steps) {
  char buffer[kUndoBufferSize];
  for (const Step& step : steps) {
    if (int r = Record(step, buffer)) return r;
    if (step.change) step.change();
  }
  return 0;
}

class UndoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Clean();
    CreateDirectoryA(kDir, nullptr);
  }
  void TearDown() override {
    DisarmTextOpFault();
    Clean();
  }
  static void Clean() {
    RemoveTree(kDir);
    RemoveTree(kSave);
    SetFileAttributesA(kJournal, FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(kJournal);
  }
  std::string Journal() { return ReadWholeFile(kJournal); }
  testsupport::SavedRun run;
  testsupport::ResultsWindow results;
};

TEST_F(UndoTest, LinesAndSavedCopyNames) {
  ASSERT_EQ(UndoInit(), 0);
  EXPECT_EQ(Journal(), "");
  Put(In("WIN.INI"), "ini");
  Put(In("WIN.COM"), "com");
  Put(In("OLD.TXT"), "old");
  CreateDirectoryA(kSave, nullptr);
  Put(std::string(kSave) + "\\WIN.000", "someone else's");
  char buffer[kUndoBufferSize];
  // WIN.000 is taken: WIN.INI's copy is WIN.001, and WIN.COM shares the sequence.
  ASSERT_EQ(Record({UndoKind::ModifyFile, In("WIN.INI"), ""}, buffer), 0);
  ASSERT_EQ(Record({UndoKind::ModifyFile, In("win.ini"), ""}, buffer), 0);  // already saved
  ASSERT_EQ(Record({UndoKind::DeleteFile, In("WIN.COM"), ""}, buffer), 0);
  EXPECT_STREQ(buffer + kUndoPathSize, "C:\\PLXUNDO.SAV\\WIN.002");
  ASSERT_EQ(Record({UndoKind::AddFile, In("OLD.TXT"), ""}, buffer), 0);
  EXPECT_STREQ(buffer + kUndoPathSize, "C:\\PLXUNDO.SAV\\OLD.000");
  EXPECT_FALSE(Exists(In("OLD.TXT")));  // moved aside
  ASSERT_EQ(Record({UndoKind::AddFile, In("NEW.TXT"), ""}, buffer), 0);
  ASSERT_EQ(Record({UndoKind::SetAttributes, In("WIN.INI"), ""}, buffer), 0);
  SetFileAttributesA(In("WIN.INI").c_str(), kRo);
  ASSERT_EQ(Record({UndoKind::SetAttributes, In("WIN.INI"), ""}, buffer), 0);  // the first value stays
  ASSERT_EQ(Record({UndoKind::AddDir, In("D"), ""}, buffer), 0);
  ASSERT_EQ(Record({UndoKind::RemoveDir, In("E"), ""}, buffer), 0);
  ASSERT_EQ(Record({UndoKind::MoveFile, In("A.TXT"), In("B.TXT")}, buffer), 0);
  EXPECT_EQ(Journal(),
            "6=C:\\PLXUNDOTEST\\A.TXT,C:\\PLXUNDOTEST\\B.TXT\r\n"
            "3=C:\\PLXUNDOTEST\\E\r\n"
            "5=C:\\PLXUNDOTEST\\D\r\n"
            "4=C:\\PLXUNDOTEST\\WIN.INI,0x00000020\r\n"
            "1=C:\\PLXUNDOTEST\\NEW.TXT\r\n"
            "1=C:\\PLXUNDOTEST\\OLD.TXT\r\n"
            "6=C:\\PLXUNDOTEST\\OLD.TXT,C:\\PLXUNDO.SAV\\OLD.000\r\n"
            "2=C:\\PLXUNDOTEST\\WIN.COM,C:\\PLXUNDO.SAV\\WIN.002\r\n"
            "0=C:\\PLXUNDOTEST\\WIN.INI,C:\\PLXUNDO.SAV\\WIN.001\r\n");
  EXPECT_EQ(ReadWholeFile(std::string(kSave) + "\\WIN.001"), "ini");
  // A path the reader would split, and a missing file to modify, delete or read.
  EXPECT_EQ(Record({UndoKind::AddFile, In("A,B.TXT"), ""}, buffer), int(kMsgUndoAddEntry));
  EXPECT_EQ(Record({UndoKind::DeleteFile, In("NONE.INI"), ""}, buffer), 0);
  EXPECT_EQ(Record({UndoKind::SetAttributes, In("NONE.INI"), ""}, buffer), int(kMsgUndoAttributes));
  EXPECT_EQ(Journal().find("NONE"), std::string::npos);
  // A file to modify that is not there yet is one the change creates.
  EXPECT_EQ(Record({UndoKind::ModifyFile, In("NONE.INI"), ""}, buffer), 0);
  EXPECT_EQ(Journal().rfind("1=C:\\PLXUNDOTEST\\NONE.INI\r\n", 0), 0u) << Journal();
  // With all 1,000 names of a base name taken, nothing is overwritten: the record fails.
  for (int n = 0; n < 1000; ++n) Put(std::string(kSave) + "\\FULL." + std::to_string(1000 + n).substr(1), "");
  Put(In("FULL.INI"), "full");
  const std::string journal = Journal();
  EXPECT_EQ(Record({UndoKind::ModifyFile, In("FULL.INI"), ""}, buffer), int(kMsgUndoBackup));
  EXPECT_EQ(Record({UndoKind::AddFile, In("FULL.INI"), ""}, buffer), int(kMsgUndoMove));
  EXPECT_EQ(Journal(), journal);
  EXPECT_EQ(ReadWholeFile(In("FULL.INI")), "full");
}

TEST_F(UndoTest, ParsingALine) {
  struct Case {
    const char* line;
    bool ok;
    int kind;
    const char* path;
    const char* second;
  } cases[] = {
      {"0=C:\\A.INI,C:\\PLXUNDO.SAV\\A.000 \t\n", true, 0, "C:\\A.INI", "C:\\PLXUNDO.SAV\\A.000"},
      {"4=C:\\A,0x00000021,extra", true, 4, "C:\\A", "0x00000021"},
      {"x=C:\\A", true, 0, "C:\\A", ""},
      {"9=C:\\A", true, 9, "C:\\A", ""},
      {"5=", false, 5, "", ""},
      {"", false, 0, "", ""},
      {"1C:\\A", false, 0, "", ""},
      {"1=,C:\\B", false, 1, "", ""},
  };
  for (const Case& c : cases) {
    UndoEntry entry;
    EXPECT_EQ(ParseUndoLine(c.line, entry), c.ok) << c.line;
    if (!c.ok) continue;
    EXPECT_EQ(entry.kind, c.kind) << c.line;
    EXPECT_STREQ(entry.szPath, c.path);
    EXPECT_STREQ(entry.szSecond, c.second);
  }
}

// Journals written as a previous run left them: what commit and rollback make of them.
TEST_F(UndoTest, CommitAndRollbackOfGivenJournals) {
  struct Case {
    const char* name;
    bool rollback;
    std::string journal;
    Tree after;
    bool corrupt;
    bool asideGone = false;  // the save directory's ASIDE.000
  } cases[] = {
      {"kind 9 is skipped by rollback", true,
       "1=C:\\PLXUNDOTEST\\ADDED.TXT\n9=C:\\PLXUNDOTEST\\KEEP.TXT\n", {{"KEEP.TXT", "00:keep"}}, false},
      {"kind 9 is skipped by commit", false,
       "9=C:\\PLXUNDOTEST\\KEEP.TXT\n1=C:\\PLXUNDOTEST\\ADDED.TXT\n",
       {{"ADDED.TXT", "00:added"}, {"KEEP.TXT", "00:keep"}}, false},
      {"a corrupt line stops rollback after the lines above it", true,
       "1=C:\\PLXUNDOTEST\\ADDED.TXT\n5=\n1=C:\\PLXUNDOTEST\\KEEP.TXT\n", {{"KEEP.TXT", "00:keep"}}, true},
      {"a corrupt line stops commit", false,
       "5=\n6=C:\\PLXUNDOTEST\\KEEP.TXT,C:\\PLXUNDO.SAV\\KEEP.000\n",
       {{"ADDED.TXT", "00:added"}, {"KEEP.TXT", "00:keep"}}, true},
      // A RENAME's target outside the save directory stays; a copy moved aside goes.
      {"commit leaves a renamed file alone", false,
       "6=C:\\PLXUNDOTEST\\WAS.TXT,C:\\PLXUNDOTEST\\ADDED.TXT\n6=C:\\PLXUNDOTEST\\K.TXT,C:\\PLXUNDO.SAV\\ASIDE.000\n",
       {{"ADDED.TXT", "00:added"}, {"KEEP.TXT", "00:keep"}}, false, true},
      {"rollback of a rename, a removed directory and attributes", true,
       "6=C:\\PLXUNDOTEST\\WAS.TXT,C:\\PLXUNDOTEST\\ADDED.TXT\n3=C:\\PLXUNDOTEST\\GONE\n"
       "4=C:\\PLXUNDOTEST\\KEEP.TXT,0x00000003\n",
       {{"WAS.TXT", "00:added"}, {"GONE", "10:<dir>"}, {"KEEP.TXT", "03:keep"}}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Clean();
    CreateDirectoryA(kDir, nullptr);
    CreateDirectoryA(kSave, nullptr);
    Put(In("ADDED.TXT"), "added");
    Put(In("KEEP.TXT"), "keep");
    Put(std::string(kSave) + "\\ASIDE.000", "aside");
    Put(kJournal, c.journal);
    results.Clear();
    if (c.rollback)
      EXPECT_EQ(UndoRollback(), 0);
    else
      UndoCommit();
    EXPECT_EQ(Snap(kDir), c.after);
    EXPECT_EQ(results.Shown().find("ERROR 0139: Undo file is corrupt.  This package can not be undone.") !=
                  std::string::npos,
              c.corrupt)
        << results.Shown();
    EXPECT_FALSE(Exists(kJournal));
    EXPECT_EQ(Exists(std::string(kSave) + "\\ASIDE.000"), !c.asideGone);
  }
  // Without a journal there is nothing to open; what a stopped rewrite of the journal left
  // in the root goes, anything else stays.
  Put("C:\\$a01234", "1=C:\\PLXUNDOTEST\\X.TXT\r\n6=C:\\PLXUND");
  Put("C:\\$b01234", "");
  Put("C:\\$c01234", "not a journal\r\n");
  EXPECT_EQ(UndoRollback(), int(kMsgUndoInit));
  EXPECT_FALSE(Exists("C:\\$a01234"));
  EXPECT_FALSE(Exists("C:\\$b01234"));
  EXPECT_EQ(ReadWholeFile("C:\\$c01234"), "not a journal\r\n");
  DeleteFileA("C:\\$c01234");
  results.Clear();
  UndoCommit();
  EXPECT_NE(results.Shown().find("WARNING 0135: "), std::string::npos) << results.Shown();
}

// The workstation before a package, the package's changes, and the state it leaves.
struct Scenario {
  std::vector<Step> steps;
  Tree before, after;
};

Scenario EveryKind() {
  Put(In("WIN.INI"), "[boot]\r\nshell=old\r\n", kHidden);
  Put(In("OLD.TXT"), "old bytes", kRo | kHidden);
  Put(In("GONE.TXT"), "gone", kRo);
  CreateDirectoryA(In("SUB").c_str(), nullptr);
  Put(In("SUB\\IN.TXT"), "in");
  Put(In("ATTR.TXT"), "attr");
  Put(In("REN.TXT"), "ren");
  Scenario s;
  s.before = Snap(kDir);
  auto put = [](const char* name, const char* bytes, DWORD attributes) {
    return [=] { Put(In(name), bytes, attributes); };
  };
  s.steps = {
      {UndoKind::ModifyFile, In("WIN.INI"), "", put("WIN.INI", "[boot]\r\nshell=new\r\n", kHidden)},
      {UndoKind::ModifyFile, In("WIN.INI"), "", put("WIN.INI", "[boot]\r\nshell=newer\r\n", kHidden)},
      {UndoKind::AddFile, In("OLD.TXT"), "", put("OLD.TXT", "new bytes", kRo)},
      {UndoKind::AddFile, In("NEW.TXT"), "", put("NEW.TXT", "brand new", 0)},
      {UndoKind::AddDir, In("NEWDIR"), "", [] { CreateDirectoryA(In("NEWDIR").c_str(), nullptr); }},
      {UndoKind::AddFile, In("NEWDIR\\X.TXT"), "", put("NEWDIR\\X.TXT", "x", kHidden)},
      {UndoKind::AddFile, In("NEWDIR\\X.TXT"), "", put("NEWDIR\\X.TXT", "x again", 0)},
      {UndoKind::DeleteFile, In("GONE.TXT"), "",
       [] {
         SetFileAttributesA(In("GONE.TXT").c_str(), FILE_ATTRIBUTE_NORMAL);
         DeleteFileA(In("GONE.TXT").c_str());
       }},
      {UndoKind::DeleteFile, In("SUB\\IN.TXT"), "", [] { DeleteFileA(In("SUB\\IN.TXT").c_str()); }},
      {UndoKind::RemoveDir, In("SUB"), "", [] { RemoveDirectoryA(In("SUB").c_str()); }},
      {UndoKind::SetAttributes, In("ATTR.TXT"), "", [] { SetFileAttributesA(In("ATTR.TXT").c_str(), kRo | kHidden); }},
      {UndoKind::MoveFile, In("REN.TXT"), In("REN2.TXT"), [] { MoveFileA(In("REN.TXT").c_str(), In("REN2.TXT").c_str()); }},
  };
  s.after = {{"WIN.INI", "02:[boot]\r\nshell=newer\r\n"}, {"OLD.TXT", "01:new bytes"}, {"NEW.TXT", "00:brand new"},
             {"NEWDIR", "10:<dir>"}, {"NEWDIR\\X.TXT", "00:x again"}, {"ATTR.TXT", "03:attr"}, {"REN2.TXT", "00:ren"}};
  return s;
}

TEST_F(UndoTest, EveryKindRolledBackAndCommitted) {
  for (bool rollback : {true, false}) {
    SCOPED_TRACE(rollback ? "rollback" : "commit");
    Clean();
    CreateDirectoryA(kDir, nullptr);
    Scenario s = EveryKind();
    ASSERT_EQ(UndoInit(), 0);
    ASSERT_EQ(RunSteps(s.steps), 0);
    ASSERT_EQ(Snap(kDir), s.after);
    results.Clear();
    if (rollback)
      ASSERT_EQ(UndoRollback(), 0);
    else
      UndoCommit();
    EXPECT_EQ(Snap(kDir), rollback ? s.before : s.after);
    EXPECT_EQ(results.Shown(), "");
    EXPECT_FALSE(Exists(kJournal));
    EXPECT_FALSE(Exists(kSave));
  }
}

// Every file operation of the records, the commit and the rollback fails in turn, for each
// group of related changes. Whatever fails, nothing is lost: a journal left behind still
// rolls back to the state before the package, and a file a rollback could not put back is
// reported and its bytes are kept.
TEST_F(UndoTest, EveryFileOperationFailedInTurn) {
  enum Phase { kRecord, kCommit, kRollback };
  const std::vector<std::vector<size_t>> groups = {{0, 1}, {2, 3}, {4, 5, 6}, {7, 8, 9}, {10, 11}};
  int points = 0;
  for (const auto& group : groups) {
    auto setUp = [&](Scenario& s) {
      Clean();
      CreateDirectoryA(kDir, nullptr);
      Scenario all = EveryKind();
      s.before = all.before;
      s.steps.clear();
      for (size_t i : group) s.steps.push_back(all.steps[i]);
      results.Clear();
      ASSERT_EQ(UndoInit(), 0);
    };
    Scenario s;
    setUp(s);
    ASSERT_EQ(RunSteps(s.steps), 0);
    const Tree after = Snap(kDir);
    for (Phase phase : {kRecord, kCommit, kRollback}) {
      for (int n = 1;; ++n) {
        SCOPED_TRACE(testing::Message() << "steps from " << group[0] << ", phase " << phase << ", operation " << n);
        setUp(s);
        if (phase == kRecord) ArmTextOpFault(n);
        RunSteps(s.steps);
        if (phase != kRecord) ArmTextOpFault(n);
        if (phase == kCommit) UndoCommit();
        if (phase == kRollback) UndoRollback();
        if (!DisarmTextOpFault()) break;
        ++points;
        EXPECT_EQ(TempsLeft(), 0);
        if (phase == kCommit) {
          EXPECT_EQ(Snap(kDir), after);
        }
        Tree now = Snap(kDir);
        if (Exists(kJournal)) {
          UndoRollback();
          now = Snap(kDir);
          EXPECT_EQ(now, s.before);
        } else if (phase == kRollback) {
          // An added file that would not go stays (its failure is ignored); anything of the
          // state before that is not back was reported, and its bytes are still at hand.
          Tree saved = Snap(kSave);
          for (const auto& [name, bytes] : s.before) {
            if (now.count(name) && now[name] == bytes) continue;
            EXPECT_NE(results.Shown().find("Undo was unable"), std::string::npos) << name;
            bool kept = bytes.substr(3) == "<dir>";
            for (const Tree* t : {&now, &saved})
              for (const auto& other : *t) kept = kept || other.second.substr(3) == bytes.substr(3);
            EXPECT_TRUE(kept) << name;
          }
        }
        if (phase == kRecord) {
          EXPECT_EQ(now, s.before);
          EXPECT_FALSE(Exists(kSave));
        }
      }
    }
  }
  printf("undo journal: %d file operations failed in turn\n", points);
  EXPECT_GT(points, 100);
}

}  // namespace
