// pkgadmin against a running dblinkd: import, listings, export, and its error reports.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <cstring>
#include <fstream>

#include "test_dblinkd_harness.h"

using namespace harness;
using namespace plx;

namespace {

class Pkgadmin : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(d.Start()) << d.Log(); }

  int Run(std::vector<std::string> args, std::string* out = nullptr, std::string* err = nullptr) {
    args.insert(args.begin(), {PLX_PKGADMIN_BIN, "--url", "http://127.0.0.1:" + std::to_string(d.adminPort),
                               "--token-file", d.dir + "/token"});
    return RunProgram(args, out, err);
  }
  std::string File(const std::string& name, const std::string& text) {
    WriteFile(d.dir + "/" + name, text);
    return d.dir + "/" + name;
  }
  Daemon d;
};

TEST_F(Pkgadmin, ListsAsTablesAndJson) {
  std::string out, err;
  ASSERT_EQ(Run({"import", File("doc.json", SampleSeed().dump(2))}, &out, &err), 0) << err;
  EXPECT_NE(out.find("packages 5"), std::string::npos) << out;
  EXPECT_NE(out.find("package_users 8"), std::string::npos) << out;
  ASSERT_EQ(Run({"list", "packages"}, &out, &err), 0) << err;
  for (const char* shown : {"Office 97", "0xA000", "1997-11-04", "(5 rows)"}) EXPECT_NE(out.find(shown), std::string::npos) << shown;

  ASSERT_EQ(Run({"list", "schedules", "--json"}, &out), 0);
  Json j = Json::parse(out);
  ASSERT_EQ(j["package_users"].size(), 6u);  // targeting rows only
  for (const Json& r : j["package_users"]) EXPECT_EQ(r["Scheduled"], 1);

  // Texts a workstation wrote cannot drive the terminal.
  Json evil = {{"packages", {{{"PackageId", 66}, {"ServerId", 1}, {"Name", "Evil\x1b[2J\nrow"}}}}};
  ASSERT_EQ(Run({"import", File("evil.json", evil.dump())}), 0);
  ASSERT_EQ(Run({"list", "packages"}, &out), 0);
  EXPECT_NE(out.find("Evil\\x1B[2J\\x0Arow"), std::string::npos) << out;
  EXPECT_EQ(out.find('\x1b'), std::string::npos);

  ASSERT_EQ(Run({"list", "status"}, &out), 0);
  EXPECT_NE(out.find("MACHINE00001"), std::string::npos) << out;
  EXPECT_EQ(out.find("PLX_EVERYONE"), std::string::npos) << out;  // workstations' rows only
}

TEST_F(Pkgadmin, ExportHasWhatWorkstationsWrote) {
  ASSERT_EQ(Run({"import", File("doc.json", SampleSeed().dump())}), 0);
  Client c;
  ASSERT_TRUE(c.Connect(d.port));
  HistoryTextRecord t;
  t.ServerId = 1;
  CopyText(t.Text, sizeof t.Text, "Refused by the user.");
  std::string rec;
  ASSERT_EQ(c.Op(kTableHistoryText, kClassInsert, kOpInsert, 0, U32(0), Bytes(t, kTableHistoryText), &rec), kDbOk);
  HistoryRecord h;
  h.ServerId = 1;
  h.TextId = Rec<HistoryTextRecord>(rec).TextId;
  h.PackageId = 10;
  h.PackageUserId = 1005;
  memcpy(h.Date, "19980307", 8);
  CopyText(h.Time, sizeof h.Time, "090503");
  CopyText(h.UserName, sizeof h.UserName, "alice");
  ASSERT_EQ(c.Op(kTableHistory, kClassInsert, kOpInsert, 0, U32(0), Bytes(h, kTableHistory)), kDbOk);

  std::string out, err;
  std::string path = d.dir + "/export.json";
  ASSERT_EQ(Run({"export", "--out", path}, &out, &err), 0) << err;
  Json j = Json::parse(ReadFile(path));
  ASSERT_EQ(j["status"].size(), 2u);
  EXPECT_EQ(j["status"][0]["TargetName"], "MACHINE00001");
  ASSERT_EQ(j["history"].size(), 1u);
  const Json& e = j["history"][0];
  EXPECT_EQ(e["Text"].get<std::string>() + e["Date"].get<std::string>() + e["Time"].get<std::string>(),
            "Refused by the user.19980307090503");
  ASSERT_EQ(Run({"export"}, &out), 0);
  EXPECT_EQ(Json::parse(out), j);
}

TEST_F(Pkgadmin, ErrorsSayWhatAndWhere) {
  std::string out, err;
  std::string bad = File("bad.json", "{\n  \"packages\": [\n    {\"PackageId\": 1,}\n  ]\n}\n");
  EXPECT_EQ(Run({"import", bad}, &out, &err), 1);
  EXPECT_NE(err.find("bad.json: line 3, column 21"), std::string::npos) << err;

  struct Case { const char* doc; const char* message; };
  const Case cases[] = {
      {R"({"packages": [{"PackageId": 1}, {"PackageId": 2, "Colour": 1}]})", "packages[1].Colour: unknown field"},
      {R"({"packages": [{"PackageId": "7"}]})", "packages[0].PackageId: expected a number"},
      {R"({"packages": [{"PackageId": 4294967296}]})", "packages[0].PackageId: expected a number"},
      {R"({"package_users": [{"PackageStatus": 65536}]})", "package_users[0].PackageStatus: expected a number 0-65535"},
      {R"({"packages": [{"StartDate": "1997-02-31"}]})", "packages[0].StartDate: expected a date"},
      {R"({"packages": [{"ForceDate": "1900-02-29"}]})", "packages[0].ForceDate: expected a date"},
      {R"({"packages": [{"TimeFrom": "24:00:00"}]})", "packages[0].TimeFrom: expected a time"},
      {R"({"packages": [{"Status": "AB"}]})", "packages[0].Status: expected a one-letter text"},
      {R"({"servers": [{"ServerName": "0123456789012345678901234567890123456789012345678"}]})", "servers[0].ServerName: longer than 48"},
      {R"({"tasks": {"TaskName": "x"}})", "tasks: expected an array"},
      {R"({"history": []})", "history: unknown array"},
      {R"({"installed": [{"Server": "SRV"}]})", "installed[0].Item: missing"},
      {R"([1, 2])", "expected an object of arrays"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Run({"import", File("case.json", c.doc)}, &out, &err), 1) << c.doc;
    EXPECT_NE(err.find(c.message), std::string::npos) << c.doc << "\n" << err;
  }
  EXPECT_EQ(CountRows(d.db, "packages"), 0);

  // The service checks the same way when a document reaches it directly, and stores none
  // of a document with one bad element.
  std::string body;
  EXPECT_EQ(AdminRequest(d.adminPort, "POST", "/import", Daemon::kToken,
                         R"({"packages": [{"PackageId": 1}], "tasks": [{"TaskType": 1}, {"TaskFlags": true}]})", body), 400);
  EXPECT_NE(body.find("tasks[1].TaskFlags"), std::string::npos) << body;
  EXPECT_EQ(CountRows(d.db, "packages"), 0);

  WriteFile(d.dir + "/wrongtoken", "nope\n");
  EXPECT_EQ(RunProgram({PLX_PKGADMIN_BIN, "--url", "http://127.0.0.1:" + std::to_string(d.adminPort),
                        "--token-file", d.dir + "/wrongtoken", "list", "packages"}, &out, &err), 1);
  EXPECT_NE(err.find("401"), std::string::npos) << err;
}

TEST_F(Pkgadmin, UsageAndUnreachableServices) {
  const std::string token = d.dir + "/token", admin = "http://127.0.0.1:" + std::to_string(d.adminPort);
  struct Case { std::vector<std::string> args; int rc; const char* says; };
  const Case cases[] = {
      {{"--url", admin, "import", "--help"}, 0, "usage: pkgadmin import"},
      {{"--url", admin, "frobnicate"}, 2, ""},
      {{"--url", admin, "list", "everything"}, 2, "unknown table 'everything'"},
      {{"--url", admin, "export", "--bogus"}, 2, ""},
      {{"--url", "ftp://x", "list", "packages"}, 2, ""},
      {{"--url", "http://127.0.0.1:1", "--token-file", token, "list", "packages"}, 1, "cannot reach"},
      // The requester port does not speak the admin API.
      {{"--url", "http://127.0.0.1:" + std::to_string(d.port), "--token-file", token, "list", "packages"}, 1,
       "is it dblinkd's admin port"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv = {PLX_PKGADMIN_BIN};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    std::string out, err;
    EXPECT_EQ(RunProgram(argv, &out, &err), c.rc) << c.args.back();
    EXPECT_NE((out + err).find(c.says), std::string::npos) << out << err;
  }
}

TEST_F(Pkgadmin, TooLargeDocumentsAreNamedSo) {
  std::string out, err, big = d.dir + "/big.json";
  std::ofstream(big, std::ios::binary) << "{\"packages\": []" << std::string((64u << 20) + 1, ' ') << "}";
  EXPECT_EQ(Run({"import", big}, &out, &err), 1);
  EXPECT_NE(err.find("a document may have"), std::string::npos) << err;
  Client raw;  // the service says the same to a client that sends one anyway (after its read time-out)
  ASSERT_TRUE(raw.Connect(d.adminPort));
  ASSERT_TRUE(raw.Send(std::string("POST /import HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer ") + Daemon::kToken +
                       "\r\nContent-Type: application/json\r\nContent-Length: 70000000\r\n\r\n{"));
  // Headers and body may come in separate segments: read until the service closes. Its
  // answer follows its own 5 s read time-out, so this side waits longer than the client's
  // usual 5 s.
  timeval wait{20, 0};
  setsockopt(raw.fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  std::string reply;
  char buf[2048];
  for (ssize_t n; (n = recv(raw.fd, buf, sizeof buf, 0)) > 0;) reply.append(buf, size_t(n));
  EXPECT_NE(reply.find("413"), std::string::npos) << reply;
  EXPECT_NE(reply.find("document larger than"), std::string::npos) << reply;
}

}  // namespace
