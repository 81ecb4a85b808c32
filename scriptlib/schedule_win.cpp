// SCHEDULEWIN: start a Windows program without waiting. The program's later fate is its own;
// only a program that could not be started at all ends the script.
#include <windows.h>

#include "bounded_text.h"
#include "core_functions.h"
#include "library_functions.h"
#include "params.h"
#include "paths.h"
#include "variable_store.h"

namespace {

// Room for all three parameters, the backslash and the space: no line is ever refused.
constexpr size_t kCommandLineSize = 3 * kParamTextSize;
constexpr UINT kStartedAbove = 31;  // WinExec's results up to here are failures
// Cannot happen with the buffer above; named like a path the system cannot use.
constexpr int kLineTooLong = ERROR_PATH_NOT_FOUND;

}  // namespace

int ScriptScheduleWin(const char* params) {
  VariableStore::SetInt(kRetval, 0);
  char directory[kParamTextSize], program[kParamTextSize], arguments[kParamTextSize];
  if (int rc = GetStringParam(params, 1, directory)) return rc;
  if (int rc = GetStringParam(params, 2, program)) return rc;
  if (int rc = GetOptionalStringParam(params, 3, arguments)) return rc;
  char line[kCommandLineSize];
  if (!CopyText(line, directory) || !AppendPath(line, program)) return kLineTooLong;
  if (arguments[0] && (!AppendText(line, " ") || !AppendText(line, arguments))) return kLineTooLong;
  UINT started = WinExec(line, SW_SHOWNORMAL);
  // A failure number is the handler's result, reported as "ERROR %04d" and ending the
  // script; 0 (out of memory on old systems) is let through as success.
  return started > kStartedAbove ? 0 : int(started);
}
