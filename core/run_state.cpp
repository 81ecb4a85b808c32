#include "run_state.h"

// The two run-wide records: filled once per process, read everywhere.
AgentOptions gOptions;
AgentContext gContext;
