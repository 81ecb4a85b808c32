#include "fileset_format.h"

#include <ctype.h>
#include <stdlib.h>
#include <string.h>

namespace fset {

void PutU16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(uint8_t(v));
  out.push_back(uint8_t(v >> 8));
}

void PutU32(std::vector<uint8_t>& out, uint32_t v) {
  PutU16(out, uint16_t(v));
  PutU16(out, uint16_t(v >> 16));
}

namespace {

constexpr uint16_t kNone16 = 0xFFFF;
constexpr uint32_t kNone32 = 0xFFFFFFFF;

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// Names Windows opens as devices in any folder, with or without an extension.
bool IsDeviceName(const std::string& part) {
  std::string base = part.substr(0, part.find('.'));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (char& c : base) c = char(toupper(static_cast<unsigned char>(c)));
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CLOCK$", "CONIN$", "CONOUT$"};
  for (const char* d : kDevices)
    if (base == d) return true;
  return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
         base[3] >= '1' && base[3] <= '9';
}

bool PartIsSafe(const std::string& part) {
  if (part.empty()) return false;
  // Windows drops trailing dots and blanks, so ". ." and "..." are ".." in disguise.
  if (part.find_first_not_of(". ") == std::string::npos) return false;
  for (char c : part)
    if (static_cast<unsigned char>(c) < 0x20 || strchr("<>:\"|?*", c)) return false;
  return !IsDeviceName(part);
}

}  // namespace

bool FindEndRecord(const uint8_t* tail, size_t n, uint64_t fileSize, EndRecord& end) {
  if (n < kEndSize) return false;
  for (size_t i = n - kEndSize + 1; i-- > 0;) {
    const uint8_t* p = tail + i;
    if (GetU32(p) != kEndSignature) continue;
    uint16_t commentLength = GetU16(p + 20);
    if (i + kEndSize + commentLength != n) continue;
    end.at = fileSize - n + i;
    uint16_t disk = GetU16(p + 4), directoryDisk = GetU16(p + 6);
    uint16_t onDisk = GetU16(p + 8), entries = GetU16(p + 10);
    end.entries = entries;
    end.directorySize = GetU32(p + 12);
    end.directoryOffset = GetU32(p + 16);
    end.comment.assign(reinterpret_cast<const char*>(p + kEndSize), commentLength);
    end.zip64 = entries == kNone16 || onDisk == kNone16 || end.directorySize == kNone32 ||
                end.directoryOffset == kNone32 ||
                (i >= kZip64LocatorSize && GetU32(p - kZip64LocatorSize) == kZip64LocatorSignature);
    // A multi-volume archive is a feature we do not read, like ZIP64.
    if (disk != 0 || directoryDisk != 0 || onDisk != entries) end.zip64 = true;
    return true;
  }
  return false;
}

Problem WithoutEndRecord(const uint8_t* head, size_t n) {
  return n >= 4 && GetU32(head) == kLocalHeaderSignature ? Problem::kCorrupt : Problem::kNotZip;
}

int FormatVersionOf(const std::string& comment) {
  const size_t tag = sizeof kCommentTag - 1;
  if (comment.compare(0, tag, kCommentTag) != 0) return kFormatVersion;
  const char* digits = comment.c_str() + tag;
  while (*digits == ' ') ++digits;
  if (!isdigit(static_cast<unsigned char>(*digits))) return kFormatVersion;
  return int(strtol(digits, nullptr, 10));
}

Problem VersionProblem(const EndRecord& end) {
  if (end.zip64) return Problem::kNewer;
  int version = FormatVersionOf(end.comment);
  if (version < kOldestFormatVersion) return Problem::kOlder;
  if (version > kFormatVersion) return Problem::kNewer;
  return Problem::kNone;
}

std::string VersionComment(int version) { return std::string(kCommentTag) + " " + std::to_string(version); }

bool RelativePathOf(const std::string& name, std::string& relativePath, bool& isFolder) {
  relativePath.clear();
  if (name.empty() || IsSeparator(name[0])) return false;
  isFolder = IsSeparator(name.back());
  std::string part;
  for (size_t i = 0; i <= name.size(); ++i) {
    if (i < name.size() && !IsSeparator(name[i])) {
      part += name[i];
      continue;
    }
    if (i == name.size() && isFolder) break;  // the folder's own trailing separator
    if (!PartIsSafe(part)) return false;
    if (!relativePath.empty()) relativePath += '\\';
    relativePath += part;
    part.clear();
  }
  return !relativePath.empty();
}

Problem ReadCentralDirectory(const uint8_t* dir, size_t n, const EndRecord& end, std::vector<Member>& members) {
  members.clear();
  if (uint64_t(end.directoryOffset) + end.directorySize > end.at || n != end.directorySize) return Problem::kCorrupt;
  size_t at = 0;
  Problem later = Problem::kNone;  // format problems count only once the layout is whole
  for (uint32_t i = 0; i < end.entries; ++i) {
    if (n - at < kCentralHeaderSize || GetU32(dir + at) != kCentralHeaderSignature) return Problem::kCorrupt;
    const uint8_t* p = dir + at;
    Member m;
    m.versionNeeded = p[6];
    m.flags = GetU16(p + 8);
    m.method = GetU16(p + 10);
    m.dosTime = GetU16(p + 12);
    m.dosDate = GetU16(p + 14);
    m.crc = GetU32(p + 16);
    m.compressedSize = GetU32(p + 20);
    m.size = GetU32(p + 24);
    uint16_t nameLength = GetU16(p + 28), extraLength = GetU16(p + 30), commentLength = GetU16(p + 32);
    m.dosAttributes = p[38];
    m.localHeaderOffset = GetU32(p + 42);
    size_t length = kCentralHeaderSize + nameLength + extraLength + commentLength;
    if (n - at < length) return Problem::kCorrupt;
    m.name.assign(reinterpret_cast<const char*>(p + kCentralHeaderSize), nameLength);
    at += length;
    if (!RelativePathOf(m.name, m.relativePath, m.isFolder)) return Problem::kCorrupt;
    if (m.compressedSize == kNone32 || m.size == kNone32 || m.localHeaderOffset == kNone32) {
      later = Problem::kNewer;  // ZIP64 sizes
    } else if (uint64_t(m.localHeaderOffset) + kLocalHeaderSize + nameLength + m.compressedSize >
               end.directoryOffset) {
      return Problem::kCorrupt;
    }
    if (later == Problem::kNone) {
      if (m.flags & kFlagEncrypted)
        later = Problem::kEncrypted;
      else if (m.method != kMethodStored && m.method != kMethodDeflated)
        later = m.method <= kLastOldMethod ? Problem::kOlder : Problem::kNewer;
      else if (m.versionNeeded > kZipFeatureLevel)
        later = Problem::kNewer;
      else if (m.method == kMethodStored && m.compressedSize != m.size)
        return Problem::kCorrupt;
    }
    members.push_back(std::move(m));
  }
  if (at != n) return Problem::kCorrupt;
  return later;
}

bool LocalHeaderLength(const uint8_t* header, size_t n, uint32_t& length) {
  if (n < kLocalHeaderSize || GetU32(header) != kLocalHeaderSignature) return false;
  length = uint32_t(kLocalHeaderSize) + GetU16(header + 26) + GetU16(header + 28);
  return true;
}

}  // namespace fset
