// The log file: entries of nine formatted lines, appended, CR LF line ends, where it goes.
#include <gtest/gtest.h>
#include <windows.h>

#include <regex>
#include <string>

#include "bounded_text.h"
#include "messages.h"
#include "run_state.h"
#include "win_test_support.h"

namespace {

const std::string kSep(57, '=');

std::string Stamp(int year, int month, int day, int hour, int minute, int second) {
  char out[128];
  FormatLogStamp(out, sizeof out, year, month, day, hour, minute, second);
  return out;
}

// One entry as its bytes; the date line is the clock's and stands as <stamp>.
std::string Entry(const char* node, const char* site, const char* login, const char* package, const char* text) {
  return kSep + "\r\n<stamp>\r\n" + kSep + "\r\nNode Address: " + node + "\r\nSite Name   : " + site +
         "\r\nServer Name : SRV\r\nLogin Name  : " + login + "\r\nPackage Name: " + package + "\r\n\r\nLog Entry:\r\n" +
         text + "\r\n\r\n";
}

class LogFile : public ::testing::Test {
 protected:
  void SetUp() override {
    gContext.hMainDlg = nullptr;
    char base[MAX_PATH];
    GetTempPathA(sizeof base, base);
    dir_ = std::string(base) + "plxlog" + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(GetTickCount());
    ASSERT_TRUE(CreateDirectoryA(dir_.c_str(), nullptr));
    CopyText(gContext.szSiteName, "NORTH");
    CopyText(gContext.szServerName, "SRV");
    CopyText(gContext.szLoginName, "ALICE");
    CopyText(gContext.currentPackage.Name, "OFFICE 97");
    ini_.Write("[Network]\r\nNetNumber=0000abcd\r\nNodeAddress=00A0C9123456\r\n[Workstation]\r\nUserName=carol\r\n");
    path_ = dir_ + "\\ALT.LOG";
    gOptions.bLog = true;
    CopyText(gOptions.szAltLogFile, path_.c_str());
  }
  void TearDown() override {
    for (const char* f : {"\\ALT.LOG", "\\CORVSD.LOG", "\\REL.LOG"}) DeleteFileA((dir_ + f).c_str());
    RemoveDirectoryA(dir_.c_str());
  }

  // The file with each date line checked for its form and masked.
  static std::string Read(const std::string& path) {
    static const std::regex stamp("Orvik 6\\.06 Log entry Date: \\d{1,2}/\\d{1,2}/\\d{4} Time: \\d{1,2}:\\d\\d:\\d\\d[ap]");
    return std::regex_replace(testsupport::ReadWholeFile(path), stamp, "<stamp>");
  }

  testsupport::SavedRun saved_;
  std::string dir_, path_;
  testsupport::IniBesideDll ini_{"CORVNET.dll", "CORVNET.INI"};
};

}  // namespace

TEST(LogStamp, DateAndTwelveHourClock) {
  EXPECT_EQ(Stamp(1997, 11, 4, 0, 5, 9), "Orvik 6.06 Log entry Date: 11/4/1997 Time: 12:05:09a\n");
  EXPECT_EQ(Stamp(1997, 11, 4, 12, 0, 0), "Orvik 6.06 Log entry Date: 11/4/1997 Time: 12:00:00p\n");
  EXPECT_EQ(Stamp(1997, 11, 4, 23, 59, 59), "Orvik 6.06 Log entry Date: 11/4/1997 Time: 11:59:59p\n");
  EXPECT_EQ(Stamp(2001, 1, 31, 11, 59, 59), "Orvik 6.06 Log entry Date: 1/31/2001 Time: 11:59:59a\n");
  EXPECT_EQ(Stamp(2001, 12, 9, 13, 7, 3), "Orvik 6.06 Log entry Date: 12/9/2001 Time: 1:07:03p\n");
}

TEST_F(LogFile, EntriesAreAppendedWithTheirLineFeeds) {
  WriteLogEntry("ERROR 0147: Agent must be run from a network drive.");
  CopyText(gContext.currentPackage.Name, "VIEWER");
  ReportMessage(0, 159);
  ReportDatabaseError(0, 10612, "PKG.DBF");
  const char* node = "[0000ABCD:00A0C9123456]";
  EXPECT_EQ(Read(path_),
            Entry(node, "NORTH", "ALICE", "OFFICE 97", "ERROR 0147: Agent must be run from a network drive.") +
                Entry(node, "NORTH", "ALICE", "VIEWER",
                      "ERROR 0159: Unable to determine server name, or incorrect agent for this\r\n"
                      "network type.  Ensure that the Orvik NLM/NT Service is loaded, or specify\r\n"
                      "the /server= option.") +
                Entry(node, "NORTH", "ALICE", "VIEWER", "DATABASE ERROR 10612: PKG.DBF: RECORD NOT FOUND"));
}

TEST_F(LogFile, NamesNotYetKnown) {
  // Before the first package and before the login name: empty fields, the name asked for.
  gContext.szSiteName[0] = '\0';
  gContext.currentPackage = plx::PackageRecord{};
  gContext.szLoginName[0] = '\0';
  CopyText(gOptions.szImpersonateUser, "BOB");
  WriteLogEntry("x");
  EXPECT_STREQ(gContext.szLoginName, "BOB");
  gContext.szLoginName[0] = '\0';
  gOptions.szImpersonateUser[0] = '\0';
  ini_.Write("[Network]\r\nNodeAddress=NOTANADDRESS\r\n[Workstation]\r\nUserName=carol\r\n");
  WriteLogEntry("y");
  EXPECT_STREQ(gContext.szLoginName, "CAROL");
  EXPECT_EQ(Read(path_), Entry("[0000ABCD:00A0C9123456]", "", "BOB", "", "x") + Entry("[:]", "", "CAROL", "", "y"));
}

TEST_F(LogFile, WhereTheEntryGoes) {
  // No /LOG: nothing written.
  gOptions.bLog = false;
  ReportMessage(0, 147);
  EXPECT_EQ(GetFileAttributesA(path_.c_str()), INVALID_FILE_ATTRIBUTES);
  // Default file beside the agent, with or without a trailing backslash on its directory.
  gOptions.bLog = true;
  gOptions.szAltLogFile[0] = '\0';
  CopyText(gContext.szAppPath, dir_.c_str());
  ReportMessage(0, 999);
  CopyText(gContext.szAppPath, (dir_ + "\\").c_str());
  ReportMessage(0, 999);
  std::string two = Read(dir_ + "\\CORVSD.LOG");
  EXPECT_EQ(two, Entry("[0000ABCD:00A0C9123456]", "NORTH", "ALICE", "OFFICE 97", "ERROR 0999") +
                     Entry("[0000ABCD:00A0C9123456]", "NORTH", "ALICE", "OFFICE 97", "ERROR 0999"));
  // An agent directory so long that the name cannot be joined: no entry, and none elsewhere.
  std::string deep = dir_ + "\\" + std::string(sizeof gContext.szAppPath - dir_.size() - 4, 'D');
  CopyText(gContext.szAppPath, deep.c_str());
  ReportMessage(0, 999);
  EXPECT_EQ(Read(dir_ + "\\CORVSD.LOG"), two);
  // A bare alternate name is relative to the current directory; an unopenable one makes nothing.
  char saved[MAX_PATH];
  GetCurrentDirectoryA(sizeof saved, saved);
  ASSERT_TRUE(SetCurrentDirectoryA(dir_.c_str()));
  CopyText(gOptions.szAltLogFile, "REL.LOG");
  WriteLogEntry("relative");
  SetCurrentDirectoryA(saved);
  EXPECT_NE(Read(dir_ + "\\REL.LOG").find("\r\nrelative\r\n"), std::string::npos);
  CopyText(gOptions.szAltLogFile, (dir_ + "\\MISSING\\X.LOG").c_str());
  WriteLogEntry("lost");
  EXPECT_EQ(GetFileAttributesA((dir_ + "\\MISSING").c_str()), INVALID_FILE_ATTRIBUTES);
}
