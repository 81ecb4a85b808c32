// Answers one requester frame. Everything about a request is checked before the database
// is touched; workstations may read every table and write only their own status and
// history rows.
#pragma once
#include <string>
#include <vector>

#include "plx/proto.h"
#include "store.h"

namespace dblink {

plx::proto::Reply HandleRequest(Store& store, const plx::proto::Request& req);

// Splits key bytes into the values of the key fields they cover completely; a text field
// ends at its first zero byte. A partial (207) key that covers no whole field compares
// with nothing and so finds the first row in key order.
std::vector<KeyPart> DecodeKey(const plx::KeyDef& k, const std::string& bytes);

// A text argument of Connect and GetPath: the bytes up to the first zero byte.
std::string ArgText(const std::string& bytes);

}  // namespace dblink
