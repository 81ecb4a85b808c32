// The fileset format: a standard ZIP archive of stored and deflated members, read and
// written the same way by CVFSET32.dll and by the administrators' plxfset tool. Portable:
// byte layouts in, plain records out, no file access.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "plx/bytes.h"

namespace fset {

constexpr uint32_t kLocalHeaderSignature = 0x04034b50;
constexpr uint32_t kCentralHeaderSignature = 0x02014b50;
constexpr uint32_t kEndSignature = 0x06054b50;
constexpr uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr size_t kLocalHeaderSize = 30, kCentralHeaderSize = 46, kEndSize = 22, kZip64LocatorSize = 20;
constexpr size_t kMaxCommentSize = 0xFFFF;
// The end record and its comment sit in at most this many bytes at the end of the file.
constexpr size_t kEndSearchSize = kEndSize + kMaxCommentSize;

constexpr uint16_t kMethodStored = 0, kMethodDeflated = 8;
constexpr uint16_t kLastOldMethod = 6;  // shrink, reduce and implode: PKZIP 1 formats
constexpr uint16_t kFlagEncrypted = 0x0001, kFlagUtf8Name = 0x0800;
constexpr uint8_t kZipFeatureLevel = 20;  // 2.0: deflate and folders, all a fileset uses
constexpr uint16_t kMadeByDos = 0x0000 | kZipFeatureLevel;

// The external attributes' low byte, as DOS ZIP tools write it.
constexpr uint8_t kDosReadOnly = 0x01, kDosHidden = 0x02, kDosSystem = 0x04, kDosFolder = 0x10,
                  kDosArchive = 0x20;
constexpr uint8_t kDosRestored = kDosReadOnly | kDosHidden | kDosSystem | kDosArchive;

// The archive comment names the format: the tag, a blank and the version in decimal. An
// archive without the tag is taken as the current version, so any ZIP tool makes filesets.
constexpr char kCommentTag[] = "PLXFSET";
constexpr int kFormatVersion = 1;
constexpr int kOldestFormatVersion = 1;

enum class Problem {
  kNone,
  kNotZip,     // no end record, and the file does not start as an archive either
  kCorrupt,    // cut short, inconsistent, a name that leaves the target
  kOlder,      // a format before the ones this reader knows
  kNewer,      // a format or ZIP feature after the ones this reader knows
  kEncrypted,  // a member that needs a password
};

struct EndRecord {
  uint64_t at = 0;  // file offset of the end record
  uint32_t entries = 0;
  uint32_t directorySize = 0;
  uint32_t directoryOffset = 0;
  std::string comment;
  bool zip64 = false;  // the record defers to a ZIP64 record
};

struct Member {
  std::string name;          // as stored
  std::string relativePath;  // backslash form under the target; no trailing backslash
  bool isFolder = false;
  uint8_t versionNeeded = 0;
  uint16_t flags = 0;
  uint16_t method = 0;
  uint16_t dosTime = 0, dosDate = 0;
  uint32_t crc = 0;
  uint32_t compressedSize = 0;
  uint32_t size = 0;
  uint8_t dosAttributes = 0;
  uint32_t localHeaderOffset = 0;
};

using plx::GetU16;
using plx::GetU32;
// Appending forms, for building archives.
void PutU16(std::vector<uint8_t>& out, uint16_t v);
void PutU32(std::vector<uint8_t>& out, uint32_t v);

// Finds the end record in the last `n` bytes of a file of `fileSize` bytes: the last
// signature whose comment ends exactly at the end of the file.
bool FindEndRecord(const uint8_t* tail, size_t n, uint64_t fileSize, EndRecord& end);

// The problem of a file that has no end record: an archive cut short still starts as one.
Problem WithoutEndRecord(const uint8_t* head, size_t n);

// The version the comment names (the current one when it carries no tag), and the problem
// that version is for this reader.
int FormatVersionOf(const std::string& comment);
Problem VersionProblem(const EndRecord& end);
std::string VersionComment(int version);

// Parses and checks the whole central directory (`dir` holds end.directorySize bytes):
// record layout, counts, every member's data inside the archive, every name inside the
// target, methods and features. On any problem `members` is incomplete.
Problem ReadCentralDirectory(const uint8_t* dir, size_t n, const EndRecord& end, std::vector<Member>& members);

// The member's name as a relative path under the target ("a\b.txt", folders without the
// trailing separator); false when the name is empty, absolute, names a drive, a share or a
// device, climbs with "..", or holds a character no file name may have.
bool RelativePathOf(const std::string& name, std::string& relativePath, bool& isFolder);

// The local header's length before the data: 30 bytes, the name and the extra field.
// False when the bytes are not a local header.
bool LocalHeaderLength(const uint8_t* header, size_t n, uint32_t& length);

}  // namespace fset
