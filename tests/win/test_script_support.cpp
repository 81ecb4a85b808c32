// The compiler the script tests use: the text form through the administrators' compiler,
// and every compiled file decompiled back to text that compiles to the same bytes.
#include "script_test_support.h"

#include "qsc.h"

namespace scripttest {

std::string Compile(const std::string& text) {
  plx::QscCompileResult r = plx::CompileQuickscript(text);
  for (const plx::QscDiagnostic& d : r.diagnostics)
    if (!r.ok) ADD_FAILURE() << plx::FormatQscDiagnostic("script", d) << "\n" << text;
  std::string bytes(r.bytes.begin(), r.bytes.end());
  plx::QscDecompileResult back = plx::DecompileQuickscript(r.bytes);
  EXPECT_TRUE(back.ok) << back.error;
  EXPECT_EQ(plx::CompileQuickscript(back.text).bytes, r.bytes) << back.text;
  return bytes;
}

}  // namespace scripttest
