// The quickscript function table, as far as the agent calls handlers directly.
#pragma once

// Runs the handler of a function by name with a raw parameter block (each parameter ended
// by the byte 0x05). 0 when it ran, else a message number (202 when there is no such
// function in this agent).
int CallScriptFunction(const char* name, const char* params);
