// The rows of packages a connection holds from the reply to a read by a key that starts
// with (ServerId, PackageId): every row of that package in the table, and of the packages
// after it that fitted, and the row after them in each such key. Those packages' other
// reads by those keys, and re-reads by id (key 0) of a row held, are answered from here
// without a frame, in the order the service keeps: numbers unsigned, names ignoring ASCII
// case, equal keys by row id.
//
// Like the rows a read-ahead brought, they live for one walk: a read of a package they do
// not cover replaces them, any write drops them, and they count only on the TCP connection
// that brought them.
#pragma once
#include <stdint.h>

#include <string>

#include "held_rows.h"
#include "plx/proto.h"
#include "plx/records.h"

namespace requester {

struct HeldPackage {
  uint64_t linkSerial = 0;
  plx::proto::PackageRows rows;
};

// The package a read by key k names: true when k starts with (ServerId, PackageId) and the
// key bytes cover both.
bool PackageOfKey(const plx::TableDef& t, const plx::KeyDef& k, const std::string& key, uint32_t& serverId,
                  uint32_t& packageId);

// The answer to a read of op by key k from the held rows of complete packages: kRow with
// `out` set, kEnd when the service would answer 10612, kMiss when only the service can
// tell. For get-next, key and posRowId are the position's.
Held FromPackage(const HeldPackage& h, const plx::TableDef& t, const plx::KeyDef& k, uint32_t op,
                 const std::string& key, uint32_t posRowId, const plx::proto::BatchRow*& out);

// The held row with this row id (the reply to the read that brought them names its own).
const plx::proto::BatchRow* PackageRowById(const plx::proto::PackageRows& p, uint32_t rowId);

}  // namespace requester
