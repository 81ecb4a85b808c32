// The variable, string and flow functions and the parameter forms they read, each case a
// small script whose outcome is worked out by hand.
#include <string>

#include "params.h"
#include "script_test_support.h"

namespace {

using scripttest::ScriptRun;

// Variables every case may use: [S]="abc", [N]=5.
const char kPrelude[] =
    "DEFINE \"[S]\", S\nDEFINE \"[N]\", I\nDEFINE \"[R]\", S\nSTRCOPY [S], \"abc\"\nASSIGN [N], 5\n";
constexpr int kPreludeLines = 5;

struct Case {
  std::string body;
  int result;          // RunScript's
  int32_t retval;      // [RETVAL] afterwards
  const char* r;       // [R] afterwards (nullptr: not checked)
  const char* shown;   // in the results box (nullptr: nothing checked)
  int failedLine = 0;  // the line message 206 names, counted in the body
};

std::string Quoted(size_t n, char c) { return "\"" + std::string(n, c); }

}  // namespace

TEST(ScriptFunctions, VariablesStringsAndFlow) {
  // The longest literal: 252 characters between its quotes.
  const std::string long253 = "STRCOPY [R], " + Quoted(252, 'x') + "\"\n";
  const Case cases[] = {
      // Parameter forms.
      {"STRCOPY [R], NULL\n", 0, 0, "", nullptr},
      {"STRCOPY [R], nUlL\n", 0, 0, "", nullptr},
      {"STRCOPY [R], \"NULL\"\n", 0, 0, "NULL", nullptr},
      {"STRCOPY [R], `\"open`\n", 0, 0, "open", nullptr},
      {"STRCOPY [R], `\"a\"b\"`\n", 0, 0, "a\"b", nullptr},
      {"STRCOPY [R], [S]\n", 0, 0, "abc", nullptr},
      {"STRCOPY [R], [N]\n", -1, 209, "", "ERROR 0209: Invalid string passed in function: STRCOPY.", 1},
      {"STRCOPY [R], [s]\n", -1, 209, "", nullptr, 1},  // names are case-sensitive
      {"strcopy [R], \"lower\"\n", 0, 0, "lower", nullptr},
      {"NUMTOSTR [R], -12\n", 0, 0, "-12", nullptr},
      {"NUMTOSTR [R], 99999999999\n", 0, 0, "2147483647", nullptr},
      {"NUMTOSTR [R], -99999999999\n", 0, 0, "-2147483648", nullptr},
      {"NUMTOSTR [R], \n", 0, 0, "0", nullptr},  // an empty integer is 0
      {"NUMTOSTR [R], -\n", 0, 0, "0", nullptr},
      {"NUMTOSTR [R], [N]\n", 0, 0, "5", nullptr},
      {"NUMTOSTR [R], 12a\n", -1, 212, "", "ERROR 0212: Invalid integer passed in function: NUMTOSTR.", 1},
      {"NUMTOSTR [R], +1\n", -1, 212, "", nullptr, 1},
      {"NUMTOSTR [R], `1 `\n", -1, 212, "", nullptr, 1},
      {"NUMTOSTR [R]\n", -1, 207, "", "ERROR 0207: Invalid number of parameters passed to function: NUMTOSTR.", 1},
      {"WRITELN [N]\n", -1, 208, nullptr, "ERROR 0208: Variable not defined in function: WRITELN.", 1},
      {"WRITELN \"shown\"\n", 0, 0, nullptr, "shown\r\n"},
      // DEFINE.
      {"DEFINE \"[X]\", STRING\nSTRCOPY [X], \"v\"\nSTRCOPY [R], [X]\n", 0, 0, "v", nullptr},
      {"DEFINE \"[X]\", s\n", -1, 210, nullptr, "ERROR 0210: Invalid option passed in function: DEFINE.", 1},
      {"DEFINE [S], S\n", -1, 209, nullptr, nullptr, 1},  // the name must be a literal
      {"DEFINE \"[THIS NAME IS FAR TOO LONG FOR A VAR]\", I\n", -1, 211, nullptr, nullptr, 1},
      {"DEFINE \"[S]\", S\nSTRCOPY [S], \"new\"\nSTRCOPY [R], [S]\n", 0, 0, "new", nullptr},
      // ASSIGN and [RETVAL].
      {"ASSIGN [RETVAL], 7\n", 0, 7, nullptr, nullptr},
      {"ASSIGN [RETVAL], 7\nASSIGN [N], [RETVAL]\nNUMTOSTR [R], [N]\n", 0, 0, "0", nullptr},
      {"ASSIGN [RETVAL], 7\nNUMTOSTR [R], [RETVAL]\n", 0, 0, "7", nullptr},
      {"ASSIGN [S], 1\n", -1, 208, nullptr, nullptr, 1},
      {"ASSIGN [N], x\n", -1, 212, nullptr, nullptr, 1},
      // Strings.
      {"STRCOPY [R], [S]\nSTRCAT [R], \"def\"\n", 0, 0, "abcdef", nullptr},
      {"STRCOPY [R], \"C:\\A\\\"\nAPPENDPATH [R], \"\\B\"\n", 0, 0, "C:\\A\\B", nullptr},
      {"STRCOPY [R], \"C:\\X\"\nAPPENDPATH [R], \"\\\\Y\"\n", 0, 0, "C:\\X\\Y", nullptr},
      {"STRCOPY [R], \"C:\\X\"\nAPPENDPATH [R], NULL\n", 0, 0, "C:\\X\\", nullptr},
      {long253 + "STRCAT [R], \"yy\"\n", 0, 0, nullptr, nullptr},
      // Over 254 characters: refused, the variable as it was.
      {long253 + "STRCAT [R], \"yy\"\nSTRCAT [R], \"y\"\n", -1, 209, nullptr, nullptr, 3},
      {long253 + "APPENDPATH [R], \"yz\"\n", -1, 209, nullptr, nullptr, 2},
      {"STRCOMPARE [S], \"abd\"\n", 0, -1, nullptr, nullptr},
      {"STRCOMPARE [S], \"abc\"\n", 0, 0, nullptr, nullptr},
      {"STRCOPY [R], \"b\"\nSTRCOMPARE [R], \"a\"\n", 0, 1, nullptr, nullptr},
      {"STRCOPY [R], \"A\"\nSTRCOMPARE [R], \"a\"\n", 0, -1, nullptr, nullptr},
      {"STRCOPY [R], \"\xE9\"\nSTRCOMPARE [R], \"z\"\n", 0, 1, nullptr, nullptr},  // unsigned bytes
      {"STRCOMPARE [S], \"ab\"\n", 0, 1, nullptr, nullptr},
      // IF operators: [R] says which branch ran.
      {"IF 3, =>, 3\nSTRCOPY [R], \"t\"\nELSE\nSTRCOPY [R], \"f\"\nENDIF\n", 0, 0, "t", nullptr},
      {"IF 2, <>, 3\nSTRCOPY [R], \"t\"\nELSE\nSTRCOPY [R], \"f\"\nENDIF\n", 0, 0, "t", nullptr},
      {"IF 3, <>, 3\nSTRCOPY [R], \"t\"\nELSE\nSTRCOPY [R], \"f\"\nENDIF\n", 0, 0, "f", nullptr},
      {"IF 3, <=, 3\nSTRCOPY [R], \"t\"\nENDIF\n", 0, 0, "t", nullptr},
      {"IF 3, >=, 4\nSTRCOPY [R], \"t\"\nENDIF\n", 0, 0, "", nullptr},
      {"IF -1, >, -2\nSTRCOPY [R], \"t\"\nENDIF\n", 0, 0, "t", nullptr},
      {"IF [N], !=, 5\nSTRCOPY [R], \"t\"\nELSE\nSTRCOPY [R], \"f\"\nENDIF\n", 0, 0, "f", nullptr},
      {"IF 1, #, 1\n", -1, 213, nullptr, "ERROR 0213: Invalid operator passed in function: IF.", 1},
      {"IF 1, , 1\n", -1, 213, nullptr, nullptr, 1},
      {"IF [S], =, 1\n", -1, 212, nullptr, nullptr, 1},
      {"IF 1, =\n", -1, 207, nullptr, nullptr, 1},
      {"ELSE\n", -1, 215, nullptr, "ERROR 0215: ELSE encountered with no matching IF.", 1},
      {"ENDIF\n", -1, 215, nullptr, "ERROR 0215: ENDIF encountered with no matching IF.", 1},
      {"IF 1, =, 1\nSTRCAT [R], \"a\"\nELSE\nSTRCAT [R], \"b\"\nELSE\nSTRCAT [R], \"c\"\nENDIF\n", 0, 0, "ac",
       nullptr},
      // EXIT and Abort.
      {"ASSIGN [RETVAL], 6\nEXIT [RETVAL]\n", -2, 6, nullptr, nullptr},
      {"EXIT [N]\n", -2, 5, nullptr, nullptr},
      {"EXIT nothing\n", -1, 208, nullptr, "ERROR 0208: Variable not defined in function: EXIT.", 1},
      {"Abort -3\n", -101, -3, nullptr, "The package was aborted on line 7"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    ScriptRun run;
    std::string script = std::string(kPrelude) + c.body;
    EXPECT_EQ(run.RunText(script), c.result);
    EXPECT_EQ(run.Retval(), c.retval);
    if (c.r) {
      EXPECT_EQ(ScriptRun::String("[R]"), c.r);
    }
    std::string shown = run.Shown();
    if (c.shown) {
      EXPECT_NE(shown.find(c.shown), std::string::npos) << shown;
    }
    if (c.failedLine) {
      std::string line = "failed on line " + std::to_string(kPreludeLines + c.failedLine + 1) + ".";
      EXPECT_NE(shown.find(line), std::string::npos) << line << "\n" << shown;
    }
  }
}

TEST(ScriptFunctions, NestingStopsAtFiftyLevels) {
  std::string fifty, fiftyOne;
  for (int i = 0; i < 50; ++i) fifty += "IF 1, =, 1\n";
  fiftyOne = fifty + "IF 1, =, 1\n";
  ScriptRun run;
  std::string closing;
  for (int i = 0; i < 50; ++i) closing += "ENDIF\n";
  EXPECT_EQ(run.RunText(fifty + "DEFINE \"[D]\", I\n" + closing), 0);
  EXPECT_EQ(ScriptRun::Int("[D]"), 0);
  EXPECT_EQ(gIfState.level, 0);
  EXPECT_EQ(run.RunText(fiftyOne), -1);
  EXPECT_NE(run.Shown().find("ERROR 0214: Maximum nest count reached processing function: IF."), std::string::npos);
  EXPECT_NE(run.Shown().find("failed on line 52."), std::string::npos);
  // In skipped text the IFs are counted past that limit, and every ENDIF still closes one.
  std::string skipped = "DEFINE \"[T]\", S\nIF 1, =, 2\n" + fiftyOne + fiftyOne + closing + closing +
                        "ENDIF\nENDIF\nENDIF\nSTRCAT [T], \"after\"\n";
  EXPECT_EQ(run.RunText(skipped), 0);
  EXPECT_EQ(ScriptRun::String("[T]"), "after");
  EXPECT_EQ(gIfState.level, 0);
}

TEST(ScriptFunctions, ParameterBlocks) {
  const struct {
    const char* block;
    int n;
    int rc;
    const char* text;
  } cases[] = {
      {"a\x05" "b\x05", 2, 0, "b"},
      {"a\x05" "b\x05", 3, -1, ""},
      {"a\x05" "b", 2, -1, ""},  // the last text has no separator after it
      {"a\x05\x05" "c\x05", 2, 0, ""},
      {"", 1, -1, ""},
      {"\x05", 1, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.block);
    char out[kParamTextSize] = "stale";
    EXPECT_EQ(GetParamText(c.block, c.n, out), c.rc);
    if (c.rc == 0) {
      EXPECT_STREQ(out, c.text);
    }
  }
  std::string longest(254, 'p'), over(255, 'p');
  char out[kParamTextSize];
  EXPECT_EQ(GetParamText((longest + "\x05").c_str(), 1, out), 0);
  EXPECT_EQ(std::string(out), longest);
  EXPECT_EQ(GetParamText((over + "\x05").c_str(), 1, out), kParamTooLong);
  EXPECT_EQ(GetRawParam((over + "\x05").c_str(), 1, out), 209);
  EXPECT_EQ(GetOptionalStringParam("\"a\x05", 2, out), 0);
  EXPECT_STREQ(out, "");
}
