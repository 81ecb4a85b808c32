// The selected system file: the one text file the configuration functions edit, chosen by
// SETSYSFILE and borrowed for a moment by the INI multi-key functions. Also the journal
// call every function of this room makes before it changes such a file.
#pragma once
#include <stddef.h>

constexpr size_t kSystemFilePathSize = 260;

// Empty at start; lives for the whole run, across scripts and packages.
extern char SystemFilePath[kSystemFilePathSize];

// A copy of SystemFilePath taken before a function points it elsewhere, put back when the
// function completes. A function that stops early does not put it back.
struct KeptSystemFile {
  char szPath[kSystemFilePathSize];
  KeptSystemFile();
  void PutBack() const;
};

// Under a journalling package, records the file before it is changed: 0, or 158 ("Undo failed
// in function") once a journal failure other than -1 has been reported with the path.
int JournalFileChange(const char* path);

// ASCII letters to upper case, in place: what the functions write into a file is upper case.
void UpperCaseText(char* text);
