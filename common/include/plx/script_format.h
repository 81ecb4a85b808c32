// Compiled quickscripts: a file of records, one per script line, each naming a function of
// the table below by id and carrying its parameters as text. The agent reads them and the
// qsc compiler writes them; both use this code so that they agree on every byte.
//
// Record: length L (u16, the whole record, this field included), function id (s16), one
// byte the interpreter reads and discards, then L - 5 bytes of parameters, each followed by
// kScriptParamSeparator. No file header; the file ends right after its last record.
#pragma once
#include <cstddef>
#include <cstdint>

namespace plx {

constexpr size_t kScriptRecordHeaderSize = 5;
constexpr size_t kScriptRecordMinLength = 5;
constexpr size_t kScriptRecordMaxLength = 1026;
// The interpreter's record and parameter-block buffers; the largest record's body (L - 4
// bytes: the discarded byte and the parameters) fills one whole.
constexpr size_t kScriptBufferSize = 1022;
constexpr size_t kScriptMaxParamBlock = kScriptRecordMaxLength - kScriptRecordHeaderSize;
constexpr uint8_t kScriptParamSeparator = 0x05;
// The interpreter reads a parameter into 255 bytes with its terminator.
constexpr size_t kScriptMaxParamLength = 254;
// The discarded byte qsc writes unless told otherwise: zero, so that the byte says nothing
// and a file made by hand reads the same in a dump.
constexpr uint8_t kScriptDefaultPad = 0x00;

constexpr int kScriptFunctionCount = 61;
constexpr size_t kScriptFunctionNameSize = 36;  // at most 35 characters

// Ids the compiler and the interpreter treat specially (block structure, comparisons).
enum ScriptFunctionId : int16_t {
  kFnDefine = 22,
  kFnStrCompare = 28,
  kFnIf = 29,
  kFnElse = 30,
  kFnEndIf = 34,
  kFnFileDateComp = 58,
};

// One function of the quickscript vocabulary: its id (the row's position), its name as the
// table writes it, and the parameter counts it takes. Fewer than minParams fails at run
// time with 207; more than maxParams are never read.
struct ScriptFunctionName {
  int16_t id;
  const char* name;
  uint8_t minParams;
  uint8_t maxParams;
};

extern const ScriptFunctionName kScriptFunctionNames[kScriptFunctionCount];

// The row of an id, or nullptr when the table has none.
const ScriptFunctionName* FindScriptFunction(int id);
// The row of a name compared without regard to case, or nullptr.
const ScriptFunctionName* FindScriptFunctionByName(const char* name, size_t length);

// One record of a compiled file, pointing into the file's bytes.
struct ScriptRecord {
  size_t offset;          // of the record in the file
  uint16_t length;        // the record length field
  int16_t id;
  uint8_t pad;            // the discarded byte
  const uint8_t* params;  // the parameter block, length - 5 bytes
  size_t paramsSize;
};

enum ScriptReadStatus {
  kScriptReadOk,
  kScriptReadEnd,        // the offset is exactly at the end of the data
  kScriptReadCut,        // the data ends inside the record
  kScriptReadTooShort,   // a length below 5
  kScriptReadTooLong,    // a length above 1,026
};

// Reads the record at *offset and moves *offset past it. On any status but kScriptReadOk
// the offset is left where it was.
ScriptReadStatus ReadScriptRecord(const uint8_t* data, size_t size, size_t* offset,
                                  ScriptRecord* record);

// What a ScriptReadStatus means, for messages.
const char* DescribeScriptReadStatus(ScriptReadStatus status);

// Writes one record into out (size bytes). Returns the record's length, or 0 when the record
// would be longer than 1,026 bytes or out is too small.
size_t EncodeScriptRecord(int16_t id, uint8_t pad, const uint8_t* params, size_t paramsSize,
                          uint8_t* out, size_t size);
template <size_t N>
size_t EncodeScriptRecord(int16_t id, uint8_t pad, const uint8_t* params, size_t paramsSize,
                          uint8_t (&out)[N]) {
  return EncodeScriptRecord(id, pad, params, paramsSize, out, N);
}

// Parameter n (from 1) of a parameter block: the text after the (n - 1)-th separator up to
// the n-th. False when the block has fewer than n separators. Unlike the interpreter, a zero
// byte does not end the block here: the format carries whatever bytes a record holds.
bool GetScriptParam(const uint8_t* block, size_t size, int n, const uint8_t** text,
                    size_t* length);
// The number of separators of a block: how many parameters it carries.
int CountScriptParams(const uint8_t* block, size_t size);

}  // namespace plx
