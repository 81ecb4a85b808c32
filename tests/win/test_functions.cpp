// The quickscript function table: every row found by its id and by its name, and running a
// function by name reports what the table knows of it.
#include <gtest/gtest.h>

#include <string>

#include "functions.h"
#include "package_loop.h"
#include "variable_store.h"
#include "win_test_support.h"

namespace {

struct Row {
  int id;
  const char* name;
};

// Typed from the table as the documentation lists it.
const Row kRows[] = {
    {0, "COPY"},           {1, "MDIR"},             {2, "CFGSETVALUE"},      {3, "DELETEFILE"},
    {4, "DELETEDIR"},      {5, "FINDFILE"},         {6, "ATTRIB"},           {7, "RENAME"},
    {8, "SETSYSFILE"},     {9, "ADDPATH"},          {10, "ADDLINE"},         {11, "REPLACELINE"},
    {12, "ADDDEVICE"},     {13, "CFGGETVALUE"},     {14, "PAUSE"},           {15, "ADDINIMULTIKEY"},
    {16, "CFGGETSTRING"},  {17, "CFGSETSTRING"},    {18, "SCHEDULEWIN"},     {19, "GETINISTR"},
    {20, "GETINIINT"},     {21, "WRITEINISTR"},     {22, "DEFINE"},          {23, "ASSIGN"},
    {24, "NUMTOSTR"},      {25, "STRCOPY"},         {26, "STRCAT"},          {27, "APPENDPATH"},
    {28, "STRCOMPARE"},    {29, "IF"},              {30, "ELSE"},            {31, "WRITELN"},
    {32, "SHELL"},         {33, "EXIT"},            {34, "ENDIF"},           {35, "UPGRADEOS"},
    {36, "REBOOT"},        {37, "REPLACEKEY"},      {38, "WRITEINIINT"},     {39, "ADDGROUP"},
    {40, "ADDITEM"},       {41, "REPLACELINEADD"},  {42, "DELINIMULTIKEY"},  {43, "ADDITEMPATH"},
    {44, "RegCreateKey"},  {45, "RegDeleteKey"},    {46, "RegSetStrValue"},  {47, "RegSetIntValue"},
    {48, "RegQueryStrValue"}, {49, "RegQueryIntValue"}, {50, "ShellWait"},   {51, "Abort"},
    {52, "WriteLog"},      {53, "DeleteItem"},      {54, "DeleteGroup"},     {55, "StartService"},
    {56, "StopService"},   {57, "GetEnv"},          {58, "FILEDATECOMP"},    {59, "LoadNLM"},
    {60, "UnLoadNLM"},
};

std::string Lower(const char* s) {
  std::string out(s);
  for (char& c : out) c = char(tolower(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace

TEST(FunctionTable, EveryRowByIdAndByName) {
  ASSERT_EQ(sizeof kRows / sizeof kRows[0], 61u);
  for (const Row& r : kRows) {
    SCOPED_TRACE(r.name);
    char name[kFunctionNameSize] = "stale";
    EXPECT_EQ(FindFunctionById(r.id, name), r.id);
    EXPECT_STREQ(name, r.name);
    EXPECT_EQ(FindFunctionByName(r.name), r.id);
    EXPECT_EQ(FindFunctionByName(Lower(r.name).c_str()), r.id);
  }
  char name[kFunctionNameSize];
  for (int id : {-1, 61, 62}) EXPECT_EQ(FindFunctionById(id, name), -1) << id;
  // Neither a near name nor the closing row's empty name is a function.
  for (const char* n : {"SYSFILE", "", "COPY ", "REGCREATEKEYS"}) EXPECT_EQ(FindFunctionByName(n), -1) << n;
  char small[4];
  EXPECT_EQ(FindFunctionById(8, small), -1);  // "SETSYSFILE" does not fit
}

TEST(FunctionTable, ExecuteReportsWhatTheTableKnows) {
  testsupport::ResultsWindow window;
  ASSERT_TRUE(window.Ok());
  const struct {
    const char* name;
    int result;
    const char* shown;
  } cases[] = {
      {"SYSFILE", -1, "ERROR 0202: Unknown function: SYSFILE."},
      {"SETSYSFILE", 207, "ERROR 0207: Invalid number of parameters passed to function: SETSYSFILE."},
      {"UPGRADEOS", 232, "ERROR 0232: Function UPGRADEOS is not supported on this operating system."},
      {"unloadnlm", 232, "ERROR 0232: Function unloadnlm is not supported on this operating system."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    window.Clear();
    EXPECT_EQ(ExecuteFunction(c.name, ""), c.result);
    EXPECT_NE(window.Shown().find(c.shown), std::string::npos) << window.Shown();
  }
}

TEST(FunctionTable, WindowsGoesInFrontOfTheStartupPath) {
  testsupport::ResultsWindow window;
  ASSERT_TRUE(window.Ok());
  testsupport::SavedRun run;
  VariableStore::Free();
  VariableStore::Init();
  VariableStore::Define("[RETVAL]", 'I');
  // The boot drive's own AUTOEXEC.BAT, put back afterwards.
  const char kAutoexec[] = "C:\\AUTOEXEC.BAT";
  const bool had = GetFileAttributesA(kAutoexec) != INVALID_FILE_ATTRIBUTES;
  const std::string kept = testsupport::ReadWholeFile(kAutoexec);
  const struct {
    const char* before;
    const char* after;
  } cases[] = {
      {"@ECHO OFF\r\nrem path=x\r\nPATH=C:\\DOS;C:\\UTIL\r\n", "@ECHO OFF\r\nrem path=x\r\nPATH=C:\\WIN95;C:\\DOS;C:\\UTIL\r\n"},
      {"@ECHO OFF\r\n", "SET PATH=C:\\WIN95\r\n@ECHO OFF\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.before);
    FILE* f = fopen(kAutoexec, "wb");
    ASSERT_NE(f, nullptr);
    fputs(c.before, f);
    fclose(f);
    window.Clear();
    AddWindowsToAutoexecPath("c:\\win95");
    EXPECT_EQ(testsupport::ReadWholeFile(kAutoexec), c.after);
    // The file is selected by the directory parameter alone, and nothing is reported.
    EXPECT_EQ(window.Shown().find("ERROR"), std::string::npos) << window.Shown();
  }
  if (had) {
    FILE* f = fopen(kAutoexec, "wb");
    ASSERT_NE(f, nullptr);
    fwrite(kept.data(), 1, kept.size(), f);
    fclose(f);
  } else {
    DeleteFileA(kAutoexec);
  }
  VariableStore::Free();
}
