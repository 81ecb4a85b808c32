// The agent's side of the package tables: reads, status rows, and the two decisions built
// on them (is this package meant for us; are its prerequisites done).
#pragma once
#include <stddef.h>
#include <stdint.h>

#include <initializer_list>
#include <vector>

#include "agent_codes.h"
#include "plx/records.h"

// One requester read into a buffer zeroed to the table's record length; the requester's status.
int32_t ReadRecord(uint32_t connection, uint32_t table, uint32_t op, uint32_t keyNo, std::vector<uint8_t>& key,
                   std::vector<uint8_t>& record);
// An insert (rowId 0) or a rewrite of the row with that RecordId, on the run's connection;
// the buffer gets the record as stored.
int32_t WriteRecord(uint32_t table, uint32_t cls, uint32_t op, uint32_t rowId, std::vector<uint8_t>& record);
// A key of 32-bit numbers, in order.
std::vector<uint8_t> NumberKey(std::initializer_list<uint32_t> values);

// Read wrappers: 1 when a record was read, 0 when nothing (more) matched, else the status.
int GetFirstPackage(uint32_t connection, plx::PackageRecord& rec);
int GetNextPackage(uint32_t connection, plx::PackageRecord& rec);
int GetPackageByKey(uint32_t connection, uint32_t serverId, uint32_t packageId, plx::PackageRecord& rec);
uint32_t FindServerId(uint32_t connection, const char* serverName);
// 1 found, 0 not found (or the read failed, reported), -1 the connection failed (reported).
int GetPackageName(uint32_t serverId, uint32_t packageId, char* nameOut, size_t size);
template <size_t N>
int GetPackageName(uint32_t serverId, uint32_t packageId, char (&nameOut)[N]) {
  return GetPackageName(serverId, packageId, nameOut, N);
}

// Targeting rows of one kind for a package. cursor starts at -1; 0 with the row in rec,
// -1 when there are no more, else the status of a read that failed (reported with the
// table's name).
int NextTargetRow(uint32_t kind, uint32_t packageId, uint32_t serverId, int32_t& cursor,
                  plx::UserPackageRecord& rec);

// Status rows. Insert returns the new RecordId, or -1 on failure; update says whether the
// row was rewritten. Both report a write that failed.
int32_t InsertStatusRow(uint32_t packageId, uint32_t kind, const char* machineId, const char* userName,
                        const char* counterpart, uint16_t status, uint32_t failures, uint32_t refusals);
bool UpdateStatusRow(int32_t rowId, uint32_t kind, const char* counterpart, uint16_t status,
                     uint32_t failures, uint32_t refusals);

// Both decisions are false when a row they needed could not be read (reported): a package
// is never taken on a decision that was not read.
bool IsPackageForUserOrMachine(uint32_t packageId, uint32_t serverId, const char* machineId,
                               const char* userName, const char* siteName);
bool CheckDependencies(uint32_t packageId, uint32_t serverId, const char* machineId, const char* userName);
// False when a row could not be stored (reported).
bool WritePackageStatus(const char* machineId, const char* userName, uint16_t status);

// Reads one 303 row by its RecordId into rec; the requester's status, not reported here.
int32_t ReadStatusRow(int32_t rowId, plx::UserPackageRecord& rec);
