#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>
#include <windows.h>

#include <string>
#include <vector>

#include "corvnet.h"
#include "messages.h"
#include "run_state.h"
#include "win_test_support.h"

namespace {

std::string Stamp(int year, int month, int day, int hour, int minute, int second) {
  char out[128];
  FormatLogStamp(out, sizeof out, year, month, day, hour, minute, second);
  return out;
}

std::string Stamp(const SYSTEMTIME& t) {
  return Stamp(t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
}

const std::string kSeparator(57, '=');

// Splits file bytes at CR LF; a bare LF or CR stays inside its line, where the checks see it.
std::vector<std::string> Lines(const std::string& bytes) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t at; (at = bytes.find("\r\n", start)) != std::string::npos; start = at + 2)
    lines.push_back(bytes.substr(start, at - start));
  if (start < bytes.size()) lines.push_back(bytes.substr(start));
  return lines;
}

class LogFile : public ::testing::Test {
 protected:
  void SetUp() override {
    savedOptions_ = gOptions;
    savedContext_ = gContext;
    gOptions = AgentOptions{};
    gContext.hMainDlg = nullptr;
    char base[MAX_PATH];
    GetTempPathA(sizeof base, base);
    dir_ = std::string(base) + "plxlog" + std::to_string(GetCurrentProcessId()) + "_" +
           std::to_string(GetTickCount());
    ASSERT_TRUE(CreateDirectoryA(dir_.c_str(), nullptr));
    strcpy(gContext.szSiteName, "NORTH");
    strcpy(gContext.szServerName, "SRV");
    strcpy(gContext.szLoginName, "ALICE");
    strcpy(gContext.currentPackage.Name, "OFFICE 97");
  }

  void TearDown() override {
    for (const std::string& f : files_) DeleteFileA(f.c_str());
    RemoveDirectoryA(dir_.c_str());
    gOptions = savedOptions_;
    gContext = savedContext_;
  }

  std::string Path(const char* name) {
    files_.push_back(dir_ + "\\" + name);
    return files_.back();
  }

  void UseAltLog(const std::string& path) {
    gOptions.bLog = true;
    snprintf(gOptions.szAltLogFile, sizeof gOptions.szAltLogFile, "%s", path.c_str());
  }

  static std::string ReadFile(const std::string& path) { return testsupport::ReadWholeFile(path); }

  // The node line as the network library describes this workstation.
  static std::string NodeLine() {
    char address[kNetAddrSize] = {};
    if (getNetAddr(address) != 0) return "Node Address: [:]";
    char line[64];
    snprintf(line, sizeof line, "Node Address: [%-.8s:%-.12s]", address, address + 9);
    return line;
  }

  // Writes one entry and checks its date line against the clock around the write.
  std::vector<std::string> WriteAndRead(const std::string& path, const char* text) {
    SYSTEMTIME before, after;
    GetLocalTime(&before);
    WriteLogEntry(text);
    GetLocalTime(&after);
    std::vector<std::string> lines = Lines(ReadFile(path));
    if (lines.size() > 1) {
      std::string stamp = lines[1] + "\n";
      EXPECT_TRUE(stamp == Stamp(before) || stamp == Stamp(after)) << lines[1];
    }
    return lines;
  }

  AgentOptions savedOptions_;
  AgentContext savedContext_;
  std::string dir_;
  std::vector<std::string> files_;
};

}  // namespace

TEST(LogStamp, DateAndTwelveHourClock) {
  EXPECT_EQ(Stamp(1997, 11, 4, 0, 5, 9), "Orvik 6.06 Log entry Date: 11/4/1997 Time: 12:05:09a\n");
  EXPECT_EQ(Stamp(1997, 11, 4, 12, 0, 0), "Orvik 6.06 Log entry Date: 11/4/1997 Time: 12:00:00p\n");
  EXPECT_EQ(Stamp(1997, 11, 4, 23, 59, 59), "Orvik 6.06 Log entry Date: 11/4/1997 Time: 11:59:59p\n");
  EXPECT_EQ(Stamp(2001, 1, 31, 1, 0, 0), "Orvik 6.06 Log entry Date: 1/31/2001 Time: 1:00:00a\n");
  EXPECT_EQ(Stamp(2001, 1, 31, 11, 59, 59), "Orvik 6.06 Log entry Date: 1/31/2001 Time: 11:59:59a\n");
  EXPECT_EQ(Stamp(2001, 12, 9, 13, 7, 3), "Orvik 6.06 Log entry Date: 12/9/2001 Time: 1:07:03p\n");
}

TEST_F(LogFile, OneEntryOfNineFormattedLines) {
  std::string path = Path("ALT.LOG");
  UseAltLog(path);
  std::vector<std::string> lines = WriteAndRead(path, "ERROR 0147: Agent must be run from a network drive.");
  // The last format line starts with a line feed and ends with two, so nine formats make
  // twelve lines in the file.
  ASSERT_EQ(lines.size(), 12u);
  EXPECT_EQ(lines[0], kSeparator);
  EXPECT_EQ(lines[2], kSeparator);
  EXPECT_EQ(lines[3], NodeLine());
  EXPECT_EQ(lines[4], "Site Name   : NORTH");
  EXPECT_EQ(lines[5], "Server Name : SRV");
  EXPECT_EQ(lines[6], "Login Name  : ALICE");
  EXPECT_EQ(lines[7], "Package Name: OFFICE 97");
  EXPECT_EQ(lines[8], "");
  EXPECT_EQ(lines[9], "Log Entry:");
  EXPECT_EQ(lines[10], "ERROR 0147: Agent must be run from a network drive.");
  EXPECT_EQ(lines[11], "");
}

TEST_F(LogFile, LineEndsAreCarriageReturnLineFeed) {
  std::string path = Path("CRLF.LOG");
  UseAltLog(path);
  WriteLogEntry("WARNING 0102: Could not locate a copy of Windows in the path.");
  std::string bytes = ReadFile(path);
  ASSERT_FALSE(bytes.empty());
  EXPECT_EQ(bytes.substr(0, 59), kSeparator + "\r\n");
  size_t lineFeeds = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '\n') {
      ++lineFeeds;
      EXPECT_TRUE(i > 0 && bytes[i - 1] == '\r') << "bare line feed at " << i;
    }
    if (bytes[i] == '\r') {
      EXPECT_TRUE(i + 1 < bytes.size() && bytes[i + 1] == '\n') << "lone CR at " << i;
    }
  }
  EXPECT_EQ(lineFeeds, 12u);
  EXPECT_EQ(bytes.substr(bytes.size() - 4), "\r\n\r\n");
}

TEST_F(LogFile, EntriesAreAppended) {
  std::string path = Path("TWO.LOG");
  UseAltLog(path);
  WriteLogEntry("first");
  size_t firstSize = ReadFile(path).size();
  ASSERT_GT(firstSize, 0u);
  strcpy(gContext.currentPackage.Name, "VIEWER");
  std::vector<std::string> lines = WriteAndRead(path, "second");
  ASSERT_EQ(lines.size(), 24u);
  EXPECT_EQ(lines[10], "first");
  EXPECT_EQ(lines[12], kSeparator);
  EXPECT_EQ(lines[14], kSeparator);
  EXPECT_EQ(lines[19], "Package Name: VIEWER");
  EXPECT_EQ(lines[22], "second");
  EXPECT_EQ(ReadFile(path).substr(0, firstSize).find("second"), std::string::npos);
}

TEST_F(LogFile, ReportedMessagesKeepTheirLineFeeds) {
  std::string path = Path("MULTI.LOG");
  UseAltLog(path);
  ReportMessage(0, 159);
  ReportDatabaseError(0, 10612, "PKG.DBF");
  std::string bytes = ReadFile(path);
  EXPECT_NE(bytes.find("\r\nLog Entry:\r\n"
                       "ERROR 0159: Unable to determine server name, or incorrect agent for this\r\n"
                       "network type.  Ensure that the Orvik NLM/NT Service is loaded, or specify\r\n"
                       "the /server= option.\r\n\r\n" +
                       kSeparator + "\r\n"),
            std::string::npos);
  std::string tail = "\r\nLog Entry:\r\nDATABASE ERROR 10612: PKG.DBF: RECORD NOT FOUND\r\n\r\n";
  ASSERT_GE(bytes.size(), tail.size());
  EXPECT_EQ(bytes.substr(bytes.size() - tail.size()), tail);
  EXPECT_EQ(Lines(bytes).size(), 26u);  // 14 lines for the three-line message, 12 for the other
}

TEST_F(LogFile, WithoutLogOptionReportsWriteNothing) {
  std::string path = Path("OFF.LOG");
  snprintf(gOptions.szAltLogFile, sizeof gOptions.szAltLogFile, "%s", path.c_str());
  gOptions.bLog = false;
  ReportMessage(0, 147);
  EXPECT_EQ(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(LogFile, DefaultFileBesideTheAgent) {
  std::string path = Path("CORVSD.LOG");
  gOptions.bLog = true;
  snprintf(gContext.szAppPath, sizeof gContext.szAppPath, "%s", dir_.c_str());
  ReportMessage(0, 147);
  // A directory given with its trailing backslash joins the same way.
  snprintf(gContext.szAppPath, sizeof gContext.szAppPath, "%s\\", dir_.c_str());
  ReportMessage(0, 999);
  std::vector<std::string> lines = Lines(ReadFile(path));
  ASSERT_EQ(lines.size(), 24u);
  EXPECT_EQ(lines[10], "ERROR 0147: Agent must be run from a network drive.");
  EXPECT_EQ(lines[22], "ERROR 0999");
}

TEST_F(LogFile, BareAlternateNameIsRelativeToTheCurrentDirectory) {
  std::string path = Path("REL.LOG");
  char saved[MAX_PATH];
  GetCurrentDirectoryA(sizeof saved, saved);
  ASSERT_TRUE(SetCurrentDirectoryA(dir_.c_str()));
  UseAltLog("REL.LOG");
  WriteLogEntry("relative");
  SetCurrentDirectoryA(saved);
  std::vector<std::string> lines = Lines(ReadFile(path));
  ASSERT_EQ(lines.size(), 12u);
  EXPECT_EQ(lines[10], "relative");
}

TEST_F(LogFile, EmptyNamesBeforeTheFirstPackage) {
  std::string path = Path("EARLY.LOG");
  UseAltLog(path);
  gContext.szSiteName[0] = '\0';
  gContext.currentPackage = plx::PackageRecord{};
  std::vector<std::string> lines = WriteAndRead(path, "ERROR 0147: Agent must be run from a network drive.");
  ASSERT_EQ(lines.size(), 12u);
  EXPECT_EQ(lines[4], "Site Name   : ");
  EXPECT_EQ(lines[7], "Package Name: ");
}

TEST_F(LogFile, LoginNameFilledFromImpersonation) {
  std::string path = Path("IMP.LOG");
  UseAltLog(path);
  gContext.szLoginName[0] = '\0';
  strcpy(gOptions.szImpersonateUser, "BOB");
  std::vector<std::string> lines = WriteAndRead(path, "x");
  ASSERT_EQ(lines.size(), 12u);
  EXPECT_EQ(lines[6], "Login Name  : BOB");
  EXPECT_STREQ(gContext.szLoginName, "BOB");
}

TEST_F(LogFile, LoginNameAskedOfTheNetwork) {
  std::string path = Path("NET.LOG");
  UseAltLog(path);
  gContext.szLoginName[0] = '\0';
  char expected[kNetUserSize] = {};
  getUserName(gContext.szServerName, expected);
  ASSERT_NE(expected[0], '\0');
  std::vector<std::string> lines = WriteAndRead(path, "x");
  ASSERT_EQ(lines.size(), 12u);
  EXPECT_EQ(lines[6], std::string("Login Name  : ") + expected);
  EXPECT_STREQ(gContext.szLoginName, expected);
}

TEST_F(LogFile, UnopenablePathCreatesNothing) {
  UseAltLog(dir_ + "\\MISSING\\X.LOG");
  WriteLogEntry("lost");
  EXPECT_EQ(GetFileAttributesA((dir_ + "\\MISSING").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(LogFile, NodeAddressFromTheNetworkLibrary) {
  std::string path = Path("NODE.LOG");
  UseAltLog(path);
  {
    testsupport::IniBesideDll ini("CORVNET.dll", "CORVNET.INI");
    ini.Write("[Network]\r\nNetNumber=0000abcd\r\nNodeAddress=00A0C9123456\r\n");
    WriteLogEntry("known");
  }
  {
    // A node address the library cannot use: both parts stay empty.
    testsupport::IniBesideDll ini("CORVNET.dll", "CORVNET.INI");
    ini.Write("[Network]\r\nNodeAddress=NOTANADDRESS\r\n");
    WriteLogEntry("unknown");
  }
  std::vector<std::string> lines = Lines(ReadFile(path));
  ASSERT_EQ(lines.size(), 24u);
  EXPECT_EQ(lines[3], "Node Address: [0000ABCD:00A0C9123456]");
  EXPECT_EQ(lines[15], "Node Address: [:]");
}
