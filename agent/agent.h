// The run: from the command line to the last disconnect, server by server.
#pragma once

#include "run_state.h"

int AgentRun(int argc, char** argv);
// networkUp false: the network layer was released already (before a reboot).
void FinishRun(const char* message, bool networkUp = true);
// The package, Tessel and console directories of the current server from its installed
// path. False, with message 161 naming the path, when one of them does not fit its field.
bool DerivePaths(const char* volumePath);
