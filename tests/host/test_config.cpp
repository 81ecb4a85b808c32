// dblinkd's options from a config file, and the command line over it.
#include <gtest/gtest.h>

#include <map>

#include "options.h"
#include "test_dblinkd_harness.h"

using namespace harness;

namespace {

bool Parse(std::vector<std::string> words, const std::map<std::string, std::string>& files, dblink::Options& o,
           std::string& error) {
  std::vector<char*> argv = {const_cast<char*>("dblinkd")};
  for (std::string& w : words) argv.push_back(&w[0]);
  return dblink::ParseOptions(int(argv.size()), argv.data(), o, error,
                              [&files](const std::string& path, std::string& text) {
                                auto it = files.find(path);
                                if (it == files.end()) return false;
                                text = it->second;
                                return true;
                              });
}

const char kConf[] =
    "# the service\n"
    "\n"
    "db = /var/lib/dblinkd/plx.db\n"
    "  listen =0.0.0.0:7310  \n"
    "admin-listen= 127.0.0.1:7311\r\n"
    "admin-token-file = /etc/dblinkd/admin token\n"
    "   # threads = 9\n"
    "threads = 3\n"
    "write-rate = 0\n"
    "admin-cert = /etc/dblinkd/a#1.crt\n"
    "admin-key = /etc/dblinkd/a.key\n";

TEST(DblinkdConfig, FileUnderTheCommandLine) {
  dblink::Options o, p;
  std::string error;
  ASSERT_TRUE(Parse({"--config", "c.conf", "--threads", "5", "--listen", "127.0.0.1:0"}, {{"c.conf", kConf}}, o, error))
      << error;
  EXPECT_EQ(o.dbPath, "/var/lib/dblinkd/plx.db");
  EXPECT_EQ(o.listen.host + ":" + std::to_string(o.listen.port), "127.0.0.1:0");
  EXPECT_EQ(o.adminListen.host + ":" + std::to_string(o.adminListen.port), "127.0.0.1:7311");
  EXPECT_EQ(o.adminTokenFile, "/etc/dblinkd/admin token");
  EXPECT_EQ(o.adminCert, "/etc/dblinkd/a#1.crt");
  EXPECT_EQ(o.adminKey, "/etc/dblinkd/a.key");
  EXPECT_EQ(o.limits.threads, 5u);
  EXPECT_EQ(o.limits.writesPerSecond, 0u);
  EXPECT_EQ(o.limits.writeBurst, 2000u);
  // Before --config or after it, the command line wins.
  ASSERT_TRUE(Parse({"--db", "x.db", "--config", "c.conf"}, {{"c.conf", kConf}}, p, error)) << error;
  EXPECT_EQ(p.dbPath, "x.db");
  EXPECT_EQ(p.limits.threads, 3u);
  EXPECT_EQ(p.listen.port, 7310);
}

TEST(DblinkdConfig, ErrorsNameTheFileAndLine) {
  const std::string base = "db = a.db\nlisten = 127.0.0.1:0\n";
  struct Case { std::string text; const char* message; };
  const Case cases[] = {
      {base + "bogus = 1\n", "c.conf:3: unknown option 'bogus'"},
      {"# x\nthreads = four\n", "c.conf:2: threads: expected a number, got 'four'"},
      {"listen = 127.0.0.1\n", "c.conf:1: listen: expected HOST:PORT, got '127.0.0.1'"},
      {"\n\ndb\n", "c.conf:3: expected 'name = value', got 'db'"},
      {"db =\n", "c.conf:1: db: needs a value"},
      {"help = yes\n", "c.conf:1: help: expected true or false, got 'yes'"},
      {"--db = a.db\n", "c.conf:1: unknown option '--db'"},
      {"config = other.conf\n", "c.conf:1: a config file cannot name another one"},
      {"db = a.db\n", "--listen is required"},
      {base + "admin-cert = c.pem\n", "--admin-cert and --admin-key go together"},
      {base + "admin-cert = c.pem\nadmin-key = k.pem\n", "need --admin-listen"},
  };
  for (const Case& c : cases) {
    dblink::Options o;
    std::string error;
    EXPECT_FALSE(Parse({"--config", "c.conf"}, {{"c.conf", c.text}}, o, error)) << c.message;
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
  }
  dblink::Options o;
  std::string error;
  EXPECT_FALSE(Parse({"--config", "none.conf"}, {}, o, error));
  EXPECT_EQ(error, "cannot read config file none.conf");
  ASSERT_TRUE(Parse({"--config", "c.conf"}, {{"c.conf", "help = true\n"}}, o, error)) << error;
  EXPECT_TRUE(o.help);
}

// The real service takes its admin listener from the file; a bad line stops it before it listens.
TEST(DblinkdConfig, ServiceStartsFromTheFile) {
  Daemon d;
  WriteFile(d.dir + "/good.conf", "admin-listen = 127.0.0.1:0\nadmin-token-file = " + d.dir + "/token\n");
  ASSERT_TRUE(d.Start(nullptr, false, {"--config", d.dir + "/good.conf"})) << d.Log();
  EXPECT_NE(d.adminPort, 0);
  std::string reply;
  EXPECT_EQ(AdminRequest(d.adminPort, "GET", "/packages", Daemon::kToken, "", reply), 200) << reply;

  std::string bad = d.dir + "/bad.conf", out, err;
  WriteFile(bad, "db = " + d.dir + "/other.db\n# comment\nlisten = 127.0.0.1:0\nwrite-burst = -1\n");
  EXPECT_EQ(RunProgram({PLX_DBLINKD_BIN, "--config", bad}, &out, &err), 2);
  EXPECT_NE(err.find(bad + ":4: write-burst: expected a number, got '-1'"), std::string::npos) << err;
}

}  // namespace
