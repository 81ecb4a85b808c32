// The addresses of one server's database service, as DBLINKR32.INI lists them: one
// host:port, or several replicas of the service separated by commas
// (SRV=10.0.0.5:7310, 10.0.0.6:7310). A link goes to one of them; when it fails, the next
// link goes to the next one.
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

namespace requester {

struct ServiceAddress {
  std::string host;
  uint16_t port = 0;
};

// False when the value is empty or any entry is not host:port with a port of 1 to 65535;
// spaces and tabs around an entry are allowed.
bool ParseServiceAddresses(const std::string& value, std::vector<ServiceAddress>& out);

// The address a process tries first, from a number that differs between processes and
// workstations (the process id and the tick count when it first asked): many workstations
// starting at once land evenly on the replicas.
uint32_t SpreadNumber(uint32_t processId, uint32_t tick);

}  // namespace requester
