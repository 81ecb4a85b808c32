// A program for the scheduling tests: writes the command line it was started with into
// CMDLINE.TXT beside itself. The text goes to a temporary name first, so that a test polling
// for the file never reads it half written.
#include <windows.h>

#include <stdio.h>
#include <string.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  char dir[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, dir, sizeof dir);
  if (n == 0 || n >= sizeof dir) return 1;
  char* slash = strrchr(dir, '\\');
  if (!slash) return 1;
  slash[1] = '\0';
  char temp[MAX_PATH + 16], done[MAX_PATH + 16];
  snprintf(temp, sizeof temp, "%sCMDLINE.TMP", dir);
  snprintf(done, sizeof done, "%sCMDLINE.TXT", dir);
  FILE* f = fopen(temp, "wb");
  if (!f) return 1;
  fputs(GetCommandLineA(), f);
  if (fclose(f) != 0) return 1;
  return MoveFileExA(temp, done, MOVEFILE_REPLACE_EXISTING) ? 0 : 1;
}
