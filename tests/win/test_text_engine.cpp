// The text editing engine on real files: lookups, every editor, the two protocols, and the
// same edits failed at each file operation in turn.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "bounded_text.h"
#include "text_engine.h"
#include "win_test_support.h"

namespace {

using testsupport::ReadWholeFile;

// A folder of its own per test, emptied and removed at the end.
class Folder {
 public:
  Folder() {
    static int count = 0;
    char base[MAX_PATH];
    GetTempPathA(sizeof base, base);
    dir_ = std::string(base) + "plxtext" + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(++count);
    CreateDirectoryA(dir_.c_str(), nullptr);
  }
  ~Folder() {
    for (const std::string& name : Names()) {
      std::string p = Path(name);
      SetFileAttributesA(p.c_str(), FILE_ATTRIBUTE_NORMAL);
      DeleteFileA(p.c_str());
    }
    RemoveDirectoryA(dir_.c_str());
  }
  std::string Path(const std::string& name) const { return dir_ + "\\" + name; }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA(Path("*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return names;
    do {
      if (strcmp(fd.cFileName, ".") && strcmp(fd.cFileName, "..")) names.push_back(fd.cFileName);
    } while (FindNextFileA(h, &fd));
    FindClose(h);
    return names;
  }
  std::string Write(const std::string& name, const std::string& bytes) const {
    std::string p = Path(name);
    SetFileAttributesA(p.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (FILE* f = fopen(p.c_str(), "wb")) {
      fwrite(bytes.data(), 1, bytes.size(), f);
      fclose(f);
    }
    return p;
  }

 private:
  std::string dir_;
};

// A lookup: the scan without an output.
int Look(const std::string& path, const char* section, const char* key, int mode, const char* a, std::string& value) {
  ScanArgs args;
  args.section = section;
  args.key = key;
  args.mode = mode;
  args.textA = a;
  int r = ScanTextFileAt(path.c_str(), args);
  value = args.value;
  return r;
}

const std::string kLong(300, 'x');  // a physical line of two pieces
// New values that make "K=" + value 255 and 256 characters with the newline.
const std::string kFits(252, 'v'), kTooLong(253, 'v');

TEST(TextEngine, StringOperations) {
  struct Find {
    const char *s, *t;
    int first, last;  // positions, -1 for none
  };
  const Find finds[] = {
      {"SET TEMPPATH=x", "path", 8, 8}, {"abcABC", "bc", 1, 4}, {"aaa", "aa", 0, 1},
      {"abc", "abcd", -1, -1},          {"abc", "", 0, 3},      {"", "a", -1, -1},
  };
  for (const Find& f : finds) {
    const char* first = FindNoCase(f.s, f.t);
    const char* last = FindLastNoCase(f.s, f.t);
    EXPECT_EQ(first ? int(first - f.s) : -1, f.first) << f.s << " / " << f.t;
    EXPECT_EQ(last ? int(last - f.s) : -1, f.last) << f.s << " / " << f.t;
  }
  const std::pair<const char*, const char*> trims[] = {
      {"a b \t\r\n\v\f", "a b"}, {" \t ", ""}, {"", ""}, {"x", "x"}};
  for (const auto& t : trims) {
    TextLine s;
    CopyText(s, t.first);
    TrimRight(s);
    EXPECT_STREQ(s, t.second);
  }
  const std::pair<const char*, bool> comments[] = {
      {";PATH=x", true},     {"REM PATH=x", true}, {"rem\tPATH", true}, {"REMARK:x", true},
      {"remarkable", true},  {"REMX=1", false},    {" ;x", false},      {"  REM x", false},
      {"REM", false},        {"REM\n", true},      {"RE x", false},     {"", false},
  };
  for (const auto& c : comments) EXPECT_EQ(IsCommentLine(c.first), c.second) << c.first;
  struct Name {
    const char *section, *line, *key;
    bool match;
  };
  const Name names[] = {
      {nullptr, "  key=1", "key", true}, {"", "other=1", "key", true},  {"boot", "  key=1", "key", false},
      {"boot", "KEY  \t=1", "key", true}, {"boot", "key\n", "key", true}, {"boot", "keys=1", "key", false},
      {"boot", "a=key", "key", false},    {"boot", "key=a=b", "key", true},
  };
  for (const Name& n : names) EXPECT_EQ(KeyNameMatches(n.section, n.line, n.key), n.match) << n.line;
}

TEST(TextEngine, LookupFindsTheFirstMatchingLine) {
  const std::string key256(256, 'k'), section254(254, 's');
  struct Case {
    std::string text;
    const char *section, *key;
    int mode;
    const char* a;
    int result;
    std::string value;
  };
  const Case cases[] = {
      {"A=1\r\nB=2\r\n", nullptr, "C", 0, "", kScanNoKey, ""},
      {";PATH=1\r\nREM PATH=2\r\nREMARK PATH=3\r\nrem\tPATH=4\r\n", nullptr, "PATH", 0, "", kScanNoKey, ""},
      {"REMX=1\r\n", nullptr, "X", 0, "", kScanFound, "1"},
      {"SET TEMPPATH=C:\\TMP\r\nSET PATH=C:\\DOS\r\n", nullptr, "PATH", 0, "", kScanFound, "C:\\TMP"},
      {"KEY==  value  \r\n", nullptr, "key", 0, "", kScanFound, "value"},
      {"KEY value\r\n", nullptr, "KEY", 0, "", kScanFound, "value"},
      {"[PATH]\r\n", nullptr, "PATH", 0, "", kScanFound, "]"},
      {"x=1\r\nKEY=last", nullptr, "KEY", 0, "", kScanFound, "last"},
      {"[boot]\r\n  key=1\r\nkey  =2\r\n", "boot", "key", 0, "", kScanFound, "2"},
      {"[boot]\r\nkey\r\n", "boot", "key", 0, "", kScanFound, ""},
      {"[boot] ; x\r\nkey=1\r\n", "BOOT", "key", 0, "", kScanFound, "1"},
      {"[ boot ]\r\nkey=1\r\n", "boot", "key", 0, "", kScanNoSection, ""},
      {"[boot]\r\nother=1\r\n[next]\r\nkey=2\r\n", "boot", "key", 0, "", kScanNoKey, ""},
      {"key=0\r\n[a]\r\nkey=1\r\n[b]\r\nkey=2\r\n", "b", "key", 0, "", kScanFound, "2"},
      // The filter looks at the first line with the key only.
      {"DEVICE=B.SYS\r\nDEVICE=A.SYS\r\n", nullptr, "DEVICE", kValueFilter, "a.sys", kScanFound, "B.SYS"},
      {"DEVICE=A.SYS\r\n", nullptr, "DEVICE", kValueFilter, "a.sys", kScanFound, "A.SYS"},
      // 250 x's and "KEY=abc": the first 255-character piece ends in "KEY=a".
      {std::string(250, 'x') + "KEY=abc\r\n", nullptr, "KEY", 0, "", kScanFound, "a"},
      // The second piece of a long line is a line of its own: here it holds the key.
      {kLong + "K=1\r\n", nullptr, "K=", 0, "", kScanFound, "1"},
      // A key of 256 characters, a section whose header would be 256: no line can hold them.
      {"A=1\r\n", nullptr, key256.c_str(), 0, "", kScanLineTooLong, ""},
      {"A=1\r\n", section254.c_str(), "A", 0, "", kScanLineTooLong, ""},
  };
  Folder folder;
  for (const Case& c : cases) {
    std::string path = folder.Write("LOOK.TXT", c.text);
    std::string value = "stale";
    EXPECT_EQ(Look(path, c.section, c.key, c.mode, c.a, value), c.result) << c.text;
    EXPECT_EQ(value, c.value) << c.text;
  }
  std::string value;
  EXPECT_EQ(Look(folder.Path("NONE.INI"), nullptr, "key", 0, "", value), ENOENT);
}

struct EditCase {
  const char* name;
  std::string before;
  const char *section, *key;
  LineEditor editor;
  const char *a, *b;
  int mode;
  int result;
  std::string after;  // empty: as before
};

const EditCase kEdits[] = {
    {"no key", "A=1\r\nB=2\r\n", nullptr, "C", EditSetValue, "", "9", 0, kScanNoKey, ""},
    {"no section", "[a]\r\nkey=1\r\n", "b", "key", EditSetValue, "", "9", 0, kScanNoSection, ""},
    {"set value", "BUFFERS=20\r\nFILES = 30\r\nLASTDRIVE=Z\r\n", nullptr, "FILES", EditSetValue, "", "40", 0,
     kScanFound, "BUFFERS=20\r\nFILES = 40\r\nLASTDRIVE=Z\r\n"},
    {"set empty value", "FILES=\r\n", nullptr, "FILES", EditSetValue, "", "40", 0, kScanFound, "FILES=40\r\n"},
    {"set in section", "[a]\r\nkey=1\r\n[b]\r\nkey = 2 \r\nz=3\r\n", "b", "KEY", EditSetValue, "", "9", 0, kScanFound,
     "[a]\r\nkey=1\r\n[b]\r\nkey = 9\r\nz=3\r\n"},
    {"LF ends become CRLF", "A=1\nB=2\n", nullptr, "B", EditSetValue, "", "3", 0, kScanFound, "A=1\r\nB=3\r\n"},
    {"long lines kept whole", kLong + "\r\nK=1\r\n" + kLong + "\r\n", nullptr, "K=", EditSetValue, "", "2", 0,
     kScanFound, kLong + "\r\nK=2\r\n" + kLong + "\r\n"},
    // Each piece of a long line is edited as a line of its own.
    {"edit in a piece", std::string(248, 'a') + "KEY=abcdefghij\r\n", nullptr, "KEY", EditSetValue, "", "Z", 0,
     kScanFound, std::string(248, 'a') + "KEY=Z\r\ndefghij\r\n"},
    {"piece too long", std::string(250, 'a') + "KEY=abc\r\n", nullptr, "KEY", EditSetValue, "", "Z", 0,
     kScanLineTooLong, ""},
    {"too long refused", "K=1\r\n", nullptr, "K", EditSetValue, "", kTooLong.c_str(), 0,
     kScanLineTooLong, ""},
    {"just fits", "K=1\r\n", nullptr, "K", EditSetValue, "", kFits.c_str(), 0, kScanFound,
     "K=" + kFits + "\r\n"},
    {"token replaced", "DEVICE=A.SYS /X /Z\r\n", nullptr, "DEVICE", EditReplaceToken, "/x", "/Y", 0, kScanFound,
     "DEVICE=A.SYS /Y /Z\r\n"},
    {"token deleted", "DEVICE=A.SYS /X /Z\r\n", nullptr, "DEVICE", EditReplaceToken, "/X", "", 0, kScanFound,
     "DEVICE=A.SYS /Z\r\n"},
    {"token added", "DEVICE=A.SYS /X\r\n", nullptr, "DEVICE", EditReplaceToken, "/Q", "/Y", 0, kScanFound,
     "DEVICE=A.SYS /X /Y\r\n"},
    {"token already there", "DEVICE=A.SYS /Y\r\n", nullptr, "DEVICE", EditReplaceToken, "/Q", "/y", 0, kScanFound,
     "DEVICE=A.SYS /Y\r\n"},
    {"line replaced", "A=1\r\nB=2\r\nC=3\r\n", nullptr, "B", EditReplaceLine, "", "NEW=1", 0, kScanFound,
     "A=1\r\nNEW=1\r\nC=3\r\n"},
    {"line removed", "A=1\r\nB=2\r\nC=3\r\n", nullptr, "B", EditReplaceLine, "", "", 0, kScanFound, "A=1\r\nC=3\r\n"},
    {"insert before", "A=1\r\nB=2\r\n", nullptr, "B", EditInsertLine, "", "N", kPlaceBefore, kScanFound,
     "A=1\r\nN\r\nB=2\r\n"},
    {"insert after", "A=1\r\nB=2\r\nC=3\r\n", nullptr, "B", EditInsertLine, "", "N", kPlaceAfter, kScanFound,
     "A=1\r\nB=2\r\nN\r\nC=3\r\n"},
    {"insert after a last line without newline", "A=1\r\nB=2", nullptr, "B", EditInsertLine, "", "N", kPlaceAfter,
     kScanFound, "A=1\r\nB=2\r\nN\r\n"},
    {"path before anchor", "PATH=C:\\DOS;C:\\WIN;C:\\UTIL\r\n", nullptr, "PATH", EditAddPathEntry, "c:\\win",
     "C:\\NEW", kPlaceBefore, kScanFound, "PATH=C:\\DOS;C:\\NEW;C:\\WIN;C:\\UTIL\r\n"},
    {"path after anchor", "PATH=C:\\DOS;C:\\WIN;C:\\UTIL\r\n", nullptr, "PATH", EditAddPathEntry, "C:\\WIN",
     "C:\\NEW", kPlaceAfter, kScanFound, "PATH=C:\\DOS;C:\\WIN;C:\\NEW;C:\\UTIL\r\n"},
    {"path anchor absent, first", "PATH=C:\\DOS;C:\\WIN\r\n", nullptr, "PATH", EditAddPathEntry, "C:\\X", "C:\\NEW",
     kPlaceBefore, kScanFound, "PATH=C:\\NEW;C:\\DOS;C:\\WIN\r\n"},
    {"path anchor absent, last", "PATH=C:\\DOS;C:\\WIN;\r\n", nullptr, "PATH", EditAddPathEntry, "C:\\X", "C:\\NEW",
     kPlaceAfter, kScanFound, "PATH=C:\\DOS;C:\\WIN;C:\\NEW\r\n"},
    {"path empty, last", "PATH=\r\n", nullptr, "PATH", EditAddPathEntry, "", "C:\\NEW", kPlaceAfter, kScanFound,
     "PATH=;C:\\NEW\r\n"},
    {"path entry replaced by anchor", "PATH=C:\\DOS;C:\\WINDOWS;C:\\U\r\n", nullptr, "PATH", EditAddPathEntry,
     "C:\\WIN", "C:\\NEW", kPlaceAfter, kScanFound, "PATH=C:\\DOS;C:\\WIN;C:\\NEW;C:\\U\r\n"},
    {"item last", "device=a.386,b.386\r\n", nullptr, "device", EditRemoveListItem, "B.386", "", kValueFilter,
     kScanFound, "device=a.386,\r\n"},
    {"item first", "device=a.386,b.386\r\n", nullptr, "device", EditRemoveListItem, "A.386", "", kValueFilter,
     kScanFound, "device=b.386\r\n"},
    {"item whole value", "x=1\r\ndevice=a.386\r\ny=2\r\n", nullptr, "device", EditRemoveListItem, "a.386", "",
     kValueFilter, kScanFound, "x=1\r\ny=2\r\n"},
    {"item also in key", "device=a.386,dev\r\n", nullptr, "device", EditRemoveListItem, "dev", "", kValueFilter,
     kScanFound, "device=a.386,\r\n"},
    {"item absent", "device=a.386\r\n", nullptr, "device", EditRemoveListItem, "c.386", "", kValueFilter, kScanFound,
     "device=a.386\r\n"},
};

TEST(TextEngine, EditsThroughTemp) {
  Folder folder;
  for (const EditCase& c : kEdits) {
    std::string path = folder.Write("EDIT.INI", c.before);
    ScanArgs args;
    args.section = c.section;
    args.key = c.key;
    args.editor = c.editor;
    args.textA = c.a;
    args.textB = c.b;
    args.mode = c.mode;
    EXPECT_EQ(RewriteThroughTemp(path.c_str(), args), c.result) << c.name;
    EXPECT_EQ(ReadWholeFile(path), c.after.empty() ? c.before : c.after) << c.name;
    EXPECT_EQ(folder.Names(), std::vector<std::string>{"EDIT.INI"}) << c.name;
  }
}

TEST(TextEngine, AddLine) {
  struct Case {
    std::string before;
    const char* line;
    int where;
    std::string after;
    const char* trimmed;  // the caller's line afterwards
  };
  const Case cases[] = {
      {"", "X=1", kAtStart, "X=1\r\n", "X=1"},
      {"", "X=1", kAtEnd, "X=1\r\n", "X=1"},
      {"A\r\nB\r\n", "X", kAtStart, "X\r\nA\r\nB\r\n", "X"},
      {"A\r\nB\r\n", "X", kAtEnd, "A\r\nB\r\nX\r\n", "X"},
      {"A\r\nB", "X", kAtEnd, "A\r\nB\r\nX\r\n", "X"},
      {kLong + "\r\n", "X", kAtEnd, kLong + "\r\nX\r\n", "X"},
      {"A\r\n", "X \t", kAtStart, "X \t\r\nA\r\n", "X"},
  };
  Folder folder;
  for (const Case& c : cases) {
    std::string path = folder.Write("PLXUNDO.CFG", c.before);
    char line[kTextLineSize];
    CopyText(line, c.line);
    EXPECT_EQ(AddLineToFile(path.c_str(), line, c.where), 0) << c.before;
    EXPECT_EQ(ReadWholeFile(path), c.after) << c.before;
    EXPECT_STREQ(line, c.trimmed);
    EXPECT_EQ(folder.Names().size(), 1u);
  }
  char line[kTextLineSize] = "X";
  EXPECT_EQ(AddLineToFile(folder.Path("MISSING.CFG").c_str(), line, kAtEnd), ENOENT);
  EXPECT_EQ(folder.Names().size(), 1u);
}

TEST(TextEngine, ReadOnlyIsRefusedBeforeAnythingIsWritten) {
  Folder folder;
  const std::string text = "[boot]\r\nkey=1\r\n";
  std::string path = folder.Write("RO.INI", text);
  ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY));
  ScanArgs args;
  args.key = "key";
  args.editor = EditSetValue;
  args.textB = "2";
  EXPECT_EQ(RewriteThroughTemp(path.c_str(), args), kScanReadOnly);
  char line[kTextLineSize] = "X";
  EXPECT_EQ(AddLineToFile(path.c_str(), line, kAtEnd), kScanReadOnly);
  EXPECT_EQ(ReadWholeFile(path), text);
  EXPECT_EQ(GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_READONLY, DWORD(FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(folder.Names(), std::vector<std::string>{"RO.INI"});
  // A lookup reads a read-only file all the same.
  std::string value;
  EXPECT_EQ(Look(path, "boot", "key", 0, "", value), kScanFound);
  EXPECT_EQ(value, "1");
}

// Every edit is failed at its first, second, ... file operation until one runs clean; each
// failed attempt must leave the file byte for byte as it was, its attributes too, and no
// temporary file behind. The file is hidden and a system file: a clean edit keeps that.
TEST(TextEngine, AFailureAtAnyOperationLeavesTheFileAsItWas) {
  const std::string before = "; start-up\r\n[boot]\r\n" + kLong + "\r\nkey=a.386,b.386\r\nPATH=C:\\DOS\r\n[x]\r\nz=1\r\n";
  struct Edit {
    const char* name;
    LineEditor editor;  // null: AddLineToFile
    const char *key, *a, *b;
    int mode;
  };
  const Edit edits[] = {
      {"set value", EditSetValue, "key", "", "1", 0},
      {"replace line", EditReplaceLine, "key", "", "k=2", 0},
      {"replace token", EditReplaceToken, "key", "b.386", "c.386", 0},
      {"insert line", EditInsertLine, "key", "", "n=1", kPlaceAfter},
      {"add path entry", EditAddPathEntry, "PATH", "", "C:\\NEW", kPlaceAfter},
      {"remove item", EditRemoveListItem, "key", "a.386", "", kValueFilter},
      {"add line first", nullptr, "", "", "FIRST", kAtStart},
      {"add line last", nullptr, "", "", "LAST", kAtEnd},
  };
  const DWORD kHiddenSystem = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  Folder folder;
  int points = 0;
  for (const Edit& e : edits) {
    for (int n = 1;; ++n) {
      ASSERT_LT(n, 200) << e.name << ": never ran clean";
      std::string path = folder.Write("CONFIG.SYS", before);
      ASSERT_TRUE(SetFileAttributesA(path.c_str(), kHiddenSystem));
      const DWORD original = GetFileAttributesA(path.c_str());
      ScanArgs args;
      args.section = "boot";
      args.key = e.key;
      args.editor = e.editor;
      args.textA = e.a;
      args.textB = e.b;
      args.mode = e.mode;
      char line[kTextLineSize];
      CopyText(line, e.b);
      // An error no real call gives here, to see it come back unchanged.
      ArmTextOpFault(n, EDOM);
      int r = e.editor ? RewriteThroughTemp(path.c_str(), args) : AddLineToFile(path.c_str(), line, e.mode);
      bool fired = DisarmTextOpFault();
      EXPECT_EQ(folder.Names(), std::vector<std::string>{"CONFIG.SYS"}) << e.name << " failing operation " << n;
      DWORD attributes = GetFileAttributesA(path.c_str());
      if (!fired) {
        EXPECT_EQ(r, 0) << e.name;
        EXPECT_NE(ReadWholeFile(path), before) << e.name;
        EXPECT_EQ(attributes & kHiddenSystem, kHiddenSystem) << e.name;
        break;
      }
      ++points;
      EXPECT_EQ(r, EDOM) << e.name << " failing operation " << n;
      EXPECT_EQ(ReadWholeFile(path), before) << e.name << " failing operation " << n;
      EXPECT_EQ(attributes, original) << e.name << " failing operation " << n;
    }
  }
  printf("text engine: %d injection points tried\n", points);
}

}  // namespace
