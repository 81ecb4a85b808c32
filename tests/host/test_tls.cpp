// The admin API over TLS: certificates made here with the openssl command, the real
// dblinkd serving them and the real pkgadmin checking them.
#include <gtest/gtest.h>
#include <unistd.h>

#include "test_dblinkd_harness.h"

using namespace harness;

namespace {

const char kOpenssl[] = "/usr/bin/openssl";

class AdminTls : public ::testing::Test {
 protected:
  // A CA, a certificate it signed for 127.0.0.1 and localhost, and a second CA that signed
  // nothing of ours; P-256 keys, made in a moment.
  static void SetUpTestSuite() {
    dir = new std::string(TempDir());
    const std::string d = *dir;
    WriteFile(d + "/ext.cnf", "subjectAltName = IP:127.0.0.1, DNS:localhost\n");
    const std::vector<std::vector<std::string>> steps = {
        {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-noenc", "-days", "2",
         "-subj", "/CN=Test CA", "-keyout", d + "/ca.key", "-out", d + "/ca.crt"},
        {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-noenc", "-days", "2",
         "-subj", "/CN=Other CA", "-keyout", d + "/other.key", "-out", d + "/other.crt"},
        {"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-noenc", "-subj", "/CN=dblinkd",
         "-keyout", d + "/server.key", "-out", d + "/server.csr"},
        {"x509", "-req", "-in", d + "/server.csr", "-CA", d + "/ca.crt", "-CAkey", d + "/ca.key",
         "-CAcreateserial", "-days", "2", "-extfile", d + "/ext.cnf", "-out", d + "/server.crt"},
    };
    for (std::vector<std::string> s : steps) {
      s.insert(s.begin(), kOpenssl);
      std::string out, err;
      ASSERT_EQ(RunProgram(s, &out, &err), 0) << s[1] << ": " << err;
    }
  }
  static std::string File(const char* name) { return *dir + "/" + name; }

  int Pkgadmin(const Daemon& d, std::vector<std::string> args, std::string& out, std::string& err) {
    args.insert(args.begin(), {PLX_PKGADMIN_BIN, "--token-file", d.dir + "/token"});
    return RunProgram(args, &out, &err);
  }
  static std::string Url(const char* scheme, const char* host, uint16_t port) {
    return std::string(scheme) + "://" + host + ":" + std::to_string(port);
  }
  static std::string* dir;
};
std::string* AdminTls::dir;

TEST_F(AdminTls, StartRefusesUnusableFiles) {
  std::string d = TempDir(), out, err;
  WriteFile(d + "/token", "a-token-of-twenty-chars\n");
  struct Case { std::vector<std::string> tls; int rc; std::string message; };
  const Case cases[] = {
      {{"--admin-cert", File("server.crt")}, 2, "--admin-cert and --admin-key go together"},
      {{"--admin-cert", File("server.crt"), "--admin-key", d + "/none.key"}, 1,
       "cannot read private key file " + d + "/none.key"},
      {{"--admin-cert", File("server.key"), "--admin-key", File("server.key")}, 1,
       File("server.key") + ": not a PEM certificate"},
      {{"--admin-cert", File("server.crt"), "--admin-key", File("server.csr")}, 1,
       File("server.csr") + ": not a PEM private key"},
      {{"--admin-cert", File("server.crt"), "--admin-key", File("other.key")}, 1,
       "the private key in " + File("other.key") + " does not match the certificate in " + File("server.crt")},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv = {PLX_DBLINKD_BIN, "--db", d + "/x.db", "--listen", "127.0.0.1:0",
                                     "--admin-listen", "127.0.0.1:0", "--admin-token-file", d + "/token"};
    argv.insert(argv.end(), c.tls.begin(), c.tls.end());
    EXPECT_EQ(RunProgram(argv, &out, &err), c.rc) << c.message;
    EXPECT_NE(err.find(c.message), std::string::npos) << err;
    EXPECT_NE(access((d + "/x.db").c_str(), F_OK), 0) << "a database was made for " << c.message;
  }
}

TEST_F(AdminTls, PkgadminTrustsOnlyTheRightCa) {
  Daemon d;
  ASSERT_TRUE(d.Start(nullptr, true, {"--admin-listen", "0.0.0.0:0", "--admin-cert", File("server.crt"),
                                      "--admin-key", File("server.key")}))
      << d.Log();
  EXPECT_EQ(d.Log().find("without TLS"), std::string::npos) << d.Log();
  const uint16_t p = d.adminPort;
  std::string out, err;
  WriteFile(d.dir + "/doc.json", SampleSeed().dump());
  ASSERT_EQ(Pkgadmin(d, {"--url", Url("https", "127.0.0.1", p), "--cacert", File("ca.crt"), "import",
                         d.dir + "/doc.json"}, out, err), 0) << err;
  EXPECT_NE(out.find("packages 5"), std::string::npos) << out;
  // --cacert alone turns the URL to https.
  ASSERT_EQ(Pkgadmin(d, {"--url", Url("http", "127.0.0.1", p), "--cacert", File("ca.crt"), "list", "packages"},
                     out, err), 0) << err;
  EXPECT_NE(out.find("(5 rows)"), std::string::npos) << out;
  ASSERT_EQ(Pkgadmin(d, {"--url", Url("https", "127.0.0.1", p), "--cacert", File("ca.crt"), "export"}, out, err), 0)
      << err;
  EXPECT_NE(out.find("\"history\""), std::string::npos) << out;

  struct Case { std::vector<std::string> args; const char* message; };
  const Case refused[] = {
      {{"--url", Url("https", "127.0.0.1", p), "--cacert", File("other.crt")}, "is not trusted"},
      {{"--url", Url("https", "127.0.0.1", p)}, "is not trusted"},  // the system's CAs do not know ours
      {{"--url", Url("https", "127.0.0.2", p), "--cacert", File("ca.crt")}, "does not name the host"},
      {{"--url", Url("http", "127.0.0.1", p)}, "give --cacert"},
      {{"--url", Url("https", "127.0.0.1", p), "--cacert", d.dir + "/none.crt"}, "cannot read CA file"},
  };
  for (const Case& c : refused) {
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"list", "packages"});
    EXPECT_EQ(Pkgadmin(d, args, out, err), 1) << c.message;
    EXPECT_NE(err.find(c.message), std::string::npos) << err;
    EXPECT_EQ(out.find("Office 97"), std::string::npos) << out;
  }
  // Plain HTTP on the TLS port gets no answer at all.
  std::string reply;
  EXPECT_NE(AdminRequest(p, "GET", "/packages", Daemon::kToken, "", reply), 200);
  EXPECT_EQ(reply.find("Office 97"), std::string::npos);

  // And https to a listener without TLS names what is missing.
  Daemon plain;
  ASSERT_TRUE(plain.Start()) << plain.Log();
  EXPECT_EQ(Pkgadmin(plain, {"--url", Url("https", "127.0.0.1", plain.adminPort), "--cacert", File("ca.crt"),
                             "list", "packages"}, out, err), 1);
  EXPECT_NE(err.find("TLS handshake"), std::string::npos) << err;
}

}  // namespace
