// A short DDE conversation with Program Manager: connect, send command strings, hang up.
// Nothing is kept between calls and nothing is reported: the shell either did it or not.
#pragma once
#include <windows.h>
#include <ddeml.h>

// Connection attempts go on this long, with a pause after each refused one.
constexpr DWORD kProgmanConnectMillis = 30000;
constexpr DWORD kProgmanRetryPauseMillis = 5000;

// True with an instance and an open conversation; false with nothing left to close.
bool ProgmanConnect(DWORD* instance, HCONV* conversation);
// Sends one command as text, waiting at most timeout ms; a refusal or time-out is dropped.
void ProgmanExecute(DWORD instance, HCONV conversation, const char* command, DWORD timeout);
// Closes what ProgmanConnect opened.
void ProgmanDisconnect(DWORD instance, HCONV conversation);
// Waits ms milliseconds while the status window goes on handling its messages.
void WaitPumping(DWORD ms);
