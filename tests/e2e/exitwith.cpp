// A package's program for the tests: leaves RAN.TXT (its command line) beside itself, waits
// the milliseconds given as its second argument, and ends with the exit code given first.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR args, int) {
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, sizeof path);
  if (char* slash = strrchr(path, '\\')) strcpy(slash + 1, "RAN.TXT");
  if (FILE* f = fopen(path, "w")) {
    fputs(args, f);
    fclose(f);
  }
  char* rest = nullptr;
  int code = int(strtol(args, &rest, 10));
  if (long wait = strtol(rest, nullptr, 10); wait > 0) Sleep(DWORD(wait));
  return code;
}
