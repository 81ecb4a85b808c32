// Running quickscripts in the Win32 tests: a script written in the text form, compiled at
// test time, written to a real file and run by the real interpreter, with the agent's own
// dialog as the results box and a fresh variable store holding [RETVAL].
#pragma once
#include <gtest/gtest.h>
#include <stdio.h>
#include <windows.h>

#include <string>

#include "functions.h"
#include "if_state.h"
#include "quickscript.h"
#include "variable_store.h"
#include "win_test_support.h"

namespace scripttest {

// The compiled bytes of a script in the text form; a test fails when it does not compile.
std::string Compile(const std::string& text);

// A folder of its own under the temporary directory, removed with what is in it.
class TempDir {
 public:
  TempDir() {
    char base[MAX_PATH];
    GetTempPathA(sizeof base, base);
    path_ = std::string(base) + "plxscript" + std::to_string(GetCurrentProcessId()) + "_" +
            std::to_string(counter()++);
    CreateDirectoryA(path_.c_str(), nullptr);
  }
  ~TempDir() {
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((path_ + "\\*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
      do DeleteFileA((path_ + "\\" + fd.cFileName).c_str());
      while (FindNextFileA(h, &fd));
      FindClose(h);
    }
    RemoveDirectoryA(path_.c_str());
  }
  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "\\" + name; }
  void Write(const std::string& name, const std::string& bytes) const {
    FILE* f = fopen(File(name).c_str(), "wb");
    ASSERT_NE(f, nullptr) << name;
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
  }

 private:
  static int& counter() {
    static int n = 0;
    return n;
  }
  std::string path_;
};

// One script run: the window, the store, the folder; put back afterwards.
class ScriptRun {
 public:
  ScriptRun() {
    VariableStore::Free();
    VariableStore::Init();
    VariableStore::Define("[RETVAL]", 'I');
    ClearIfState();
  }
  ~ScriptRun() { VariableStore::Free(); }

  int RunText(const std::string& text, const char* name = "T.QSC") { return RunBytes(Compile(text), name); }
  int RunBytes(const std::string& bytes, const char* name = "T.QSC") {
    dir.Write(name, bytes);
    window.Clear();
    return RunScript(name, dir.Path().c_str());
  }
  std::string Shown() const { return window.Shown(); }
  int32_t Retval() const { return Int("[RETVAL]"); }
  static int32_t Int(const char* name) {
    int32_t v = INT32_MIN;
    VariableStore::GetInt(name, &v);
    return v;
  }
  static std::string String(const char* name) {
    char v[kVarValueSize] = "<undefined>";
    VariableStore::GetString(name, v);
    return v;
  }

  testsupport::SavedRun saved;
  testsupport::ResultsWindow window;
  TempDir dir;
};

// A record built byte by byte, for files no compiler would write.
inline std::string Record(uint16_t length, int16_t id, const std::string& rest) {
  std::string r;
  r += char(length & 0xFF);
  r += char(length >> 8);
  r += char(uint16_t(id) & 0xFF);
  r += char(uint16_t(id) >> 8);
  return r + rest;
}

}  // namespace scripttest
