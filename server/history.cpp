#include "history.h"

#include <stdio.h>
#include <windows.h>

#include <vector>

#include "corvnet.h"
#include "messages.h"
#include "plx/bytes.h"
#include "run_state.h"
#include "tables.h"

namespace {

constexpr char kNoRow[] = "Unable to add an entry to the history log.\nUnable to determine package user ID.";

}  // namespace

int AddHistoryEntry(uint32_t packageId, const char* machineId, const char* text) {
  (void)machineId;  // every caller passes it; the entry hangs on the status row instead
  if (packageId == 0) {
    PrintResults("Unable to add an entry to the history log (no package ID).\n");
    return -1;
  }
  int32_t rowId = gContext.rows.MachineRowId != -1 ? gContext.rows.MachineRowId : gContext.rows.UserRowId;
  plx::UserPackageRecord statusRow;
  if (rowId == -1 || ReadStatusRow(rowId, statusRow) != 0) {
    PrintResults(kNoRow);
    return -1;
  }
  const uint32_t serverId = gContext.currentPackage.ServerId;

  // A text longer than the field is cut at 257 characters, keeping its beginning.
  plx::HistoryTextRecord textRow;
  textRow.ServerId = serverId;
  plx::CopyText(textRow.Text, sizeof textRow.Text, text);
  std::vector<uint8_t> buf(plx::RecordLength(plx::kTableHistoryText));
  plx::Encode(textRow, buf.data());
  if (WriteRecord(plx::kTableHistoryText, plx::kClassInsert, plx::kOpInsert, 0, buf) != 0) return -1;
  plx::Decode(buf.data(), textRow);

  SYSTEMTIME now;
  GetLocalTime(&now);
  plx::HistoryRecord entry;
  entry.ServerId = serverId;
  entry.TextId = textRow.TextId;
  entry.PackageId = packageId;
  entry.PackageUserId = statusRow.PackageUserId;
  snprintf(entry.Date, sizeof entry.Date, "%04d%02d%02d", now.wYear, now.wMonth, now.wDay);
  snprintf(entry.Time, sizeof entry.Time, "%02d%02d%02d", now.wHour, now.wMinute, now.wSecond);
  plx::CopyText(entry.UserName, sizeof entry.UserName, gContext.szLoginName);
  plx::CopyText(entry.ServerName, sizeof entry.ServerName, gContext.szServerName);
  char addr[kNetAddrSize] = {};
  if (getNetAddr(addr) == 0) {
    plx::CopyText(entry.NetNumber, sizeof entry.NetNumber, addr);
    plx::CopyText(entry.NodeAddress, sizeof entry.NodeAddress, addr + 9);
  }
  buf.assign(plx::RecordLength(plx::kTableHistory), 0);
  plx::Encode(entry, buf.data());
  return WriteRecord(plx::kTableHistory, plx::kClassInsert, plx::kOpInsert, 0, buf) == 0 ? 0 : -1;
}
