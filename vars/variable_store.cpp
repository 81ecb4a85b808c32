#include "variable_store.h"

#include <string.h>

VariableTable gVariables;

namespace {

HANDLE gHeap = nullptr;

HANDLE Heap() { return gHeap ? gHeap : GetProcessHeap(); }

// The first record of that name and type in definition order, or null. Names compare in
// their first 32 bytes, byte for byte, so a name of more than 31 characters never matches.
VariableRecord* Find(const char* name, char type) {
  if (gVariables.nCount < 0 || !gVariables.pRecords || !name) return nullptr;
  for (int i = 0; i < gVariables.nCount; ++i) {
    VariableRecord& r = gVariables.pRecords[i];
    if (r.cType == type && strncmp(r.szName, name, kVarNameSize) == 0) return &r;
  }
  return nullptr;
}

}  // namespace

int VariableStore::Init() {
  Free();
  // Room for one record from the start; each definition then grows the array to exactly
  // the records it holds.
  void* p = HeapAlloc(Heap(), HEAP_ZERO_MEMORY, sizeof(VariableRecord));
  if (!p) return -1;
  gVariables.pRecords = static_cast<VariableRecord*>(p);
  gVariables.nCount = 0;
  return 0;
}

int VariableStore::Define(const char* name, char type) {
  if (gVariables.nCount < 0 || !gVariables.pRecords || !name) return -1;
  if (type != 'S' && type != 'I') return -1;
  // An over-long name is refused rather than cut: a cut name could never be found again
  // under the name the caller knows it by.
  if (strnlen(name, kVarNameSize) >= kVarNameSize) return -1;
  size_t bytes = sizeof(VariableRecord) * size_t(gVariables.nCount + 1);
  // HeapReAlloc leaves the old block untouched when it fails.
  void* p = HeapReAlloc(Heap(), HEAP_ZERO_MEMORY, gVariables.pRecords, bytes);
  if (!p) return -1;
  gVariables.pRecords = static_cast<VariableRecord*>(p);
  VariableRecord& r = gVariables.pRecords[gVariables.nCount];
  memset(&r, 0, sizeof r);
  memcpy(r.szName, name, strlen(name));
  r.cType = type;
  ++gVariables.nCount;
  return 0;
}

int VariableStore::GetString(const char* name, char* value, size_t size) {
  const VariableRecord* r = Find(name, 'S');
  if (!r || !value) return -1;
  size_t n = strnlen(r->value, kVarValueSize - 1);
  if (n >= size) return -1;
  memcpy(value, r->value, n);
  value[n] = '\0';
  return 0;
}

int VariableStore::SetString(const char* name, const char* value) {
  VariableRecord* r = Find(name, 'S');
  if (!r) return -1;
  // Longer values (script concatenations, registry data, search results) are cut to the
  // field, so that a value never runs past its record.
  size_t n = value ? strnlen(value, kVarValueSize - 1) : 0;
  memcpy(r->value, value ? value : "", n);
  r->value[n] = '\0';
  return 0;
}

int VariableStore::GetInt(const char* name, int32_t* value) {
  const VariableRecord* r = Find(name, 'I');
  if (!r) return -1;
  if (value) memcpy(value, r->value, sizeof *value);
  return 0;
}

int VariableStore::SetInt(const char* name, int32_t value) { return SetInt(name, &value); }

int VariableStore::SetInt(const char* name, const int32_t* value) {
  VariableRecord* r = Find(name, 'I');
  if (!r) return -1;
  if (value) memcpy(r->value, value, sizeof *value);
  return 0;
}

void VariableStore::Free() {
  if (gVariables.pRecords) HeapFree(Heap(), 0, gVariables.pRecords);
  gVariables.pRecords = nullptr;
  gVariables.nCount = -1;
}

HANDLE VariableStore::UseHeap(HANDLE heap) {
  HANDLE previous = gHeap;
  if (!gVariables.pRecords) gHeap = heap;
  return previous;
}
