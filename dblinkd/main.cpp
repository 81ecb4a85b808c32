// dblinkd: the package database service. See options.cpp for the command line.
#include <csignal>
#include <cstdio>
#include <pthread.h>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

#include "admin_api.h"
#include "document.h"
#include "metrics.h"
#include "options.h"
#include "requester_server.h"
#include "store_open.h"

using namespace dblink;

namespace {

// Descriptors kept aside from requester connections: the database and its reader
// connections, the listeners, the admin API's connections.
constexpr rlim_t kReservedDescriptors = 256;
// An admin token shorter than this is guessed too easily.
constexpr size_t kMinTokenLength = 16;

// Raises the soft descriptor limit to the hard one and caps requester connections below
// it, so that a flood of connections meets the cap, never "too many open files".
void SetConnectionCap(Limits& l) {
  rlimit r{};
  if (getrlimit(RLIMIT_NOFILE, &r) != 0) return;
  if (r.rlim_cur != r.rlim_max) {
    rlimit want = r;
    want.rlim_cur = r.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &want) == 0) r = want;
  }
  rlim_t room = r.rlim_cur > 2 * kReservedDescriptors ? r.rlim_cur - kReservedDescriptors : r.rlim_cur / 2;
  if (l.maxConnections == 0 || l.maxConnections > room) {
    if (l.maxConnections > room)
      fprintf(stderr, "dblinkd: --max-connections %u lowered to %llu, below the descriptor limit %llu\n",
              l.maxConnections, (unsigned long long)room, (unsigned long long)r.rlim_cur);
    l.maxConnections = uint32_t(room);
  }
}

bool IsLoopback(const std::string& host) {
  return host == "localhost" || host == "::1" || host.compare(0, 4, "127.") == 0;
}

int Fail(const std::string& msg) {
  fprintf(stderr, "dblinkd: %s\n", msg.c_str());
  return 1;
}

bool Seed(Store& store, const std::string& path, std::string& error) {
  std::string text;
  Json j;
  Document doc;
  if (!ReadTextFile(path, text)) { error = "cannot read " + path; return false; }
  if (!ParseJsonText(text, j, error) || !ParseDocument(j, doc, error) || !store.Import(doc, error)) {
    error = path + ": " + error;
    return false;
  }
  return true;
}

// Written under a temporary name and renamed, so a reader never sees half a file.
bool WritePortFile(const std::string& path, uint16_t requester, uint16_t admin) {
  std::string tmp = path + ".tmp" + std::to_string(getpid());
  FILE* f = fopen(tmp.c_str(), "w");
  if (!f) return false;
  bool ok = fprintf(f, "requester=%u\nadmin=%u\n", unsigned(requester), unsigned(admin)) > 0;
  ok = (fclose(f) == 0) && ok;
  if (ok && rename(tmp.c_str(), path.c_str()) == 0) return true;
  unlink(tmp.c_str());
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  std::string error;
  if (!ParseOptions(argc, argv, opt, error)) {
    fprintf(stderr, "dblinkd: %s\n%s", error.c_str(), kUsage);
    return 2;
  }
  if (opt.help) {
    fputs(kUsage, stdout);
    return 0;
  }

  // Signals are taken by sigwait below; every thread started from here inherits the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGUSR1);  // tells the requests served so far, and goes on
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::string token;
  if (opt.adminListen.set) {
    if (!ReadTokenFile(opt.adminTokenFile, token, error)) return Fail(error);
    if (token.size() < kMinTokenLength)
      return Fail("the admin token in " + opt.adminTokenFile + " has " + std::to_string(token.size()) +
                  " characters; it needs at least " + std::to_string(kMinTokenLength));
    // Plain HTTP off loopback: the token crosses the network readable.
    if (opt.adminCert.empty() && !IsLoopback(opt.adminListen.host))
      fprintf(stderr,
              "dblinkd: warning: the admin API listens on %s, not on loopback, without TLS: its token "
              "and documents cross the network in clear text; give it --admin-cert and --admin-key\n",
              opt.adminListen.host.c_str());
  }
  if (!opt.adminCert.empty() && !TlsFilesUsable(TlsFiles{opt.adminCert, opt.adminKey}, error)) return Fail(error);
  SetConnectionCap(opt.limits);

  std::unique_ptr<Store> store = OpenStore(opt.dbPath, error);
  if (!store) return Fail(error);
  if (!opt.seedFile.empty()) {
    if (!Seed(*store, opt.seedFile, error)) return Fail("seed " + error);
    fprintf(stderr, "dblinkd: seeded from %s\n", opt.seedFile.c_str());
  }

  RequesterServer requester(*store, opt.limits);
  if (!requester.Listen(opt.listen, error)) return Fail(error);
  std::unique_ptr<AdminApi> admin;
  if (opt.adminListen.set) {
    admin.reset(new AdminApi(*store, token, TlsFiles{opt.adminCert, opt.adminKey}));
    admin->ServeMetrics([&requester, &store] { return RenderMetrics(GatherMetrics(requester, *store)); });
    if (!admin->Listen(opt.adminListen, error) || !admin->Start(error)) return Fail(error);
  }
  uint16_t adminPort = admin ? admin->Port() : 0;
  if (!opt.portFile.empty() && !WritePortFile(opt.portFile, requester.Port(), adminPort))
    return Fail("cannot write port file " + opt.portFile);

  requester.Start();
  fprintf(stderr, "dblinkd: database %s, requester port %u, admin port %u, at most %u connections (%u per address)\n",
          DatabaseForLog(opt.dbPath).c_str(), unsigned(requester.Port()), unsigned(adminPort), opt.limits.maxConnections,
          opt.limits.maxPerAddress);

  int sig = 0;
  while (sigwait(&stopSignals, &sig) == 0 && sig == SIGUSR1)
    fprintf(stderr, "dblinkd: served %llu requester requests\n",
            static_cast<unsigned long long>(requester.RequestsServed()));
  fprintf(stderr, "dblinkd: signal %d, stopping\n", sig);
  if (admin) admin->Stop();
  requester.Stop();
  store.reset();
  fprintf(stderr, "dblinkd: stopped after %llu requester requests\n",
          static_cast<unsigned long long>(requester.RequestsServed()));
  return 0;
}
