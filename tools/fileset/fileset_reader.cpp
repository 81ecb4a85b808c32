#include "fileset_reader.h"

#include <zlib.h>

#include <string.h>

namespace fsettool {

namespace {

constexpr size_t kBlockSize = 1 << 18;

bool ReadAt(FILE* f, uint64_t offset, void* buffer, size_t n) {
  return fseeko(f, off_t(offset), SEEK_SET) == 0 && fread(buffer, 1, n, f) == n;
}

}  // namespace

Reader::~Reader() {
  if (file) fclose(file);
}

fset::Problem Reader::Open(const char* path, std::string& error) {
  file = fopen(path, "rb");
  if (!file || fseeko(file, 0, SEEK_END) != 0) {
    error = strerror(errno);
    return fset::Problem::kNotZip;
  }
  const uint64_t size = uint64_t(ftello(file));
  const size_t tailSize = size < fset::kEndSearchSize ? size_t(size) : fset::kEndSearchSize;
  std::vector<uint8_t> tail(tailSize);
  if (!ReadAt(file, size - tailSize, tail.data(), tailSize)) {
    error = "cannot be read";
    return fset::Problem::kNotZip;
  }
  if (!fset::FindEndRecord(tail.data(), tail.size(), size, end)) {
    if (tail.size() < 4) return fset::Problem::kNotZip;
    uint8_t head[4];
    ReadAt(file, 0, head, sizeof head);
    error = "no end record";
    return fset::WithoutEndRecord(head, sizeof head);
  }
  if (fset::Problem p = fset::VersionProblem(end); p != fset::Problem::kNone) {
    error = end.zip64 ? "ZIP64 or several volumes" : "comment \"" + end.comment + "\"";
    return p;
  }
  std::vector<uint8_t> dir(end.directorySize);
  if (uint64_t(end.directoryOffset) + end.directorySize > end.at ||
      !ReadAt(file, end.directoryOffset, dir.data(), dir.size())) {
    error = "central directory outside the archive";
    return fset::Problem::kCorrupt;
  }
  fset::Problem p = fset::ReadCentralDirectory(dir.data(), dir.size(), end, members);
  if (p == fset::Problem::kCorrupt) error = "central directory or a member name";
  return p;
}

bool Reader::Check(const fset::Member& m, std::string& error) {
  uint8_t header[fset::kLocalHeaderSize];
  uint32_t length = 0;
  if (!ReadAt(file, m.localHeaderOffset, header, sizeof header) ||
      !fset::LocalHeaderLength(header, sizeof header, length) ||
      uint64_t(m.localHeaderOffset) + length + m.compressedSize > end.directoryOffset ||
      fseeko(file, off_t(m.localHeaderOffset + length), SEEK_SET) != 0) {
    error = "bad local header";
    return false;
  }
  std::vector<uint8_t> in(kBlockSize), out(kBlockSize);
  uint64_t remaining = m.compressedSize, produced = 0;
  uLong crc = crc32(0, nullptr, 0);
  z_stream z = {};
  bool deflated = m.method == fset::kMethodDeflated;
  if (deflated && inflateInit2(&z, -MAX_WBITS) != Z_OK) {
    error = "no memory";
    return false;
  }
  bool ok = true;
  for (bool ended = false; ok && !ended;) {
    if (z.avail_in == 0 && remaining > 0) {
      size_t n = remaining < kBlockSize ? size_t(remaining) : kBlockSize;
      if (fread(in.data(), 1, n, file) != n) {
        error = "cut short";
        ok = false;
        break;
      }
      remaining -= n;
      z.next_in = in.data();
      z.avail_in = uInt(n);
    }
    if (!deflated) {
      crc = crc32(crc, in.data(), z.avail_in);
      produced += z.avail_in;
      z.avail_in = 0;
      ended = remaining == 0;
      continue;
    }
    z.next_out = out.data();
    z.avail_out = uInt(kBlockSize);
    int rc = inflate(&z, Z_NO_FLUSH);
    if (rc != Z_OK && rc != Z_STREAM_END) {
      error = "bad deflate data";
      ok = false;
    }
    crc = crc32(crc, out.data(), uInt(kBlockSize - z.avail_out));
    produced += kBlockSize - z.avail_out;
    ended = rc == Z_STREAM_END;
  }
  if (deflated) inflateEnd(&z);
  if (ok && (remaining != 0 || z.avail_in != 0 || produced != m.size)) {
    error = "size does not match";
    ok = false;
  }
  if (ok && crc != m.crc) {
    error = "bad CRC";
    ok = false;
  }
  return ok;
}

}  // namespace fsettool
