// qsc: compiles a quickscript's text into the file the agent runs, or shows a compiled file
// as text.
//
//   qsc [--werror] SCRIPT.qs [-o SCRIPT.QSC]   compile (default output: the name with .QSC)
//   qsc -d SCRIPT.QSC [-o SCRIPT.qs]           decompile (default output: standard output)
//
// Exit codes: 0 done (warnings allowed), 1 the script or compiled file has errors and nothing
// was written, 2 wrong arguments or a file that cannot be read or written.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "qsc.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitScriptErrors = 1;
constexpr int kExitUsage = 2;

constexpr const char* kUsage =
    "usage: qsc [--werror] SCRIPT.qs [-o SCRIPT.QSC]\n"
    "       qsc -d SCRIPT.QSC [-o SCRIPT.qs]\n";

bool ReadWholeFile(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

bool WriteWholeFile(const std::string& path, const void* data, size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool written = std::fwrite(data, 1, size, f) == size;
  if (std::fclose(f) != 0 || !written) {
    std::remove(path.c_str());
    return false;
  }
  return true;
}

// SCRIPT.qs gives SCRIPT.QSC; a name without an extension gets one.
std::string CompiledName(const std::string& source) {
  size_t slash = source.find_last_of('/');
  size_t dot = source.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash) ||
      dot == (slash == std::string::npos ? 0 : slash + 1))
    return source + ".QSC";
  return source.substr(0, dot) + ".QSC";
}

int Compile(const std::string& input, std::string output, bool warningsAreErrors) {
  std::string text;
  if (!ReadWholeFile(input, &text)) {
    std::cerr << input << ": cannot be read\n";
    return kExitUsage;
  }
  plx::QscCompileResult r = plx::CompileQuickscript(text);
  bool warned = false;
  for (const plx::QscDiagnostic& d : r.diagnostics) {
    std::cerr << plx::FormatQscDiagnostic(input, d) << "\n";
    warned |= d.severity == plx::QscSeverity::kWarning;
  }
  if (!r.ok || (warningsAreErrors && warned)) return kExitScriptErrors;
  if (output.empty()) output = CompiledName(input);
  if (!WriteWholeFile(output, r.bytes.data(), r.bytes.size())) {
    std::cerr << output << ": cannot be written\n";
    return kExitUsage;
  }
  return kExitOk;
}

int Decompile(const std::string& input, const std::string& output) {
  std::string bytes;
  if (!ReadWholeFile(input, &bytes)) {
    std::cerr << input << ": cannot be read\n";
    return kExitUsage;
  }
  plx::QscDecompileResult r =
      plx::DecompileQuickscript(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  if (!r.ok) {
    std::cerr << input << ": error: " << r.error << "\n";
    return kExitScriptErrors;
  }
  for (const std::string& note : r.notes) std::cerr << input << ": warning: " << note << "\n";
  if (output.empty()) {
    std::cout << r.text;
    return std::cout.flush() ? kExitOk : kExitUsage;
  }
  if (!WriteWholeFile(output, r.text.data(), r.text.size())) {
    std::cerr << output << ": cannot be written\n";
    return kExitUsage;
  }
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  bool decompile = false;
  bool warningsAreErrors = false;
  std::string input;
  std::string output;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "-d") {
      decompile = true;
    } else if (arg == "--werror") {
      warningsAreErrors = true;
    } else if (arg == "-o" && i + 1 < argc) {
      output = argv[++i];
    } else if (arg == "-h" || arg == "--help") {
      std::cout << kUsage;
      return kExitOk;
    } else if (arg.size() > 1 && arg[0] == '-') {
      std::cerr << "qsc: unknown option " << arg << "\n" << kUsage;
      return kExitUsage;
    } else if (input.empty()) {
      input = arg;
    } else {
      std::cerr << "qsc: one input file only\n" << kUsage;
      return kExitUsage;
    }
  }
  if (input.empty()) {
    std::cerr << kUsage;
    return kExitUsage;
  }
  return decompile ? Decompile(input, output) : Compile(input, output, warningsAreErrors);
}
