// Pieces several Win32 test suites share: whole-file reads, the agent's own dialog as the
// results box the reporting code writes to, and an INI file beside one of our DLLs.
#pragma once
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include <string>

#include "run_state.h"
#include "status_window.h"
#include "window.h"

namespace testsupport {

inline std::string ReadWholeFile(const std::string& path) {
  std::string bytes;
  if (FILE* f = fopen(path.c_str(), "rb")) {
    char chunk[512];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, f)) > 0;) bytes.append(chunk, n);
    fclose(f);
  }
  return bytes;
}

// The run-wide records as a test found them, put back when it ends; the options start at
// their defaults.
struct SavedRun {
  SavedRun() : options(gOptions), context(gContext) { gOptions = AgentOptions{}; }
  ~SavedRun() {
    gOptions = options;
    gContext = context;
  }
  AgentOptions options;
  AgentContext context;
};

// Removes dir and everything under it, read-only entries included.
inline void RemoveTree(const std::string& dir) {
  WIN32_FIND_DATAA fd;
  HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &fd);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      std::string name = fd.cFileName, path = dir + "\\" + name;
      if (name == "." || name == "..") continue;
      SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        RemoveTree(path);
      else
        DeleteFileA(path.c_str());
    } while (FindNextFileA(h, &fd));
    FindClose(h);
  }
  RemoveDirectoryA(dir.c_str());
}

inline INT_PTR CALLBACK InertDialog(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

// The agent's main dialog from its resource, with nothing running behind it: the run's main
// window and the status window's results box while it lives.
class ResultsWindow {
 public:
  ResultsWindow() : previous_(gContext.hMainDlg), previousWindow_(CurrentStatusWindow()), previousBox_(Current()) {
    dlg_ = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_MAIN), nullptr, InertDialog, 0);
    gContext.hMainDlg = dlg_;
    Current() = Box();
    PrepareResultsBox(Box());
    services_.appendResults = [](const char* text) { AppendToResultsBox(Current(), text); };
    SetStatusWindow(&services_);
  }
  ~ResultsWindow() {
    SetStatusWindow(previousWindow_);
    Current() = previousBox_;
    DestroyWindow(dlg_);
    gContext.hMainDlg = previous_;
  }
  ResultsWindow(const ResultsWindow&) = delete;
  ResultsWindow& operator=(const ResultsWindow&) = delete;

  bool Ok() const { return dlg_ && Box(); }
  HWND Box() const { return GetDlgItem(dlg_, IDC_RESULTS); }
  void Clear() { SetWindowTextA(Box(), ""); }
  std::string Shown() const {
    std::string text(size_t(GetWindowTextLengthA(Box())) + 1, '\0');
    text.resize(size_t(GetWindowTextA(Box(), &text[0], int(text.size()))));
    return text;
  }

 private:
  // The box the status window writes to, whatever a test does to the run's records.
  static HWND& Current() {
    static HWND box = nullptr;
    return box;
  }
  HWND dlg_ = nullptr, previous_;
  const StatusWindow* previousWindow_;
  HWND previousBox_;
  StatusWindow services_{};
};

// The INI file beside a loaded DLL, empty for one test; a file that was there before is put
// back afterwards, since the test program is shared with other suites.
class IniBesideDll {
 public:
  IniBesideDll(const char* dll, const char* iniName) {
    char module[MAX_PATH] = {};
    HMODULE h = GetModuleHandleA(dll);
    DWORD n = h ? GetModuleFileNameA(h, module, sizeof module) : 0;
    if (n == 0 || n >= sizeof module) return;
    path_ = module;
    path_ = path_.substr(0, path_.rfind('\\') + 1) + iniName;
    saved_ = path_ + ".kept-by-test";
    hadOne_ = MoveFileExA(path_.c_str(), saved_.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
    Flush();
  }
  ~IniBesideDll() {
    if (path_.empty()) return;
    DeleteFileA(path_.c_str());
    if (hadOne_) MoveFileA(saved_.c_str(), path_.c_str());
    Flush();
  }
  IniBesideDll(const IniBesideDll&) = delete;
  IniBesideDll& operator=(const IniBesideDll&) = delete;

  const std::string& Path() const { return path_; }
  void Write(const char* text) {
    FILE* f = fopen(path_.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path_;
    fputs(text, f);
    fclose(f);
    Flush();
  }
  // Profile calls may keep a file cached; this is the documented way to drop it.
  void Flush() { WritePrivateProfileStringA(nullptr, nullptr, nullptr, path_.c_str()); }

 private:
  std::string path_, saved_;
  bool hadOne_ = false;
};

}  // namespace testsupport
