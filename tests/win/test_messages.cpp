#include <gtest/gtest.h>

#include <stdarg.h>
#include <string.h>
#include <windows.h>

#include <set>
#include <string>
#include <vector>

#include "history.h"
#include "messages.h"
#include "run_state.h"
#include "win_test_support.h"

namespace {

std::string MessageLine(uint32_t number, ...) {
  char line[256];
  va_list args;
  va_start(args, number);
  FormatMessageLine(line, sizeof line, number, args);
  va_end(args);
  return line;
}

void MessageLineInto(char* line, size_t size, uint32_t number, ...) {
  va_list args;
  va_start(args, number);
  FormatMessageLine(line, size, number, args);
  va_end(args);
}

std::string DatabaseLine(int32_t code, ...) {
  char line[256];
  va_list args;
  va_start(args, code);
  FormatDatabaseLine(line, sizeof line, code, args);
  va_end(args);
  return line;
}

std::string Text(uint32_t number) {
  const CatalogueEntry* e = FindMessage(number);
  return e ? e->text : "<missing>";
}

std::string DatabaseText(uint32_t code) {
  const CatalogueEntry* e = FindDatabaseMessage(code);
  return e ? e->text : "<missing>";
}

}  // namespace

TEST(MessageCatalogue, NumbersInTheirFixedOrderEndedByZero) {
  const std::vector<uint32_t> order = {
      101, 102, 103, 104, 105, 201, 202, 203, 232, 234, 204, 205, 206, 207, 208, 209, 210, 211, 212, 213,
      214, 215, 216, 217, 106, 107, 108, 109, 111, 112, 113, 114, 115, 116, 117, 118, 119, 120, 121, 122,
      123, 160, 124, 125, 126, 218, 219, 220, 221, 222, 223, 224, 225, 228, 227, 226, 229, 127, 128, 129,
      130, 131, 163, 164, 165, 166, 230, 231, 132, 150, 133, 134, 135, 136, 137, 138, 139, 140, 141, 142,
      143, 144, 145, 147, 233, 148, 149, 151, 152, 153, 154, 155, 156, 157, 158, 159, 161, 162, 235, 167,
      168, 301, 302, 304, 305, 306, 309, 310, 312, 319, 398, 399, 402, 403, 404, 405, 408, 415, 416, 417,
      418, 419, 421, 432, 499};
  ASSERT_EQ(order.size(), 125u);
  ASSERT_EQ(kMessageCatalogueSize, 126u);
  for (size_t i = 0; i < order.size(); ++i) EXPECT_EQ(kMessageCatalogue[i].number, order[i]) << "entry " << i;
  EXPECT_EQ(kMessageCatalogue[125].number, 0u);
}

TEST(MessageCatalogue, TypesByNumber) {
  for (size_t i = 0; i + 1 < kMessageCatalogueSize; ++i) {
    uint32_t n = kMessageCatalogue[i].number;
    char expected = 'E';
    if (n == 102 || n == 135) expected = 'W';
    else if (n == 222 || n == 167 || n == 168) expected = 'I';
    else if (n >= 300 && n < 400) expected = 'S';
    else if (n >= 400 && n < 500) expected = 'D';
    EXPECT_EQ(kMessageCatalogue[i].type, expected) << n;
  }
}

TEST(MessageCatalogue, NumbersUniqueAndEachFoundAtItsOwnEntry) {
  std::set<uint32_t> seen;
  for (size_t i = 0; i + 1 < kMessageCatalogueSize; ++i) {
    const CatalogueEntry& e = kMessageCatalogue[i];
    EXPECT_TRUE(seen.insert(e.number).second) << e.number;
    EXPECT_EQ(FindMessage(e.number), &e);
    // The header and text buffers leave room for the arguments only if texts stay short.
    EXPECT_LT(strlen(e.text), 160u) << e.number;
  }
  EXPECT_EQ(FindMessage(0), nullptr);
  EXPECT_EQ(FindMessage(100), nullptr);
  EXPECT_EQ(FindMessage(999), nullptr);
  EXPECT_EQ(FindMessage(10612), nullptr);  // a database code is not a message
}

TEST(MessageCatalogue, ExactTexts) {
  EXPECT_EQ(Text(101), "Error determining boot drive letter.");
  EXPECT_EQ(Text(104), "Error determing first available hard drive.");
  EXPECT_EQ(Text(107), "Floppy Disk Error:%x");
  EXPECT_EQ(Text(109),
            "Unable to find or create a unique ID for this workstation. \n"
            "Either the boot drive is write protected or has insufficient space.");
  EXPECT_EQ(Text(122), "Unable to allocate buffers for Fileset: %s ");
  EXPECT_EQ(Text(126), "Script \"%s\" has not been compiled!");
  EXPECT_EQ(Text(145), "Undo was unable to read the undo config file. ");
  EXPECT_EQ(Text(147), "Agent must be run from a network drive.");
  EXPECT_EQ(Text(155), "DOS error %d copying application %s to target directory.\n");
  EXPECT_EQ(Text(157), "This package requires windows to be installed");
  EXPECT_EQ(Text(159),
            "Unable to determine server name, or incorrect agent for this\n"
            "network type.  Ensure that the Orvik NLM/NT Service is loaded, or specify\n"
            "the /server= option.");
  EXPECT_EQ(Text(161),
            "Unable to parse path: %s.\nAcceptable path formats are: d:\\path, \\\\server\\share\\path.");
  EXPECT_EQ(Text(164),
            "There is not enough memory to run the Orvik DOS NT Agent.\n"
            "Please free up <%ld> more bytes and try again.");
  EXPECT_EQ(Text(168), "NT Impersonation enabled for user %s.\n");
  EXPECT_EQ(Text(231),
            "Unable to install package \"%s\".  \nThis package is dependent on package:\n"
            "\"%s\" but you are not scheduled to run that package.");
  EXPECT_EQ(Text(234), "Unknown function ID: %02d.");
  EXPECT_EQ(Text(305),
            "Unable to creating/write swap file.  Verify create/write\naccess to the agent directory.");
  EXPECT_EQ(Text(398),
            "Unable to decompress %s because PLXDECOM.EXE could not be located.\n"
            "Verify this file is in the agent directory.");
  EXPECT_EQ(Text(405), "Access denied.  File in use, or protected.");
  EXPECT_EQ(Text(499), "Not enough space to copy file.");
}

TEST(DatabaseCatalogue, CodesInOrderAllErrorsWithOneName) {
  const std::vector<std::pair<uint32_t, uint32_t>> runs = {
      {10000, 10009}, {10100, 10102}, {10200, 10210}, {10300, 10301}, {10400, 10407}, {10500, 10502},
      {10600, 10619}, {10700, 10709}, {10800, 10814}, {10900, 10904}, {11000, 11001}};
  std::vector<uint32_t> order;
  for (auto& r : runs)
    for (uint32_t c = r.first; c <= r.second; ++c) order.push_back(c);
  ASSERT_EQ(order.size(), 89u);
  ASSERT_EQ(kDatabaseCatalogueSize, 89u);
  for (size_t i = 0; i < order.size(); ++i) {
    const CatalogueEntry& e = kDatabaseCatalogue[i];
    EXPECT_EQ(e.number, order[i]) << "entry " << i;
    EXPECT_EQ(e.type, 'E');
    EXPECT_EQ(strncmp(e.text, "%s: ", 4), 0) << e.number;
    EXPECT_EQ(strchr(e.text + 1, '%'), nullptr) << e.number;
    EXPECT_EQ(FindDatabaseMessage(e.number), &e);
  }
  EXPECT_EQ(FindDatabaseMessage(0), nullptr);
  EXPECT_EQ(FindDatabaseMessage(10010), nullptr);
  EXPECT_EQ(FindDatabaseMessage(147), nullptr);
}

TEST(DatabaseCatalogue, ExactTexts) {
  EXPECT_EQ(DatabaseText(10000), "%s: NOT DEFINED");
  EXPECT_EQ(DatabaseText(10210), "%s: NO FILTERS SPECIFIED");
  EXPECT_EQ(DatabaseText(10401), "%s: DUPLICATE TABLEID_IN CONFIG FILE");
  EXPECT_EQ(DatabaseText(10402), "%s: NO_ENTRIES IN CONFIG FILE");
  EXPECT_EQ(DatabaseText(10612), "%s: RECORD NOT FOUND");
  EXPECT_EQ(DatabaseText(10705), "%s: UNABLE TO INITIALIZE BACKWARD SCROLLING");
  EXPECT_EQ(DatabaseText(10802), "%s: DUPLICATE FIELD NUMBER IN_DICTIONARY_FILE");
  EXPECT_EQ(DatabaseText(10803), "%s: DUPLICATE FIELD NAME IN DICTIONARY FILE");
  EXPECT_EQ(DatabaseText(10904), "%s: PRODUCT DATABASE IS LOCKED");
  EXPECT_EQ(DatabaseText(11001), "%s: UNABLE TO GET NETWARE CONNECTION NUMBER");
}

TEST(MessageLines, HeaderOfEachType) {
  EXPECT_EQ(MessageLine(147), "ERROR 0147: Agent must be run from a network drive.");
  EXPECT_EQ(MessageLine(102), "WARNING 0102: Could not locate a copy of Windows in the path.");
  EXPECT_EQ(MessageLine(222, "MS", 6, 22),
            "INFORMATION 0222: MS-DOS version 6.22 is already installed on your system!");
  EXPECT_EQ(MessageLine(302), "SWAP ERROR 0302: Unable to locate swap file.");
  EXPECT_EQ(MessageLine(402), "DOS ERROR 0402: No such file or directory.");
  EXPECT_EQ(MessageLine(206, "SETUP.QS", 12ul), "ERROR 0206: The script SETUP.QS failed on line 12.");
  EXPECT_EQ(MessageLine(116, 0x89FC), "ERROR 0116: Netware error: 0x89FC");
}

TEST(MessageLines, UnknownNumbersAreBareHeaders) {
  EXPECT_EQ(MessageLine(999), "ERROR 0999");
  EXPECT_EQ(MessageLine(0), "ERROR 0000");
  EXPECT_EQ(MessageLine(7), "ERROR 0007");
  EXPECT_EQ(MessageLine(12345), "ERROR 12345");
}

TEST(MessageLines, DatabaseCodes) {
  EXPECT_EQ(DatabaseLine(10612, "PKG.DBF"), "DATABASE ERROR 10612: PKG.DBF: RECORD NOT FOUND");
  EXPECT_EQ(DatabaseLine(10904, "PKG.DBF"), "DATABASE ERROR 10904: PKG.DBF: PRODUCT DATABASE IS LOCKED");
  EXPECT_EQ(DatabaseLine(10050, "SRV1"), "DATABASE ERROR 10050: <SRV1>");
  EXPECT_EQ(DatabaseLine(42, "PUD.DBF"), "DATABASE ERROR 0042: <PUD.DBF>");
}

TEST(MessageLines, LongArgumentsAreCutNeverOverrun) {
  std::string longName(600, 'a');
  struct {
    char line[256];
    char guard[64];
  } buf;
  memset(&buf, '#', sizeof buf);
  MessageLineInto(buf.line, sizeof buf.line, 121, longName.c_str());
  EXPECT_EQ(std::string(buf.line), "ERROR 0121: Unable to open Fileset: " + std::string(255 - 36, 'a'));
  EXPECT_EQ(std::string(buf.guard, sizeof buf.guard), std::string(64, '#'));

  char small[16];
  MessageLineInto(small, sizeof small, 147);
  EXPECT_STREQ(small, "ERROR 0147: Age");
}

namespace {

// The reporting code writes to a real results box; the run-wide records are put back after
// every case.
class ResultsBox : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(window_.Ok());
    savedOptions_ = gOptions;
    savedContext_ = gContext;
    gOptions = AgentOptions{};
    gContext.nCurrentPackageId = 0;
    SetHistoryWriter(AddHistoryEntry);
  }

  void TearDown() override {
    SetHistoryWriter(nullptr);
    gOptions = savedOptions_;
    gContext = savedContext_;
  }

  std::string Shown() const { return window_.Shown(); }

  // A fresh directory under the temporary directory, for log files.
  std::string MakeTempDir() {
    char base[MAX_PATH];
    GetTempPathA(sizeof base, base);
    std::string dir = std::string(base) + "plxmsg" + std::to_string(GetCurrentProcessId()) + "_" +
                      std::to_string(GetTickCount());
    CreateDirectoryA(dir.c_str(), nullptr);
    return dir;
  }

  static void RemoveDir(const std::string& dir, const char* file) {
    DeleteFileA((dir + "\\" + file).c_str());
    RemoveDirectoryA(dir.c_str());
  }

  static std::string ReadFile(const std::string& path) { return testsupport::ReadWholeFile(path); }

  testsupport::ResultsWindow window_;
  AgentOptions savedOptions_;
  AgentContext savedContext_;
};

}  // namespace

TEST_F(ResultsBox, MessageShownBetweenEmptyLines) {
  ReportMessage(0, 147);
  EXPECT_EQ(Shown(), "\r\nERROR 0147: Agent must be run from a network drive.\r\n\r\n");
  ReportMessage(0, 999);
  EXPECT_EQ(Shown(),
            "\r\nERROR 0147: Agent must be run from a network drive.\r\n\r\n"
            "\r\nERROR 0999\r\n\r\n");
}

TEST_F(ResultsBox, MultiLineMessageShownOverSeveralLines) {
  ReportMessage(0, 159);
  EXPECT_EQ(Shown(),
            "\r\nERROR 0159: Unable to determine server name, or incorrect agent for this\r\n"
            "network type.  Ensure that the Orvik NLM/NT Service is loaded, or specify\r\n"
            "the /server= option.\r\n\r\n");
}

TEST_F(ResultsBox, DatabaseErrors) {
  ReportDatabaseError(0, 10904, "PKG.DBF");
  ReportDatabaseError(0, 10999, "PDD.DBF");
  EXPECT_EQ(Shown(),
            "\r\nDATABASE ERROR 10904: PKG.DBF: PRODUCT DATABASE IS LOCKED\r\n\r\n"
            "\r\nDATABASE ERROR 10999: <PDD.DBF>\r\n\r\n");
}

TEST_F(ResultsBox, RecordOneGoesToTheHistory) {
  // No package examined yet: the history says so in the results box, which shows that the
  // line was handed on. Any record value but 1 leaves the history alone.
  ReportDatabaseError(1, 10612, "PKG.DBF");
  EXPECT_EQ(Shown(),
            "\r\nDATABASE ERROR 10612: PKG.DBF: RECORD NOT FOUND\r\n\r\n"
            "Unable to add an entry to the history log (no package ID).\r\n");
  window_.Clear();
  ReportMessage(2, 147);
  ReportDatabaseError(0, 10612, "PKG.DBF");
  EXPECT_EQ(Shown(),
            "\r\nERROR 0147: Agent must be run from a network drive.\r\n\r\n"
            "\r\nDATABASE ERROR 10612: PKG.DBF: RECORD NOT FOUND\r\n\r\n");
  window_.Clear();
  gContext.nCurrentPackageId = 7;
  gContext.rows = StatusRowState{};
  ReportMessage(1, 121, "BASE.FST");
  EXPECT_EQ(Shown(),
            "\r\nERROR 0121: Unable to open Fileset: BASE.FST\r\n\r\n"
            "Unable to add an entry to the history log.\r\nUnable to determine package user ID.");
}

TEST_F(ResultsBox, PrintResultsFormatsAndBounds) {
  PrintResults("Target path: %s\n", "C:\\APPS");
  PrintResults("Disk space : %lu bytes free\n\n", 4096ul);
  EXPECT_EQ(Shown(), "Target path: C:\\APPS\r\nDisk space : 4096 bytes free\r\n\r\n");
  window_.Clear();
  std::string big(2000, 'x');
  PrintResults("%s", big.c_str());
  EXPECT_EQ(Shown(), std::string(511, 'x'));
}

TEST_F(ResultsBox, NoShowSuppressesEverything) {
  gOptions.bNoShow = true;
  PrintResults("Installing package \"%s\"...\n\n", "OFFICE");
  ReportMessage(0, 147);
  ReportDatabaseError(0, 10612, "PKG.DBF");
  EXPECT_EQ(Shown(), "");
}

TEST_F(ResultsBox, NoShowStillLogs) {
  std::string dir = MakeTempDir();
  std::string log = dir + "\\NOSHOW.LOG";
  gOptions.bNoShow = true;
  gOptions.bLog = true;
  snprintf(gOptions.szAltLogFile, sizeof gOptions.szAltLogFile, "%s", log.c_str());
  strcpy(gContext.szLoginName, "ALICE");
  ReportMessage(0, 147);
  EXPECT_EQ(Shown(), "");
  std::string bytes = ReadFile(log);
  const std::string tail = "\r\nLog Entry:\r\nERROR 0147: Agent must be run from a network drive.\r\n\r\n";
  ASSERT_GE(bytes.size(), tail.size());
  EXPECT_EQ(bytes.substr(bytes.size() - tail.size()), tail);
  RemoveDir(dir, "NOSHOW.LOG");
}

TEST_F(ResultsBox, SilentWithoutLogLeavesNoTrace) {
  std::string dir = MakeTempDir();
  gOptions.bSilent = gOptions.bNoShow = true;
  snprintf(gContext.szAppPath, sizeof gContext.szAppPath, "%s", dir.c_str());
  ReportMessage(0, 147);
  ReportDatabaseError(0, 10612, "PKG.DBF");
  EXPECT_EQ(Shown(), "");
  EXPECT_EQ(GetFileAttributesA((dir + "\\CORVSD.LOG").c_str()), INVALID_FILE_ATTRIBUTES);
  RemoveDir(dir, "CORVSD.LOG");
}

TEST_F(ResultsBox, UnopenableLogLosesTheEntryQuietly) {
  std::string dir = MakeTempDir();
  gOptions.bLog = true;
  strcpy(gContext.szLoginName, "ALICE");
  snprintf(gOptions.szAltLogFile, sizeof gOptions.szAltLogFile, "%s\\NO\\SUCH\\DIR\\X.LOG", dir.c_str());
  ReportMessage(0, 147);
  WriteLogEntry("ERROR 0999");
  EXPECT_EQ(Shown(), "\r\nERROR 0147: Agent must be run from a network drive.\r\n\r\n");
  EXPECT_EQ(GetFileAttributesA((dir + "\\NO").c_str()), INVALID_FILE_ATTRIBUTES);
  RemoveDir(dir, "X.LOG");
}
