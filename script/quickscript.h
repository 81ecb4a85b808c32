// Compiled quickscripts.
#pragma once

// Runs the compiled script name from directory. 0, -2 (ended by EXIT), -100 (restart
// requested), -101 (package stopped), or a failure.
int RunScript(const char* name, const char* directory);

// The /QS= work step and the quickscript task: RunScript with its result mapped.
int RunQuickScript(const char* name, const char* directory);
