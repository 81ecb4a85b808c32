// Currency and held rows: get-next goes on from the last row read on that table and
// connection, and what the library already holds is answered without a frame, never
// wrongly. Frames are counted at the service (MAIN, which only this program uses).
//
// The seeded rows of package_users (scenario.json), id: server, package, scheduled, kind, name
//   1: 1 10 1 5 STAFF   2: 1 10 1 5 PLX_EVERYONE   3: 1 10 1 6 ALICE   4: 1 10 0 6 alice
//   5: 1 10 1 8 WS0000000001   6: 1 2 1 5 ACCOUNTS   7: 1 10 1 5 ACCOUNTS
// so key 6 orders them 6 4 1 2 7 3 5, and key 7 orders them 6 7 2 1 3 4 5.
#include <gtest/gtest.h>

#include "plx/proto.h"
#include "support.h"

using namespace rt;

namespace {

using Ids = std::vector<uint32_t>;
constexpr uint32_t kUsers = plx::kTableUserPackage;

// The id field each table's rows are told by here.
const char* IdField(uint32_t table) { return table == plx::kTablePackage ? "PackageId" : "RecordId"; }

class Currency : public ::testing::Test {
 protected:
  Connection c{"SRV"};
  Result R(uint32_t table, uint32_t op, uint32_t keyNo, const std::string& key) { return Read(c.conn, table, op, keyNo, key); }
  uint32_t Id(uint32_t table, uint32_t op, uint32_t keyNo, const std::string& key) {
    Result r = R(table, op, keyNo, key);
    return r.status ? r.status : r.U32(IdField(table), table);
  }
};

struct WalkCase { const char* what; uint32_t table, keyNo, first; std::string key; Ids ids; long frames; };  // frames at most

TEST_F(Currency, WalksTakeFewFramesAndEndWith10612) {
  const WalkCase cases[] = {
      {"packages", plx::kTablePackage, 4, plx::kOpGetFirst, NumberKey({0}), {2, 10, 11, 3000000000u}, 1},
      {"targeting rows", kUsers, 6, plx::kOpGetEqual, NumberKey({1, 10, 1, 5}), {1, 2, 7, 3, 5}, 2},
      {"rows by name", kUsers, 7, plx::kOpGetGreaterEq, NumberKey({1, 10, 6}), {3, 4, 5}, 1},
      {"tasks", plx::kTableTask, 8, plx::kOpGetEqual, NumberKey({1, 10}), {1, 2, 4}, 1},
  };
  for (const WalkCase& w : cases) {
    long before = Served("MAIN");
    Ids got;
    Result r = R(w.table, w.first, w.keyNo, w.key);
    for (int guard = 0; r.status == 0 && guard < 20; ++guard) {
      got.push_back(r.U32(IdField(w.table), w.table));
      r = R(w.table, plx::kOpGetNext, w.keyNo, w.key);
    }
    EXPECT_EQ(r.status, 10612) << w.what;
    EXPECT_EQ(got, w.ids) << w.what;
    EXPECT_LE(Served("MAIN") - before, w.frames) << w.what;
    EXPECT_EQ(R(w.table, plx::kOpGetNext, w.keyNo, w.key).status, 10612) << w.what << ": the end stays the end";
  }
}

TEST_F(Currency, TheAgentsWayThroughTargetingRowsCostsOneFramePerKind) {
  // Read the first row of a kind by key 6; then, for each row, find it again by its id and
  // read on by key 6 until the kind changes.
  long before = Served("MAIN");
  Result r = R(kUsers, plx::kOpGetEqual, 6, NumberKey({1, 10, 1, 5}));
  Ids got;
  while (r.status == 0 && r.U32("TargetKind", kUsers) == 5) {
    uint32_t id = r.U32("RecordId", kUsers);
    got.push_back(id);
    ASSERT_EQ(Id(kUsers, plx::kOpGetEqual, 0, NumberKey({id})), id);
    r = R(kUsers, plx::kOpGetNext, 6, NumberKey({1, 10, 1, 5}));
  }
  EXPECT_EQ(got, (Ids{1, 2, 7}));
  EXPECT_EQ(r.U32("RecordId", kUsers), 3u);
  EXPECT_EQ(Served("MAIN") - before, 1) << "7 calls, all but the first answered from the rows held";
}

TEST_F(Currency, AReReadOfARowNotHeldAsksTheService) {
  ASSERT_EQ(Id(kUsers, plx::kOpGetEqual, 6, NumberKey({1, 10, 1, 5})), 1u);  // holds package 10
  struct { uint32_t id; int32_t status; uint32_t package; long frames; } cases[] = {
      {6, 0, 2, 1}, {4, 0, 10, 0}, {999, 10612, 0, 1}, {2, 0, 10, 0}};
  for (const auto& k : cases) {
    long before = Served("MAIN");
    Result r = R(kUsers, plx::kOpGetEqual, 0, NumberKey({k.id}));
    EXPECT_EQ(Served("MAIN") - before, k.frames) << k.id;
    EXPECT_EQ(r.status, k.status) << k.id;
    EXPECT_EQ(r.U32("RecordId", kUsers), k.status ? 0 : k.id);
    EXPECT_EQ(r.U32("PackageId", kUsers), k.package) << k.id;
  }
}

// Each step reads and names the id it must give (or the status).
struct Step { uint32_t table, op, keyNo; std::string key; uint32_t want; };

TEST_F(Currency, GetNextGoesOnFromTheRowReadLastInTheIndexNamed) {
  const uint32_t P = plx::kTablePackage, T = plx::kTableTask, G = plx::kOpGetEqual, N = plx::kOpGetNext;
  const std::string k6 = NumberKey({1, 10, 1, 5}), k8 = NumberKey({1, 10}), none = NumberKey({0});
  const std::vector<std::vector<Step>> cases = {
      // Back to a held row by id, then on in key 6 from there, not from where the walk was.
      {{kUsers, G, 6, k6, 1}, {kUsers, G, 0, NumberKey({3}), 3}, {kUsers, N, 6, k6, 5}},
      // The same row, then on in key 7, where 4 follows 3 ("ALICE", "alice").
      {{kUsers, G, 6, k6, 1}, {kUsers, G, 0, NumberKey({3}), 3}, {kUsers, N, 7, k6, 4}},
      // A read in another index moves the position; get-next follows whichever index it names.
      {{kUsers, G, 6, k6, 1}, {kUsers, N, 6, k6, 2}, {kUsers, plx::kOpGetGreaterEq, 7, NumberKey({1, 10, 5}), 7},
       {kUsers, N, 7, k6, 2}, {kUsers, N, 6, k6, 7}},
      // A key number the table does not have means the index used last.
      {{kUsers, G, 0, NumberKey({3}), 3}, {kUsers, N, 42, none, 4}},
      // No row read yet on this table, and a search that found nothing leaves no position.
      {{P, N, 4, none, 10606}, {kUsers, G, 0, NumberKey({1}), 1}, {P, N, 4, none, 10606}},
      {{P, plx::kOpGetFirst, 4, none, 2}, {P, G, 5, NumberKey({1, 11}), 10612}, {P, N, 4, none, 10606}},
      // Walks side by side, each on its own table.
      {{P, plx::kOpGetFirst, 4, none, 2}, {T, G, 8, k8, 1}, {P, N, 4, none, 10}, {T, N, 8, k8, 2},
       {P, N, 4, none, 11}, {T, N, 8, k8, 4}, {T, N, 8, k8, 10612}, {P, N, 4, none, 3000000000u}},
  };
  for (size_t i = 0; i < cases.size(); ++i)
    for (size_t s = 0; s < cases[i].size(); ++s) {
      const Step& st = cases[i][s];
      EXPECT_EQ(Id(st.table, st.op, st.keyNo, st.key), st.want) << "case " << i << " step " << s;
    }
}

// The first read of a package by key 6 or 7 brings all its rows and those of the packages
// after it (here: to the end) and the row after them in each key; those packages' other
// reads are answered from them, exactly as the service would answer, and a read of a
// package before them asks the service.
TEST_F(Currency, APackagesRowsAnswerItsReadsByEitherKey) {
  const uint32_t G = plx::kOpGetEqual, GE = plx::kOpGetGreaterEq, N = plx::kOpGetNext;
  auto name = [](uint32_t pkg, uint32_t kind, const char* text) { return NumberKey({1, pkg, kind}, text, 210); };
  const std::string none = NumberKey({0});
  struct Read { uint32_t op, keyNo; std::string key; uint32_t want; long frames; };
  const std::vector<std::vector<Read>> cases = {
      {{G, 6, NumberKey({1, 10, 1, 8}), 5, 1},
       {G, 6, NumberKey({1, 10, 1, 7}), 10612, 0},   // no row of that kind
       {N, 6, none, 10606, 0},                       // and so no position
       {G, 6, NumberKey({1, 10, 1, 5}), 1, 0},       // equal keys in row id order
       {N, 6, none, 2, 0}, {N, 6, none, 7, 0}, {N, 6, none, 3, 0},
       {G, 7, name(10, 5, "staff"), 1, 0},           // names ignore case
       {G, 7, name(10, 5, "STAF"), 10612, 0},        // but not their length
       {GE, 7, name(10, 5, "STAF"), 1, 0},
       {GE, 7, name(10, 6, "ALICE"), 3, 0}, {N, 7, none, 4, 0}, {N, 7, none, 5, 0},
       {N, 7, none, 10612, 0},                       // nothing follows package 10 in key 7
       {G, 0, NumberKey({4}), 4, 0},                 // a re-read by id of a row held
       {G, 0, NumberKey({6}), 6, 1},                 // of a row of another package
       {GE, 7, NumberKey({1, 10, 9}), 10612, 0},
       {G, 6, NumberKey({1, 11, 1, 5}), 10612, 0},   // a package after it, without rows
       {G, 6, NumberKey({1, 2, 1, 5}), 6, 1},        // a package before it
       {G, 6, NumberKey({1, 10, 1, 8}), 5, 0}},      // now held from package 2 on
      // Package 2 has one row; package 10's follow it in each key.
      {{GE, 7, NumberKey({1, 2, 6}), 7, 1},
       {G, 6, NumberKey({1, 2, 1, 5}), 6, 0}, {N, 6, none, 4, 0}, {N, 6, none, 1, 0}},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    uint32_t conn = 0;  // each case on a connection of its own, which holds nothing yet
    ASSERT_EQ(DBConnectEx(c.session, "SRV", "", "", "KVR610", 0, &conn), 0);
    for (size_t s = 0; s < cases[i].size(); ++s) {
      const Read& st = cases[i][s];
      long before = Served("MAIN");
      Result r = rt::Read(conn, kUsers, st.op, st.keyNo, st.key);
      EXPECT_EQ(r.status ? uint32_t(r.status) : r.U32("RecordId", kUsers), st.want) << "case " << i << " step " << s;
      EXPECT_EQ(Served("MAIN") - before, st.frames) << "case " << i << " step " << s;
    }
    EXPECT_EQ(DBDisconnectEx(conn), 0);
  }
}

TEST_F(Currency, PositionsAndHeldRowsBelongToTheirConnection) {
  ASSERT_EQ(Id(kUsers, plx::kOpGetEqual, 6, NumberKey({1, 10, 1, 5})), 1u);  // holds 1 2 7 3 5
  ASSERT_EQ(Id(plx::kTablePackage, plx::kOpGetFirst, 4, NumberKey({0})), 2u);
  uint32_t other = 0;
  ASSERT_EQ(DBConnectEx(c.session, "SRV", "", "", "KVR610", 0, &other), 0);
  EXPECT_EQ(Read(other, plx::kTablePackage, plx::kOpGetNext, 4, NumberKey({0})).status, 10606);
  long before = Served("MAIN");
  EXPECT_EQ(Read(other, kUsers, plx::kOpGetEqual, 0, NumberKey({2})).U32("RecordId", kUsers), 2u);
  EXPECT_EQ(Served("MAIN") - before, 1);
  EXPECT_EQ(Id(plx::kTablePackage, plx::kOpGetNext, 4, NumberKey({0})), 10u);
  EXPECT_EQ(DBDisconnectEx(other), 0);
}

TEST_F(Currency, CallsTheLibraryRefusesItself) {
  std::string key = NumberKey({1, 10}), rec(395, '\0'), longKey(plx::proto::kMaxKey + 1, '\0');
  long before = Served("MAIN");
  const struct {
    uint32_t conn, table, keyLength, recordLength;
    void *key, *record;
    int32_t status;
  } cases[] = {
      {c.conn, 302, 8, 395, nullptr, &rec[0], 10204}, {c.conn, 302, 8, 395, &key[0], nullptr, 10204},
      {0, 302, 8, 395, &key[0], &rec[0], 10202},      {c.session, 302, 8, 395, &key[0], &rec[0], 10202},
      {c.conn, 399, 8, 395, &key[0], &rec[0], 10203}, {c.conn, 302, uint32_t(longKey.size()), 395, &longKey[0], &rec[0], 10610},
  };
  for (const auto& k : cases)
    EXPECT_EQ(DBOperationEx(k.conn, k.table, 100, 201, 5, k.keyLength, k.recordLength, k.key, k.record), k.status);
  EXPECT_EQ(Served("MAIN") - before, 0) << "none of them reached the service";
  EXPECT_EQ(DBOperationEx(c.conn, 302, 100, 201, 5, 8, 395, &key[0], &rec[0]), 0);
}

// Writes go to SCRATCH, so that MAIN's rows stay as seeded. Row 4 is a status row a
// workstation may rewrite.
class HeldRowsAndWrites : public ::testing::Test {
 protected:
  Connection c{"SCRATCH"};
  uint32_t other = 0;
  void SetUp() override { ASSERT_EQ(DBConnectEx(c.session, "SCRATCH", "", "", "KVR610", 0, &other), 0); }

  Result Row4(uint32_t conn) { return Read(conn, kUsers, plx::kOpGetEqual, 0, NumberKey({4})); }
  static uint8_t* Status(Result& r) { return reinterpret_cast<uint8_t*>(&r.record[0]) + plx::FindTable(kUsers)->Field("PackageStatus")->offset; }
  // A write on `conn`: row 4 with the next status, or a new history text.
  int32_t Write(uint32_t conn, bool rewrite) {
    Result r = Row4(conn);
    plx::PutU16(Status(r), uint16_t((plx::GetU16(Status(r)) + 1) % 6));
    return rewrite ? Op(conn, kUsers, plx::kClassRewrite, plx::kOpGetEqual, 0, NumberKey({4}), &r.record).status
                   : InsertText(conn, "held rows").status;
  }
};

TEST_F(HeldRowsAndWrites, AnyWriteDropsTheRowsHeldOnEveryConnection) {
  for (bool rewrite : {true, false})
    for (bool sameConnection : {true, false}) {
      SCOPED_TRACE(std::string(rewrite ? "rewrite" : "insert") + (sameConnection ? " here" : " elsewhere"));
      // Key 7 from (1, 10, 6) holds the rows of package 10; row 4 again costs nothing.
      ASSERT_EQ(Read(c.conn, kUsers, plx::kOpGetGreaterEq, 7, NumberKey({1, 10, 6})).U32("RecordId", kUsers), 3u);
      long before = Served("SCRATCH");
      Result row = Row4(c.conn);
      uint16_t was = plx::GetU16(Status(row));
      EXPECT_EQ(Served("SCRATCH") - before, 0);

      ASSERT_EQ(Write(sameConnection ? c.conn : other, rewrite), 0);
      before = Served("SCRATCH");
      row = Row4(c.conn);
      EXPECT_EQ(Served("SCRATCH") - before, 1) << "the re-read after a write asks the service";
      EXPECT_EQ(plx::GetU16(Status(row)), rewrite ? (was + 1) % 6 : was);
      EXPECT_EQ(Read(c.conn, kUsers, plx::kOpGetNext, 7, NumberKey({0})).U32("RecordId", kUsers), 5u);
    }
}

TEST_F(HeldRowsAndWrites, ALongWalkAsksForMoreRowsEachTime) {
  for (int i = 0; i < 40; ++i) ASSERT_EQ(InsertText(c.conn, "walk").status, 0);
  long before = Served("SCRATCH");
  long rows = 0;
  Result r = Read(c.conn, plx::kTableHistoryText, plx::kOpGetFirst, 0, NumberKey({0}));
  for (uint32_t last = 0; r.status == 0 && rows < 1000; ++rows, r = Read(c.conn, plx::kTableHistoryText, plx::kOpGetNext, 0, NumberKey({0}))) {
    EXPECT_GT(r.U32("TextId", plx::kTableHistoryText), last) << "row " << rows;
    last = r.U32("TextId", plx::kTableHistoryText);
  }
  EXPECT_EQ(r.status, 10612);
  EXPECT_GE(rows, 40);
  EXPECT_LE(Served("SCRATCH") - before, 6) << rows << " rows";
}

}  // namespace
