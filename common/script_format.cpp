#include "plx/script_format.h"

#include <cstring>

#include "plx/bytes.h"

namespace plx {

// Parameter counts from what each function reads: optional trailing parameters (COPY's
// template, DELETEDIR's option, SCHEDULEWIN's arguments, REBOOT's ignored one) widen the range.
const ScriptFunctionName kScriptFunctionNames[kScriptFunctionCount] = {
    {0, "COPY", 3, 4},
    {1, "MDIR", 2, 2},
    {2, "CFGSETVALUE", 2, 2},
    {3, "DELETEFILE", 2, 2},
    {4, "DELETEDIR", 2, 3},
    {5, "FINDFILE", 3, 3},
    {6, "ATTRIB", 3, 3},
    {7, "RENAME", 4, 4},
    {8, "SETSYSFILE", 2, 2},
    {9, "ADDPATH", 4, 4},
    {10, "ADDLINE", 3, 3},
    {11, "REPLACELINE", 2, 2},
    {12, "ADDDEVICE", 3, 3},
    {13, "CFGGETVALUE", 2, 2},
    {14, "PAUSE", 1, 1},
    {15, "ADDINIMULTIKEY", 4, 4},
    {16, "CFGGETSTRING", 2, 2},
    {17, "CFGSETSTRING", 2, 2},
    {18, "SCHEDULEWIN", 2, 3},
    {19, "GETINISTR", 4, 4},
    {20, "GETINIINT", 4, 4},
    {21, "WRITEINISTR", 4, 4},
    {22, "DEFINE", 2, 2},
    {23, "ASSIGN", 2, 2},
    {24, "NUMTOSTR", 2, 2},
    {25, "STRCOPY", 2, 2},
    {26, "STRCAT", 2, 2},
    {27, "APPENDPATH", 2, 2},
    {28, "STRCOMPARE", 2, 2},
    {29, "IF", 3, 3},
    {30, "ELSE", 0, 0},
    {31, "WRITELN", 1, 1},
    {32, "SHELL", 3, 3},
    {33, "EXIT", 1, 1},
    {34, "ENDIF", 0, 0},
    {35, "UPGRADEOS", 0, 0},
    {36, "REBOOT", 0, 1},
    {37, "REPLACEKEY", 3, 3},
    {38, "WRITEINIINT", 4, 4},
    {39, "ADDGROUP", 1, 1},
    {40, "ADDITEM", 3, 3},
    {41, "REPLACELINEADD", 3, 3},
    {42, "DELINIMULTIKEY", 4, 4},
    {43, "ADDITEMPATH", 4, 4},
    {44, "RegCreateKey", 2, 2},
    {45, "RegDeleteKey", 2, 2},
    {46, "RegSetStrValue", 4, 4},
    {47, "RegSetIntValue", 4, 4},
    {48, "RegQueryStrValue", 4, 4},
    {49, "RegQueryIntValue", 4, 4},
    {50, "ShellWait", 3, 3},
    {51, "Abort", 1, 1},
    {52, "WriteLog", 1, 1},
    {53, "DeleteItem", 1, 1},
    {54, "DeleteGroup", 1, 1},
    {55, "StartService", 1, 1},
    {56, "StopService", 1, 1},
    {57, "GetEnv", 2, 2},
    {58, "FILEDATECOMP", 2, 2},
    {59, "LoadNLM", 0, 0},
    {60, "UnLoadNLM", 0, 0},
};

namespace {

char Upper(char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; }

bool SameNameIgnoringCase(const char* tableName, const char* name, size_t length) {
  size_t i = 0;
  for (; i < length; ++i)
    if (tableName[i] == '\0' || Upper(tableName[i]) != Upper(name[i])) return false;
  return tableName[i] == '\0';
}

}  // namespace

const ScriptFunctionName* FindScriptFunction(int id) {
  if (id < 0 || id >= kScriptFunctionCount) return nullptr;
  return &kScriptFunctionNames[id];
}

const ScriptFunctionName* FindScriptFunctionByName(const char* name, size_t length) {
  for (const ScriptFunctionName& f : kScriptFunctionNames)
    if (SameNameIgnoringCase(f.name, name, length)) return &f;
  return nullptr;
}

ScriptReadStatus ReadScriptRecord(const uint8_t* data, size_t size, size_t* offset,
                                  ScriptRecord* record) {
  size_t at = *offset;
  if (at >= size) return kScriptReadEnd;
  if (size - at < 2) return kScriptReadCut;
  uint16_t length = GetU16(data + at);
  if (length < kScriptRecordMinLength) return kScriptReadTooShort;
  if (length > kScriptRecordMaxLength) return kScriptReadTooLong;
  if (size - at < length) return kScriptReadCut;
  record->offset = at;
  record->length = length;
  record->id = int16_t(GetU16(data + at + 2));
  record->pad = data[at + 4];
  record->params = data + at + kScriptRecordHeaderSize;
  record->paramsSize = length - kScriptRecordHeaderSize;
  *offset = at + length;
  return kScriptReadOk;
}

const char* DescribeScriptReadStatus(ScriptReadStatus status) {
  switch (status) {
    case kScriptReadOk: return "record read";
    case kScriptReadEnd: return "end of file";
    case kScriptReadCut: return "the file ends inside the record";
    case kScriptReadTooShort: return "record length below 5";
    case kScriptReadTooLong: return "record length above 1026";
  }
  return "unknown status";
}

size_t EncodeScriptRecord(int16_t id, uint8_t pad, const uint8_t* params, size_t paramsSize,
                          uint8_t* out, size_t size) {
  if (paramsSize > kScriptMaxParamBlock) return 0;
  size_t length = kScriptRecordHeaderSize + paramsSize;
  if (size < length) return 0;
  PutU16(out, uint16_t(length));
  PutU16(out + 2, uint16_t(id));
  out[4] = pad;
  if (paramsSize) memcpy(out + kScriptRecordHeaderSize, params, paramsSize);
  return length;
}

bool GetScriptParam(const uint8_t* block, size_t size, int n, const uint8_t** text,
                    size_t* length) {
  if (n < 1) return false;
  size_t start = 0;
  for (size_t i = 0; i < size; ++i) {
    if (block[i] != kScriptParamSeparator) continue;
    if (--n == 0) {
      *text = block + start;
      *length = i - start;
      return true;
    }
    start = i + 1;
  }
  return false;
}

int CountScriptParams(const uint8_t* block, size_t size) {
  int n = 0;
  for (size_t i = 0; i < size; ++i)
    if (block[i] == kScriptParamSeparator) ++n;
  return n;
}

}  // namespace plx
