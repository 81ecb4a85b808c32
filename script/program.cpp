#include "program.h"

#include <direct.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "bounded_text.h"
#include "messages.h"
#include "status_window.h"
#include "win_handle.h"

namespace {

constexpr DWORD kWaitSlice = 500;
constexpr int kProgressStep = 5;
constexpr size_t kCommandLineSize = 512;
constexpr int kInvalidPath = 217;  // "Invalid path specified in function: %s."

// Drive and directory of a program path, without a trailing backslash ("C:" for a root, empty
// for a bare name). False when it does not fit: the program would run somewhere else.
bool ProgramDirectory(const char* program, char* dir, size_t size) {
  const char* end = nullptr;
  for (const char* p = program; *p; ++p)
    if (*p == '\\' || *p == '/') end = p;
  if (!end && program[0] && program[1] == ':') end = program + 2;
  size_t n = end ? size_t(end - program) : 0;
  if (n >= size) return false;
  memcpy(dir, program, n);
  dir[n] = '\0';
  return true;
}

// The waiting bar runs up and down while a program works.
struct Sweep {
  int position = 0;
  int step = kProgressStep;
  void Advance() {
    position += step;
    if (position >= 100) { position = 100; step = -kProgressStep; }
    if (position <= 0) { position = 0; step = kProgressStep; }
  }
};

int ControlNtService(const char* name, bool start) {
  plxwin::ServiceHandle scm(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!scm) return int(GetLastError());
  plxwin::ServiceHandle svc(OpenServiceA(scm.Get(), name, SERVICE_ALL_ACCESS));
  if (!svc) return int(GetLastError());
  SERVICE_STATUS status;
  BOOL ok = start ? StartServiceA(svc.Get(), 0, nullptr) : ControlService(svc.Get(), SERVICE_CONTROL_STOP, &status);
  return ok ? 0 : int(GetLastError());
}

}  // namespace

int RunProcess(int wait, const char* program, const char* arguments) {
  char commandLine[kCommandLineSize];
  bool whole = (arguments && *arguments) ? FormatText(commandLine, "%s %s", program, arguments)
                                         : CopyText(commandLine, program);
  // A cut command line would run the program with other arguments: it is not started.
  if (!whole) {
    Trace("RunProcess: command line of %s is longer than %d characters\n", program, int(kCommandLineSize - 1));
    return ERROR_FILENAME_EXCED_RANGE;
  }
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessA(program, commandLine, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi))
    return int(GetLastError());
  // Both handles are owned here and closed on return, also for a program not waited for:
  // the agent never needs them again, and the program runs on without them.
  plxwin::Handle process(pi.hProcess), thread(pi.hThread);
  Trace("created process for '%s' (PID = %08X, handle = %d)\n", program, unsigned(pi.dwProcessId),
        int(reinterpret_cast<intptr_t>(pi.hProcess)));
  if (!wait) return 0;
  PrintResults("waiting for termination of %s\n", program);
  ShowFileStatus("waiting", program, nullptr);
  Sweep sweep;
  DWORD waited;
  do {
    ProgressSet(sweep.position);
    sweep.Advance();
    PumpMessages();
    waited = WaitForSingleObject(pi.hProcess, kWaitSlice);
    // A failed wait ends the loop too: waiting again could never succeed, and the agent
    // would hang with its window busy.
  } while (waited == WAIT_TIMEOUT);
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  ProgressSet(0);
  ShowFileStatus(nullptr, nullptr, nullptr);
  Trace("finished waiting (%ld) for process (process exit code: %d)\n", long(waited), int(code));
  return int(code);
}

int RunProgram(int wait, const char* program, const char* arguments, int changeDirectory) {
  char dir[MAX_PATH];
  if (!ProgramDirectory(program, dir, sizeof dir)) {
    Trace("RunProgram: unable to chdir to %s\n", program);
    return kInvalidPath;
  }
  char previous[MAX_PATH] = {};
  bool remembered = false;
  if (changeDirectory && dir[0]) {
    // A current directory too long to remember could not be restored.
    if (!_getcwd(previous, sizeof previous)) {
      Trace("RunProgram: unable to chdir to %s\n", dir);
      return kInvalidPath;
    }
    remembered = true;
    Trace("RunProgram: current dir is %s\n", previous);
    Trace("RunProgram: changing to dir %s\n", dir);
    if (_chdir(dir) != 0) {
      Trace("RunProgram: unable to chdir to %s\n", dir);
      return kInvalidPath;
    }
  }
  int result = RunProcess(wait, program, arguments);
  PumpMessages();
  if (remembered) {
    Trace("restoring current dir to %s\n", previous);
    if (_chdir(previous) != 0) {
      Trace("RunProgram: unable to chdir to %s\n", previous);
      return kInvalidPath;
    }
  }
  return result;
}

void RebootWorkstation() {
  OSVERSIONINFOA vi{};
  vi.dwOSVersionInfoSize = sizeof vi;
  GetVersionExA(&vi);
  if (vi.dwPlatformId == VER_PLATFORM_WIN32_NT) {
    plxwin::Handle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.Receive())) return;
    TOKEN_PRIVILEGES tp{};
    LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &tp.Privileges[0].Luid);
    tp.PrivilegeCount = 1;
    tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    AdjustTokenPrivileges(token.Get(), FALSE, &tp, 0, nullptr, nullptr);
  }
  if (ExitWindowsEx(EWX_REBOOT, 0)) return;
  DWORD error = GetLastError();
  if (!error) return;
  char* text = nullptr;
  FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, error,
                 MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&text), 0, nullptr);
  // Shown even under /SILENT: a reboot that did not happen must not go unnoticed.
  MessageBoxA(nullptr, text ? text : "", "Unable to Reboot", MB_OK);
  LocalFree(text);
}

int StartNtService(const char* name) { return ControlNtService(name, true); }
int StopNtService(const char* name) { return ControlNtService(name, false); }
