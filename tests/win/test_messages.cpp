// The two catalogues against their golden file, the lines built from them, and where a
// report goes: results box, log, history.
#include <gtest/gtest.h>
#include <stdarg.h>
#include <windows.h>

#include <sstream>
#include <string>

#include "bounded_text.h"
#include "history.h"
#include "messages.h"
#include "run_state.h"
#include "win_test_support.h"

namespace {

std::string MessageLine(size_t size, uint32_t number, ...) {
  char line[256];
  va_list args;
  va_start(args, number);
  FormatMessageLine(line, size, number, args);
  va_end(args);
  return line;
}

std::string DatabaseLine(int32_t code, ...) {
  char line[256];
  va_list args;
  va_start(args, code);
  FormatDatabaseLine(line, sizeof line, code, args);
  va_end(args);
  return line;
}

// One line per entry: type, number, text with each line feed written as \n.
std::string Golden(const CatalogueEntry* entries, size_t count, const char* type) {
  std::string out;
  for (size_t i = 0; i < count; ++i) {
    std::string text = entries[i].text;
    for (size_t at; (at = text.find('\n')) != std::string::npos;) text.replace(at, 1, "\\n");
    out += std::string(type ? type : std::string(1, entries[i].type)) + "\t" + std::to_string(entries[i].number) +
           "\t" + text + "\n";
  }
  return out;
}

}  // namespace

TEST(Catalogues, MatchTheGoldenFileAndAreFoundByNumber) {
  // The message catalogue's last entry is its end marker, number 0.
  ASSERT_EQ(kMessageCatalogueSize, 126u);
  EXPECT_EQ(kMessageCatalogue[125].number, 0u);
  EXPECT_EQ(Golden(kMessageCatalogue, 125, nullptr) + Golden(kDatabaseCatalogue, kDatabaseCatalogueSize, "DB"),
            testsupport::ReadWholeFile(PLX_WIN_TEST_DATA "/catalogues.txt"));
  for (size_t i = 0; i < 125; ++i) EXPECT_EQ(FindMessage(kMessageCatalogue[i].number), &kMessageCatalogue[i]);
  for (size_t i = 0; i < kDatabaseCatalogueSize; ++i) {
    EXPECT_EQ(kDatabaseCatalogue[i].type, 'E');
    EXPECT_EQ(FindDatabaseMessage(kDatabaseCatalogue[i].number), &kDatabaseCatalogue[i]);
  }
  for (uint32_t absent : {0u, 100u, 999u, 10612u}) EXPECT_EQ(FindMessage(absent), nullptr) << absent;
  for (uint32_t absent : {0u, 10010u, 147u}) EXPECT_EQ(FindDatabaseMessage(absent), nullptr) << absent;
}

TEST(Catalogues, LinesOfEachHeader) {
  EXPECT_EQ(MessageLine(256, 147), "ERROR 0147: Agent must be run from a network drive.");
  EXPECT_EQ(MessageLine(256, 102), "WARNING 0102: Could not locate a copy of Windows in the path.");
  EXPECT_EQ(MessageLine(256, 222, "MS", 6, 22), "INFORMATION 0222: MS-DOS version 6.22 is already installed on your system!");
  EXPECT_EQ(MessageLine(256, 302), "SWAP ERROR 0302: Unable to locate swap file.");
  EXPECT_EQ(MessageLine(256, 402), "DOS ERROR 0402: No such file or directory.");
  EXPECT_EQ(MessageLine(256, 116, 0x89FC), "ERROR 0116: Netware error: 0x89FC");
  EXPECT_EQ(MessageLine(256, 999), "ERROR 0999");
  EXPECT_EQ(MessageLine(256, 12345), "ERROR 12345");
  EXPECT_EQ(DatabaseLine(10904, "PKG.DBF"), "DATABASE ERROR 10904: PKG.DBF: PRODUCT DATABASE IS LOCKED");
  EXPECT_EQ(DatabaseLine(10050, "SRV1"), "DATABASE ERROR 10050: <SRV1>");
  EXPECT_EQ(DatabaseLine(42, "PUD.DBF"), "DATABASE ERROR 0042: <PUD.DBF>");
  // Long arguments are cut to the 256-byte text and line, never past the buffer.
  std::string longName(600, 'a');
  EXPECT_EQ(MessageLine(256, 121, longName.c_str()), "ERROR 0121: Unable to open Fileset: " + std::string(255 - 36, 'a'));
  EXPECT_EQ(MessageLine(16, 147), "ERROR 0147: Age");
}

namespace {

class Reports : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(window_.Ok());
    gContext.nCurrentPackageId = 0;
    CopyText(gContext.szLoginName, "ALICE");
    SetHistoryWriter(AddHistoryEntry);
    char base[MAX_PATH];
    GetTempPathA(sizeof base, base);
    log_ = std::string(base) + "plxmsg" + std::to_string(GetCurrentProcessId()) + ".LOG";
    DeleteFileA(log_.c_str());
  }
  void TearDown() override {
    SetHistoryWriter(nullptr);
    DeleteFileA(log_.c_str());
  }
  std::string Shown() const { return window_.Shown(); }

  testsupport::SavedRun saved_;
  testsupport::ResultsWindow window_;
  std::string log_;
};

}  // namespace

TEST_F(Reports, ShownBetweenEmptyLines) {
  ReportMessage(0, 159);
  ReportDatabaseError(0, 10999, "PDD.DBF");
  ReportMessage(2, 999);
  PrintResults("Disk space : %lu bytes free\n\n", 4096ul);
  EXPECT_EQ(Shown(),
            "\r\nERROR 0159: Unable to determine server name, or incorrect agent for this\r\n"
            "network type.  Ensure that the Orvik NLM/NT Service is loaded, or specify\r\n"
            "the /server= option.\r\n\r\n"
            "\r\nDATABASE ERROR 10999: <PDD.DBF>\r\n\r\n"
            "\r\nERROR 0999\r\n\r\n"
            "Disk space : 4096 bytes free\r\n\r\n");
  window_.Clear();
  PrintResults("%s", std::string(2000, 'x').c_str());
  EXPECT_EQ(Shown(), std::string(511, 'x'));
}

TEST_F(Reports, RecordOneGoesToTheHistory) {
  // No package examined yet: the history writer says so in the results box, which shows
  // that the line was handed on; any record value but 1 was not.
  ReportDatabaseError(1, 10612, "PKG.DBF");
  EXPECT_EQ(Shown(),
            "\r\nDATABASE ERROR 10612: PKG.DBF: RECORD NOT FOUND\r\n\r\n"
            "Unable to add an entry to the history log (no package ID).\r\n");
  window_.Clear();
  gContext.nCurrentPackageId = 7;
  gContext.rows = StatusRowState{};
  ReportMessage(1, 121, "BASE.FST");
  EXPECT_EQ(Shown(),
            "\r\nERROR 0121: Unable to open Fileset: BASE.FST\r\n\r\n"
            "Unable to add an entry to the history log.\r\nUnable to determine package user ID.");
}

TEST_F(Reports, NoShowAndSilentShowNothingLogOnlyWithLog) {
  CopyText(gOptions.szAltLogFile, log_.c_str());
  for (bool log : {false, true}) {
    gOptions.bNoShow = true;
    gOptions.bSilent = !log;
    gOptions.bLog = log;
    PrintResults("Installing package \"%s\"...\n\n", "OFFICE");
    ReportMessage(0, 147);
    EXPECT_EQ(Shown(), "");
    std::string bytes = testsupport::ReadWholeFile(log_);
    if (!log) {
      EXPECT_EQ(bytes, "");
    } else {
      const std::string tail = "\r\nLog Entry:\r\nERROR 0147: Agent must be run from a network drive.\r\n\r\n";
      ASSERT_GE(bytes.size(), tail.size());
      EXPECT_EQ(bytes.substr(bytes.size() - tail.size()), tail);
    }
  }
}
