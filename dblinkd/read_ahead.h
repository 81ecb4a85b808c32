// Read-ahead: a read answered together with the rows that follow it in the same index, so
// that a requester walking an index sends one frame for many get-nexts.
#pragma once
#include "plx/proto.h"
#include "requests.h"
#include "store.h"

namespace dblink {

// Answers a kCallReadAhead frame: the read itself as HandleRequest answers it, and, when it
// found a row, up to the number of following rows the frame asks for (bounded by the batch
// capacity of the table) as a batch.
void HandleReadAhead(Store& store, ConnectionState& conn, const plx::proto::Request& req, ReplyDone done);

}  // namespace dblink
