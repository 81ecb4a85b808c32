// winprobe: starts the agent and reads its status window the way another program on the
// desktop would, with Win32 calls only. Prints one JSON object on stdout.
//
//   winprobe [--timeout S] [--second] [--close] [--hold S] [--cwd DIR] -- EXE [ARGS...]
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
  if (pid == f->pid && strcmp(cls, "#32770") == 0 && GetDlgItem(hwnd, 101)) {
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
  bool second = false, close = false;
  const char* cwd = nullptr;
  int i = 1;
  for (; i < argc; ++i) {
    if (!strcmp(argv[i], "--timeout") && i + 1 < argc) timeout = atof(argv[++i]);
    else if (!strcmp(argv[i], "--second")) second = true;
    else if (!strcmp(argv[i], "--close")) close = true;
    else if (!strcmp(argv[i], "--hold") && i + 1 < argc) hold = atof(argv[++i]);
    else if (!strcmp(argv[i], "--cwd") && i + 1 < argc) cwd = argv[++i];
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
  while (GetTickCount() - t0 < limit) {
    if (WaitForSingleObject(pi.hProcess, 50) == WAIT_OBJECT_0) { exited = true; break; }
    if (!wnd) wnd = WindowOf(pi.dwProcessId);
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
  DWORD code = 259;
  GetExitCodeProcess(pi.hProcess, &code);
  out += ", \"exited\": " + std::string(exited ? "true" : "false");
  out += ", \"exit_code\": " + std::to_string(exited ? long(code) : -1L);
  out += ", \"second\": " + secondReport;
  out += ", \"millis\": " + std::to_string(GetTickCount() - t0);
  out += "}\n";
  fputs(out.c_str(), stdout);
  if (!exited) TerminateProcess(pi.hProcess, 1);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  return 0;
}
