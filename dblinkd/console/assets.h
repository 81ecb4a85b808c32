// The console's static files, compiled into the service so that it needs no files beside
// it and no network (embed.cmake writes the table).
#pragma once
#include <cstddef>

namespace dblink {

struct ConsoleAsset {
  const char* name;
  const unsigned char* data;
  size_t size;
};

extern const ConsoleAsset kConsoleAssets[];
extern const size_t kConsoleAssetCount;

}  // namespace dblink
