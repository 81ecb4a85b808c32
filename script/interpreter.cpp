#include "messages/messages.h"
#include "script/quickscript.h"
#include "vars/variable_store.h"

int RunScript(const char* name, const char* directory) {
  // The interpreter is not part of this agent yet: say so, and leave a failure in [RETVAL]
  // so that a package with a quickscript task is recorded as failed, never as done.
  Trace("interpreter unavailable for %s in %s\n", name, directory);
  ReportMessage(1, 203, "RunScript");
  VariableStore::SetInt("[RETVAL]", 203);
  return -1;
}
