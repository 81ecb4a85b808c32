// The store of bracketed, typed variables that the agent and its quickscripts share.
//
// There is one store per process. It lives from VariableStore::Init (at the start of each
// server pass) to VariableStore::Free (at the end of the pass and of the run); in between,
// records are only ever appended, and a lookup takes the first record in definition order
// whose name (compared case-sensitively) and type letter both match.
#pragma once
#include <windows.h>
#include <stddef.h>
#include <stdint.h>

constexpr size_t kVarNameSize = 32;    // 31 characters and the terminator
constexpr size_t kVarValueSize = 255;  // 254 characters and the terminator

// One field serves both types: a string in the whole field, an integer in its first four
// bytes. A new record has every byte zero, so it reads as "" and as 0.
struct VariableRecord {
  char szName[kVarNameSize];
  char cType;  // 'S' or 'I'
  char value[kVarValueSize];
};

// The one process-wide store: the records in definition order and their count. The count
// is -1 while no store exists (before Init, after Free, or when Init failed).
struct VariableTable {
  VariableRecord* pRecords = nullptr;
  int nCount = -1;
};
extern VariableTable gVariables;

// Every operation returns 0 on success and -1 on failure, and reports nothing itself.
class VariableStore {
 public:
  // Creates the empty store (a store still there from before is released first).
  static int Init();
  // Appends a record; refuses a null name, a name over 31 characters and any type but
  // 'S' and 'I'. On failure the store is left exactly as it was.
  static int Define(const char* name, char type);
  // Copies the value into value (size bytes). Fails, leaving value as it was, when the
  // value does not fit: a cut value may be a path to another place.
  static int GetString(const char* name, char* value, size_t size);
  template <size_t N>
  static int GetString(const char* name, char (&value)[N]) {
    return GetString(name, value, N);
  }
  // A null value stores ""; a value over 254 characters is cut to 254.
  static int SetString(const char* name, const char* value);
  // With a null output the variable must still exist; then nothing is written.
  static int GetInt(const char* name, int32_t* value);
  static int SetInt(const char* name, int32_t value);
  // With a null input the variable must still exist; then nothing is changed.
  static int SetInt(const char* name, const int32_t* value);
  // Releases the whole store; lookups fail until the next Init.
  static void Free();

  // The heap the store takes its memory from (the process heap unless changed); returns
  // the previous one. Only while no store exists.
  static HANDLE UseHeap(HANDLE heap);
};
