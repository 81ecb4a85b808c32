#include "params.h"

#include <string.h>

#include "bounded_text.h"
#include "variable_store.h"

namespace {

constexpr char kSeparator = '\x05';
constexpr char kQuote = '"';

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

bool IsIntegerLiteral(const char* text) {
  const char* p = text;
  if (*p == '-') ++p;
  for (; *p; ++p)
    if (*p < '0' || *p > '9') return false;
  return true;
}

// Decimal value of a literal, held at the signed 32-bit limits.
int32_t LiteralValue(const char* text) {
  bool negative = *text == '-';
  int64_t value = 0;
  for (const char* p = text + (negative ? 1 : 0); *p; ++p) {
    value = value * 10 + (*p - '0');
    if (value > int64_t(INT32_MAX) + 1) value = int64_t(INT32_MAX) + 1;
  }
  if (negative) return int32_t(-value);
  return value > INT32_MAX ? INT32_MAX : int32_t(value);
}

// Missing and over-long parameters as a handler's failure numbers.
int AsHandlerFailure(int lookup) { return lookup == kParamMissing ? kMsgParamCount : kMsgInvalidString; }

}  // namespace

bool SameTextIgnoringCase(const char* a, const char* b) {
  for (; *a && Lower(*a) == Lower(*b); ++a, ++b) {
  }
  return Lower(*a) == Lower(*b);
}

int GetParamText(const char* block, int n, char* out, size_t size) {
  if (n < 1) return kParamMissing;
  const char* start = block;
  for (int k = 1; k < n; ++k) {
    start = strchr(start, kSeparator);
    if (!start) return kParamMissing;
    ++start;
  }
  const char* end = strchr(start, kSeparator);
  if (!end) return kParamMissing;
  size_t length = size_t(end - start);
  // Left open by the format: a text over 254 characters is refused whole rather than read
  // cut, since a cut path or name would point somewhere else.
  if (length >= kParamTextSize || length >= size) return kParamTooLong;
  memcpy(out, start, length);
  out[length] = '\0';
  return 0;
}

int GetRawParam(const char* block, int n, char* out, size_t size) {
  int rc = GetParamText(block, n, out, size);
  return rc == 0 ? 0 : AsHandlerFailure(rc);
}

int ResolveString(const char* text, char* out, size_t size, bool allowVariables) {
  if (SameTextIgnoringCase(text, "NULL")) return CopyText(out, size, "") ? 0 : kResolveNoVariable;
  if (text[0] == kQuote) {
    size_t length = strlen(text + 1);
    if (length > 0 && text[length] == kQuote) --length;
    if (length >= size) return kResolveNoVariable;
    memcpy(out, text + 1, length);
    out[length] = '\0';
    return 0;
  }
  if (!allowVariables) return kResolveNotLiteral;
  return VariableStore::GetString(text, out, size) == 0 ? 0 : kResolveNoVariable;
}

int ResolveInteger(const char* text, int32_t* out, bool allowVariables) {
  if (IsIntegerLiteral(text)) {
    *out = LiteralValue(text);
    return 0;
  }
  if (!allowVariables) return kResolveNotLiteral;
  return VariableStore::GetInt(text, out) == 0 ? 0 : kResolveNoVariable;
}

int GetStringParam(const char* block, int n, char* out, size_t size) {
  char text[kParamTextSize];
  if (int rc = GetParamText(block, n, text)) return AsHandlerFailure(rc);
  return ResolveString(text, out, size, true) == 0 ? 0 : kMsgVariableUndefined;
}

int GetOptionalStringParam(const char* block, int n, char* out, size_t size) {
  char text[kParamTextSize];
  int rc = GetParamText(block, n, text);
  if (rc == kParamMissing) return CopyText(out, size, "") ? 0 : kMsgVariableUndefined;
  if (rc) return AsHandlerFailure(rc);
  return ResolveString(text, out, size, true) == 0 ? 0 : kMsgVariableUndefined;
}

int GetLiteralParam(const char* block, int n, char* out, size_t size) {
  char text[kParamTextSize];
  if (int rc = GetParamText(block, n, text)) return AsHandlerFailure(rc);
  return ResolveString(text, out, size, false) == 0 ? 0 : kMsgInvalidString;
}

int GetIntParam(const char* block, int n, int32_t* out) {
  char text[kParamTextSize];
  if (int rc = GetParamText(block, n, text)) return AsHandlerFailure(rc);
  return ResolveInteger(text, out, true) == 0 ? 0 : kMsgVariableUndefined;
}

int GetStringVarName(const char* block, int n, char* out, size_t size) {
  if (int rc = GetParamText(block, n, out, size)) return AsHandlerFailure(rc);
  char value[kVarValueSize];
  return VariableStore::GetString(out, value) == 0 ? 0 : kMsgVariableUndefined;
}

int GetIntVarName(const char* block, int n, char* out, size_t size) {
  if (int rc = GetParamText(block, n, out, size)) return AsHandlerFailure(rc);
  return VariableStore::GetInt(out, nullptr) == 0 ? 0 : kMsgVariableUndefined;
}
