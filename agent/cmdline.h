// The agent's slash options.
#pragma once

// Fills gOptions (and the server name of gContext) from argv[1..argc-1]. 0: the run may go
// on; 1: it must stop (a bad argument, or /?). Shows the window unless /SILENT.
int ParseCommandLine(int argc, char** argv);
void ShowUsage(const char* badArgument);
