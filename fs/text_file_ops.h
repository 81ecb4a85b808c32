// The one door through which the text engine and the undo journal touch files: text-mode
// streams, line reads, writes, commits, temporary names, the write-through replace, removal
// and attributes. Every operation returns 0 or the classic error number (errno) of what
// failed, never a system error code, so that its result can go to the caller unchanged.
//
// A test can make the nth operation from now fail with the error the real call would give
// (ArmTextOpFault), to prove that an edit interrupted at any step leaves the file as it was.
#pragma once
#include <windows.h>
#include <stddef.h>
#include <stdio.h>

#include <memory>

// One bounded line read: at most 255 characters with the newline, and the terminator.
constexpr size_t kTextLineSize = 256;
using TextLine = char[kTextLineSize];

// ReadTextLine's answer when the input has no more lines.
constexpr int kEndOfText = -1;

// An open text file. It reads and writes what the runtime's text mode would (CR LF read as
// a newline, a Ctrl-Z ending the text, a newline written as CR LF), but through a buffer of
// its own over a binary stream: the runtime's text mode costs several times more than the
// copy itself on big files. It owns its FILE: one left open by an early return is closed on
// destruction, outside the operation count (abandoning a stream is not an operation that
// can fail in a way anyone could act on).
struct TextFile {
  FILE* fp = nullptr;
  // Whether the last line read ended with a newline; false for a piece of a longer line and
  // for a last line without one.
  bool lastLineEnded = true;
  // Reading: the translated text not yet handed out is buffer[pos, len). Writing: the text
  // not yet handed to the stream is buffer[0, len).
  std::unique_ptr<char[]> buffer;
  size_t pos = 0, len = 0;
  bool writing = false;
  bool atEnd = false;      // the stream's end or a Ctrl-Z has been read
  bool pendingCr = false;  // a CR ended the last block read: the next byte decides what it is
  TextFile() = default;
  TextFile(const TextFile&) = delete;
  TextFile& operator=(const TextFile&) = delete;
  ~TextFile();
  bool IsOpen() const { return fp != nullptr; }
};

// Closes a stream that is being given up after a failure, outside the operation count; text
// still buffered for an output is dropped, since an abandoned output is never kept.
void AbandonText(TextFile& file);
// Opens an existing file for reading in text mode.
int OpenTextForRead(const char* path, TextFile& file);
// Fills temp with the folder part of path (drive and directory) and "$XXXXXX", the X's made
// unique as the runtime's temporary-name function does. ENAMETOOLONG when it would not fit.
int MakeTempPathBeside(const char* path, char* temp, size_t size);
template <size_t N>
int MakeTempPathBeside(const char* path, char (&temp)[N]) {
  return MakeTempPathBeside(path, temp, N);
}
// Creates a new file for writing in text mode; EEXIST when the name is taken, so that a
// temporary name never overwrites anything.
int CreateTextExclusive(const char* path, TextFile& file);
// Reads the next line or piece of at most 255 characters into line: 0, kEndOfText, or the
// error of a failed read.
int ReadTextLine(TextFile& file, TextLine& line);
int WriteText(TextFile& file, const char* text);
// Flushes the stream and asks the system to put the file's data on the disk.
int CommitText(TextFile& file);
// Closes the stream; a late write error shows here. The stream is closed even when it fails.
int CloseText(TextFile& file);
// The attributes of the file behind an open stream.
int QueryTextAttributes(TextFile& file, DWORD& attributes);
int GetPathAttributes(const char* path, DWORD& attributes);
int SetPathAttributes(const char* path, DWORD attributes);
// Puts from in the place of to, replacing it, and returns only once the move is on disk.
int ReplaceWriteThrough(const char* from, const char* to);
int RenameFileTo(const char* from, const char* to);
int RemoveFilePath(const char* path);

// Test hook: the nth seam operation from now (1 = the next) fails without being done, with
// error, or with the error the real call would give when error is 0. Only a close is still
// done, since a real failing close closes the stream as well. One fault at a time; arming
// again replaces it.
void ArmTextOpFault(int nth, int error = 0);
// Clears the armed fault; says whether it fired.
bool DisarmTextOpFault();

// Directories and whole-file copies, for the undo journal's saved copies.
int MakeDirectoryAt(const char* path);    // EEXIST when something is there already
int RemoveDirectoryAt(const char* path);  // only an empty one
// CopyFileWithProgress without progress: 0 or its result (a system error code, 415, 499).
int CopyFileThrough(const char* destination, const char* source);
