// Building a fileset from a folder on the host.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include <string>

namespace fsettool {

struct BuildSummary {
  size_t files = 0, folders = 0;
  uint64_t bytes = 0, archiveBytes = 0;
};

// Every file and folder under dir, in name order, deflated where that makes it smaller,
// with DOS times (local time) and DOS attributes (read-only when the owner may not write,
// archive on files, folder on folders) and the version comment. The archive is written
// beside out and renamed over it when whole.
bool BuildFileset(const std::string& dir, const std::string& out, BuildSummary& summary, std::string& error);

}  // namespace fsettool
