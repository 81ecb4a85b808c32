#include "fileset_writer.h"

#include <dirent.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <vector>

#include "fileset_format.h"

namespace fsettool {

namespace {

constexpr size_t kBlockSize = 1 << 18;
constexpr uint8_t kZipFeatureStored = 10;  // what an unpacker needs for a stored member
constexpr uint64_t kZipLimit = 0xFFFFFFFFu;  // beyond it ZIP64 would be needed, which we do not write
constexpr int kDosEpoch = 1980;

struct Entry {
  std::string name;  // '/'-separated, folders end with '/'
  std::string path;  // on this machine
  struct stat st;
};

void Collect(const std::string& dir, const std::string& prefix, std::vector<Entry>& out, std::string& error) {
  DIR* d = opendir(dir.c_str());
  if (!d) {
    error = dir + ": " + strerror(errno);
    return;
  }
  std::vector<std::string> names;
  while (dirent* e = readdir(d))
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  closedir(d);
  std::sort(names.begin(), names.end());
  for (const std::string& n : names) {
    Entry e;
    e.path = dir + "/" + n;
    if (stat(e.path.c_str(), &e.st) != 0) {
      error = e.path + ": " + strerror(errno);
      return;
    }
    bool folder = S_ISDIR(e.st.st_mode);
    if (!folder && !S_ISREG(e.st.st_mode)) continue;  // sockets, devices: nothing to ship
    e.name = prefix + n + (folder ? "/" : "");
    out.push_back(e);
    if (folder) Collect(e.path, e.name, out, error);
    if (!error.empty()) return;
  }
}

void DosTime(time_t t, uint16_t& date, uint16_t& time) {
  struct tm lt;
  localtime_r(&t, &lt);
  if (lt.tm_year + 1900 < kDosEpoch) {
    date = (1 << 5) | 1;  // 1980-01-01, the earliest a DOS time can say
    time = 0;
    return;
  }
  date = uint16_t((lt.tm_year + 1900 - kDosEpoch) << 9 | (lt.tm_mon + 1) << 5 | lt.tm_mday);
  time = uint16_t(lt.tm_hour << 11 | lt.tm_min << 5 | lt.tm_sec / 2);
}

struct Output {
  FILE* f = nullptr;
  ~Output() {
    if (f) fclose(f);
  }
  bool Put(const void* data, size_t n) { return fwrite(data, 1, n, f) == n; }
  bool Put(const std::vector<uint8_t>& bytes) { return Put(bytes.data(), bytes.size()); }
  uint64_t At() { return uint64_t(ftello(f)); }
  bool Seek(uint64_t at) { return fseeko(f, off_t(at), SEEK_SET) == 0; }
};

// The fields the local and the central header share, from "version needed" to the name's
// length and an empty extra field.
void PutSharedFields(std::vector<uint8_t>& h, const fset::Member& m) {
  h.push_back(m.versionNeeded);
  h.push_back(0);
  fset::PutU16(h, m.flags);
  fset::PutU16(h, m.method);
  fset::PutU16(h, m.dosTime);
  fset::PutU16(h, m.dosDate);
  fset::PutU32(h, m.crc);
  fset::PutU32(h, m.compressedSize);
  fset::PutU32(h, m.size);
  fset::PutU16(h, uint16_t(m.name.size()));
  fset::PutU16(h, 0);  // extra
}

std::vector<uint8_t> LocalHeader(const fset::Member& m) {
  std::vector<uint8_t> h;
  fset::PutU32(h, fset::kLocalHeaderSignature);
  PutSharedFields(h, m);
  h.insert(h.end(), m.name.begin(), m.name.end());
  return h;
}

std::vector<uint8_t> CentralHeader(const fset::Member& m) {
  std::vector<uint8_t> h;
  fset::PutU32(h, fset::kCentralHeaderSignature);
  fset::PutU16(h, fset::kMadeByDos);
  PutSharedFields(h, m);
  fset::PutU16(h, 0);  // comment
  fset::PutU16(h, 0);  // disk
  fset::PutU16(h, 0);  // internal attributes
  fset::PutU32(h, m.dosAttributes);
  fset::PutU32(h, m.localHeaderOffset);
  h.insert(h.end(), m.name.begin(), m.name.end());
  return h;
}

// Streams the file's content into the archive, deflated; when that is not smaller it is
// written again as it is. m gets method, sizes and CRC.
bool PutContent(Output& out, const std::string& path, fset::Member& m, std::string& error) {
  FILE* in = fopen(path.c_str(), "rb");
  if (!in) {
    error = path + ": " + strerror(errno);
    return false;
  }
  const uint64_t dataAt = out.At();
  std::vector<uint8_t> block(kBlockSize), packed(kBlockSize);
  z_stream z = {};
  deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  uLong crc = crc32(0, nullptr, 0);
  uint64_t size = 0, compressed = 0;
  bool ok = true;
  for (int flush = Z_NO_FLUSH; ok && flush != Z_FINISH;) {
    size_t n = fread(block.data(), 1, block.size(), in);
    if (ferror(in)) ok = false;
    flush = n < block.size() ? Z_FINISH : Z_NO_FLUSH;
    crc = crc32(crc, block.data(), uInt(n));
    size += n;
    z.next_in = block.data();
    z.avail_in = uInt(n);
    do {
      z.next_out = packed.data();
      z.avail_out = uInt(packed.size());
      deflate(&z, flush);
      size_t made = packed.size() - z.avail_out;
      compressed += made;
      ok = ok && out.Put(packed.data(), made);
    } while (ok && z.avail_out == 0);
  }
  deflateEnd(&z);
  if (ok && compressed >= size) {
    // Stored: the same bytes again, over the deflated ones.
    ok = out.Seek(dataAt) && fseeko(in, 0, SEEK_SET) == 0;
    compressed = 0;
    while (ok) {
      size_t n = fread(block.data(), 1, block.size(), in);
      if (n == 0) break;
      ok = out.Put(block.data(), n);
      compressed += n;
    }
    ok = ok && compressed == size;
    m.method = fset::kMethodStored;
    m.versionNeeded = kZipFeatureStored;
  } else {
    m.method = fset::kMethodDeflated;
    m.versionNeeded = fset::kZipFeatureLevel;
  }
  fclose(in);
  if (!ok) {
    error = path + ": cannot be read or the archive cannot be written";
    return false;
  }
  if (size > kZipLimit || dataAt + compressed > kZipLimit) {
    error = path + ": the fileset would pass 4 GB";
    return false;
  }
  m.crc = uint32_t(crc);
  m.size = uint32_t(size);
  m.compressedSize = uint32_t(compressed);
  return true;
}

bool Inside(const std::string& dir, const std::string& out) {
  char realDir[PATH_MAX], realOutDir[PATH_MAX];
  std::string outDir = out.find('/') == std::string::npos ? "." : out.substr(0, out.rfind('/') + 1);
  if (!realpath(dir.c_str(), realDir) || !realpath(outDir.c_str(), realOutDir)) return false;
  std::string d = std::string(realDir) + "/", o = std::string(realOutDir) + "/";
  return o.compare(0, d.size(), d) == 0;
}

}  // namespace

bool BuildFileset(const std::string& dir, const std::string& outPath, BuildSummary& summary, std::string& error) {
  struct stat st;
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    error = dir + ": not a folder";
    return false;
  }
  if (Inside(dir, outPath)) {
    error = outPath + ": the fileset may not be written inside the folder it packs";
    return false;
  }
  std::vector<Entry> entries;
  Collect(dir, "", entries, error);
  if (!error.empty()) return false;
  const std::string temp = outPath + ".part";
  Output out;
  out.f = fopen(temp.c_str(), "wb");
  if (!out.f) {
    error = temp + ": " + strerror(errno);
    return false;
  }
  std::vector<fset::Member> members;
  for (const Entry& e : entries) {
    fset::Member m;
    m.name = e.name;
    bool folder = false;
    std::string relative;
    // Only names the library accepts: a '\' in a Linux name would become a folder there.
    if (e.name.find('\\') != std::string::npos || !fset::RelativePathOf(e.name, relative, folder)) {
      error = e.path + ": a name the fileset library refuses";
      break;
    }
    for (char c : e.name)
      if (static_cast<unsigned char>(c) >= 0x80) m.flags |= fset::kFlagUtf8Name;
    DosTime(e.st.st_mtime, m.dosDate, m.dosTime);
    m.dosAttributes = folder ? fset::kDosFolder : fset::kDosArchive;
    if (!(e.st.st_mode & S_IWUSR)) m.dosAttributes |= fset::kDosReadOnly;
    m.versionNeeded = kZipFeatureStored;
    if (out.At() > kZipLimit) {
      error = "the fileset would pass 4 GB";
      break;
    }
    m.localHeaderOffset = uint32_t(out.At());
    if (!out.Put(LocalHeader(m))) {
      error = temp + ": cannot be written";
      break;
    }
    if (!folder) {
      if (!PutContent(out, e.path, m, error)) break;
      const uint64_t end = out.At();
      if (!out.Seek(m.localHeaderOffset) || !out.Put(LocalHeader(m)) || !out.Seek(end)) {
        error = temp + ": cannot be written";
        break;
      }
      ++summary.files;
      summary.bytes += m.size;
    } else {
      ++summary.folders;
    }
    members.push_back(m);
  }
  if (error.empty()) {
    const uint64_t dirAt = out.At();
    for (const fset::Member& m : members)
      if (!out.Put(CentralHeader(m))) error = temp + ": cannot be written";
    const uint64_t dirEnd = out.At();
    const std::string comment = fset::VersionComment(fset::kFormatVersion);
    std::vector<uint8_t> end;
    fset::PutU32(end, fset::kEndSignature);
    fset::PutU16(end, 0);
    fset::PutU16(end, 0);
    fset::PutU16(end, uint16_t(members.size()));
    fset::PutU16(end, uint16_t(members.size()));
    fset::PutU32(end, uint32_t(dirEnd - dirAt));
    fset::PutU32(end, uint32_t(dirAt));
    fset::PutU16(end, uint16_t(comment.size()));
    end.insert(end.end(), comment.begin(), comment.end());
    if (members.size() >= 0xFFFF || dirEnd > kZipLimit) error = "the fileset would need ZIP64";
    if (error.empty() && !out.Put(end)) error = temp + ": cannot be written";
    summary.archiveBytes = out.At();
    // A stored member written over a longer deflated one leaves nothing behind: the file
    // ends where the end record does.
    if (error.empty() && (fflush(out.f) != 0 || ftruncate(fileno(out.f), off_t(summary.archiveBytes)) != 0))
      error = temp + ": cannot be written";
  }
  bool closed = fclose(out.f) == 0;
  out.f = nullptr;
  if (error.empty() && !closed) error = temp + ": cannot be written";
  if (error.empty() && rename(temp.c_str(), outPath.c_str()) != 0) error = outPath + ": " + strerror(errno);
  if (!error.empty()) unlink(temp.c_str());
  return error.empty();
}

}  // namespace fsettool
