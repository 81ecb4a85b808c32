// Little-endian byte access for packed records and frames. Records are never cast over
// buffers: every field is read and written here, byte by byte.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace plx {

inline uint16_t GetU16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t GetU32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline void PutU16(uint8_t* p, uint16_t v) { p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); }
inline void PutU32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); p[2] = uint8_t(v >> 16); p[3] = uint8_t(v >> 24);
}

// Copies a text into a fixed field: at most width bytes, the rest zero-filled. A text that
// fills the whole field keeps no terminator, as the record layouts allow.
inline void PutText(uint8_t* p, size_t width, const char* s) {
  size_t n = s ? strnlen(s, width) : 0;
  memcpy(p, s, n);
  memset(p + n, 0, width - n);
}

// Reads a fixed field into a buffer of width + 1 bytes, always terminated.
inline void GetText(const uint8_t* p, size_t width, char* out) {
  size_t n = strnlen(reinterpret_cast<const char*>(p), width);
  memcpy(out, p, n);
  out[n] = '\0';
}

// Bounded copy that always terminates (size includes the terminator).
inline void CopyText(char* dst, size_t size, const char* src) {
  if (size == 0) return;
  size_t n = src ? strnlen(src, size - 1) : 0;
  memcpy(dst, src, n);
  dst[n] = '\0';
}

}  // namespace plx
