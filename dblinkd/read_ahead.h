// Read-ahead: a read answered together with the rows that follow it in the same index, so
// that a requester walking an index sends one frame for many get-nexts; and package rows, a
// read answered with all the rows of its package, which the requester answers the package's
// next reads from.
#pragma once
#include "plx/proto.h"
#include "requests.h"
#include "store.h"

namespace dblink {

// Answers a kCallReadAhead frame: the read itself as HandleRequest answers it, and, when it
// found a row, up to the number of following rows the frame asks for (bounded by the batch
// capacity of the table) as a batch.
void HandleReadAhead(Store& store, ConnectionState& conn, const plx::proto::Request& req, ReplyDone done);

// Answers a kCallPackageRows frame: the read itself as HandleRequest answers it, with every
// row of the package its key names and the rows after that package in each package key.
void HandlePackageRows(Store& store, ConnectionState& conn, const plx::proto::Request& req, ReplyDone done);

}  // namespace dblink
