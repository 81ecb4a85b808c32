// The interpreter over whole scripts: records read, run or skipped, the result, the line
// named when a script stops, and what the results box shows.
#include <string>
#include <vector>

#include "script_test_support.h"

namespace {

using scripttest::Record;
using scripttest::ScriptRun;

constexpr char kDone[] = "The script completed successfully.";

struct Case {
  const char* what;
  std::string script;  // text form; empty when bytes are given
  std::string bytes;
  int result;
  std::vector<std::string> shown;    // in this order
  std::vector<std::string> notShown;
  const char* trail = nullptr;  // expected value of [T] afterwards
};

// [T] records which records ran.
const char kTrail[] = "DEFINE \"[T]\", S\n";

std::string Trail(const char* body) { return std::string(kTrail) + body; }

}  // namespace

TEST(ScriptInterpreter, RunsSkipsAndStops) {
  const std::string exit0 = "EXIT 0\n";
  const std::vector<Case> cases = {
      {"exit ends as completed", exit0, "", -2, {kDone}, {"ERROR"}},
      {"end of file", Trail("STRCAT [T], \"a\"\n"), "", 0, {kDone}, {"ERROR"}, "a"},
      {"IF false runs the ELSE branch",
       Trail("IF 1, =, 2\nSTRCAT [T], \"a\"\nELSE\nSTRCAT [T], \"b\"\nENDIF\nSTRCAT [T], \"c\"\n"), "", 0, {kDone},
       {}, "bc"},
      {"IF true skips the ELSE branch, ENDIF closes",
       Trail("IF 2, =, 2\nSTRCAT [T], \"a\"\nELSE\nSTRCAT [T], \"b\"\nENDIF\nSTRCAT [T], \"c\"\nELSE\n"), "", -1,
       {"ERROR 0215: ELSE encountered with no matching IF.", "The script T.QSC failed on line 9."}, {kDone}, "ac"},
      {"nested IF in a skipped branch is skipped with its ELSE and ENDIF",
       Trail("IF 1, =, 2\n IF 1, =, 1\n STRCAT [T], \"a\"\n ELSE\n STRCAT [T], \"b\"\n ENDIF\n STRCAT [T], \"x\"\n"
             "ELSE\nSTRCAT [T], \"c\"\n IF 3, >, 2\n STRCAT [T], \"d\"\n ENDIF\nENDIF\nSTRCAT [T], \"e\"\n"),
       "", 0, {kDone}, {"ERROR"}, "cde"},
      {"two levels of skipped IFs inside a skipped ELSE branch",
       Trail("IF 1, =, 1\nSTRCAT [T], \"a\"\nELSE\n IF 1, =, 1\n  IF 1, =, 1\n  STRCAT [T], \"b\"\n  ENDIF\n ELSE\n"
             " STRCAT [T], \"c\"\n ENDIF\nENDIF\nSTRCAT [T], \"z\"\n"),
       "", 0, {kDone}, {}, "az"},
      {"a failing handler in a skipped branch is never called",
       Trail("IF 0, !, 0\nUPGRADEOS\nCOPY \"A\", \"B\"\nEXIT 5\nWRITELN [NOPE]\nENDIF\nSTRCAT [T], \"k\"\n"), "", 0,
       {kDone}, {"0232", "0203", "0207", "0208"}, "k"},
      {"unknown function id at position 3", "", scripttest::Compile(Trail("STRCAT [T], \"a\"\n")) + Record(5, 99, std::string(1, '\0')) + scripttest::Compile("STRCAT [T], \"b\"\n"),
       -1, {"ERROR 0234: Unknown function ID: 99.", "The script T.QSC failed on line 4."}, {kDone}, "a"},
      {"a handler's failure stops the script", Trail("COPY \"A\", \"B\"\nSTRCAT [T], \"a\"\n"), "", -1,
       {"ERROR 0207: Invalid number of parameters passed to function: COPY.", "The script T.QSC failed on line 3."},
       {kDone}, ""},
      {"an empty parameter block fails with 207", "WRITELN\n", "", -1,
       {"ERROR 0207: Invalid number of parameters passed to function: WRITELN.",
        "The script T.QSC failed on line 2."}, {kDone}},
      {"empty file", "", "", -1,
       {"ERROR 0233: Unable to read or unexpected end of file in script: ", "The script T.QSC failed on line 2."},
       {kDone}},
      {"file ends inside a record", "", scripttest::Compile("EXIT 0\n").substr(0, 5), -1,
       {"ERROR 0233:", "failed on line 2."}, {kDone}},
      {"record length 4", "", Record(4, 33, ""), -1, {"ERROR 0233:", "failed on line 2."}, {}},
      {"record length over the limit", "", Record(1027, 31, std::string(1023, '"')), -1,
       {"ERROR 0233:", "failed on line 2."}, {}},
      {"the largest record is read whole", "",
       Record(1026, 31, std::string(1, '\0') + "\"" + std::string(1019, 'w') + "\x05"), -1,
       {"ERROR 0209:", "failed on line 2."}, {"0233"}},
      {"abort with a value", "WRITELN \"x\"\nAbort 3\nWRITELN \"never\"\n", "", -101,
       {"ERROR 0235: The package was aborted on line 3"}, {kDone, "never"}},
      {"abort with 0", "Abort 0\n", "", -101, {}, {kDone, "0235", "0206"}},
      {"reboot ends as completed", "REBOOT 0\nWRITELN \"never\"\n", "", -100, {kDone}, {"never"}},
      {"unsupported function stops the script", "WRITELN \"x\"\nWRITELN \"y\"\nUPGRADEOS\n", "", -1,
       {"ERROR 0232: Function UPGRADEOS is not supported on this operating system.",
        "The script T.QSC failed on line 4."}, {kDone}},
      {"[RETVAL] after a call is seen by IF, and is 0 inside",
       Trail("ASSIGN [RETVAL], 7\nIF [RETVAL], =, 7\n IF [RETVAL], =, 0\n STRCAT [T], \"a\"\n ENDIF\nELSE\n"
             "STRCAT [T], \"b\"\nENDIF\n"),
       "", 0, {kDone}, {}, "a"},
      {"an unclosed IF at the end of the file is no error", Trail("IF 1, <, 2\nSTRCAT [T], \"a\"\n"), "", 0,
       {kDone}, {}, "a"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptRun run;
    ASSERT_TRUE(run.window.Ok());
    std::string bytes = c.bytes.empty() && !c.script.empty() ? scripttest::Compile(c.script) : c.bytes;
    EXPECT_EQ(run.RunBytes(bytes), c.result);
    std::string shown = run.Shown();
    size_t at = 0;
    for (const std::string& s : c.shown) {
      size_t found = shown.find(s, at);
      EXPECT_NE(found, std::string::npos) << "missing in order: " << s << "\n" << shown;
      if (found != std::string::npos) at = found + s.size();
    }
    for (const std::string& s : c.notShown) EXPECT_EQ(shown.find(s), std::string::npos) << s << "\n" << shown;
    if (c.trail) {
      EXPECT_EQ(ScriptRun::String("[T]"), c.trail);
    }
  }
}

TEST(ScriptInterpreter, FailureCodeIsLeftInRetval) {
  ScriptRun run;
  EXPECT_EQ(run.RunText("DEFINE \"[N]\", I\nASSIGN [N], 4\nSTRCOPY [N], \"x\"\n"), -1);
  EXPECT_EQ(run.Retval(), 208);
  EXPECT_EQ(ScriptRun::Int("[N]"), 4);  // what ran before the failure stays
  EXPECT_NE(run.Shown().find("ERROR 0208: Variable not defined in function: STRCOPY."), std::string::npos);
}

TEST(ScriptInterpreter, MissingFileIsReportedWithoutALine) {
  ScriptRun run;
  run.window.Clear();
  EXPECT_EQ(RunScript("NONE.QSC", run.dir.Path().c_str()), -1);
  std::string shown = run.Shown();
  EXPECT_NE(shown.find("ERROR 0205: Unable to locate script data file: " + run.dir.File("NONE.QSC") + "!"),
            std::string::npos)
      << shown;
  EXPECT_EQ(shown.find("0206"), std::string::npos) << shown;
  // An empty directory takes the name as the whole path.
  run.dir.Write("WHOLE.QSC", scripttest::Compile("EXIT 0\n"));
  EXPECT_EQ(RunScript(run.dir.File("WHOLE.QSC").c_str(), ""), -2);
}

TEST(ScriptInterpreter, EveryScriptStartsOutsideAnyIf) {
  ScriptRun run;
  // Ends inside two open blocks, the inner one skipping.
  EXPECT_EQ(run.RunText("IF 1, =, 1\nIF 1, =, 2\nELSE\nEXIT 0\nENDIF\n"), -2);
  EXPECT_EQ(gIfState.level, 2);
  EXPECT_EQ(run.RunText("DEFINE \"[T]\", S\nSTRCAT [T], \"ran\"\n"), 0);
  EXPECT_EQ(ScriptRun::String("[T]"), "ran");
  EXPECT_EQ(gIfState.level, 0);
}

TEST(ScriptInterpreter, CallerMapsResults) {
  const struct {
    const char* script;
    int mapped;
  } cases[] = {
      {"EXIT 9\n", 0},
      {"Abort 4\n", -101},
      {"REBOOT NULL\n", -100},
      {"WRITELN \"x\"\n", 0},
      {"WRITELN [NONE]\n", 208},  // the failure's number from [RETVAL]
      {"#77\n", -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    ScriptRun run;
    run.dir.Write("Q.QSC", scripttest::Compile(c.script));
    EXPECT_EQ(RunQuickScript("Q.QSC", run.dir.Path().c_str()), c.mapped);
  }
}
