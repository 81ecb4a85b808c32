// The quickscript compiler and decompiler: a readable text form (one function call per line,
// each parameter the raw text the record stores) to compiled records and back. The text
// form is described in README.md beside this file. Portable: the host tool and the Win32
// test programs both link it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace plx {

enum class QscSeverity { kWarning, kError };

struct QscDiagnostic {
  QscSeverity severity;
  int line;    // from 1
  int column;  // from 1, in bytes
  std::string message;
};

struct QscCompileResult {
  bool ok = false;                         // no errors
  std::vector<uint8_t> bytes;              // the compiled file; empty when not ok
  std::vector<QscDiagnostic> diagnostics;  // errors and warnings, by line and column
};

// Compiles a script's text. On any error nothing is produced; warnings leave it compiled.
QscCompileResult CompileQuickscript(std::string_view source);

struct QscDecompileResult {
  bool ok = false;
  std::string text;                 // the script's text form
  std::string error;                // why the file is not a compiled script, when not ok
  std::vector<std::string> notes;   // records the compiler would refuse (over-long parameters)
};

// Decompiles a compiled file. For every file whose records the compiler could write, the
// text compiles back to the identical bytes.
QscDecompileResult DecompileQuickscript(const uint8_t* data, size_t size);
inline QscDecompileResult DecompileQuickscript(const std::vector<uint8_t>& bytes) {
  return DecompileQuickscript(bytes.data(), bytes.size());
}

// "file:line:column: error: message" (or "warning").
std::string FormatQscDiagnostic(std::string_view file, const QscDiagnostic& d);

// Compiles source and writes the compiled file at path. False, with the diagnostics (each
// formatted with sourceName, one a line) in messages, when the script has errors or the
// file cannot be written; nothing is written then.
bool WriteCompiledQuickscript(const char* path, std::string_view source, std::string* messages,
                              std::string_view sourceName = "script");

}  // namespace plx
