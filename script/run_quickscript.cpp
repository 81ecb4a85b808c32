#include "agent_codes.h"
#include "core_functions.h"
#include "messages.h"
#include "ondemand.h"
#include "quickscript.h"
#include "variable_store.h"

int RunQuickScript(const char* name, const char* directory) {
  if (!name || !*name) return 0;
  OnDemandStatus("executing quickscript %s", name);
  Trace("interpreting quickscript %s\n", name);
  int r = RunScript(name, directory);
  if (r == kResultPackageStopped || r == kResultRestart || r == 0) return r;
  if (r == kResultScriptExit) return 0;
  Trace("ExecScript returned with error code: %ld\n", long(r));
  int32_t retval = 0;
  VariableStore::GetInt(kRetval, &retval);
  Trace("%s was set at %ld\n", kRetval, long(retval));
  return retval;
}
