// What the host build of the interpreter core offers its drivers (the fuzz test and the
// benchmark): how many messages were reported, and a fresh variable store for each run.
#pragma once
#include <stddef.h>
#include <stdint.h>

struct HostReports {
  size_t messages = 0;   // ReportMessage calls
  size_t results = 0;    // PrintResults calls
  uint32_t last = 0;     // number of the last message
  size_t pumps = 0;      // PumpMessages calls: one after each record the script got past
  char lastLine[256] = {};
};
extern HostReports gHostReports;

// The store as the agent has it when a script starts: [RETVAL] and a few system variables.
void ResetHostRun();
