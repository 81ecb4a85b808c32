// plxfset against Info-ZIP's zip and unzip, which stand in for "any ZIP tool" both ways.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <time.h>
#include <utime.h>

#include <string>
#include <vector>

#include "test_dblinkd_harness.h"

using namespace harness;

namespace {

std::string Sh(const std::string& command, int* status = nullptr) {
  std::string out, err;
  int rc = RunProgram({"/bin/sh", "-c", command + " 2>&1"}, &out, &err);
  if (status) *status = rc;
  return out;
}

class Plxfset : public ::testing::Test {
 protected:
  std::string dir = TempDir() + "/fset" + std::to_string(counter++), src = dir + "/src", archive = dir + "/SET.ZIP";
  static int counter;
  void SetUp() override {
    ASSERT_EQ(Sh("mkdir -p " + src + "/sub/deeper " + src + "/empty"), "");
    std::string text;
    for (int i = 0; i < 3000; ++i) text += "line " + std::to_string(i) + "\r\n";
    WriteFile(src + "/text.txt", text);
    WriteFile(src + "/sub/deeper/zero.txt", "");
    WriteFile(src + "/ro.ini", "[x]\r\n");
    Sh("head -c 200000 /dev/urandom > " + src + "/sub/random.bin");
    // 2001-02-03 04:05:06 local time, as DOS times are.
    struct tm t = {};
    t.tm_year = 101, t.tm_mon = 1, t.tm_mday = 3, t.tm_hour = 4, t.tm_min = 5, t.tm_sec = 6, t.tm_isdst = -1;
    struct utimbuf times = {mktime(&t), mktime(&t)};
    utime((src + "/ro.ini").c_str(), &times);
    chmod((src + "/ro.ini").c_str(), 0444);
  }
  int Run(const std::vector<std::string>& args, std::string* out = nullptr, std::string* err = nullptr) {
    std::vector<std::string> argv = {PLX_PLXFSET_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv, out, err);
  }
};
int Plxfset::counter = 0;

TEST_F(Plxfset, BuildsWhatUnzipReadsBack) {
  std::string out, err;
  ASSERT_EQ(Run({"build", src, archive}, &out, &err), 0) << err;
  EXPECT_NE(out.find("4 files, 3 folders"), std::string::npos) << out;
  int status = 0;
  std::string tested = Sh("unzip -t " + archive, &status);
  EXPECT_EQ(status, 0) << tested;
  EXPECT_NE(Sh("unzip -z " + archive).find("PLXFSET 1"), std::string::npos);
  Sh("unzip -q " + archive + " -d " + dir + "/back", &status);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(Sh("diff -r " + src + " " + dir + "/back", &status), "");
  // Made on DOS: zipinfo shows the read-only and archive bits and the local DOS time.
  std::string info = Sh("zipinfo -T " + archive + " ro.ini");
  EXPECT_NE(info.find("-r--a--"), std::string::npos) << info;
  EXPECT_NE(info.find(" fat "), std::string::npos) << info;
  EXPECT_NE(info.find("20010203.040506"), std::string::npos) << info;
  ASSERT_EQ(Run({"list", archive}, &out), 0);
  EXPECT_NE(out.find("5          5 stored   2001-02-03 04:05:06 R--A ro.ini"), std::string::npos) << out;
  EXPECT_NE(out.find("deflated"), std::string::npos);
  EXPECT_NE(out.find(" stored   "), std::string::npos);  // random bytes do not pack
  ASSERT_EQ(Run({"verify", archive}, &out), 0);
  EXPECT_NE(out.find("ok, 4 files"), std::string::npos) << out;
  // Not into the folder it packs.
  EXPECT_EQ(Run({"build", src, src + "/sub/SELF.ZIP"}, &out, &err), 1);
  EXPECT_EQ(Sh("ls " + src + "/sub"), "deeper\nrandom.bin\n");
}

TEST_F(Plxfset, VerifiesWhatZipMakesAndRefusesDamage) {
  int status = 0;
  Sh("cd " + src + " && zip -qr " + dir + "/ZIPPED.ZIP . && zip -qr " + dir + "/PARENT.ZIP ../src/text.txt", &status);
  ASSERT_EQ(status, 0);
  std::string good = ReadFile(dir + "/ZIPPED.ZIP"), text = ReadFile(src + "/text.txt");
  std::string cut = good.substr(0, good.size() / 2);
  std::string stored = ReadFile(dir + "/ZIPPED.ZIP");
  size_t at = stored.find("[x]");  // ro.ini is too small to pack: its bytes sit in the archive
  ASSERT_NE(at, std::string::npos);
  stored[at + 1] = 'y';
  const struct {
    const char* what;
    std::string bytes;
    int status;
    const char* says;
  } cases[] = {
      {"made by zip", good, 0, "ok, 4 files"},
      {"bad CRC", stored, 1, "ro.ini: bad CRC"},
      {"cut in half", cut, 1, "corrupt: no end record"},
      {"not an archive", text, 1, "not a fileset"},
      {"a name that climbs out", ReadFile(dir + "/PARENT.ZIP"), 1, "corrupt: central directory or a member name"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFile(dir + "/CASE.ZIP", c.bytes);
    std::string out, err;
    EXPECT_EQ(Run({"verify", dir + "/CASE.ZIP"}, &out, &err), c.status);
    EXPECT_NE((out + err).find(c.says), std::string::npos) << out << err;
  }
}

}  // namespace
