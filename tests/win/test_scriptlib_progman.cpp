// The Program Manager functions over real DDE conversations: the exact commands as a
// stand-in Program Manager receives them, Wine's shell making folders and links of them, and
// a script that finds no Program Manager at all.
#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "script_test_support.h"
// After windows.h, which the support header brings.
#include <ddeml.h>
#include <shlobj.h>

namespace {

using scripttest::ScriptRun;
using testsupport::ReadWholeFile;

HDDEDATA CALLBACK IgnoreAll(UINT, UINT, HCONV, HSZ, HSZ, HDDEDATA, ULONG_PTR, ULONG_PTR) { return nullptr; }

std::string BesideTests(const char* name) {
  char module[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, module, sizeof module);
  std::string exe = module;
  return exe.substr(0, exe.rfind('\\') + 1) + name;
}

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Polls until done() or the time is up; says how it ended.
bool WaitFor(const std::function<bool()>& done, DWORD ms) {
  for (DWORD start = GetTickCount(); !done(); Sleep(50))
    if (GetTickCount() - start > ms) return done();
  return true;
}

// The window that serves PROGMAN to this thread's desktop (the parent of the server's side
// of a conversation), or null when nobody answers.
HWND ProgmanServer() {
  DWORD instance = 0;
  if (DdeInitializeA(&instance, IgnoreAll, APPCMD_CLIENTONLY, 0) != DMLERR_NO_ERROR) return nullptr;
  HSZ name = DdeCreateStringHandleA(instance, "PROGMAN", CP_WINANSI);
  HWND server = nullptr;
  if (HCONV conversation = DdeConnect(instance, name, name, nullptr)) {
    CONVINFO info{};
    info.cb = sizeof info;
    if (DdeQueryConvInfo(conversation, QID_SYNC, &info))
      server = GetParent(info.hwndPartner) ? GetParent(info.hwndPartner) : info.hwndPartner;
    DdeDisconnect(conversation);
  }
  DdeFreeStringHandle(instance, name);
  DdeUninitialize(instance);
  return server;
}

// Runs body on a thread of its own on a fresh desktop. Wine starts a shell for each desktop,
// and that shell serves PROGMAN too: its service window is closed, so that on this desktop
// the test alone decides who answers.
void OnDesktopWithoutProgman(const std::function<void(const char* desktop)>& body) {
  static int count = 0;
  const std::string name = "PlxProgman" + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(count++);
  HDESK desktop = CreateDesktopA(name.c_str(), nullptr, nullptr, 0, GENERIC_ALL, nullptr);
  ASSERT_NE(desktop, nullptr);
  std::thread thread([&] {
    ASSERT_TRUE(SetThreadDesktop(desktop));
    // The first window brings the desktop's shell up; it serves PROGMAN a moment later.
    HWND first = CreateWindowA("STATIC", "", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    WaitFor([] { return ProgmanServer() != nullptr; }, 10000);
    for (int i = 0; i < 5; ++i) {
      HWND server = ProgmanServer();
      if (!server) break;
      SendMessageTimeoutA(server, WM_CLOSE, 0, 0, SMTO_NORMAL, 5000, nullptr);
    }
    ASSERT_EQ(ProgmanServer(), nullptr) << "something still serves PROGMAN on " << name;
    body(name.c_str());
    DestroyWindow(first);
  });
  thread.join();
  CloseDesktop(desktop);
}

// The stand-in Program Manager on a desktop, and the events it logged.
class Recorder {
 public:
  Recorder(const char* desktop, const std::string& log) : log_(log) {
    std::string line = "\"" + BesideTests("progman_recorder.exe") + "\" \"" + log + "\" " +
                       std::to_string(GetCurrentProcessId());
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.lpDesktop = const_cast<char*>(desktop);
    DeleteFileA(log.c_str());
    started_ = CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi_) &&
               WaitFor([&] { return Events() == "ready\n"; }, 20000);
  }
  ~Recorder() {
    if (!pi_.hProcess) return;
    PostThreadMessageA(pi_.dwThreadId, WM_QUIT, 0, 0);
    WaitForSingleObject(pi_.hProcess, 5000);
    CloseHandle(pi_.hThread);
    CloseHandle(pi_.hProcess);
    DeleteFileA(log_.c_str());
  }
  bool Started() const { return started_; }
  std::string Events() const { return ReadWholeFile(log_); }
  void Clear() const { DeleteFileA(log_.c_str()); }

 private:
  std::string log_;
  PROCESS_INFORMATION pi_{};
  bool started_ = false;
};

struct CommandCase {
  std::string script;
  int result;       // RunScript's
  int32_t retval;   // [RETVAL] afterwards
  std::string log;  // what the recorder saw: each command with its size, NUL included
};

// A conversation as the recorder logs it.
std::string Talk(const std::string& commands) { return "connect\n" + commands + "disconnect\n"; }

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

}  // namespace

TEST(ProgmanFunctions, SendExactCommands) {
  const std::string n112(112, 'd'), n113(113, 'd'), n114(114, 'd'), n240(240, 'g'), n241(241, 'g');
  const std::string command(252, 'c'), item(252, 'i'), dir245(245, 'w');
  // 9 + 252 + 1 + 252 + 1 + 252 + 9 + 245 + 2 = 1,023 characters: the longest AddItem.
  const std::string longItem = "[AddItem(" + command + "," + item + "," + command + ",0,-1,-1," + dir245 + ")]";
  const CommandCase cases[] = {
      {"ADDGROUP \"Tools\"\n", 0, 0, Talk("[CreateGroup(Tools)][ShowGroup(Tools,1)]\t41\n")},
      {"ADDITEM \"Tools\", \"Editor\", \"C:\\ED\\ED.EXE\"\n", 0, 0,
       Talk("[CreateGroup(Tools)][ShowGroup(Tools,1)]\t41\n[AddItem(C:\\ED\\ED.EXE,Editor,C:\\ED\\ED.EXE,0,-1,-1,)]\t53\n")},
      {"ADDITEMPATH \"Tools\", \"Editor\", \"C:\\ED\\ED.EXE\", \"C:\\ED\"\n", 0, 0,
       Talk("[CreateGroup(Tools)][ShowGroup(Tools,1)]\t41\n"
            "[AddItem(C:\\ED\\ED.EXE,Editor,C:\\ED\\ED.EXE,0,-1,-1,C:\\ED)]\t58\n")},
      {"DeleteItem \"Editor\"\n", 0, 0, Talk("[DeleteItem(Editor)]\t21\n")},
      {"DeleteGroup \"Tools\"\n", 0, 0, Talk("[DeleteGroup(Tools)]\t21\n")},
      // Names go as they are, commas and all; a variable gives its value.
      {"ADDGROUP \"A,B\"\n", 0, 0, Talk("[CreateGroup(A,B)][ShowGroup(A,B,1)]\t37\n")},
      {"DEFINE \"[G]\", S\nSTRCOPY [G], \"Var\"\nDeleteGroup [G]\n", 0, 0, Talk("[DeleteGroup(Var)]\t19\n")},
      // An empty name: not even a connection. ADDITEM checks nothing.
      {"ADDGROUP NULL\n", 0, 0, ""},
      {"DeleteGroup \"\"\n", 0, 0, ""},
      {"DeleteItem NULL\n", 0, 0, ""},
      {"ADDITEM NULL, NULL, NULL\n", 0, 0, Talk("[CreateGroup()][ShowGroup(,1)]\t31\n[AddItem(,,,0,-1,-1,)]\t23\n")},
      // The longest names that fit their buffers, and one more: nothing at all is sent.
      {"DeleteGroup " + Quoted(n112) + "\n", 0, 0, Talk("[DeleteGroup(" + n112 + ")]\t128\n")},
      {"DeleteGroup " + Quoted(n113) + "\n", 0, 0, ""},
      {"DeleteItem " + Quoted(n113) + "\n", 0, 0, Talk("[DeleteItem(" + n113 + ")]\t128\n")},
      {"DeleteItem " + Quoted(n114) + "\n", 0, 0, ""},
      {"ADDGROUP " + Quoted(n240) + "\n", 0, 0,
       Talk("[CreateGroup(" + n240 + ")][ShowGroup(" + n240 + ",1)]\t511\n")},
      {"ADDGROUP " + Quoted(n241) + "\n", 0, 0, ""},
      {"ADDITEMPATH \"G\", " + Quoted(item) + ", " + Quoted(command) + ", " + Quoted(dir245) + "\n", 0, 0,
       Talk("[CreateGroup(G)][ShowGroup(G,1)]\t33\n" + longItem + "\t1024\n")},
      // One more: not even the group is made.
      {"ADDITEMPATH \"G\", " + Quoted(item) + ", " + Quoted(command) + ", " + Quoted(dir245 + "w") + "\n", 0, 0, ""},
      // Parameter errors end the script before any conversation.
      {"ADDGROUP\n", -1, 207, ""},
      {"ADDITEM \"G\", \"I\"\n", -1, 207, ""},
      {"ADDITEMPATH \"G\", \"I\", \"C\"\n", -1, 207, ""},
      {"DeleteItem [NOSUCH]\n", -1, 208, ""},
  };
  OnDesktopWithoutProgman([&](const char* desktop) {
    ScriptRun run;
    Recorder recorder(desktop, run.dir.File("progman.log"));
    ASSERT_TRUE(recorder.Started());
    for (const CommandCase& c : cases) {
      recorder.Clear();
      // [RETVAL] is set first, so that the function is seen to clear it.
      EXPECT_EQ(run.RunText("ASSIGN [RETVAL], 5\n" + c.script), c.result) << c.script;
      EXPECT_EQ(run.Retval(), c.retval) << c.script;
      // Commands arrive while the function waits; only the hang-up may come later.
      WaitFor([&] { return recorder.Events() == c.log; }, 3000);
      EXPECT_EQ(recorder.Events(), c.log) << c.script;
    }
  });
}

TEST(ProgmanFunctions, WineShellMakesFoldersAndLinks) {
  char programs[MAX_PATH];
  ASSERT_EQ(SHGetFolderPathA(nullptr, CSIDL_PROGRAMS, nullptr, SHGFP_TYPE_CURRENT, programs), S_OK);
  const std::string group = std::string(programs) + "\\Plx Tools " + std::to_string(GetCurrentProcessId());
  const std::string name = group.substr(strlen(programs) + 1);
  char notepad[MAX_PATH];
  GetWindowsDirectoryA(notepad, sizeof notepad);
  const std::string target = std::string(notepad) + "\\notepad.exe";
  struct Step {
    std::string script;
    bool folder, editor, viewer;  // the group's folder, Editor.lnk and Viewer.lnk afterwards
  };
  const Step steps[] = {
      {"ADDGROUP " + Quoted(name), true, false, false},
      {"ADDITEM " + Quoted(name) + ", \"Editor\", " + Quoted(target), true, true, false},
      {"ADDITEMPATH " + Quoted(name) + ", \"Viewer\", " + Quoted(target) + ", \"C:\\\"", true, true, true},
      {"DeleteItem \"Editor\"", true, false, true},
      {"DeleteGroup " + Quoted(name), false, false, false},
  };
  ScriptRun run;
  for (const Step& s : steps) {
    EXPECT_EQ(run.RunText("ASSIGN [RETVAL], 5\n" + s.script + "\n"), 0) << s.script;
    EXPECT_EQ(run.Retval(), 0) << s.script;
    // The shell may finish after the item's short wait has given up.
    auto matches = [&] {
      return Exists(group) == s.folder && Exists(group + "\\Editor.lnk") == s.editor &&
             Exists(group + "\\Viewer.lnk") == s.viewer;
    };
    EXPECT_TRUE(WaitFor(matches, 5000)) << s.script;
    // The link leads to the command line given.
    if (s.viewer) {
      EXPECT_NE(ReadWholeFile(group + "\\Viewer.lnk").find("notepad.exe"), std::string::npos);
    }
  }
}

// About 30 seconds: six connection attempts 5 seconds apart, while the window is kept alive.
TEST(ProgmanNoServer, ScriptGoesOnWhileTheWindowRepaints) {
  OnDesktopWithoutProgman([](const char*) {
    ScriptRun run;
    InstallStatusWindow();  // the agent's own pump, over the test's dialog
    HWND dialog = gContext.hMainDlg;
    ShowWindow(dialog, SW_SHOWNOACTIVATE);
    UpdateWindow(dialog);
    std::atomic<bool> scriptDone{false}, watcherDone{false};
    int rounds = 0, answered = 0, repainted = 0;
    std::thread watcher([&] {
      while (!scriptDone) {
        InvalidateRect(dialog, nullptr, TRUE);
        DWORD_PTR ignored;
        bool answer = SendMessageTimeoutA(dialog, WM_NULL, 0, 0, SMTO_NORMAL, 2000, &ignored) != 0;
        bool painted = WaitFor([&] { return !GetUpdateRect(dialog, nullptr, FALSE); }, 2000);
        if (scriptDone) break;  // the round ended with the script: it proves nothing
        ++rounds;
        answered += answer;
        repainted += painted;
        Sleep(500);
      }
      watcherDone = true;
    });
    const DWORD start = GetTickCount();
    int result = run.RunText("DEFINE \"[R]\", S\nASSIGN [RETVAL], 5\nADDGROUP \"Nobody\"\nNUMTOSTR [R], [RETVAL]\n");
    const DWORD took = GetTickCount() - start;
    scriptDone = true;
    // Keep answering until the watcher has seen the flag.
    while (!watcherDone) {
      MSG msg;
      while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
      Sleep(10);
    }
    watcher.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(ScriptRun::String("[R]"), "0");
    EXPECT_GE(took, 29000u);
    EXPECT_LT(took, 40000u);
    EXPECT_GE(rounds, 10);
    EXPECT_EQ(answered, rounds);
    EXPECT_EQ(repainted, rounds);
  });
}
