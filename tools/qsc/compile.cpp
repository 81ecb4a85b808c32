// Text form to compiled records. Each line is parsed on its own; an error ends that line's
// parsing and the next line is read, so that one run names every broken line.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>

#include "plx/script_format.h"
#include "qsc.h"
#include "text_form.h"

namespace plx {
namespace {

using namespace qsc;

// The agent stops with 214 at the IF that opens level 51.
constexpr int kMaxIfDepth = 50;
constexpr uint8_t kZeroByte = 0x00;

struct IfOpen {
  int line;
  int column;
};

class LineParser {
 public:
  LineParser(std::string_view text, int line, std::vector<QscDiagnostic>& out)
      : text_(text), line_(line), out_(out) {}

  // Parses one line into a record appended to file. False after an error on the line.
  bool Parse(std::vector<uint8_t>& file, std::vector<IfOpen>& ifs);

 private:
  uint8_t At(size_t i) const { return i < text_.size() ? uint8_t(text_[i]) : 0; }
  bool AtEnd() const { return pos_ >= text_.size(); }
  void SkipBlanks() {
    while (!AtEnd() && IsBlank(At(pos_))) ++pos_;
  }
  bool AtParamEnd() const {
    return AtEnd() || text_[pos_] == kParamDelimiter || text_[pos_] == kComment;
  }
  bool Fail(size_t at, std::string message) {
    Note(QscSeverity::kError, at, std::move(message));
    return false;
  }
  void Warn(size_t at, std::string message) { Note(QscSeverity::kWarning, at, std::move(message)); }
  void Note(QscSeverity s, size_t at, std::string message) {
    out_.push_back({s, line_, int(at) + 1, std::move(message)});
  }

  bool ParseName();
  bool ParsePad();
  bool ParseParam(std::string& param);
  bool ParseRaw(std::string& param);
  bool ParseQuoted(std::string& param);
  void ParseBare(std::string& param);
  bool CheckParam(const std::string& param, size_t start);
  bool CheckByte(uint8_t b, size_t at);
  void CheckCount(int count, size_t at);
  void TrackBlocks(std::vector<IfOpen>& ifs, size_t at);

  std::string_view text_;
  int line_;
  std::vector<QscDiagnostic>& out_;
  size_t pos_ = 0;
  int32_t id_ = 0;
  const ScriptFunctionName* function_ = nullptr;
  uint8_t pad_ = kScriptDefaultPad;
};

bool LineParser::ParseName() {
  size_t start = pos_;
  if (At(pos_) == uint8_t(kIdMark)) {
    size_t digits = ++pos_;
    bool negative = At(pos_) == '-';
    if (negative) digits = ++pos_;
    // Capped: any longer run of digits is out of range anyway.
    constexpr int64_t kCap = 1000000;
    int64_t value = 0;
    for (; !AtEnd() && IsDigit(At(pos_)); ++pos_) value = std::min(value * 10 + (At(pos_) - '0'), kCap);
    if (pos_ == digits) return Fail(pos_, "expected a function id after '#'");
    if (negative) value = -value;
    if (value < INT16_MIN || value > INT16_MAX)
      return Fail(start, "function id out of range -32768 to 32767");
    id_ = int32_t(value);
    function_ = FindScriptFunction(id_);
    if (!function_)
      Warn(start, "function id " + std::to_string(id_) +
                      " is not in the table: the agent stops here with message 234");
    return true;
  }
  while (!AtEnd() && IsNameChar(At(pos_))) ++pos_;
  if (pos_ == start) return Fail(start, "expected a function name");
  std::string_view name = text_.substr(start, pos_ - start);
  function_ = FindScriptFunctionByName(name.data(), name.size());
  if (!function_) return Fail(start, "unknown function '" + std::string(name) + "'");
  id_ = function_->id;
  return true;
}

bool LineParser::ParsePad() {
  if (At(pos_) != uint8_t(kPadMark)) return true;
  size_t start = pos_++;
  int base = 10;
  if (At(pos_) == '0' && (At(pos_ + 1) == 'x' || At(pos_ + 1) == 'X')) {
    base = 16;
    pos_ += 2;
  }
  size_t digits = pos_;
  int value = 0;
  for (; !AtEnd(); ++pos_) {
    int d = base == 16 ? HexValue(At(pos_)) : IsDigit(At(pos_)) ? At(pos_) - '0' : -1;
    if (d < 0) break;
    value = std::min(value * base + d, 256);
  }
  if (pos_ == digits || value > 255)
    return Fail(start, "the discarded byte after '/' must be a number from 0 to 255");
  pad_ = uint8_t(value);
  return true;
}

// `...` with \\, \` and \xHH: any byte, blanks and delimiters included.
bool LineParser::ParseRaw(std::string& param) {
  size_t open = pos_++;
  for (;;) {
    if (AtEnd()) return Fail(open, "raw parameter not closed by '`'");
    char c = text_[pos_];
    if (c == kRawQuote) break;
    if (c != kEscape) {
      if (!CheckByte(uint8_t(c), pos_)) return false;
      param += c;
      ++pos_;
      continue;
    }
    char e = char(At(pos_ + 1));
    if (e == kEscape || e == kRawQuote) {
      param += e;
      pos_ += 2;
    } else if (e == 'x' && HexValue(At(pos_ + 2)) >= 0 && HexValue(At(pos_ + 3)) >= 0) {
      uint8_t b = uint8_t(HexValue(At(pos_ + 2)) * 16 + HexValue(At(pos_ + 3)));
      if (!CheckByte(b, pos_)) return false;
      param += char(b);
      pos_ += 4;
    } else {
      return Fail(pos_, "unknown escape in raw parameter: use \\\\, \\` or \\xHH");
    }
  }
  ++pos_;
  SkipBlanks();
  if (!AtParamEnd()) return Fail(pos_, "unexpected text after the raw parameter's closing '`'");
  return true;
}

// "..." up to the next quote, both quotes kept: the agent reads a leading quote as a literal.
bool LineParser::ParseQuoted(std::string& param) {
  size_t open = pos_;
  size_t close = text_.find(kQuote, open + 1);
  if (close == std::string_view::npos)
    return Fail(open, "string not closed by '\"' (a literal without its closing quote is "
                      "written in the raw form)");
  param.assign(text_.substr(open, close - open + 1));
  pos_ = close + 1;
  SkipBlanks();
  if (!AtParamEnd())
    return Fail(pos_, "unexpected text after the closing '\"' (a quote inside a parameter is "
                      "written in the raw form)");
  return true;
}

// Up to the next ',' or ';', surrounding blanks dropped.
void LineParser::ParseBare(std::string& param) {
  size_t start = pos_;
  while (!AtParamEnd()) ++pos_;
  size_t end = pos_;
  while (end > start && IsBlank(At(end - 1))) --end;
  param.assign(text_.substr(start, end - start));
}

bool LineParser::CheckByte(uint8_t b, size_t at) {
  if (b == kScriptParamSeparator)
    return Fail(at, "a parameter cannot hold the byte 0x05: it separates parameters");
  if (b == kZeroByte) Warn(at, "a zero byte ends the parameter block for the agent");
  return true;
}

bool LineParser::CheckParam(const std::string& param, size_t start) {
  if (param.size() > kScriptMaxParamLength)
    return Fail(start, "parameter of " + std::to_string(param.size()) +
                           " characters: the agent reads at most 254");
  return true;
}

bool LineParser::ParseParam(std::string& param) {
  param.clear();
  size_t start = pos_;
  char c = AtEnd() ? '\0' : text_[pos_];
  bool ok = true;
  if (c == kRawQuote) return ParseRaw(param) && CheckParam(param, start);
  if (c == kQuote)
    ok = ParseQuoted(param);
  else
    ParseBare(param);
  if (!ok) return false;
  // Bare and quoted texts are the line's own bytes, from the parameter's start.
  for (size_t i = 0; i < param.size(); ++i)
    if (!CheckByte(uint8_t(param[i]), start + i)) return false;
  return CheckParam(param, start);
}

void LineParser::CheckCount(int count, size_t at) {
  if (!function_ || (count >= function_->minParams && count <= function_->maxParams)) return;
  std::string takes = std::to_string(function_->minParams);
  if (function_->maxParams != function_->minParams)
    takes += " to " + std::to_string(function_->maxParams);
  Warn(at, std::string(function_->name) + " takes " + takes +
               (function_->maxParams == 1 ? " parameter" : " parameters") + ", not " +
               std::to_string(count));
}

void LineParser::TrackBlocks(std::vector<IfOpen>& ifs, size_t at) {
  if (id_ == kFnIf) {
    ifs.push_back({line_, int(at) + 1});
    if (ifs.size() == kMaxIfDepth + 1)
      Warn(at, "IF nested deeper than 50 levels: the agent stops here with message 214");
  } else if (id_ == kFnElse && ifs.empty()) {
    Warn(at, "ELSE without IF");
  } else if (id_ == kFnEndIf) {
    if (ifs.empty())
      Warn(at, "ENDIF without IF");
    else
      ifs.pop_back();
  }
}

bool LineParser::Parse(std::vector<uint8_t>& file, std::vector<IfOpen>& ifs) {
  SkipBlanks();
  if (AtEnd() || text_[pos_] == kComment) return true;
  size_t nameAt = pos_;
  if (!ParseName() || !ParsePad()) return false;
  if (!AtEnd() && !IsBlank(At(pos_)) && text_[pos_] != kComment)
    return Fail(pos_, "expected a blank between the function name and its parameters");
  SkipBlanks();

  std::string block;
  std::string param;
  int count = 0;
  bool noSeparator = false;
  size_t noSeparatorAt = 0;
  if (!AtEnd() && text_[pos_] != kComment) {
    for (;;) {
      SkipBlanks();
      if (At(pos_) == uint8_t(kNoSeparatorMark) && !AtEnd()) {
        noSeparator = true;
        noSeparatorAt = pos_++;
        if (AtEnd() || IsBlank(At(pos_)) || AtParamEnd())
          return Fail(noSeparatorAt, "expected the parameter's text directly after '~'");
      }
      if (!ParseParam(param)) return false;
      block += param;
      bool more = !AtEnd() && text_[pos_] == kParamDelimiter;
      if (!noSeparator) {
        block += char(kScriptParamSeparator);
        ++count;
      } else if (more) {
        return Fail(noSeparatorAt, "a parameter marked '~' must be the last");
      } else if (!param.empty()) {
        Warn(noSeparatorAt, "the last parameter has no separator: the agent never reads it");
      }
      if (!more) break;
      ++pos_;
    }
  }

  if (block.size() > kScriptMaxParamBlock)
    return Fail(nameAt, "record of " + std::to_string(block.size() + kScriptRecordHeaderSize) +
                            " bytes: the agent reads at most 1026");
  CheckCount(count, nameAt);
  TrackBlocks(ifs, nameAt);
  uint8_t record[kScriptRecordMaxLength];
  size_t n = EncodeScriptRecord(int16_t(id_), pad_, reinterpret_cast<const uint8_t*>(block.data()),
                                block.size(), record);
  file.insert(file.end(), record, record + n);
  return true;
}

}  // namespace

QscCompileResult CompileQuickscript(std::string_view source) {
  // An editor's UTF-8 mark is no part of the first line.
  constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";
  if (source.substr(0, kUtf8Mark.size()) == kUtf8Mark) source.remove_prefix(kUtf8Mark.size());

  QscCompileResult result;
  std::vector<IfOpen> ifs;
  bool failed = false;
  int line = 0;
  while (!source.empty()) {
    ++line;
    size_t end = source.find('\n');
    std::string_view text = source.substr(0, end);
    source.remove_prefix(end == std::string_view::npos ? source.size() : end + 1);
    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    if (!LineParser(text, line, result.diagnostics).Parse(result.bytes, ifs)) failed = true;
  }
  for (const IfOpen& open : ifs)
    result.diagnostics.push_back(
        {QscSeverity::kWarning, open.line, open.column, "IF never closed by ENDIF"});
  std::stable_sort(result.diagnostics.begin(), result.diagnostics.end(),
                   [](const QscDiagnostic& a, const QscDiagnostic& b) {
                     return a.line != b.line ? a.line < b.line : a.column < b.column;
                   });
  result.ok = !failed;
  if (failed) result.bytes.clear();
  return result;
}

std::string FormatQscDiagnostic(std::string_view file, const QscDiagnostic& d) {
  return std::string(file) + ":" + std::to_string(d.line) + ":" + std::to_string(d.column) +
         (d.severity == QscSeverity::kError ? ": error: " : ": warning: ") + d.message;
}

bool WriteCompiledQuickscript(const char* path, std::string_view source, std::string* messages,
                              std::string_view sourceName) {
  QscCompileResult r = CompileQuickscript(source);
  messages->clear();
  for (const QscDiagnostic& d : r.diagnostics) *messages += FormatQscDiagnostic(sourceName, d) + "\n";
  if (!r.ok) return false;
  FILE* f = std::fopen(path, "wb");
  if (!f) {
    *messages += std::string(path) + ": cannot be written\n";
    return false;
  }
  bool written = std::fwrite(r.bytes.data(), 1, r.bytes.size(), f) == r.bytes.size();
  if (std::fclose(f) != 0 || !written) {
    std::remove(path);
    *messages += std::string(path) + ": cannot be written\n";
    return false;
  }
  return true;
}

}  // namespace plx
