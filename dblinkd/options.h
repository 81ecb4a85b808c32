// dblinkd's command line.
#pragma once
#include <cstdint>
#include <string>

namespace dblink {

struct Endpoint {
  std::string host;
  uint16_t port = 0;  // 0: the system picks one
  bool set = false;
};

struct Options {
  std::string dbPath;
  Endpoint listen;
  Endpoint adminListen;
  std::string adminTokenFile;
  std::string seedFile;
  std::string portFile;
  bool help = false;
};

extern const char kUsage[];

// False with error set when the arguments are wrong.
bool ParseOptions(int argc, char** argv, Options& out, std::string& error);
bool ParseEndpoint(const std::string& s, Endpoint& out);

}  // namespace dblink
