// RunScript over compiled scripts of 100,000 and 1,000,000 ASSIGN/IF/STRCAT records:
// records per second, and the memory high-water mark after each, which must not grow with
// the script's length (fixed buffers, nothing allocated per record).
//
//   script_bench [WORK_DIR]
#include <stdio.h>
#include <string.h>

#include <unistd.h>

#include <chrono>
#include <string>

#include "plx/script_format.h"
#include "quickscript.h"
#include "variable_store.h"

#ifdef _WIN32
#include <windows.h>
#include <psapi.h>
#else
#include <sys/resource.h>
#endif

namespace {

// Peak memory of the process so far, in KiB.
long PeakKiB() {
#ifdef _WIN32
  PROCESS_MEMORY_COUNTERS pmc{};
  GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof pmc);
  return long(pmc.PeakWorkingSetSize / 1024);
#else
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
#endif
}

void Put(FILE* f, int16_t id, const char* params) {
  uint8_t record[plx::kScriptRecordMaxLength];
  size_t n = plx::EncodeScriptRecord(id, 0, reinterpret_cast<const uint8_t*>(params), strlen(params), record);
  fwrite(record, 1, n, f);
}

constexpr int16_t kDefine = 22, kAssign = 23, kStrCopy = 25, kStrCat = 26, kIf = 29, kEndIf = 34;

// Written record by record, so that building the file costs no memory either. A cycle of
// six: ASSIGN, IF (true on two of every seven), STRCAT, ENDIF, ASSIGN, STRCOPY.
long WriteScript(const std::string& path, long records) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return 0;
  Put(f, kDefine, "\"[S]\"\x05S\x05");
  Put(f, kDefine, "\"[N]\"\x05I\x05");
  long written = 2;
  char assign[32];
  for (long i = 0; written < records; ++i) {
    snprintf(assign, sizeof assign, "[N]\x05%ld\x05", i % 7);
    const struct {
      int16_t id;
      const char* params;
    } cycle[] = {{kAssign, assign}, {kIf, "[N]\x05<\x05" "2\x05"}, {kStrCat, "[S]\x05\"ab\"\x05"},
                 {kEndIf, ""},      {kAssign, "[RETVAL]\x05" "0\x05"}, {kStrCopy, "[S]\x05\"x\"\x05"}};
    for (const auto& r : cycle) {
      if (written == records) break;
      Put(f, r.id, r.params);
      ++written;
    }
  }
  fclose(f);
  return written;
}

}  // namespace

int main(int argc, char** argv) {
  // The script's path is its bare name in the work folder.
  if (argc > 1 && chdir(argv[1]) != 0) return 2;
  for (long records : {100000L, 1000000L}) {
    std::string name = "BENCH" + std::to_string(records) + ".QSC";
    long written = WriteScript(name, records);
    VariableStore::Init();
    VariableStore::Define("[RETVAL]", 'I');
    auto start = std::chrono::steady_clock::now();
    int r = RunScript(name.c_str(), "");
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    char s[256] = "";
    VariableStore::GetString("[S]", s);
    VariableStore::Free();
    printf("%8ld records: result %d, %.3f s, %.0f records/s, peak memory %ld KiB, [S]=%s\n", written, r, seconds,
           double(written) / seconds, PeakKiB(), s);
    remove(name.c_str());
    if (r != 0) return 1;
  }
  return 0;
}
