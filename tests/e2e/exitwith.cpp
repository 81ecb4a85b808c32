// A package's program for the tests: leaves RAN.TXT (its command line) beside itself and
// ends with the exit code given as its first argument.
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
  return atoi(args);
}
