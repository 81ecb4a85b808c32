// plxfset: builds, lists and verifies filesets (ZIP archives the fileset library reads).
//
//   plxfset build DIR OUT.ZIP   every file and folder under DIR, in name order
//   plxfset list FILE.ZIP       members with size, packed size, method, DOS time, attributes
//   plxfset verify FILE.ZIP     what the library would check, every member's CRC included
//
// Exit status 0 on success, 1 when the fileset is refused or cannot be made, 2 for usage.
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "fileset_format.h"
#include "fileset_reader.h"
#include "fileset_writer.h"

namespace {

constexpr int kExitFailed = 1, kExitUsage = 2;

const char* ProblemText(fset::Problem p) {
  switch (p) {
    case fset::Problem::kNone: return "ok";
    case fset::Problem::kNotZip: return "not a fileset (no ZIP end record)";
    case fset::Problem::kCorrupt: return "corrupt";
    case fset::Problem::kOlder: return "format older than this reader knows";
    case fset::Problem::kNewer: return "format newer than this reader knows";
    case fset::Problem::kEncrypted: return "a member is encrypted";
  }
  return "corrupt";
}

std::string Attributes(uint8_t bits) {
  std::string s;
  s += (bits & fset::kDosReadOnly) ? 'R' : '-';
  s += (bits & fset::kDosHidden) ? 'H' : '-';
  s += (bits & fset::kDosSystem) ? 'S' : '-';
  s += (bits & fset::kDosArchive) ? 'A' : '-';
  return s;
}

int List(const char* path) {
  fsettool::Reader reader;
  std::string error;
  fset::Problem p = reader.Open(path, error);
  if (p != fset::Problem::kNone) {
    fprintf(stderr, "plxfset: %s: %s%s%s\n", path, ProblemText(p), error.empty() ? "" : ": ", error.c_str());
    return kExitFailed;
  }
  printf("format %s %d, %zu members\n", fset::kCommentTag, fset::FormatVersionOf(reader.end.comment),
         reader.members.size());
  uint64_t total = 0;
  for (const fset::Member& m : reader.members) {
    printf("%10u %10u %-8s %04d-%02d-%02d %02d:%02d:%02d %s %s\n", m.size, m.compressedSize,
           m.method == fset::kMethodStored ? "stored" : "deflated", 1980 + (m.dosDate >> 9), (m.dosDate >> 5) & 15,
           m.dosDate & 31, m.dosTime >> 11, (m.dosTime >> 5) & 63, (m.dosTime & 31) * 2,
           Attributes(m.dosAttributes).c_str(), m.name.c_str());
    total += m.size;
  }
  printf("%llu bytes\n", (unsigned long long)total);
  return 0;
}

int Verify(const char* path) {
  fsettool::Reader reader;
  std::string error;
  fset::Problem p = reader.Open(path, error);
  size_t files = 0;
  uint64_t bytes = 0;
  for (size_t i = 0; p == fset::Problem::kNone && i < reader.members.size(); ++i) {
    const fset::Member& m = reader.members[i];
    if (m.isFolder) continue;
    if (!reader.Check(m, error)) {
      p = fset::Problem::kCorrupt;
      error = m.name + ": " + error;
    }
    ++files;
    bytes += m.size;
  }
  if (p != fset::Problem::kNone) {
    fprintf(stderr, "plxfset: %s: %s%s%s\n", path, ProblemText(p), error.empty() ? "" : ": ", error.c_str());
    return kExitFailed;
  }
  printf("%s: ok, %zu files, %llu bytes\n", path, files, (unsigned long long)bytes);
  return 0;
}

int Build(const char* dir, const char* out) {
  std::string error;
  fsettool::BuildSummary summary;
  if (!fsettool::BuildFileset(dir, out, summary, error)) {
    fprintf(stderr, "plxfset: %s\n", error.c_str());
    return kExitFailed;
  }
  printf("%s: %zu files, %zu folders, %llu bytes in %llu\n", out, summary.files, summary.folders,
         (unsigned long long)summary.bytes, (unsigned long long)summary.archiveBytes);
  return 0;
}

int Usage() {
  fputs("usage: plxfset build DIR OUT.ZIP | list FILE.ZIP | verify FILE.ZIP\n", stderr);
  return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && strcmp(argv[1], "build") == 0) return Build(argv[2], argv[3]);
  if (argc == 3 && strcmp(argv[1], "list") == 0) return List(argv[2]);
  if (argc == 3 && strcmp(argv[1], "verify") == 0) return Verify(argv[2]);
  return Usage();
}
