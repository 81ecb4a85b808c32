#include "functions.h"

#include <string.h>

#include "messages.h"

namespace {

using Handler = int (*)(const char* params);

struct FunctionEntry {
  const char* name;
  Handler handler;
};

// The script library registers its handlers here as it lands; until then the table is empty
// and callers learn so from the result.
constexpr FunctionEntry kFunctions[] = {{nullptr, nullptr}};

}  // namespace

int CallScriptFunction(const char* name, const char* params) {
  for (const FunctionEntry& f : kFunctions)
    if (f.name && _stricmp(f.name, name) == 0) return f.handler(params);
  Trace("script function %s is not available\n", name);
  return 202;
}
