// Characters with a meaning in the quickscript text form, shared by the compiler and the
// decompiler so that what one writes the other reads the same way.
#pragma once
#include <cstdint>

namespace plx::qsc {

constexpr char kComment = ';';
constexpr char kParamDelimiter = ',';
constexpr char kQuote = '"';
constexpr char kRawQuote = '`';
constexpr char kEscape = '\\';
constexpr char kNoSeparatorMark = '~';
constexpr char kIdMark = '#';
constexpr char kPadMark = '/';
// Nesting shown by the decompiler; the compiler ignores leading blanks.
constexpr int kIndentWidth = 2;
constexpr int kMaxIndentLevels = 16;

inline bool IsBlank(uint8_t c) { return c == ' ' || c == '\t'; }
// Bytes the decompiler never writes bare: they would vanish or change in an editor.
inline bool IsControl(uint8_t c) { return c < 0x20 || c == 0x7F; }
inline bool IsDigit(uint8_t c) { return c >= '0' && c <= '9'; }
// The value of a hexadecimal digit, or -1.
inline int HexValue(uint8_t c) {
  if (IsDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
inline bool IsNameChar(uint8_t c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || IsDigit(c) || c == '_';
}

}  // namespace plx::qsc
