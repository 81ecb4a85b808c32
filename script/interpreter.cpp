#include "agent_codes.h"
#include "messages.h"
#include "ondemand.h"
#include "quickscript.h"
#include "variable_store.h"

int RunScript(const char* name, const char* directory) {
  // The interpreter is not part of this agent yet: say so, and leave a failure in [RETVAL]
  // so that a package with a quickscript task is recorded as failed, never as done.
  Trace("interpreter unavailable for %s in %s\n", name, directory);
  ReportMessage(1, 203, "RunScript");
  VariableStore::SetInt("[RETVAL]", 203);
  return kResultReported;
}

int RunQuickScript(const char* name, const char* directory) {
  if (!name || !*name) return 0;
  OnDemandStatus("executing quickscript %s", name);
  Trace("interpreting quickscript %s\n", name);
  int r = RunScript(name, directory);
  if (r == kResultPackageStopped || r == kResultRestart || r == 0) return r;
  if (r == kResultScriptExit) return 0;
  Trace("ExecScript returned with error code: %ld\n", long(r));
  int32_t retval = 0;
  VariableStore::GetInt("[RETVAL]", &retval);
  Trace("%s was set at %ld\n", "[RETVAL]", long(retval));
  return retval;
}
