// Program Manager groups and items over DDE. Nothing comes back to the script: [RETVAL]
// stays 0 whatever the shell made of the commands, and nothing is journalled for undo.
#include <stddef.h>

#include "bounded_text.h"
#include "core_functions.h"
#include "library_functions.h"
#include "messages.h"
#include "params.h"
#include "progman_dde.h"
#include "variable_store.h"

namespace {

// Buffer sizes of the commands, terminator included.
constexpr size_t kAddItemCommandSize = 1024;
constexpr size_t kGroupCommandSize = 512;
constexpr size_t kDeleteCommandSize = 128;

constexpr DWORD kCommandMillis = 10000;
// Each of an item's two commands waits less: the script goes on to its next item soon.
constexpr DWORD kAddItemCommandMillis = 1000;

constexpr int kIconIndex = 0;
constexpr int kDefaultPosition = -1;

// Literals, so that the compiler checks each call's arguments against them.
#define PLX_GROUP_FORMAT "[CreateGroup(%s)][ShowGroup(%s,1)]"
#define PLX_ADD_ITEM_FORMAT "[AddItem(%s,%s,%s,%d,%d,%d,%s)]"
#define PLX_DELETE_GROUP_FORMAT "[DeleteGroup(%s)]"
#define PLX_DELETE_ITEM_FORMAT "[DeleteItem(%s)]"

struct Command {
  const char* text;
  DWORD timeout;
};

// One conversation carrying the commands in order. When a command did not fit its buffer
// the call sends nothing at all, not even the commands before it: a cut name would make or
// delete some other group or item, so the call is dropped whole, with a trace line.
void SendCommands(const Command* commands, size_t count, bool allFit) {
  if (!allFit) {
    Trace("Program Manager command too long, nothing sent\n");
    return;
  }
  DWORD instance;
  HCONV conversation;
  if (!ProgmanConnect(&instance, &conversation)) return;
  for (size_t i = 0; i < count; ++i) ProgmanExecute(instance, conversation, commands[i].text, commands[i].timeout);
  ProgmanDisconnect(instance, conversation);
}

void SendOne(const char* command, bool fits) {
  const Command commands[] = {{command, kCommandMillis}};
  SendCommands(commands, 1, fits);
}

// The one name of ADDGROUP, DeleteGroup and DeleteItem.
int ReadName(const char* params, char (&name)[kParamTextSize]) {
  VariableStore::SetInt(kRetval, 0);
  return GetStringParam(params, 1, name);
}

// ADDITEM and ADDITEMPATH: the group made the active one, then the item added to it. The
// parameters are not checked: empty ones go to the shell as they are.
int AddItem(const char* params, bool withDirectory) {
  VariableStore::SetInt(kRetval, 0);
  char group[kParamTextSize], item[kParamTextSize], commandLine[kParamTextSize];
  char directory[kParamTextSize] = "";
  if (int rc = GetStringParam(params, 1, group)) return rc;
  if (int rc = GetStringParam(params, 2, item)) return rc;
  if (int rc = GetStringParam(params, 3, commandLine)) return rc;
  if (withDirectory) {
    if (int rc = GetStringParam(params, 4, directory)) return rc;
  }
  char groupCommand[kAddItemCommandSize], itemCommand[kAddItemCommandSize];
  bool fits = FormatText(groupCommand, PLX_GROUP_FORMAT, group, group);
  fits = FormatText(itemCommand, PLX_ADD_ITEM_FORMAT, commandLine, item, commandLine, kIconIndex,
                    kDefaultPosition, kDefaultPosition, directory) &&
         fits;
  const Command commands[] = {{groupCommand, kAddItemCommandMillis}, {itemCommand, kAddItemCommandMillis}};
  SendCommands(commands, 2, fits);
  return 0;
}

}  // namespace

int ScriptAddGroup(const char* params) {
  char name[kParamTextSize];
  if (int rc = ReadName(params, name)) return rc;
  if (!name[0]) return 0;
  char command[kGroupCommandSize];
  SendOne(command, FormatText(command, PLX_GROUP_FORMAT, name, name));
  return 0;
}

int ScriptDeleteGroup(const char* params) {
  char name[kParamTextSize];
  if (int rc = ReadName(params, name)) return rc;
  if (!name[0]) return 0;
  char command[kDeleteCommandSize];
  SendOne(command, FormatText(command, PLX_DELETE_GROUP_FORMAT, name));
  return 0;
}

int ScriptDeleteItem(const char* params) {
  char name[kParamTextSize];
  if (int rc = ReadName(params, name)) return rc;
  if (!name[0]) return 0;
  char command[kDeleteCommandSize];
  SendOne(command, FormatText(command, PLX_DELETE_ITEM_FORMAT, name));
  return 0;
}

int ScriptAddItem(const char* params) { return AddItem(params, false); }
int ScriptAddItemPath(const char* params) { return AddItem(params, true); }
