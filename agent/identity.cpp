#include "identity.h"

#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "agent.h"
#include "bounded_text.h"
#include "corvnet.h"
#include "dblinkr32.h"
#include "messages.h"
#include "system_vars.h"
#include "window.h"

namespace {

constexpr char kSiteItem[] = "SISITE";

// The site is the second text of the installed-path answer for the pseudo-product; a
// server that has none leaves it empty, which is no error.
// A site name longer than its field is cut: it is a label, not a path.
void GetSiteName(char* siteName, size_t size) {
  char path[256] = {}, second[256] = {};
  int32_t rc = DBGetPathAppInstalledEx(gContext.szServerName, kSiteItem, path, second);
  if (rc == 0) {
    CopyText(siteName, size, second);
    Trace("Found site_name = '%s'\n", siteName);
  } else {
    Trace("unable to get SISITE: db error %ld\n", long(rc));
  }
}

}  // namespace

bool GetWorkstationId(char* siteName, size_t siteSize, char* machineId, size_t idSize) {
  if (siteSize == 0 || idSize <= size_t(kIdLength)) return false;
  int drive = BootDriveNumber();
  if (drive < 3 && GetDriveTypeA("C:\\") == DRIVE_FIXED) drive = 3;
  if (drive == -1) {
    ReportMessage(0, 101);
    return false;
  }

  siteName[0] = '\0';
  machineId[0] = '\0';
  GetSiteName(siteName, siteSize);

  char path[16];
  FormatText(path, "%c:\\equip.id", char('A' + drive - 1));

  // Reading needs no attribute change: a read-only, hidden, system file opens as it is.
  bool read = false;
  FILE* f = fopen(path, "rb");
  if (f) {
    if (fread(machineId, kIdLength, 1, f) == 1) {
      machineId[kIdLength] = '\0';
      read = true;
    } else {
      Trace("error reading equip.id file\n");
    }
    fclose(f);
    // Whatever its characters, twelve of them are the id.
    if (read && strlen(machineId) == size_t(kIdLength)) return true;
  } else {
    Trace("unable to open file '%s', generating new file\n", path);
  }
  return GenerateWorkstationId(path, machineId, idSize);
}

bool GenerateWorkstationId(const char* path, char* machineId, size_t idSize) {
  if (idSize <= size_t(kIdLength)) return false;
  srand(unsigned(time(nullptr)));
  char buffer[kIdFileSize] = {};
  char digits[kIdLength + 1];
  int first = rand(), second = rand(), third = rand();
  FormatText(digits, "%04X%04X%04X", first, second, third);
  memcpy(buffer, digits, kIdLength);
  memcpy(machineId, digits, kIdLength);
  machineId[kIdLength] = '\0';

  bool deleted = false;
  if (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES) {
    // A read-only file cannot be deleted; ours always is.
    SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
    deleted = DeleteFileA(path) != FALSE;
    if (!deleted) return false;
  }

  FILE* f = fopen(path, "ab");
  if (!f) return false;
  bool written = fwrite(buffer, sizeof buffer, 1, f) == 1;
  fclose(f);

  if (SetFileAttributesA(path, kIdFileAttributes)) return true;
  return deleted || written;
}

void ShowUserInformation(const char* machineId, const char* siteName, const char* serverName,
                         const char* loginName) {
  char address[kNetAddrSize] = {};
  char node[32];
  if (getNetAddr(address) == 0)
    FormatText(node, "[%-.8s:%-.12s]", address, address + 9);
  else
    FormatText(node, "[%-.8s:%-.12s]", "00000000", machineId ? machineId : "");
  HWND dlg = gContext.hMainDlg;
  if (!dlg) return;
  SetDlgItemTextA(dlg, IDC_NODE, node);
  SetDlgItemTextA(dlg, IDC_SERVER, serverName ? serverName : "");
  SetDlgItemTextA(dlg, IDC_LOGIN, loginName ? loginName : "");
}
