// The text files' own buffering against the runtime's text mode, which it must read and write
// exactly like: the same pieces from the same bytes (CR LF, lone CRs, Ctrl-Z, long lines, a
// CR at the edge of a buffer), and the same bytes from the same writes.
#include <gtest/gtest.h>
#include <stdio.h>
#include <windows.h>

#include <string>
#include <vector>

#include "text_file_ops.h"
#include "win_test_support.h"

namespace {

using testsupport::ReadWholeFile;

// A piece as the callers see it: its text up to the first NUL, and whether it ended a line.
using Pieces = std::vector<std::pair<std::string, bool>>;

std::string TempFile(const char* name) {
  char dir[MAX_PATH];
  GetTempPathA(sizeof dir, dir);
  return std::string(dir) + name + std::to_string(GetCurrentProcessId());
}

void Put(const std::string& path, const std::string& bytes) {
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  fwrite(bytes.data(), 1, bytes.size(), f);
  fclose(f);
}

Pieces ByRuntime(const std::string& path) {
  Pieces pieces;
  FILE* f = fopen(path.c_str(), "rt");
  char line[kTextLineSize];
  while (f && fgets(line, sizeof line, f)) {
    std::string s = line;
    pieces.emplace_back(s, !s.empty() && s.back() == '\n');
  }
  if (f) fclose(f);
  return pieces;
}

Pieces ByTextFile(const std::string& path) {
  Pieces pieces;
  TextFile in;
  EXPECT_EQ(OpenTextForRead(path.c_str(), in), 0);
  TextLine line;
  int r;
  while ((r = ReadTextLine(in, line)) == 0) pieces.emplace_back(line, in.lastLineEnded);
  EXPECT_EQ(r, kEndOfText);
  EXPECT_EQ(CloseText(in), 0);
  return pieces;
}

TEST(TextFileOps, ReadsAsTheRuntimesTextModeDoes) {
  const size_t kBlock = 64 * 1024;  // the buffer's size: a CR at its last byte waits
  const std::string a(kBlock - 1, 'a');
  const std::string inputs[] = {
      "",
      "a\r\nb\nc",
      "lone\rcr\r\r\nend cr\r",
      "before\x1A" "after\r\n",
      "cr then mark\r\x1A",
      std::string(300, 'x') + "\r\n" + std::string(255, 'y') + "\r\n" + std::string(254, 'z') + "\r\n",
      std::string("nul\0inside\r\nnext\r\n", 19),
      a + "\r\nb\r\n",
      a + "\rb",
      a + "\r",
      a + "\r\x1A",
      a + "a\r\n" + a + "\r\n",
  };
  const std::string path = TempFile("plxtextops");
  for (const std::string& bytes : inputs) {
    Put(path, bytes);
    EXPECT_EQ(ByTextFile(path), ByRuntime(path)) << bytes.size() << " bytes: " << bytes.substr(0, 40);
  }
  DeleteFileA(path.c_str());
}

TEST(TextFileOps, WritesAsTheRuntimesTextModeDoes) {
  const std::vector<std::string> writes = {"a\n", "b\r\n", "\r", "two\nlines\n", "", "no newline",
                                           std::string(70000, 'w') + "\n" + std::string(70000, 'v')};
  const std::string mine = TempFile("plxtextw1"), theirs = TempFile("plxtextw2");
  DeleteFileA(mine.c_str());
  TextFile out;
  ASSERT_EQ(CreateTextExclusive(mine.c_str(), out), 0);
  FILE* f = fopen(theirs.c_str(), "wt");
  ASSERT_NE(f, nullptr);
  for (const std::string& w : writes) {
    EXPECT_EQ(WriteText(out, w.c_str()), 0);
    fputs(w.c_str(), f);
  }
  EXPECT_EQ(CommitText(out), 0);
  EXPECT_EQ(CloseText(out), 0);
  fclose(f);
  EXPECT_EQ(ReadWholeFile(mine), ReadWholeFile(theirs));
  EXPECT_EQ(CreateTextExclusive(mine.c_str(), out), EEXIST);
  DeleteFileA(mine.c_str());
  DeleteFileA(theirs.c_str());
}

}  // namespace
