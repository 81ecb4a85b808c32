// Reports, as one JSON object in a file, what the system variables and the workstation
// identity come to in a freshly started process: the Windows version a program sees is
// fixed when it starts, and drive types when the Wine server starts, so these cases need a
// process of their own (run_sysvars.py starts it).
//
//   sysvars_probe.exe OUTFILE [--server NAME] [--imp NAME] [--requester] [--identity]
//
// --requester opens the database requester for the server first (DBLINKR32.INI beside the
// DLL names its service), so that the site name can be asked for; --identity then runs
// GetWorkstationId and ShowUserInformation.
#include <windows.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "dblinkr32.h"
#include "identity.h"
#include "plx/bytes.h"
#include "run_state.h"
#include "system_vars.h"
#include "variable_store.h"
#include "window.h"

namespace {

std::string Json(const char* s) {
  std::string out = "\"";
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(s); *p; ++p) {
    if (*p == '"' || *p == '\\') {
      out += '\\';
      out += char(*p);
    } else if (*p < 0x20 || *p >= 0x7f) {
      char esc[8];
      snprintf(esc, sizeof esc, "\\u%04x", *p);
      out += esc;
    } else {
      out += char(*p);
    }
  }
  return out + "\"";
}

std::string Text(HWND parent, int id) {
  char text[1024] = {};
  SendMessageA(GetDlgItem(parent, id), WM_GETTEXT, sizeof text, LPARAM(text));
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: sysvars_probe OUTFILE [--server NAME] [--imp NAME] [--requester] [--identity]\n");
    return 2;
  }
  const char* server = "SRV";
  bool identity = false, requester = false;
  for (int i = 2; i < argc; ++i) {
    if (strcmp(argv[i], "--server") == 0 && i + 1 < argc)
      server = argv[++i];
    else if (strcmp(argv[i], "--imp") == 0 && i + 1 < argc)
      plx::CopyText(gOptions.szImpersonateUser, sizeof gOptions.szImpersonateUser, argv[++i]);
    else if (strcmp(argv[i], "--identity") == 0)
      identity = true;
    else if (strcmp(argv[i], "--requester") == 0)
      requester = true;
    else {
      fprintf(stderr, "sysvars_probe: unknown argument %s\n", argv[i]);
      return 2;
    }
  }
  plx::CopyText(gContext.szServerName, sizeof gContext.szServerName, server);

  // The parts of the status window that these operations write to.
  HWND parent = CreateWindowExA(0, "STATIC", "probe", WS_OVERLAPPEDWINDOW, 0, 0, 400, 300, nullptr, nullptr,
                                GetModuleHandleA(nullptr), nullptr);
  CreateWindowExA(0, "EDIT", "", WS_CHILD | ES_MULTILINE | ES_AUTOVSCROLL, 0, 0, 380, 200, parent,
                  HMENU(INT_PTR(IDC_RESULTS)), GetModuleHandleA(nullptr), nullptr);
  for (int id : {IDC_NODE, IDC_SERVER, IDC_LOGIN})
    CreateWindowExA(0, "STATIC", "", WS_CHILD, 0, 0, 300, 20, parent, HMENU(INT_PTR(id)), GetModuleHandleA(nullptr),
                    nullptr);
  gContext.hMainDlg = parent;
  InstallStatusWindow();

  std::string out = "{";
  int rc = InitSystemVariables(server);
  out += "\"rc\": " + std::to_string(rc);
  out += ", \"boot\": " + std::to_string(BootDriveNumber());
  out += ", \"nowindows\": " + std::string(gContext.bNoWindows ? "true" : "false");
  out += ", \"login\": " + Json(gContext.szLoginName);
  out += ", \"count\": " + std::to_string(gVariables.nCount);
  out += ", \"vars\": [";
  for (int i = 0; i < gVariables.nCount; ++i) {
    const VariableRecord& r = gVariables.pRecords[i];
    out += i ? ", [" : "[";
    out += Json(r.szName) + ", \"" + r.cType + "\", ";
    if (r.cType == 'I') {
      int32_t v = 0;
      memcpy(&v, r.value, sizeof v);
      out += std::to_string(v);
    } else {
      char value[kVarValueSize + 1] = {};
      memcpy(value, r.value, kVarValueSize);
      out += Json(value);
    }
    out += "]";
  }
  out += "]";
  // The drive layout this process sees, to tell a layout that did not take from a fault.
  out += ", \"drives\": {";
  bool first = true;
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    char root[4] = {letter, ':', '\\', 0};
    UINT type = GetDriveTypeA(root);
    if (type == DRIVE_NO_ROOT_DIR) continue;
    out += std::string(first ? "" : ", ") + "\"" + letter + "\": " + std::to_string(type);
    first = false;
  }
  out += "}";

  if (requester) {
    uint32_t params[3] = {12, 1, 5};
    out += ", \"requester\": " + std::to_string(DBInitRequesterEx(server, params));
  }
  if (identity) {
    char site[64] = {}, id[64] = {};
    bool ok = GetWorkstationId(site, id);
    out += ", \"identity\": " + std::string(ok ? "true" : "false");
    out += ", \"id\": " + Json(id);
    out += ", \"site\": " + Json(site);
    ShowUserInformation(id, site, server, gContext.szLoginName);
    out += ", \"node_field\": " + Json(Text(parent, IDC_NODE).c_str());
    out += ", \"server_field\": " + Json(Text(parent, IDC_SERVER).c_str());
    out += ", \"login_field\": " + Json(Text(parent, IDC_LOGIN).c_str());
  }
  if (requester) DBTerminateRequesterEx(server);
  out += ", \"results\": " + Json(Text(parent, IDC_RESULTS).c_str());
  out += "}\n";
  VariableStore::Free();
  DestroyWindow(parent);

  FILE* f = fopen(argv[1], "wb");
  if (!f) return 3;
  fputs(out.c_str(), f);
  fclose(f);
  return 0;
}
