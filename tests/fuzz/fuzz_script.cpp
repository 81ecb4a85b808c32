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
#include "plx/script_format.h"
#include "qsc.h"
#include "quickscript.h"
#include "variable_store.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Seeds: scripts that reach every function of the core and the skipping rules.
const char* const kSeeds[] = {
    "DEFINE \"[S]\", S\nDEFINE \"[N]\", I\nSTRCOPY [S], \"abc\"\nSTRCAT [S], [PACKAGEPATH]\nNUMTOSTR [S], -5\n"
    "ASSIGN [N], 2147483647\nAPPENDPATH [S], \"\\\\x\"\nSTRCOMPARE [S], NULL\nWRITELN [S]\nEXIT [N]\n",
    "DEFINE \"[S]\", S\nIF 1, =, 2\n IF [RETVAL], <, 3\n COPY \"a\", \"b\"\n ELSE\n ENDIF\nELSE\nIF 3, >=, 3\n"
    "WRITELN \"x\"\nSTRCAT [S], [WINDIR]\nENDIF\nENDIF\nIF 1, <>, 2\nELSE\nENDIF\nAbort 4\n",
    "DEFINE \"[T]\", STRING\nDEFINE \"[U]\", I\nASSIGN [RETVAL], 7\nIF [RETVAL], !, 7\nENDIF\nNUMTOSTR [T], [RETVAL]\n"
    "ASSIGN [U], -12\nIF [U], <=, -12\nSTRCOPY [T], \"NULL\"\nENDIF\nREBOOT 0\n",
    "DEFINE \"[S]\", S\nSTRCOPY [S], \"x\"\nIF 0, =, 0\nIF 0, =, 0\nIF 0, =, 0\nSTRCAT [S], [S]\nSTRCAT [S], [S]\n"
    "STRCAT [S], [S]\nENDIF\nENDIF\nENDIF\nSTRCAT [S], [S]\nSTRCAT [S], [S]\nSTRCAT [S], [S]\nSTRCAT [S], [S]\n"
    "STRCAT [S], [S]\n",
    "DEFINE \"[S]\", S\nWRITELN [S]\nSHELL \"C:\\x.exe\", NULL, KEEPPATH\n",
    "DEFINE \"[S]\", S\nWRITELN [S]\nGETINISTR a, b\n",
    "DEFINE \"[S]\", S\nWRITELN [S]\nIF 1, #, 1\n",
    "DEFINE \"[S]\", S\nWRITELN [S]\n#99 a, b\n",
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

// Keeps every record whole and changes what one of them says: its function, or bytes of its
// parameters. Such scripts run far, into the functions rather than the reader.
bool MutateRecord(Bytes& b, std::mt19937& rng) {
  std::vector<plx::ScriptRecord> records;
  size_t offset = 0;
  plx::ScriptRecord r;
  plx::ScriptReadStatus st;
  while ((st = plx::ReadScriptRecord(b.data(), b.size(), &offset, &r)) == plx::kScriptReadOk) records.push_back(r);
  if (st != plx::kScriptReadEnd || records.empty()) return false;
  Bytes out;
  size_t victim = rng() % records.size();
  for (size_t i = 0; i < records.size(); ++i) {
    const plx::ScriptRecord& rec = records[i];
    int16_t id = rec.id;
    Bytes params(rec.params, rec.params + rec.paramsSize);
    if (i == victim) {
      if (rng() % 3 == 0) {
        id = int16_t(rng() % 62);
      } else {
        size_t at = params.empty() ? 0 : rng() % (params.size() + 1);
        uint8_t c = kInteresting[rng() % sizeof kInteresting];
        if (rng() % 2 && at < params.size()) params[at] = c;
        else params.insert(params.begin() + long(at), c);
      }
    }
    uint8_t record[plx::kScriptRecordMaxLength];
    size_t n = plx::EncodeScriptRecord(id, rec.pad, params.data(), params.size(), record);
    if (!n) return false;
    out.insert(out.end(), record, record + n);
  }
  b.swap(out);
  return true;
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
  size_t failures = 0, completions = 0, records = 0;
  for (long i = 0; i < iterations; ++i) {
    Bytes input = pool[rng() % pool.size()];
    if (rng() % 2 == 0 || !MutateRecord(input, rng)) Mutate(input, rng, pool);
    RunOne(work, input);
    records += gHostReports.pumps;
    if (gHostReports.last == 206) ++failures;
    else ++completions;
    // Inputs that went far keep breeding.
    if (pool.size() < 4000 && gHostReports.pumps >= 4 && i % 7 == 0) pool.push_back(input);
  }
  printf("script_fuzz: %zu kept inputs and %ld mutated scripts run (seed %u): %zu failed with 206, %zu did not; "
         "%zu records got past\n",
         kept, iterations, seed, failures, completions, records);
  return 0;
}
