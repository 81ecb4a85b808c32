// Reading a fileset on the host: the same checks as the library, then CRCs on request.
#pragma once
#include <stdio.h>

#include <string>
#include <vector>

#include "fileset_format.h"

namespace fsettool {

struct Reader {
  FILE* file = nullptr;
  fset::EndRecord end;
  std::vector<fset::Member> members;
  ~Reader();
  // End record, format version and the whole central directory; error says more.
  fset::Problem Open(const char* path, std::string& error);
  // Inflates the member and compares its size and CRC.
  bool Check(const fset::Member& m, std::string& error);
};

}  // namespace fsettool
