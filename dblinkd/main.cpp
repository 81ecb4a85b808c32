// dblinkd: the package database service. See options.cpp for the command line.
#include <csignal>
#include <cstdio>
#include <pthread.h>
#include <string>
#include <unistd.h>

#include "admin_api.h"
#include "document.h"
#include "options.h"
#include "requester_server.h"
#include "sqlite_store.h"

using namespace dblink;

namespace {

// Database calls block their worker: a write waits for the writer and its fsync. Enough
// workers that reads go on meanwhile; more only adds switching on a small machine.
constexpr int kWorkers = 8;

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
  if (opt.adminListen.set && !ReadTokenFile(opt.adminTokenFile, token, error)) return Fail(error);

  std::unique_ptr<SqliteStore> store = SqliteStore::Open(opt.dbPath, error);
  if (!store) return Fail(error);
  if (!opt.seedFile.empty()) {
    if (!Seed(*store, opt.seedFile, error)) return Fail("seed " + error);
    fprintf(stderr, "dblinkd: seeded from %s\n", opt.seedFile.c_str());
  }

  RequesterServer requester(*store, kWorkers);
  if (!requester.Listen(opt.listen, error)) return Fail(error);
  std::unique_ptr<AdminApi> admin;
  if (opt.adminListen.set) {
    admin.reset(new AdminApi(*store, token));
    if (!admin->Listen(opt.adminListen, error)) return Fail(error);
  }
  uint16_t adminPort = admin ? admin->Port() : 0;
  if (!opt.portFile.empty() && !WritePortFile(opt.portFile, requester.Port(), adminPort))
    return Fail("cannot write port file " + opt.portFile);

  requester.Start();
  if (admin) admin->Start();
  fprintf(stderr, "dblinkd: database %s, requester port %u, admin port %u\n", opt.dbPath.c_str(),
          unsigned(requester.Port()), unsigned(adminPort));

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
