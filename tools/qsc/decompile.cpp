// Compiled records to the text form. Each parameter is written in the plainest form that the
// compiler reads back as the same bytes: bare, then quoted, then raw with escapes.
#include <algorithm>
#include <cstdio>
#include <string>

#include "plx/script_format.h"
#include "qsc.h"
#include "text_form.h"

namespace plx {
namespace {

using namespace qsc;

bool FitsBare(std::string_view t) {
  if (t.empty() || t[0] == kQuote || t[0] == kRawQuote || t[0] == kNoSeparatorMark) return false;
  if (IsBlank(uint8_t(t.front())) || IsBlank(uint8_t(t.back()))) return false;
  for (char c : t)
    if (c == kParamDelimiter || c == kComment || IsControl(uint8_t(c))) return false;
  return true;
}

// "..." with no quote inside: commas, semicolons and blanks need nothing more.
bool FitsQuoted(std::string_view t) {
  if (t.size() < 2 || t.front() != kQuote || t.back() != kQuote) return false;
  for (char c : t.substr(1, t.size() - 2))
    if (c == kQuote || IsControl(uint8_t(c))) return false;
  return true;
}

void AppendParam(std::string& out, std::string_view t) {
  if (FitsBare(t) || FitsQuoted(t)) {
    out += t;
    return;
  }
  out += kRawQuote;
  for (char c : t) {
    if (c == kEscape || c == kRawQuote) {
      out += kEscape;
      out += c;
    } else if (IsControl(uint8_t(c))) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", unsigned(uint8_t(c)));
      out += hex;
    } else {
      out += c;
    }
  }
  out += kRawQuote;
}

std::string RecordLine(const ScriptRecord& r) {
  std::string line;
  const ScriptFunctionName* f = FindScriptFunction(r.id);
  if (f)
    line = f->name;
  else
    line = std::string(1, kIdMark) + std::to_string(r.id);
  if (r.pad != kScriptDefaultPad) {
    char pad[8];
    std::snprintf(pad, sizeof pad, "%c0x%02X", kPadMark, unsigned(r.pad));
    line += pad;
  }
  std::string_view block(reinterpret_cast<const char*>(r.params), r.paramsSize);
  const char* delimiter = " ";
  size_t sep;
  while ((sep = block.find(char(kScriptParamSeparator))) != std::string_view::npos) {
    line += delimiter;
    AppendParam(line, block.substr(0, sep));
    block.remove_prefix(sep + 1);
    delimiter = ", ";
  }
  if (!block.empty()) {
    line += delimiter;
    line += kNoSeparatorMark;
    AppendParam(line, block);
  }
  return line;
}

// Parameters the compiler refuses: the record is shown, but its text will not compile.
void NoteLongParams(const ScriptRecord& r, int number, std::vector<std::string>& notes) {
  std::string_view block(reinterpret_cast<const char*>(r.params), r.paramsSize);
  for (int n = 1; !block.empty(); ++n) {
    size_t sep = block.find(char(kScriptParamSeparator));
    size_t length = sep == std::string_view::npos ? block.size() : sep;
    if (length > kScriptMaxParamLength)
      notes.push_back("record " + std::to_string(number) + " (offset " + std::to_string(r.offset) +
                      "): parameter " + std::to_string(n) + " of " + std::to_string(length) +
                      " characters, over the 254 the agent reads");
    block.remove_prefix(sep == std::string_view::npos ? block.size() : sep + 1);
  }
}

}  // namespace

QscDecompileResult DecompileQuickscript(const uint8_t* data, size_t size) {
  QscDecompileResult result;
  size_t offset = 0;
  int depth = 0;
  ScriptRecord r;
  for (int number = 1;; ++number) {
    ScriptReadStatus status = ReadScriptRecord(data, size, &offset, &r);
    if (status == kScriptReadEnd) break;
    if (status != kScriptReadOk) {
      result.error = "record " + std::to_string(number) + " at offset " + std::to_string(offset) +
                     ": " + DescribeScriptReadStatus(status);
      result.text.clear();
      return result;
    }
    int indent = depth;
    if (r.id == kFnEndIf && depth > 0) indent = --depth;
    if (r.id == kFnElse && depth > 0) indent = depth - 1;
    result.text.append(size_t(std::min(indent, kMaxIndentLevels) * kIndentWidth), ' ');
    result.text += RecordLine(r);
    result.text += '\n';
    if (r.id == kFnIf) ++depth;
    NoteLongParams(r, number, result.notes);
  }
  result.ok = true;
  return result;
}

}  // namespace plx
