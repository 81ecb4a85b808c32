// CVFSET32.dll: checks and decompresses filesets (ZIP archives, see fileset_format.h).
//
// The whole central directory is read and every member's name checked before the first
// byte is written, so a fileset that would write outside its target writes nothing at all.
// Members are streamed block by block; a 100 MB member never sits in memory.
#include "cvfset32.h"

#include <zlib.h>

#include <string.h>

#include <new>
#include <string>
#include <vector>

#include "dllfile.h"
#include "fileset_format.h"

extern "C" uint16_t __stdcall lzDoSpaceCheck(const char* filesetPath, const char* targetPath);
extern "C" uint16_t __stdcall lzUnCrushFsetEx(const char* filesetPath, const char* targetPath,
                                              FsetProgressCallback progress, FsetFileCallback file);

namespace {

// One read or write call moves at most this much: large enough that a file costs few
// system calls, small enough to keep the progress bar moving.
constexpr DWORD kBlockSize = 1 << 20;
constexpr int kRawDeflate = -MAX_WBITS;  // ZIP members carry no zlib header
constexpr uint64_t kDefaultCluster = 4096;

uint16_t StatusOf(fset::Problem p) {
  switch (p) {
    case fset::Problem::kNone: return kFsetOk;
    case fset::Problem::kNotZip: return kFsetNotFileset;
    case fset::Problem::kCorrupt: return kFsetCorrupt;
    case fset::Problem::kOlder: return kFsetOlderFormat;
    case fset::Problem::kNewer: return kFsetNewerFormat;
    case fset::Problem::kEncrypted: return kFsetEncrypted;
  }
  return kFsetCorrupt;
}

// A write that failed for want of room is out of space; anything else could not be created.
uint16_t WriteFailure() {
  DWORD e = GetLastError();
  return e == ERROR_DISK_FULL || e == ERROR_HANDLE_DISK_FULL ? kFsetOutOfSpace : kFsetCreateFailed;
}

bool ReadExactly(HANDLE file, void* buffer, DWORD n) {
  DWORD got = 0;
  return ReadFile(file, buffer, n, &got, nullptr) && got == n;
}

bool ReadAt(HANDLE file, uint64_t offset, void* buffer, DWORD n) {
  LARGE_INTEGER at;
  at.QuadPart = LONGLONG(offset);
  return SetFilePointerEx(file, at, nullptr, FILE_BEGIN) && ReadExactly(file, buffer, n);
}

// A drive that fills up may take part of a block first; the rest then fails with the reason.
bool WriteAll(HANDLE file, const uint8_t* data, DWORD n) {
  while (n > 0) {
    DWORD put = 0;
    if (!WriteFile(file, data, n, &put, nullptr)) return false;
    if (put == 0) {
      SetLastError(ERROR_DISK_FULL);
      return false;
    }
    data += put;
    n -= put;
  }
  return true;
}

struct Archive {
  plxdll::Handle file;
  fset::EndRecord end;
  std::vector<fset::Member> members;
};

// Names flagged as UTF-8 are made ANSI names, as the A calls take them, and checked again
// in that form (a converted byte could be a separator in a double-byte code page).
bool ToAnsiName(fset::Member& m) {
  if (!(m.flags & fset::kFlagUtf8Name)) return true;
  bool ascii = true;
  for (char c : m.name) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  if (ascii) return true;
  int wide = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, m.name.data(), int(m.name.size()), nullptr, 0);
  if (wide <= 0) return false;
  std::wstring w(size_t(wide), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, m.name.data(), int(m.name.size()), &w[0], wide);
  BOOL lossy = FALSE;
  int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, w.data(), wide, nullptr, 0, nullptr, &lossy);
  if (n <= 0 || lossy) return false;
  std::string ansi(size_t(n), '\0');
  WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, w.data(), wide, &ansi[0], n, nullptr, nullptr);
  m.name = ansi;
  return fset::RelativePathOf(m.name, m.relativePath, m.isFolder);
}

// Opens the fileset and reads its end record; with `formatMatters` a version this reader
// does not know is a failure, otherwise (the space check) it is left to the decompression.
uint16_t OpenArchive(const char* path, Archive& a, bool formatMatters) {
  a.file.Reset(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN,
                           nullptr));
  LARGE_INTEGER size;
  if (!a.file || !GetFileSizeEx(a.file.Get(), &size)) return kFsetOpenFailed;
  const uint64_t fileSize = uint64_t(size.QuadPart);
  const DWORD tailSize = DWORD(fileSize < fset::kEndSearchSize ? fileSize : fset::kEndSearchSize);
  std::vector<uint8_t> tail(tailSize);
  if (!ReadAt(a.file.Get(), fileSize - tailSize, tail.data(), tailSize)) return kFsetOpenFailed;
  if (!fset::FindEndRecord(tail.data(), tail.size(), fileSize, a.end)) {
    uint8_t head[4] = {};
    DWORD got = tailSize < sizeof head ? tailSize : DWORD(sizeof head);
    if (!ReadAt(a.file.Get(), 0, head, got)) return kFsetOpenFailed;
    return StatusOf(fset::WithoutEndRecord(head, got));
  }
  if (fset::Problem p = fset::VersionProblem(a.end); p != fset::Problem::kNone) return formatMatters ? StatusOf(p) : uint16_t(kFsetOk);
  if (uint64_t(a.end.directoryOffset) + a.end.directorySize > a.end.at) return kFsetCorrupt;
  std::vector<uint8_t> dir(a.end.directorySize);
  if (!ReadAt(a.file.Get(), a.end.directoryOffset, dir.data(), DWORD(dir.size()))) return kFsetCorrupt;
  fset::Problem p = fset::ReadCentralDirectory(dir.data(), dir.size(), a.end, a.members);
  if (p == fset::Problem::kCorrupt || (formatMatters && p != fset::Problem::kNone)) return StatusOf(p);
  for (fset::Member& m : a.members)
    if (!ToAnsiName(m)) return formatMatters ? kFsetCreateFailed : kFsetOk;
  return kFsetOk;
}

std::string TargetRoot(const char* targetPath) {
  std::string root = targetPath ? targetPath : "";
  while (root.size() > 1 && root.back() == '\\') root.pop_back();
  return root;
}

// The nearest folder of the path that exists already: where the space will be taken from.
std::string ExistingFolder(std::string path) {
  for (;;) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return path;
    size_t slash = path.find_last_of('\\');
    if (slash == std::string::npos) return std::string();
    path.erase(slash);
  }
}

uint16_t SpaceCheck(const char* filesetPath, const char* targetPath) {
  Archive a;
  if (uint16_t st = OpenArchive(filesetPath, a, false)) return st;
  std::string folder = ExistingFolder(TargetRoot(targetPath));
  // A target on no drive we can ask about is left to the writes themselves to judge.
  ULARGE_INTEGER freeToCaller;
  if (folder.empty() || !GetDiskFreeSpaceExA((folder + "\\").c_str(), &freeToCaller, nullptr, nullptr)) return kFsetOk;
  uint64_t cluster = kDefaultCluster;
  char volume[MAX_PATH];
  DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, clusters = 0;
  if (GetVolumePathNameA(folder.c_str(), volume, sizeof volume) &&
      GetDiskFreeSpaceA(volume, &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters) &&
      sectorsPerCluster * bytesPerSector > 0)
    cluster = uint64_t(sectorsPerCluster) * bytesPerSector;
  // Every file takes whole clusters. Files it replaces are not counted as freed: the undo
  // journal may keep a copy of each.
  uint64_t need = 0;
  for (const fset::Member& m : a.members)
    if (!m.isFolder) need += (uint64_t(m.size) + cluster - 1) / cluster * cluster;
  return need > freeToCaller.QuadPart ? kFsetOutOfSpace : kFsetOk;
}

bool MakeFolders(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  size_t slash = path.find_last_of('\\');
  if (slash != std::string::npos && slash > 0 && path[slash - 1] != ':' && path[slash - 1] != '\\' &&
      !MakeFolders(path.substr(0, slash)))
    return false;
  return CreateDirectoryA(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

// The callbacks' counts are 32-bit: a larger fileset is counted in coarser units.
struct Progress {
  FsetProgressCallback callback = nullptr;
  uint64_t total = 0, done = 0;
  int shift = 0;
  const char* from = "";
  const char* to = "";
  // False when the callback asked to stop.
  bool Report() {
    if (!callback) return true;
    uint8_t abort = 0;
    callback(uint32_t(total >> shift), uint32_t(done >> shift), from, to, &abort);
    return abort == 0;
  }
};

struct Buffers {
  std::vector<uint8_t> in = std::vector<uint8_t>(kBlockSize), out = std::vector<uint8_t>(kBlockSize);
};

struct Inflater {
  z_stream z = {};
  bool open = false;
  ~Inflater() {
    if (open) inflateEnd(&z);
  }
};

// Copies or inflates the member's data from the archive's current position into `out`.
uint16_t Expand(HANDLE archive, const fset::Member& m, HANDLE out, Buffers& b, Progress& progress) {
  uint32_t remaining = m.compressedSize;
  uint64_t produced = 0;
  uLong crc = crc32(0, nullptr, 0);
  auto emit = [&](const uint8_t* data, DWORD n) -> uint16_t {
    produced += n;
    if (produced > m.size) return kFsetCorrupt;  // more than the space check was told
    crc = crc32(crc, data, n);
    if (n && !WriteAll(out, data, n)) return WriteFailure();
    progress.done += n;
    return progress.Report() ? kFsetOk : kFsetAborted;
  };
  if (m.method == fset::kMethodStored) {
    while (remaining > 0) {
      DWORD n = remaining < kBlockSize ? remaining : kBlockSize;
      if (!ReadExactly(archive, b.in.data(), n)) return kFsetCorrupt;
      remaining -= n;
      if (uint16_t st = emit(b.in.data(), n)) return st;
    }
  } else {
    Inflater inf;
    if (inflateInit2(&inf.z, kRawDeflate) != Z_OK) return kFsetNoMemory;
    inf.open = true;
    for (;;) {
      if (inf.z.avail_in == 0 && remaining > 0) {
        DWORD n = remaining < kBlockSize ? remaining : kBlockSize;
        if (!ReadExactly(archive, b.in.data(), n)) return kFsetCorrupt;
        remaining -= n;
        inf.z.next_in = b.in.data();
        inf.z.avail_in = n;
      }
      inf.z.next_out = b.out.data();
      inf.z.avail_out = kBlockSize;
      int rc = inflate(&inf.z, Z_NO_FLUSH);
      if (rc == Z_MEM_ERROR) return kFsetNoMemory;
      // With room to write, no progress means the member's data ran out before its stream.
      if (rc != Z_OK && rc != Z_STREAM_END) return kFsetCorrupt;
      if (uint16_t st = emit(b.out.data(), DWORD(kBlockSize - inf.z.avail_out))) return st;
      if (rc == Z_STREAM_END) break;
    }
    if (remaining != 0 || inf.z.avail_in != 0) return kFsetCorrupt;
  }
  return produced == m.size && crc == m.crc ? kFsetOk : kFsetCorrupt;
}

// Writes one member to `path`, its time and attributes included. A file that could not be
// written whole is removed: its old content is gone already, and half a file is worse.
uint16_t WriteMember(Archive& a, const fset::Member& m, const std::string& path, Buffers& b, Progress& progress) {
  uint8_t header[fset::kLocalHeaderSize];
  uint32_t headerLength = 0;
  if (!ReadAt(a.file.Get(), m.localHeaderOffset, header, sizeof header) ||
      !fset::LocalHeaderLength(header, sizeof header, headerLength) ||
      uint64_t(m.localHeaderOffset) + headerLength + m.compressedSize > a.end.directoryOffset)
    return kFsetCorrupt;
  LARGE_INTEGER dataAt;
  dataAt.QuadPart = LONGLONG(m.localHeaderOffset) + headerLength;
  if (!SetFilePointerEx(a.file.Get(), dataAt, nullptr, FILE_BEGIN)) return kFsetOpenFailed;

  // A read-only, hidden or system file is not replaced by CREATE_ALWAYS until its bits go.
  DWORD old = GetFileAttributesA(path.c_str());
  if (old != INVALID_FILE_ATTRIBUTES && !(old & FILE_ATTRIBUTE_DIRECTORY) &&
      (old & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)))
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  plxdll::Handle out(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!out) return WriteFailure();
  uint16_t st = Expand(a.file.Get(), m, out.Get(), b, progress);
  if (st == kFsetOk) {
    FILETIME local, utc;
    // DOS times are local times; an impossible one leaves the time of writing.
    if (DosDateTimeToFileTime(m.dosDate, m.dosTime, &local) && LocalFileTimeToFileTime(&local, &utc))
      SetFileTime(out.Get(), nullptr, nullptr, &utc);
    if (!out.Close()) st = WriteFailure();
  }
  if (st != kFsetOk) {
    out.Close();
    DeleteFileA(path.c_str());
    return st;
  }
  uint8_t bits = m.dosAttributes & fset::kDosRestored;
  if (!SetFileAttributesA(path.c_str(), bits ? DWORD(bits) : DWORD(FILE_ATTRIBUTE_NORMAL))) return kFsetCreateFailed;
  return kFsetOk;
}

uint16_t UnCrush(const char* filesetPath, const char* targetPath, FsetProgressCallback callback,
                 FsetFileCallback fileCallback) {
  Archive a;
  if (uint16_t st = OpenArchive(filesetPath, a, true)) return st;
  const std::string root = TargetRoot(targetPath);
  if (root.empty()) return kFsetCreateFailed;
  Progress progress;
  progress.callback = callback;
  std::vector<std::string> paths;
  paths.reserve(a.members.size());
  for (const fset::Member& m : a.members) {
    paths.push_back(root + "\\" + m.relativePath);
    if (paths.back().size() >= MAX_PATH) return kFsetCreateFailed;  // refused before anything is written
    progress.total += m.size;
  }
  while ((progress.total >> progress.shift) > UINT32_MAX) ++progress.shift;
  if (!MakeFolders(root)) return kFsetCreateFailed;
  Buffers buffers;
  for (size_t i = 0; i < a.members.size(); ++i) {
    const fset::Member& m = a.members[i];
    const std::string& path = paths[i];
    size_t slash = path.find_last_of('\\');
    if (!MakeFolders(m.isFolder ? path : path.substr(0, slash))) return kFsetCreateFailed;
    if (m.isFolder) continue;
    progress.from = m.name.c_str();
    progress.to = path.c_str();
    if (!progress.Report()) return kFsetAborted;
    if (fileCallback && fileCallback(path.c_str()) != 0) return kFsetJournalFailed;
    if (uint16_t st = WriteMember(a, m, path, buffers, progress)) return st;
  }
  return kFsetOk;
}

}  // namespace

// Nothing thrown may cross into the caller: the only thing these throw is a failed allocation.
extern "C" uint16_t __stdcall lzDoSpaceCheck(const char* filesetPath, const char* targetPath) {
  if (!filesetPath) return kFsetOpenFailed;
  try {
    return SpaceCheck(filesetPath, targetPath);
  } catch (...) {
    return kFsetNoMemory;
  }
}

extern "C" uint16_t __stdcall lzUnCrushFsetEx(const char* filesetPath, const char* targetPath,
                                              FsetProgressCallback progress, FsetFileCallback file) {
  if (!filesetPath) return kFsetOpenFailed;
  try {
    return UnCrush(filesetPath, targetPath, progress, file);
  } catch (...) {
    return kFsetNoMemory;
  }
}
