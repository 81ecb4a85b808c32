#include "messages/messages.h"
#include "script/quickscript.h"

int RunScript(const char* name, const char* directory) {
  // The interpreter is not part of this agent yet: say so instead of pretending success.
  Trace("interpreter unavailable for %s in %s\n", name, directory);
  ReportMessage(0, 203, "RunScript");
  return -1;
}
