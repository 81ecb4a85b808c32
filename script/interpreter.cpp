#include <stdio.h>
#include <string.h>

#include "agent_codes.h"
#include "bounded_text.h"
#include "core_functions.h"
#include "functions.h"
#include "if_state.h"
#include "messages.h"
#include "params.h"
#include "paths.h"
#include "quickscript.h"
#include "status_window.h"
#include "variable_store.h"

namespace {

constexpr uint32_t kMsgScriptMissing = 205;  // "Unable to locate script data file: %s!"
constexpr uint32_t kMsgScriptFailed = 206;   // "The script %s failed on line %lu."
constexpr uint32_t kMsgScriptUnreadable = 233;
constexpr uint32_t kMsgUnknownFunctionId = 234;
constexpr uint32_t kMsgAborted = 235;  // "The package was aborted on line %lu"

// A record: its length (2 bytes, this field included), the function id (2), one byte the
// interpreter skips, then the parameter block.
constexpr uint32_t kRecordHeaderSize = 4;
constexpr uint32_t kMaxRecordLength = 1026;
constexpr size_t kRecordBufferSize = 1022;
// The stream reads through a fixed buffer of its own, so that a record costs no system call
// and nothing is allocated while the script runs.
constexpr size_t kStreamBufferSize = 4096;
constexpr size_t kScriptPathSize = 260;

struct ScriptContext {
  FILE* file = nullptr;
  char record[kRecordBufferSize];  // the record from its skipped byte on
  char params[kRecordBufferSize];  // the parameter block and its terminating zero
  char functionName[kFunctionNameSize];
  bool execute = false;
  uint32_t line = 1;
  int32_t result = 0;
  char streamBuffer[kStreamBufferSize];
};

bool ReadWord(FILE* f, uint16_t* word) {
  unsigned char bytes[2];
  if (fread(bytes, 1, sizeof bytes, f) != sizeof bytes) return false;
  *word = uint16_t(bytes[0] | (bytes[1] << 8));
  return true;
}

// The rest of a record after its length. Left open by the format: a length over 1,026
// bytes does not fit the buffers and fails like a record cut short.
bool ReadRecordBody(ScriptContext& s, uint16_t length, int16_t* id) {
  if (length <= kRecordHeaderSize || length > kMaxRecordLength) return false;
  uint16_t word = 0;
  if (!ReadWord(s.file, &word)) return false;
  *id = int16_t(word);
  size_t body = size_t(length - kRecordHeaderSize);
  if (fread(s.record, 1, body, s.file) != body) return false;
  memcpy(s.params, s.record + 1, body - 1);
  s.params[body - 1] = '\0';
  return true;
}

// Whether a record runs, from the state at the current level; pushes and pops the levels
// of IF blocks that lie in skipped text.
bool Decide(const char* name) {
  int32_t state = CurrentIfBranch();
  if (state != kIfSkipping && state != kIfInSkippedText) return true;
  bool isIf = SameTextIgnoringCase(name, "IF");
  bool closes = SameTextIgnoringCase(name, "ENDIF");
  bool switches = SameTextIgnoringCase(name, "ELSE");
  if (isIf) {
    // Left open by the format: IFs in skipped text are counted past the IF function's own
    // limit; the levels without a slot read as skipped text (see CurrentIfBranch).
    ++gIfState.level;
    SetCurrentIfBranch(kIfInSkippedText);
    return false;
  }
  if (state == kIfSkipping) return closes || switches;
  if (closes) {
    SetCurrentIfBranch(kIfNone);
    --gIfState.level;
  }
  return false;
}

}  // namespace

int RunScript(const char* name, const char* directory) {
  char path[kScriptPathSize];
  bool fits = (directory && *directory) ? CopyText(path, directory) && AppendPath(path, name) : CopyText(path, name);
  // A path that does not fit is a script that cannot be found, never a shorter path.
  if (!fits) {
    Trace("failed opening '%s'\n", name);
    ReportMessage(1, kMsgScriptMissing, name);
    return kResultReported;
  }
  // Left open by the format: every script starts outside any IF, so that one that ended
  // inside a block (EXIT, a failure, a missing ENDIF) cannot make the next one skip.
  ClearIfState();
  ScriptContext s;
  Trace("opening compiled quickscript '%s'\n", path);
  s.file = fopen(path, "rb");
  if (!s.file) {
    Trace("failed opening '%s'\n", path);
    ReportMessage(1, kMsgScriptMissing, path);
    return kResultReported;
  }
  setvbuf(s.file, s.streamBuffer, _IOFBF, sizeof s.streamBuffer);
  uint16_t length = 0;
  if (!ReadWord(s.file, &length)) {
    ReportMessage(1, kMsgScriptUnreadable, path);
    s.result = kResultReported;
  } else {
    for (;;) {
      int16_t id = 0;
      if (!ReadRecordBody(s, length, &id)) {
        ReportMessage(1, kMsgScriptUnreadable, path);
        s.result = kResultReported;
        break;
      }
      if (FindFunctionById(id, s.functionName) < 0) {
        ReportMessage(1, kMsgUnknownFunctionId, int(id));
        s.result = kResultReported;
        break;
      }
      s.execute = Decide(s.functionName);
      if (s.execute) {
        s.result = ExecuteFunction(s.functionName, s.params);
        if (s.result != 0) break;
      }
      ++s.line;
      bool more = ReadWord(s.file, &length);
      PumpMessages();
      if (!more) break;
    }
  }
  switch (s.result) {
    case 0:
    case kResultScriptExit:
    case kResultRestart:
      PrintResults("\nThe script completed successfully.\n\n");
      break;
    case kResultPackageStopped: {
      int32_t retval = 0;
      VariableStore::GetInt(kRetval, &retval);
      if (retval != 0) ReportMessage(1, kMsgAborted, static_cast<unsigned long>(s.line + 1));
      break;
    }
    default:
      VariableStore::SetInt(kRetval, s.result);
      ReportMessage(1, kMsgScriptFailed, name, static_cast<unsigned long>(s.line + 1));
      s.result = kResultReported;
      break;
  }
  fclose(s.file);
  return s.result;
}
