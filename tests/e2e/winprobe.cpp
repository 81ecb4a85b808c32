// winprobe: starts the agent and reads its status window the way another program on the
// desktop would, with Win32 calls only. Prints one JSON object on stdout.
//
//   winprobe [--timeout S] [--second] [--close] [--hold S] [--cwd DIR]
//            [--answer CAPTION=yes|no|ok] [--prompt CAPTION=TEXT|cancel] [--await-exit]
//            -- EXE [ARGS...]
//
// --answer presses a button of a message box with that caption each time one appears;
// --prompt fills the text prompt with that caption and presses OK (or Cancel). Every answer
// given is listed in the report. --await-exit waits, within the time-out, for the agent to
// end by itself after its run.
//
// It waits until the run is over (the Close button is enabled again, or the process has
// ended), reads every control, prints them, waits --hold seconds (time for a screenshot),
// then with --close presses Close and waits for the exit.
// --second starts a second agent while the first one's window is up and reports how it ended.
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

struct Found {
  DWORD pid;
  HWND hwnd;
};

BOOL CALLBACK FindTopWindow(HWND hwnd, LPARAM lp) {
  auto* f = reinterpret_cast<Found*>(lp);
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  char cls[64] = {};
  GetClassNameA(hwnd, cls, sizeof cls);
  if (pid == f->pid && strcmp(cls, "#32770") == 0 && GetDlgItem(hwnd, 101) && GetDlgItem(hwnd, 200)) {
    f->hwnd = hwnd;
    return FALSE;
  }
  return TRUE;
}

HWND WindowOf(DWORD pid) {
  Found f{pid, nullptr};
  EnumWindows(FindTopWindow, LPARAM(&f));
  return f.hwnd;
}

std::string TextOf(HWND control) {
  if (!control) return "";
  DWORD_PTR len = 0;
  SendMessageTimeoutA(control, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &len);
  std::vector<char> buf(len + 1);
  DWORD_PTR got = 0;
  SendMessageTimeoutA(control, WM_GETTEXT, WPARAM(len + 1), LPARAM(buf.data()), SMTO_ABORTIFHUNG, 5000, &got);
  return std::string(buf.data(), got);
}

std::string Json(const std::string& s) {
  std::string o = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') { o += '\\'; o += char(c); }
    else if (c == '\n') o += "\\n";
    else if (c == '\r') o += "\\r";
    else if (c == '\t') o += "\\t";
    else if (c < 0x20 || c >= 0x80) { char u[8]; snprintf(u, sizeof u, "\\u%04x", c); o += u; }
    else o += char(c);
  }
  return o + "\"";
}

struct Answer {
  std::string caption;
  std::string reply;
  bool prompt;
};

struct Popup {
  DWORD pid;
  HWND main;
  HWND found;
};

BOOL CALLBACK FindPopup(HWND hwnd, LPARAM lp) {
  auto* p = reinterpret_cast<Popup*>(lp);
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  char cls[64] = {};
  GetClassNameA(hwnd, cls, sizeof cls);
  if (pid == p->pid && hwnd != p->main && strcmp(cls, "#32770") == 0 && IsWindowVisible(hwnd)) {
    p->found = hwnd;
    return FALSE;
  }
  return TRUE;
}

// Answers one open message box or prompt of the agent; the text of what was answered, or "".
std::string AnswerPopup(DWORD pid, HWND main, const std::vector<Answer>& answers) {
  Popup p{pid, main, nullptr};
  EnumWindows(FindPopup, LPARAM(&p));
  if (!p.found) return "";
  std::string caption = TextOf(p.found);
  for (const Answer& a : answers) {
    if (a.caption != caption) continue;
    std::string shown = a.prompt ? TextOf(GetDlgItem(p.found, 102)) : "";
    if (!a.prompt) {
      // The message text is the box's static control; read it before it goes away.
      HWND child = nullptr;
      while ((child = FindWindowExA(p.found, child, "Static", nullptr)))
        if (!TextOf(child).empty()) shown = TextOf(child);
    }
    int id = a.reply == "yes" ? IDYES : a.reply == "no" ? IDNO : a.reply == "cancel" ? IDCANCEL : IDOK;
    if (a.prompt && a.reply != "cancel") SendMessageA(GetDlgItem(p.found, 101), WM_SETTEXT, 0, LPARAM(a.reply.c_str()));
    PostMessageA(p.found, WM_COMMAND, WPARAM(id), 0);
    Sleep(100);
    return caption + ": " + shown + " -> " + a.reply;
  }
  return "";
}

std::string Quote(const char* arg) {
  std::string s = "\"";
  for (const char* p = arg; *p; ++p) {
    if (*p == '"') s += '\\';
    s += *p;
  }
  return s + "\"";
}

bool Start(const std::string& cmd, const char* cwd, PROCESS_INFORMATION& pi) {
  STARTUPINFOA si{};
  si.cb = sizeof si;
  std::vector<char> line(cmd.begin(), cmd.end());
  line.push_back('\0');
  return CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, cwd, &si, &pi);
}

}  // namespace

int main(int argc, char** argv) {
  double timeout = 60, hold = 0;
  bool second = false, close = false, awaitExit = false;
  const char* cwd = nullptr;
  std::vector<Answer> answers;
  int i = 1;
  for (; i < argc; ++i) {
    if (!strcmp(argv[i], "--timeout") && i + 1 < argc) timeout = atof(argv[++i]);
    else if (!strcmp(argv[i], "--second")) second = true;
    else if (!strcmp(argv[i], "--close")) close = true;
    else if (!strcmp(argv[i], "--await-exit")) awaitExit = true;
    else if (!strcmp(argv[i], "--hold") && i + 1 < argc) hold = atof(argv[++i]);
    else if (!strcmp(argv[i], "--cwd") && i + 1 < argc) cwd = argv[++i];
    else if ((!strcmp(argv[i], "--answer") || !strcmp(argv[i], "--prompt")) && i + 1 < argc) {
      bool prompt = !strcmp(argv[i], "--prompt");
      std::string arg = argv[++i];
      size_t eq = arg.rfind('=');
      if (eq == std::string::npos) { fprintf(stderr, "winprobe: %s needs CAPTION=REPLY\n", argv[i]); return 2; }
      answers.push_back(Answer{arg.substr(0, eq), arg.substr(eq + 1), prompt});
    }
    else if (!strcmp(argv[i], "--")) { ++i; break; }
    else { fprintf(stderr, "winprobe: unknown option %s\n", argv[i]); return 2; }
  }
  if (i >= argc) { fprintf(stderr, "winprobe: no program\n"); return 2; }
  std::string cmd = Quote(argv[i]);
  for (int k = i + 1; k < argc; ++k) cmd += " " + std::string(argv[k]);

  PROCESS_INFORMATION pi{};
  if (!Start(cmd, cwd, pi)) {
    printf("{\"started\": false, \"error\": %lu}\n", GetLastError());
    return 1;
  }
  const DWORD t0 = GetTickCount();
  const DWORD limit = DWORD(timeout * 1000);
  HWND wnd = nullptr;
  bool everVisible = false, finished = false, exited = false;
  std::string secondReport = "null";
  std::vector<std::string> answered;
  while (GetTickCount() - t0 < limit) {
    if (WaitForSingleObject(pi.hProcess, 50) == WAIT_OBJECT_0) { exited = true; break; }
    if (!wnd) wnd = WindowOf(pi.dwProcessId);
    if (!answers.empty()) {
      std::string a = AnswerPopup(pi.dwProcessId, wnd, answers);
      if (!a.empty()) answered.push_back(a);
    }
    if (!wnd) continue;
    if (IsWindowVisible(wnd)) everVisible = true;
    if (second && secondReport == "null") {
      PROCESS_INFORMATION p2{};
      DWORD s0 = GetTickCount();
      if (Start(cmd, cwd, p2)) {
        DWORD w = WaitForSingleObject(p2.hProcess, 10000);
        DWORD code = 259;
        GetExitCodeProcess(p2.hProcess, &code);
        bool hadWindow = WindowOf(p2.dwProcessId) != nullptr;
        char buf[160];
        snprintf(buf, sizeof buf, "{\"exited\": %s, \"exit_code\": %lu, \"millis\": %lu, \"window\": %s}",
                 w == WAIT_OBJECT_0 ? "true" : "false", code, GetTickCount() - s0, hadWindow ? "true" : "false");
        secondReport = buf;
        CloseHandle(p2.hProcess);
        CloseHandle(p2.hThread);
      }
    }
    if (IsWindowEnabled(GetDlgItem(wnd, 6))) { finished = true; break; }
  }

  std::string out = "{\"started\": true";
  out += ", \"window\": " + std::string(wnd ? "true" : "false");
  out += ", \"visible\": " + std::string(everVisible ? "true" : "false");
  out += ", \"finished\": " + std::string(finished ? "true" : "false");
  if (wnd && IsWindow(wnd)) {
    out += ", \"caption\": " + Json(TextOf(wnd));
    const int ids[] = {200, 201, 202, 203, 204, 101, 206, 207, 208};
    out += ", \"controls\": {";
    for (int id : ids) {
      if (id != 200) out += ", ";
      out += "\"" + std::to_string(id) + "\": " + Json(TextOf(GetDlgItem(wnd, id)));
    }
    out += "}";
    out += ", \"close_enabled\": " + std::string(IsWindowEnabled(GetDlgItem(wnd, 6)) ? "true" : "false");
    if (hold > 0) {
      printf("%s, \"holding\": true}\n", out.c_str());
      fflush(stdout);
      Sleep(DWORD(hold * 1000));
    }
    if (close) PostMessageA(wnd, WM_COMMAND, 6, LPARAM(GetDlgItem(wnd, 6)));
  }
  if (!exited && (close || !wnd)) exited = WaitForSingleObject(pi.hProcess, 15000) == WAIT_OBJECT_0;
  if (!exited && awaitExit) {
    DWORD spent = GetTickCount() - t0;
    exited = WaitForSingleObject(pi.hProcess, spent < limit ? limit - spent : 0) == WAIT_OBJECT_0;
  }
  DWORD code = 259;
  GetExitCodeProcess(pi.hProcess, &code);
  out += ", \"exited\": " + std::string(exited ? "true" : "false");
  out += ", \"exit_code\": " + std::to_string(exited ? long(code) : -1L);
  out += ", \"second\": " + secondReport;
  out += ", \"answered\": [";
  for (size_t k = 0; k < answered.size(); ++k) out += (k ? ", " : "") + Json(answered[k]);
  out += "]";
  out += ", \"millis\": " + std::to_string(GetTickCount() - t0);
  out += "}\n";
  fputs(out.c_str(), stdout);
  if (!exited) TerminateProcess(pi.hProcess, 1);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  return 0;
}
