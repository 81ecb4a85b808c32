// Every table through DBOperationEx, with each key and operation the agent uses: the
// records come back field for field as seeded, in typed key order.
#include <gtest/gtest.h>

#include "support.h"

using namespace rt;

namespace {

class Tables : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(Seeded().rows.empty()) << "no seed from the runner (PLX_EXPECTED)";
    ASSERT_EQ(DBInitRequesterEx("SRV", Params(1, 5).get()), 0);
    ASSERT_EQ(DBInitSessionEx(&session), 0);
    ASSERT_EQ(DBConnectEx(session, "SRV", "", "", "KVR610", 0, &conn), 0);
  }
  void TearDown() override {
    EXPECT_EQ(DBDisconnectEx(conn), 0);
    EXPECT_EQ(DBTerminateSessionEx(session), 0);
    EXPECT_EQ(DBTerminateRequesterEx("SRV"), 0);
  }

  // Reads with `first`, then get-next until the end of the index: the records as read.
  std::vector<std::string> Walk(uint32_t table, uint32_t keyNo, uint32_t first, const std::string& key) {
    std::vector<std::string> out;
    Result r = Read(conn, table, first, keyNo, key);
    for (int guard = 0; r.status == 0 && guard < 100; ++guard) {
      out.push_back(r.record);
      r = Read(conn, table, plx::kOpGetNext, keyNo, key);
    }
    EXPECT_EQ(r.status, 10612) << "every index ends with 10612";
    return out;
  }

  // The seeded rows a walk should give: from the first whose key equals (201) or is not
  // below (207, 202) the key given, to the end of the index.
  static std::vector<std::string> Expected(uint32_t table, uint32_t keyNo, uint32_t first, const std::string& key) {
    const plx::KeyDef* k = plx::FindTable(table)->Key(keyNo);
    std::vector<std::string> out;
    for (const SeedRow& row : InKeyOrder(table, keyNo)) {
      int c = CompareKey(*k, plx::KeyOf(*k, reinterpret_cast<const uint8_t*>(row.bytes.data())), key);
      bool starts = first == plx::kOpGetFirst || (first == plx::kOpGetEqual ? c == 0 : c >= 0);
      if (out.empty() && !starts) continue;
      out.push_back(row.bytes);
    }
    return out;
  }

  void ExpectWalk(uint32_t table, uint32_t keyNo, uint32_t first, const std::string& key) {
    std::vector<std::string> got = Walk(table, keyNo, first, key), want = Expected(table, keyNo, first, key);
    ASSERT_FALSE(want.empty());
    ASSERT_EQ(got.size(), want.size()) << "table " << table << " key " << keyNo;
    for (size_t i = 0; i < got.size(); ++i)
      EXPECT_EQ(Fields(table, got[i]), Fields(table, want[i])) << "table " << table << " key " << keyNo << " row " << i;
  }

  static uint32_t U32At(const std::string& rec, const char* field, uint32_t table) {
    const plx::FieldDef* f = plx::FindTable(table)->Field(field);
    return plx::GetU32(reinterpret_cast<const uint8_t*>(rec.data()) + f->offset);
  }
  std::vector<uint32_t> IdsOf(const std::vector<std::string>& recs, uint32_t table, const char* field) {
    std::vector<uint32_t> ids;
    for (const std::string& r : recs) ids.push_back(U32At(r, field, table));
    return ids;
  }

  uint32_t session = 0, conn = 0;
};

using IdList = std::vector<uint32_t>;

}  // namespace

TEST_F(Tables, ServersByName) {
  for (const SeedRow& row : Seeded().Table(plx::kTableServer)) {
    plx::ServerRecord s;
    plx::Decode(reinterpret_cast<const uint8_t*>(row.bytes.data()), s);
    Result r = Read(conn, plx::kTableServer, plx::kOpGetEqual, 3, NameKey({}, s.ServerName, 48));
    ASSERT_EQ(r.status, 0) << s.ServerName;
    EXPECT_EQ(Fields(plx::kTableServer, r.record), Fields(plx::kTableServer, row.bytes));
  }
  Result lower = Read(conn, plx::kTableServer, plx::kOpGetEqual, 3, NameKey({}, "srv2", 48));
  ASSERT_EQ(lower.status, 0);
  EXPECT_EQ(U32At(lower.record, "ServerId", plx::kTableServer), 2u);
  EXPECT_EQ(Read(conn, plx::kTableServer, plx::kOpGetEqual, 3, NameKey({}, "NOPE", 48)).status, 10612);
}

TEST_F(Tables, PackagesWalkInPackageIdOrder) {
  std::vector<std::string> all = Walk(plx::kTablePackage, 4, plx::kOpGetFirst, NumberKey({0}));
  // Unsigned order: 3000000000 is the largest id, not a negative one.
  EXPECT_EQ(IdsOf(all, plx::kTablePackage, "PackageId"), (IdList{2, 10, 11, 3000000000u}));
  ExpectWalk(plx::kTablePackage, 4, plx::kOpGetFirst, NumberKey({0}));
  // Past the end it stays at the end.
  EXPECT_EQ(Read(conn, plx::kTablePackage, plx::kOpGetNext, 4, NumberKey({0})).status, 10612);
  EXPECT_EQ(Read(conn, plx::kTablePackage, plx::kOpGetNext, 4, NumberKey({0})).status, 10612);
}

TEST_F(Tables, PackageByServerAndId) {
  for (const SeedRow& row : Seeded().Table(plx::kTablePackage)) {
    uint32_t server = U32At(row.bytes, "ServerId", plx::kTablePackage), id = U32At(row.bytes, "PackageId", plx::kTablePackage);
    Result r = Read(conn, plx::kTablePackage, plx::kOpGetEqual, 5, NumberKey({server, id}));
    ASSERT_EQ(r.status, 0) << server << "/" << id;
    EXPECT_EQ(Fields(plx::kTablePackage, r.record), Fields(plx::kTablePackage, row.bytes));
  }
  EXPECT_EQ(Read(conn, plx::kTablePackage, plx::kOpGetEqual, 5, NumberKey({1, 11})).status, 10612)
      << "package 11 belongs to server 2";
  EXPECT_EQ(Read(conn, plx::kTablePackage, plx::kOpGetEqual, 5, NumberKey({1, 999})).status, 10612);
}

TEST_F(Tables, PackageUsersByRecordId) {
  for (const SeedRow& row : Seeded().Table(plx::kTableUserPackage)) {
    Result r = Read(conn, plx::kTableUserPackage, plx::kOpGetEqual, 0, NumberKey({row.rowId}));
    ASSERT_EQ(r.status, 0) << row.rowId;
    EXPECT_EQ(Fields(plx::kTableUserPackage, r.record), Fields(plx::kTableUserPackage, row.bytes));
  }
  EXPECT_EQ(Read(conn, plx::kTableUserPackage, plx::kOpGetEqual, 0, NumberKey({999})).status, 10612);
}

TEST_F(Tables, TargetingRowsByKindThenNext) {
  // Key 6: server, package, scheduled, kind. Three kind 5 rows of package 10 tie and come
  // in record id order, then the index goes on to the following kinds.
  std::vector<std::string> rows = Walk(plx::kTableUserPackage, 6, plx::kOpGetEqual, NumberKey({1, 10, 1, 5}));
  EXPECT_EQ(IdsOf(rows, plx::kTableUserPackage, "RecordId"), (IdList{1, 2, 7, 3, 5}));
  ExpectWalk(plx::kTableUserPackage, 6, plx::kOpGetEqual, NumberKey({1, 10, 1, 5}));
  ExpectWalk(plx::kTableUserPackage, 6, plx::kOpGetEqual, NumberKey({1, 2, 1, 5}));
  EXPECT_EQ(Read(conn, plx::kTableUserPackage, plx::kOpGetEqual, 6, NumberKey({1, 10, 1, 7})).status, 10612);
}

TEST_F(Tables, RowsByNameWithAPartialKey) {
  // Key 7: server, package, kind, then the name. Twelve bytes give the first three only.
  std::vector<std::string> rows = Walk(plx::kTableUserPackage, 7, plx::kOpGetGreaterEq, NumberKey({1, 10, 6}));
  EXPECT_EQ(IdsOf(rows, plx::kTableUserPackage, "RecordId"), (IdList{3, 4, 5}));
  ExpectWalk(plx::kTableUserPackage, 7, plx::kOpGetGreaterEq, NumberKey({1, 10, 6}));
  // A name cut short finds the first name at or after it, whatever its case.
  ExpectWalk(plx::kTableUserPackage, 7, plx::kOpGetGreaterEq, NameKey({1, 10, 6}, "al", 210));
  rows = Walk(plx::kTableUserPackage, 7, plx::kOpGetGreaterEq, NameKey({1, 10, 5}, "b", 210));
  EXPECT_EQ(IdsOf(rows, plx::kTableUserPackage, "RecordId"), (IdList{2, 1, 3, 4, 5})) << "PLX_EVERYONE, STAFF, ...";
  ExpectWalk(plx::kTableUserPackage, 7, plx::kOpGetGreaterEq, NumberKey({1}));
}

TEST_F(Tables, NamesDifferingInCaseFindEachOther) {
  // "ALICE" (a targeting row) and "alice" (her status row) are the same name.
  std::vector<std::string> rows = Walk(plx::kTableUserPackage, 7, plx::kOpGetEqual, NameKey({1, 10, 6}, "Alice", 210));
  EXPECT_EQ(IdsOf(rows, plx::kTableUserPackage, "RecordId"), (IdList{3, 4, 5}));
  Result r = Read(conn, plx::kTableUserPackage, plx::kOpGetEqual, 7, NameKey({1, 10, 8}, "ws0000000001", 210));
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(U32At(r.record, "RecordId", plx::kTableUserPackage), 5u);
}

TEST_F(Tables, DependenciesOfAPackage) {
  std::vector<std::string> rows = Walk(plx::kTableDependency, 8, plx::kOpGetEqual, NumberKey({1, 10}));
  EXPECT_EQ(IdsOf(rows, plx::kTableDependency, "RequiredPackageId"), (IdList{2, 3000000000u, 10}));
  ExpectWalk(plx::kTableDependency, 8, plx::kOpGetEqual, NumberKey({1, 10}));
  ExpectWalk(plx::kTableDependency, 8, plx::kOpGetEqual, NumberKey({2, 11}));
  EXPECT_EQ(Read(conn, plx::kTableDependency, plx::kOpGetEqual, 8, NumberKey({1, 2})).status, 10612);
}

TEST_F(Tables, TasksOfAPackage) {
  std::vector<std::string> rows = Walk(plx::kTableTask, 8, plx::kOpGetEqual, NumberKey({1, 10}));
  EXPECT_EQ(IdsOf(rows, plx::kTableTask, "RecordId"), (IdList{1, 2, 4}));
  ExpectWalk(plx::kTableTask, 8, plx::kOpGetEqual, NumberKey({1, 10}));
  ExpectWalk(plx::kTableTask, 8, plx::kOpGetEqual, NumberKey({1, 2}));
  EXPECT_EQ(Read(conn, plx::kTableTask, plx::kOpGetEqual, 8, NumberKey({2, 11})).status, 10612);
}

TEST_F(Tables, GetNextNeedsARecordReadOnThatTableAndConnection) {
  EXPECT_EQ(Read(conn, plx::kTablePackage, plx::kOpGetNext, 4, NumberKey({0})).status, 10606);
  ASSERT_EQ(Read(conn, plx::kTableTask, plx::kOpGetEqual, 8, NumberKey({1, 10})).status, 0);
  EXPECT_EQ(Read(conn, plx::kTablePackage, plx::kOpGetNext, 4, NumberKey({0})).status, 10606)
      << "a read on another table gives no position here";

  uint32_t other = 0;
  ASSERT_EQ(DBConnectEx(session, "SRV", "", "", "KVR610", 0, &other), 0);
  ASSERT_EQ(Read(conn, plx::kTablePackage, plx::kOpGetFirst, 4, NumberKey({0})).status, 0);
  EXPECT_EQ(Read(other, plx::kTablePackage, plx::kOpGetNext, 4, NumberKey({0})).status, 10606)
      << "positions belong to their connection";
  Result second = Read(conn, plx::kTablePackage, plx::kOpGetNext, 4, NumberKey({0}));
  ASSERT_EQ(second.status, 0);
  EXPECT_EQ(U32At(second.record, "PackageId", plx::kTablePackage), 10u);
  EXPECT_EQ(DBDisconnectEx(other), 0);

  // A search that found nothing leaves no position to go on from.
  EXPECT_EQ(Read(conn, plx::kTablePackage, plx::kOpGetEqual, 5, NumberKey({1, 999})).status, 10612);
  EXPECT_EQ(Read(conn, plx::kTablePackage, plx::kOpGetNext, 4, NumberKey({0})).status, 10606);
}

TEST_F(Tables, WalksOnDifferentTablesDoNotDisturbEachOther) {
  Result p = Read(conn, plx::kTablePackage, plx::kOpGetFirst, 4, NumberKey({0}));
  Result t = Read(conn, plx::kTableTask, plx::kOpGetEqual, 8, NumberKey({1, 10}));
  ASSERT_EQ(p.status, 0);
  ASSERT_EQ(t.status, 0);
  IdList packages{U32At(p.record, "PackageId", plx::kTablePackage)}, tasks{U32At(t.record, "RecordId", plx::kTableTask)};
  for (;;) {
    p = Read(conn, plx::kTablePackage, plx::kOpGetNext, 4, NumberKey({0}));
    t = Read(conn, plx::kTableTask, plx::kOpGetNext, 8, NumberKey({1, 10}));
    if (p.status == 0) packages.push_back(U32At(p.record, "PackageId", plx::kTablePackage));
    if (t.status == 0) tasks.push_back(U32At(t.record, "RecordId", plx::kTableTask));
    if (p.status && t.status) break;
  }
  EXPECT_EQ(packages, (IdList{2, 10, 11, 3000000000u}));
  EXPECT_EQ(tasks, (IdList{1, 2, 4}));
}

TEST_F(Tables, GetNextInAnotherKeyGoesOnFromTheRowReadLast) {
  // The agent's way through targeting rows: find its row again by record id (key 0), then
  // read on in key 6 order from there.
  ASSERT_EQ(Read(conn, plx::kTableUserPackage, plx::kOpGetEqual, 6, NumberKey({1, 10, 1, 5})).status, 0);
  ASSERT_EQ(Read(conn, plx::kTableUserPackage, plx::kOpGetEqual, 0, NumberKey({2})).status, 0);
  Result r = Read(conn, plx::kTableUserPackage, plx::kOpGetNext, 6, NumberKey({1, 10, 1, 5}));
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(U32At(r.record, "RecordId", plx::kTableUserPackage), 7u) << "row 2 is followed by row 7 in key 6";
  // In key 0 the row after 7 is the end.
  EXPECT_EQ(Read(conn, plx::kTableUserPackage, plx::kOpGetNext, 0, NumberKey({0})).status, 10612);
  // A key number the table does not have means the index used last (key 0 here).
  ASSERT_EQ(Read(conn, plx::kTableUserPackage, plx::kOpGetEqual, 0, NumberKey({3})).status, 0);
  r = Read(conn, plx::kTableUserPackage, plx::kOpGetNext, 42, NumberKey({0}));
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(U32At(r.record, "RecordId", plx::kTableUserPackage), 4u);
}

TEST_F(Tables, RequestsTheServiceCannotServe) {
  std::string key = NumberKey({1, 10});
  std::string rec(395, '\0');
  EXPECT_EQ(DBOperationEx(conn, 302, 100, 201, 5, 8, 395, nullptr, &rec[0]), 10204);
  EXPECT_EQ(DBOperationEx(conn, 302, 100, 201, 5, 8, 395, &key[0], nullptr), 10204);
  EXPECT_EQ(DBOperationEx(0, 302, 100, 201, 5, 8, 395, &key[0], &rec[0]), 10202);
  EXPECT_EQ(DBOperationEx(conn, 399, 100, 201, 5, 8, 395, &key[0], &rec[0]), 10203);
  EXPECT_EQ(DBOperationEx(conn, 302, 100, 201, 9, 8, 395, &key[0], &rec[0]), 10604);
  EXPECT_EQ(DBOperationEx(conn, 302, 100, 201, 5, 4, 395, &key[0], &rec[0]), 10610);
  EXPECT_EQ(DBOperationEx(conn, 302, 100, 201, 5, 8, 300, &key[0], &rec[0]), 10617);
  EXPECT_EQ(DBOperationEx(conn, 302, 100, 299, 5, 8, 395, &key[0], &rec[0]), 10602);
  // The link is still good after refusals.
  EXPECT_EQ(DBOperationEx(conn, 302, 100, 201, 5, 8, 395, &key[0], &rec[0]), 0);
}
