// replacekey_bench DIR FILE KEY OLD NEW: compiles and runs, through the agent's interpreter,
// the quickscript that selects DIR\FILE as the system file and swaps the token OLD for NEW
// on the line holding KEY. Prints "seconds retval peakKiB": the run of the script alone, its
// [RETVAL], and the process's memory high-water mark, which must not grow with the file.
#include <windows.h>
#include <psapi.h>
#include <stdio.h>

#include <string>

#include "qsc.h"
#include "quickscript.h"
#include "variable_store.h"

namespace {

long PeakKiB() {
  PROCESS_MEMORY_COUNTERS pmc{};
  GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof pmc);
  return long(pmc.PeakWorkingSetSize / 1024);
}

std::string Quoted(const char* s) { return std::string("\"") + s + "\""; }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    fprintf(stderr, "usage: replacekey_bench DIR FILE KEY OLD NEW\n");
    return 2;
  }
  const std::string dir = argv[1];
  const std::string text = "SETSYSFILE " + Quoted(argv[1]) + ", " + Quoted(argv[2]) + "\nREPLACEKEY " +
                           Quoted(argv[3]) + ", " + Quoted(argv[4]) + ", " + Quoted(argv[5]) + "\n";
  plx::QscCompileResult compiled = plx::CompileQuickscript(text);
  if (!compiled.ok) {
    fprintf(stderr, "replacekey_bench: the script does not compile\n");
    return 1;
  }
  const char kScript[] = "REPLACE.QSC";
  FILE* f = fopen((dir + "\\" + kScript).c_str(), "wb");
  if (!f) return 1;
  fwrite(compiled.bytes.data(), 1, compiled.bytes.size(), f);
  fclose(f);

  VariableStore::Init();
  VariableStore::Define("[RETVAL]", 'I');
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  int r = RunScript(kScript, dir.c_str());
  QueryPerformanceCounter(&end);
  int32_t retval = -999;
  VariableStore::GetInt("[RETVAL]", &retval);
  VariableStore::Free();
  DeleteFileA((dir + "\\" + kScript).c_str());
  if (r != 0) {
    fprintf(stderr, "replacekey_bench: the script stopped with %d\n", r);
    return 1;
  }
  printf("%.6f %ld %ld\n", double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart), long(retval),
         PeakKiB());
  return 0;
}
