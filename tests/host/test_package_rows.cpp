// Package rows: a read answered with every row of its package. The requester answers the
// package's later reads from them itself (dll/dblinkr32/package_rows.cpp, built here too),
// so each of those answers is checked against the service's own answer to the same read.
#include <gtest/gtest.h>

#include "../../dll/dblinkr32/package_rows.h"
#include "test_dblinkd_harness.h"

using namespace harness;
using namespace plx;
namespace proto = plx::proto;

namespace {

constexpr uint32_t kUsers = kTableUserPackage;

class PackageRows : public SeededSuite {
 protected:

  proto::Reply Ask(uint32_t op, uint32_t keyNo, const std::string& key, const std::string& data = "") {
    proto::Request q;
    q.call = proto::kCallPackageRows;
    q.table = kUsers;
    q.cls = kClassRead;
    q.op = op;
    q.keyNo = keyNo;
    q.recordLength = RecordLength(kUsers);
    q.key = key;
    q.data = data;
    proto::Reply r;
    EXPECT_TRUE(c.Call(q, r));
    return r;
  }
};

std::vector<uint32_t> Ids(const std::vector<proto::BatchRow>& rows) {
  std::vector<uint32_t> ids;
  for (const proto::BatchRow& r : rows) ids.push_back(r.rowId);
  return ids;
}

// The seeded rows of package 10 in key 6 order: 8 5 (not scheduled), 3 (kind 5), 1 2 4
// (kind 6), 6 (kind 7); package 20 has row 7 only, and nothing follows it. Everything fits
// one reply, so a read of package 10 brings the table's rows from package 10 to the end.
TEST_F(PackageRows, AReadBringsItsPackageAndThoseAfterIt) {
  struct Case {
    uint32_t op, keyNo;
    std::string key;
    int32_t status;
    uint32_t rowId;
    bool complete;
    std::vector<uint32_t> rows;
  };
  const Case cases[] = {
      {kOpGetEqual, 6, Key({1, 10, 1, 6}), kDbOk, 1, true, {8, 5, 3, 1, 2, 4, 6, 7}},
      {kOpGetGreaterEq, 7, Name7(1, 10, 9, ""), kDbOk, 7, true, {8, 5, 3, 1, 2, 4, 6, 7}},
      {kOpGetEqual, 7, Name7(1, 20, 6, "dave"), kDbNotFound, 0, true, {7}},
      {kOpGetEqual, 6, Key({1, 15, 1, 6}), kDbNotFound, 0, true, {7}},
      {kOpGetEqual, 6, Key({1, 21, 1, 6}), kDbNotFound, 0, true, {}},
      {kOpGetFirst, 6, Key({1, 10, 1, 6}), kDbOk, 8, false, {8}},  // no package named
  };
  for (const Case& k : cases) {
    proto::Reply r = Ask(k.op, k.keyNo, k.key);
    EXPECT_EQ(r.status, k.status) << k.key.size();
    EXPECT_EQ(r.rowId, k.rowId);
    proto::PackageRows p;
    ASSERT_TRUE(proto::DecodePackageRows(r.data, RecordLength(kUsers), p));
    EXPECT_EQ(p.complete, k.complete);
    EXPECT_EQ(Ids(p.rows), k.rows);
    if (!k.complete) continue;
    EXPECT_TRUE(p.toTheEnd);
    ASSERT_EQ(p.after.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
      EXPECT_EQ(p.after[i].keyNo, i ? 7u : 6u);
      EXPECT_TRUE(p.after[i].indexEnds);
    }
  }
  // Only a read asks for them; a read carries no data.
  EXPECT_EQ(Ask(kOpGetEqual, 6, Key({1, 10, 1, 6}), "1234").status, kDbInvalidOperation);
  EXPECT_EQ(Ask(kOpGetEqual, 6, Key({1, 10})).status, kDbInvalidFieldLength);
}

// Every read the requester would answer itself from h about package pkg, against the
// service's answer to the same read; a package h does not cover must be left to the service.
void AnswersAreTheServices(Client& c, const requester::HeldPackage& h, uint32_t pkg, bool covered) {
  SCOPED_TRACE("package " + std::to_string(pkg));
  const TableDef& t = *FindTable(kUsers);
  const std::string names[] = {"", "a", "ALICE", "alice", "alice2", "ALICE3", "bob", "BOB", "b", "MACHINE00001",
                               "PLX_EVERYONE", "plx", "SITE-A", "site-b", "zzz"};
  struct Probe { uint32_t op, keyNo; std::string key; uint32_t pos; };
  std::vector<Probe> probes;
  for (uint32_t kind : {0u, 5u, 6u, 7u, 8u, 9u}) {
    for (uint32_t sched : {0u, 1u, 2u})
      for (uint32_t op : {kOpGetEqual, kOpGetGreaterEq}) probes.push_back({op, 6, Key({1, pkg, sched, kind}), 0});
    probes.push_back({kOpGetGreaterEq, 7, Key({1, pkg, kind}), 0});  // a partial key
    for (const std::string& n : names)
      for (uint32_t op : {kOpGetEqual, kOpGetGreaterEq}) probes.push_back({op, 7, Name7(1, pkg, kind, n.c_str()), 0});
  }
  probes.push_back({kOpGetGreaterEq, 6, Key({1, pkg}), 0});
  probes.push_back({kOpGetGreaterEq, 7, Key({1, pkg}), 0});
  // Get-next from every row of the package, in both keys, and from a row id just before it.
  for (const proto::BatchRow& row : h.rows.rows) {
    if (GetU32(reinterpret_cast<const uint8_t*>(row.record.data()) + t.Field("PackageId")->offset) != pkg) continue;
    for (uint32_t keyNo : {6u, 7u}) {
      std::string key = KeyOf(*t.Key(keyNo), reinterpret_cast<const uint8_t*>(row.record.data()));
      probes.push_back({kOpGetNext, keyNo, key, row.rowId});
      probes.push_back({kOpGetNext, keyNo, key, row.rowId - 1});
    }
  }
  for (const Probe& p : probes) {
    const proto::BatchRow* got = nullptr;
    requester::Held held = requester::FromPackage(h, t, *t.Key(p.keyNo), p.op, p.key, p.pos, got);
    std::string what = "op " + std::to_string(p.op) + " key " + std::to_string(p.keyNo) + " " +
                       std::string(p.key.c_str() + std::min<size_t>(p.key.size(), 12));
    if (!covered) {
      EXPECT_EQ(held, requester::Held::kMiss) << what;
      continue;
    }
    std::string rec;
    uint32_t rowId = 0;
    int32_t s = c.Op(kUsers, kClassRead, p.op, p.keyNo, p.key, "", &rec, &rowId, p.pos);
    ASSERT_NE(held, requester::Held::kMiss) << what;
    EXPECT_EQ(held == requester::Held::kRow ? kDbOk : kDbNotFound, s) << what;
    if (held == requester::Held::kRow && s == kDbOk) {
      EXPECT_EQ(got->rowId, rowId) << what;
      EXPECT_EQ(got->record, rec) << what;
    }
  }
}

requester::HeldPackage Held(const proto::Reply& r) {
  requester::HeldPackage h;
  EXPECT_TRUE(proto::DecodePackageRows(r.data, RecordLength(kUsers), h.rows));
  EXPECT_TRUE(h.rows.complete);
  return h;
}

TEST_F(PackageRows, TheRequestersAnswersAreTheServices) {
  for (uint32_t pkg : {10u, 20u, 15u}) AnswersAreTheServices(c, Held(Ask(kOpGetEqual, 6, Key({1, pkg, 1, 6}))), pkg, true);
  // Rows held from package 10 on say nothing of package 9's.
  AnswersAreTheServices(c, Held(Ask(kOpGetEqual, 6, Key({1, 10, 1, 6}))), 9, false);
}

// 30 packages of 5 targeting rows: a reply holds 114 rows of this table, so whole packages
// 1 to 22 (110 rows); the rows after them are package 23's first in each key.
TEST(PackageRowsOfManyPackages, AReplyHoldsWholePackagesOnly) {
  Json doc = {{"servers", {{{"ServerId", 1}, {"ServerName", "SRV"}}}}, {"package_users", Json::array()}};
  const std::pair<uint32_t, const char*> targets[] = {{7, "BRANCH"}, {5, "SALES"}, {5, "PLANT"}, {6, "BOB"}, {8, "0000DEADBEEF"}};
  for (uint32_t pkg = 1; pkg <= 30; ++pkg)
    for (const auto& [kind, name] : targets)
      doc["package_users"].push_back({{"ServerId", 1}, {"PackageId", pkg}, {"Scheduled", 1}, {"TargetKind", kind},
                                      {"TargetName", name}});
  Daemon d;
  ASSERT_TRUE(d.Start(&doc)) << d.Log();
  Client c;
  ASSERT_TRUE(c.Connect(d.port));
  ASSERT_EQ(proto::PackageRowsCapacity(RecordLength(kUsers)), 114u);
  auto ask = [&](uint32_t pkg) {
    proto::Request q;
    q.call = proto::kCallPackageRows;
    q.table = kUsers;
    q.cls = kClassRead;
    q.op = kOpGetEqual;
    q.keyNo = 6;
    q.recordLength = RecordLength(kUsers);
    q.key = Key({1, pkg, 1, 5});
    proto::Reply r;
    EXPECT_TRUE(c.Call(q, r));
    EXPECT_EQ(r.status, kDbOk);
    return Held(r);
  };
  requester::HeldPackage h = ask(1);
  EXPECT_EQ(h.rows.rows.size(), 110u);
  EXPECT_FALSE(h.rows.toTheEnd);
  EXPECT_EQ(h.rows.endServerId * 1000 + h.rows.endPackageId, 1023u);
  // Row ids follow the document: package p's rows are 5p-4 (site) to 5p (machine); key 6
  // puts the groups (5p-3, 5p-2) first, key 7 PLANT (5p-2) first.
  ASSERT_EQ(h.rows.after.size(), 2u);
  EXPECT_EQ(h.rows.after[0].row.rowId, 5 * 23 - 3);
  EXPECT_EQ(h.rows.after[1].row.rowId, 5 * 23 - 2);
  for (uint32_t pkg : {1u, 22u}) AnswersAreTheServices(c, h, pkg, true);
  AnswersAreTheServices(c, h, 23, false);
  h = ask(20);
  EXPECT_EQ(h.rows.rows.size(), 55u);
  EXPECT_TRUE(h.rows.toTheEnd);
  AnswersAreTheServices(c, h, 30, true);
}

}  // namespace
