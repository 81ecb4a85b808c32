// Pieces several Win32 test suites share: whole-file reads, a results box the reporting code
// writes to, and an INI file beside one of our DLLs for the length of a test.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>

#include <stdio.h>

#include <string>
#include <vector>

#include "run_state.h"
#include "status_window.h"

namespace testsupport {

inline std::string ReadWholeFile(const std::string& path) {
  std::string bytes;
  if (FILE* f = fopen(path.c_str(), "rb")) {
    char chunk[512];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) bytes.append(chunk, n);
    fclose(f);
  }
  return bytes;
}

// A real window holding a multi-line results box, control 101 like the agent's dialog,
// made the run's main window and the status window's results box while it lives.
class ResultsWindow {
 public:
  ResultsWindow() : previous_(gContext.hMainDlg), previousWindow_(CurrentStatusWindow()), previousBox_(box()) {
    parent_ = CreateWindowExA(0, "STATIC", "results", WS_OVERLAPPEDWINDOW, 0, 0, 400, 300, nullptr, nullptr,
                              GetModuleHandleA(nullptr), nullptr);
    box_ = CreateWindowExA(0, "EDIT", "", WS_CHILD | WS_VISIBLE | ES_MULTILINE | ES_AUTOVSCROLL | WS_VSCROLL, 0, 0,
                           380, 280, parent_, HMENU(INT_PTR(101)), GetModuleHandleA(nullptr), nullptr);
    gContext.hMainDlg = parent_;
    box() = box_;
    services_.appendResults = Append;
    SetStatusWindow(&services_);
  }
  ~ResultsWindow() {
    SetStatusWindow(previousWindow_);
    box() = previousBox_;
    DestroyWindow(parent_);
    gContext.hMainDlg = previous_;
  }
  ResultsWindow(const ResultsWindow&) = delete;
  ResultsWindow& operator=(const ResultsWindow&) = delete;

  bool Ok() const { return parent_ && box_; }
  void Clear() { SetWindowTextA(box_, ""); }
  std::string Shown() const {
    std::vector<char> text(8192, '\0');
    SendMessageA(box_, WM_GETTEXT, WPARAM(text.size()), LPARAM(text.data()));
    return text.data();
  }

 private:
  static HWND& box() {
    static HWND current = nullptr;
    return current;
  }
  static void Append(const char* text) {
    int len = GetWindowTextLengthA(box());
    SendMessageA(box(), EM_SETSEL, len, len);
    SendMessageA(box(), EM_REPLACESEL, FALSE, LPARAM(text));
  }

  HWND previous_;
  const StatusWindow* previousWindow_;
  HWND previousBox_;
  StatusWindow services_{};
  HWND parent_ = nullptr;
  HWND box_ = nullptr;
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
    HANDLE h = CreateFileA(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD put = 0;
    WriteFile(h, text, DWORD(strlen(text)), &put, nullptr);
    CloseHandle(h);
    Flush();
  }
  // Profile calls may keep a file cached; this is the documented way to drop it.
  void Flush() { WritePrivateProfileStringA(nullptr, nullptr, nullptr, path_.c_str()); }

 private:
  std::string path_, saved_;
  bool hadOne_ = false;
};

}  // namespace testsupport
