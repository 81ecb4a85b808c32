#include "server/history.h"

#include "messages/messages.h"

int AddHistoryEntry(uint32_t packageId, const char* machineId, const char* text) {
  if (packageId == 0) {
    PrintResults("Unable to add an entry to the history log (no package ID).\n");
    return -1;
  }
  // Entries for a package need its status row, which the package engine finds; until a
  // package is being worked on there is nothing to hang the entry on.
  PrintResults("Unable to add an entry to the history log.\nUnable to determine package user ID.");
  return -1;
}
