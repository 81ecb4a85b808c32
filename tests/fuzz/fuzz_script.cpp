// Mutated compiled scripts through the interpreter core, built with AddressSanitizer and
// UndefinedBehaviorSanitizer: any read past a buffer, overflow or crash stops the run with
// the input left in the work folder. Every input kept under corpus/ runs first.
//
//   script_fuzz CORPUS_DIR WORK_DIR [ITERATIONS] [SEED]
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "host_support.h"
#include "qsc.h"
#include "quickscript.h"
#include "variable_store.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Seeds: scripts that reach every function of the core and the skipping rules.
const char* const kSeeds[] = {
    "DEFINE \"[S]\", S\nDEFINE \"[N]\", I\nSTRCOPY [S], \"abc\"\nSTRCAT [S], [PACKAGEPATH]\nNUMTOSTR [S], -5\n"
    "ASSIGN [N], 2147483647\nAPPENDPATH [S], \"\\\\x\"\nSTRCOMPARE [S], NULL\nWRITELN [S]\nEXIT [N]\n",
    "IF 1, =, 2\n IF [RETVAL], <, 3\n COPY \"a\", \"b\"\n ELSE\n ENDIF\nELSE\nIF 3, >=, 3\nWRITELN \"x\"\nENDIF\n"
    "ENDIF\nELSE\nENDIF\nAbort 4\n",
    "DEFINE \"[T]\", STRING\nGETINISTR a, b\nREBOOT 0\nUPGRADEOS\nASSIGN [RETVAL], 7\nIF [RETVAL], !, 7\nENDIF\n"
    "IF 1, #, 1\n",
    "#99 a, b\nSHELL \"C:\\x.exe\", NULL, KEEPPATH\nPAUSE NULL\nFILEDATECOMP \"a\", \"b\"\nGetEnv \"PATH\", [S]\n",
    "DEFINE NULL, I\nDEFINE `\"[Q`, I\nSTRCOPY [Q, `\"open`\nEXIT `1 `\nEXIT nothing\n",
};

Bytes Compile(const char* text) {
  plx::QscCompileResult r = plx::CompileQuickscript(text);
  if (!r.ok) {
    fprintf(stderr, "seed does not compile:\n%s\n", text);
    exit(2);
  }
  return r.bytes;
}

Bytes ReadFile(const std::string& path) {
  Bytes b;
  if (FILE* f = fopen(path.c_str(), "rb")) {
    uint8_t chunk[4096];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, f)) > 0;) b.insert(b.end(), chunk, chunk + n);
    fclose(f);
  }
  return b;
}

void WriteFile(const std::string& path, const Bytes& b) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) {
    perror(path.c_str());
    exit(2);
  }
  fwrite(b.data(), 1, b.size(), f);
  fclose(f);
}

// Bytes that matter to the reader: separators, quotes, digits, signs, zero, extremes.
const uint8_t kInteresting[] = {0x00, 0x05, '"', '-', '0', '9', 'N', '[', ']', '\\', 0x7F, 0x80, 0xFF, ',', ' '};

void Mutate(Bytes& b, std::mt19937& rng, const std::vector<Bytes>& pool) {
  auto pick = [&](size_t n) { return n ? size_t(rng() % n) : 0; };
  int steps = 1 + int(rng() % 4);
  for (int i = 0; i < steps; ++i) {
    switch (rng() % 9) {
      case 0:  // flip a bit
        if (!b.empty()) b[pick(b.size())] ^= uint8_t(1u << (rng() % 8));
        break;
      case 1:  // an interesting byte
        if (!b.empty()) b[pick(b.size())] = kInteresting[pick(sizeof kInteresting)];
        break;
      case 2:  // insert bytes
        b.insert(b.begin() + long(pick(b.size() + 1)), size_t(1 + rng() % 8), uint8_t(rng()));
        break;
      case 3:  // delete bytes
        if (!b.empty()) {
          size_t at = pick(b.size()), n = std::min(b.size() - at, size_t(1 + rng() % 8));
          b.erase(b.begin() + long(at), b.begin() + long(at + n));
        }
        break;
      case 4:  // cut the file
        b.resize(pick(b.size() + 1));
        break;
      case 5: {  // a 16-bit field: lengths and ids at their limits
        if (b.size() < 2) break;
        static const uint16_t words[] = {0, 4, 5, 6, 1022, 1026, 1027, 0x7FFF, 0x8000, 0xFFFF, 29, 30, 34, 60, 61};
        uint16_t w = words[pick(sizeof words / sizeof words[0])];
        size_t at = pick(b.size() - 1);
        b[at] = uint8_t(w);
        b[at + 1] = uint8_t(w >> 8);
        break;
      }
      case 6: {  // splice from another input
        const Bytes& other = pool[pick(pool.size())];
        if (other.empty()) break;
        size_t from = pick(other.size()), n = std::min(other.size() - from, size_t(1 + rng() % 64));
        b.insert(b.begin() + long(pick(b.size() + 1)), other.begin() + long(from), other.begin() + long(from + n));
        break;
      }
      case 7: {  // a long run: parameters over their limit, records at theirs
        size_t n = 200 + rng() % 900;
        b.insert(b.begin() + long(pick(b.size() + 1)), n, uint8_t(rng() % 2 ? 'x' : '"'));
        break;
      }
      default: {  // repeat a slice: deep IF nesting
        if (b.size() < 2) break;
        size_t at = pick(b.size()), n = std::min(b.size() - at, size_t(1 + rng() % 32));
        Bytes slice(b.begin() + long(at), b.begin() + long(at + n));
        for (int k = int(rng() % 60); k > 0; --k) b.insert(b.begin() + long(at), slice.begin(), slice.end());
        break;
      }
    }
  }
}

void RunOne(const std::string& dir, const Bytes& input) {
  WriteFile("INPUT.QSC", input);
  ResetHostRun();
  // No loops and no jumps: a script runs once through its bytes; anything slower is a hang.
  alarm(10);
  int r = RunScript("INPUT.QSC", "");
  alarm(0);
  bool known = r == 0 || r == -1 || r == -2 || r == -100 || r == -101;
  if (!known) {
    fprintf(stderr, "unexpected result %d; input kept in %s/INPUT.QSC\n", r, dir.c_str());
    exit(1);
  }
  VariableStore::Free();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: script_fuzz CORPUS_DIR WORK_DIR [ITERATIONS] [SEED]\n");
    return 2;
  }
  std::string corpus = argv[1], work = argv[2];
  long iterations = argc > 3 ? atol(argv[3]) : 100000;
  unsigned seed = argc > 4 ? unsigned(atol(argv[4])) : 20261206u;

  std::vector<Bytes> pool;
  for (const char* s : kSeeds) pool.push_back(Compile(s));
  size_t kept = 0;
  if (DIR* d = opendir(corpus.c_str())) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      pool.push_back(ReadFile(corpus + "/" + e->d_name));
      ++kept;
    }
    closedir(d);
  }
  // The script's path is its bare name: the agent's paths use backslashes.
  if (chdir(work.c_str()) != 0) {
    perror(work.c_str());
    return 2;
  }
  for (size_t k = pool.size() - kept; k < pool.size(); ++k) RunOne(work, pool[k]);
  std::mt19937 rng(seed);
  size_t failures = 0, completions = 0;
  for (long i = 0; i < iterations; ++i) {
    Bytes input = pool[rng() % pool.size()];
    Mutate(input, rng, pool);
    RunOne(work, input);
    if (gHostReports.last == 206) ++failures;
    else ++completions;
    // Inputs that went far keep breeding.
    if (pool.size() < 4000 && i % 97 == 0) pool.push_back(input);
  }
  printf("script_fuzz: %zu kept inputs and %ld mutated scripts run (seed %u): %zu failed with 206, %zu did not\n",
         kept, iterations, seed, failures, completions);
  return 0;
}
