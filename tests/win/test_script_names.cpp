// The agent's function table and the one the compiler writes ids from must agree row by
// row, or a compiled script would call one function and the agent run another.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "functions.h"
#include "plx/script_format.h"
#include "qsc.h"

TEST(ScriptNames, AgentAndCompilerTablesAgree) {
  static_assert(kFunctionCount == plx::kScriptFunctionCount, "both tables have every function");
  for (int row = 0; row < kFunctionCount; ++row) {
    const plx::ScriptFunctionName& compiler = plx::kScriptFunctionNames[row];
    EXPECT_EQ(kScriptFunctions[row].id, row);
    EXPECT_EQ(compiler.id, row);
    EXPECT_EQ(std::string(kScriptFunctions[row].name), compiler.name) << row;
    EXPECT_LE(compiler.minParams, compiler.maxParams) << compiler.name;

    char name[kFunctionNameSize];
    EXPECT_EQ(FindFunctionById(compiler.id, name), row);
    EXPECT_STREQ(name, compiler.name);
    EXPECT_EQ(FindFunctionByName(compiler.name), row);
  }
  EXPECT_STREQ(kScriptFunctions[kFunctionCount].name, "");  // the closing row
}

// Compiled files are binary: a record length of 10 is a line feed that must stay one byte.
TEST(ScriptNames, TestsWriteCompiledScriptsByteForByte) {
  const char* source = "WRITELN \"Hi\"\nIF 1, =, 2\nENDIF\n";
  char dir[MAX_PATH];
  ASSERT_GT(GetTempPathA(sizeof dir, dir), 0u);
  const std::string path = std::string(dir) + "plx_names_test.qsc";
  std::string messages;
  ASSERT_TRUE(plx::WriteCompiledQuickscript(path.c_str(), source, &messages)) << messages;
  FILE* f = fopen(path.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  std::vector<uint8_t> bytes(64);
  bytes.resize(fread(bytes.data(), 1, bytes.size(), f));
  fclose(f);
  DeleteFileA(path.c_str());
  const std::vector<uint8_t> expected = {10, 0, 31, 0, 0, '"', 'H', 'i', '"', 5, 11, 0, 29, 0, 0,
                                         '1', 5, '=', 5, '2', 5, 5, 0, 34, 0, 0};
  EXPECT_EQ(bytes, expected);
  EXPECT_FALSE(plx::WriteCompiledQuickscript(path.c_str(), "NOSUCH 1", &messages));
  EXPECT_EQ(messages, "script:1:1: error: unknown function 'NOSUCH'\n");
  EXPECT_EQ(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES);
}
