// The rows a connection already holds from the last reply to a read on one table: the read's
// own row and the rows that follow it in that index (read-ahead). A get-next from one of
// them, or a re-read by id (key 0) of one of them, is answered from here without a frame.
//
// They live for one walk: the next read that goes to the service replaces them, any write
// drops them, and they count only on the TCP connection that brought them.
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

#include "plx/proto.h"
#include "plx/records.h"

namespace requester {

struct HeldRows {
  uint64_t linkSerial = 0;  // the TCP connection they came over
  uint32_t keyNo = 0;       // the index they follow each other in
  bool indexEnds = false;   // nothing follows the last of them
  uint32_t asked = 0;       // rows asked for beyond the first in the frame that brought them
  std::vector<plx::proto::BatchRow> rows;
};

enum class Held { kMiss, kRow, kEnd };

// The row after (key, rowId) in index k, when the rows show it: kRow with `out` set, kEnd
// when the index is known to end there, kMiss when only the service can tell.
Held NextHeld(const HeldRows& h, const plx::KeyDef& k, const std::string& key, uint32_t rowId,
              const plx::proto::BatchRow*& out);

// The held row whose id (key 0, unique) is `key`, or null.
const plx::proto::BatchRow* HeldById(const HeldRows& h, const plx::KeyDef& key0, const std::string& key);

// Whether (key, rowId) is the last held row of index k: a get-next from there continues the
// walk past what is held.
bool AtLastHeld(const HeldRows& h, const plx::KeyDef& k, const std::string& key, uint32_t rowId);

}  // namespace requester
