// The few heap calls the variable store makes, for the host build of the interpreter core
// (fuzzing under the sanitizers, the benchmark). Only that build puts this folder on its
// include path.
#pragma once
#include <stdlib.h>
#include <string.h>

typedef void* HANDLE;
constexpr unsigned HEAP_ZERO_MEMORY = 0x8;

inline HANDLE GetProcessHeap() { return reinterpret_cast<HANDLE>(1); }
inline void* HeapAlloc(HANDLE, unsigned flags, size_t n) {
  return (flags & HEAP_ZERO_MEMORY) ? calloc(1, n) : malloc(n);
}
// Grown blocks come back zeroed beyond the old size only where the store asks for it; it
// clears each new record itself.
inline void* HeapReAlloc(HANDLE, unsigned, void* p, size_t n) { return realloc(p, n); }
inline int HeapFree(HANDLE, unsigned, void* p) {
  free(p);
  return 1;
}
