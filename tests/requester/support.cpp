#include "support.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace rt {

std::string NumberKey(std::initializer_list<uint32_t> values, const char* text, size_t width) {
  std::string key(values.size() * 4, '\0');
  size_t at = 0;
  for (uint32_t v : values) plx::PutU32(reinterpret_cast<uint8_t*>(&key[(at += 4) - 4]), v);
  std::string field(width, '\0');
  memcpy(&field[0], text, strnlen(text, width));
  return key + field;
}

uint32_t Result::U32(const char* field, uint32_t table) const {
  const plx::FieldDef* f = plx::FindTable(table)->Field(field);
  if (status != 0 || !f || record.size() < f->offset + 4u) return 0;
  return plx::GetU32(reinterpret_cast<const uint8_t*>(record.data()) + f->offset);
}

Result Op(uint32_t connection, uint32_t table, uint32_t cls, uint32_t op, uint32_t keyNo, std::string key,
          const std::string* write) {
  Result r;
  r.record = write ? *write : std::string(plx::RecordLength(table), '\0');
  if (key.empty()) key.assign(1, '\0');  // never a null pointer: the call refuses those
  r.status = DBOperationEx(connection, table, cls, op, keyNo, uint32_t(key.size()), uint32_t(r.record.size()),
                           &key[0], &r.record[0]);
  return r;
}

int32_t ReadServer(uint32_t conn) {
  return Read(conn, plx::kTableServer, plx::kOpGetEqual, 3, NumberKey({}, "SRV", 48)).status;
}

Result InsertText(uint32_t conn, const std::string& text) {
  plx::HistoryTextRecord r;
  r.ServerId = 1;
  plx::CopyText(r.Text, sizeof r.Text, text.c_str());
  std::string bytes(plx::RecordLength(plx::kTableHistoryText), '\0');
  plx::Encode(r, reinterpret_cast<uint8_t*>(&bytes[0]));
  return Op(conn, plx::kTableHistoryText, plx::kClassInsert, plx::kOpInsert, 0, NumberKey({0}), &bytes);
}

int CountTexts(uint32_t conn, const std::string& text) {
  int n = 0;
  Result r = Read(conn, plx::kTableHistoryText, plx::kOpGetFirst, 0, NumberKey({0}));
  for (; r.status == 0; r = Read(conn, plx::kTableHistoryText, plx::kOpGetNext, 0, NumberKey({0}))) {
    plx::HistoryTextRecord t;
    plx::Decode(reinterpret_cast<const uint8_t*>(r.record.data()), t);
    n += text == t.Text;
  }
  return r.status == plx::kDbNotFound ? n : -1;
}

// Each request carries a number that its answer repeats, so that an answer left over from
// an earlier request is never taken for this one's.
std::string Control(const std::string& command) {
  static unsigned sequence = 0;
  std::string dir = Env("PLX_CONTROL");
  std::string tmp = dir + "\\request.tmp", request = dir + "\\request.txt", done = dir + "\\done.txt";
  std::string number = std::to_string(GetCurrentProcessId()) + "." + std::to_string(++sequence) + " ";
  FILE* f = dir.empty() ? nullptr : fopen(tmp.c_str(), "w");
  if (!f) {
    ADD_FAILURE() << "cannot write " << tmp;
    return "";
  }
  fputs((number + command).c_str(), f);
  fclose(f);
  if (!MoveFileExA(tmp.c_str(), request.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    ADD_FAILURE() << "cannot move " << tmp << ": error " << GetLastError();
    return "";
  }
  for (int i = 0; i < 600; ++i, Sleep(20)) {
    FILE* d = fopen(done.c_str(), "r");
    if (!d) continue;
    char line[64] = "";
    bool got = fgets(line, sizeof line, d) != nullptr;
    fclose(d);
    if (!got || strncmp(line, number.c_str(), number.size()) != 0) continue;
    DeleteFileA(done.c_str());
    return line + number.size();
  }
  ADD_FAILURE() << "no answer to \"" << command << "\"";
  return "";
}

long Count(const char* what, const char* service) {
  std::string answer = Control(std::string(what) + " " + service);
  char* end = nullptr;
  long n = strtol(answer.c_str(), &end, 10);
  if (end != answer.c_str()) return n;
  ADD_FAILURE() << what << " " << service << ": no count in the answer \"" << answer << "\"";
  return -1;
}

Connection::Connection(const char* name, uint32_t retries, uint32_t timeout) : server(name) {
  EXPECT_EQ(DBInitRequesterEx(server, Params(retries, timeout).get()), 0) << server;
  EXPECT_EQ(DBInitSessionEx(&session), 0);
  EXPECT_EQ(DBConnectEx(session, server, "", "", "KVR610", 0, &conn), 0) << server;
}

Connection::~Connection() {
  DBTerminateSessionEx(session);
  DBTerminateRequesterEx(server);
}

std::string Env(const char* name) {
  char buf[1024];
  DWORD n = GetEnvironmentVariableA(name, buf, sizeof buf);
  return n && n < sizeof buf ? std::string(buf) : std::string();
}

}  // namespace rt
