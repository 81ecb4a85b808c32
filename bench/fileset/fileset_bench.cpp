// fileset_bench FILESET TARGET: decompresses FILESET into TARGET through CVFSET32.dll (from
// beside this program) and prints "bytes seconds" of the _lzUnCrushFsetEx@16 call alone, with
// a progress callback that does what the agent's does short of drawing.
#include <windows.h>

#include <stdio.h>

#include "cvfset32.h"

namespace {

int gLastPercent = 0;
uint32_t gTotal = 0;

void __stdcall Progress(uint32_t total, uint32_t done, const char*, const char*, uint8_t* abortFlag) {
  *abortFlag = 0;
  gTotal = total;
  int percent = total == 0 ? 0 : int(uint64_t(done) * 100 / total);
  if (percent != gLastPercent) gLastPercent = percent;
}

uint16_t __stdcall File(const char*) { return 0; }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: fileset_bench FILESET TARGET\n");
    return 2;
  }
  HMODULE library = LoadLibraryA(kFsetLibraryName);
  auto unCrush = library ? reinterpret_cast<FsetUnCrushProc>(reinterpret_cast<void*>(GetProcAddress(library, kFsetUnCrushName)))
                         : nullptr;
  if (!unCrush) {
    fprintf(stderr, "fileset_bench: no %s beside the program\n", kFsetLibraryName);
    return 1;
  }
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  uint16_t status = unCrush(argv[1], argv[2], Progress, File);
  QueryPerformanceCounter(&end);
  if (status != 0) {
    fprintf(stderr, "fileset_bench: status %u\n", status);
    return 1;
  }
  printf("%lu %.6f\n", (unsigned long)gTotal, double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart));
  return 0;
}
