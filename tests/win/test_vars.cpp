#include <gtest/gtest.h>

#include <string.h>
#include <windows.h>

#include <string>
#include <vector>

#include "variable_store.h"

namespace {

// Every case starts from a fresh, empty store on the process heap and leaves none behind.
class Store : public ::testing::Test {
 protected:
  void SetUp() override {
    VariableStore::Free();
    VariableStore::UseHeap(nullptr);
    ASSERT_EQ(VariableStore::Init(), 0);
  }
  void TearDown() override {
    VariableStore::Free();
    VariableStore::UseHeap(nullptr);
    if (heap_) HeapDestroy(heap_);
  }

  static std::string Str(const char* name) {
    char value[kVarValueSize];
    memset(value, '#', sizeof value);
    if (VariableStore::GetString(name, value) != 0) return "<fail>";
    return value;
  }

  // A heap of its own that cannot grow, so that allocations really run out.
  HANDLE SmallHeap() {
    heap_ = HeapCreate(0, 0, 64 * 1024);
    return heap_;
  }

  // Takes every block of the heap that is still free.
  void Exhaust(HANDLE heap) {
    for (size_t size = 32 * 1024; size >= 16; size /= 2)
      while (HeapAlloc(heap, 0, size)) {
      }
  }

  HANDLE heap_ = nullptr;
};

}  // namespace

TEST_F(Store, StartsEmptyWithRoomForOneRecord) {
  EXPECT_EQ(gVariables.nCount, 0);
  ASSERT_NE(gVariables.pRecords, nullptr);
  EXPECT_EQ(HeapSize(GetProcessHeap(), 0, gVariables.pRecords), sizeof(VariableRecord));
  EXPECT_EQ(Str("[TARGET]"), "<fail>");
  int32_t v = 5;
  EXPECT_EQ(VariableStore::GetInt("[RETVAL]", &v), -1);
  EXPECT_EQ(v, 5);
}

TEST_F(Store, GrowsByExactlyOneRecordPerDefinition) {
  const char* names[] = {"[A]", "[B]", "[C]", "[D]"};
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(VariableStore::Define(names[i], i % 2 ? 'I' : 'S'), 0);
    EXPECT_EQ(gVariables.nCount, i + 1);
    EXPECT_EQ(HeapSize(GetProcessHeap(), 0, gVariables.pRecords), sizeof(VariableRecord) * size_t(i + 1));
  }
  for (int i = 0; i < 4; ++i) {
    EXPECT_STREQ(gVariables.pRecords[i].szName, names[i]);
    EXPECT_EQ(gVariables.pRecords[i].cType, i % 2 ? 'I' : 'S');
  }
}

TEST_F(Store, NewRecordReadsEmptyAndZero) {
  ASSERT_EQ(VariableStore::Define("[S]", 'S'), 0);
  ASSERT_EQ(VariableStore::Define("[I]", 'I'), 0);
  EXPECT_EQ(Str("[S]"), "");
  int32_t v = 77;
  EXPECT_EQ(VariableStore::GetInt("[I]", &v), 0);
  EXPECT_EQ(v, 0);
  for (size_t i = 0; i < kVarValueSize; ++i) ASSERT_EQ(gVariables.pRecords[1].value[i], 0) << i;
}

TEST_F(Store, RetvalIsAnIntegerNotAString) {
  ASSERT_EQ(VariableStore::Define("[RETVAL]", 'I'), 0);
  ASSERT_EQ(VariableStore::SetInt("[RETVAL]", 42), 0);
  char value[kVarValueSize] = "untouched";
  EXPECT_EQ(VariableStore::GetString("[RETVAL]", value), -1);
  EXPECT_STREQ(value, "untouched");
  EXPECT_EQ(VariableStore::SetString("[RETVAL]", "x"), -1);
  int32_t v = 0;
  EXPECT_EQ(VariableStore::GetInt("[RETVAL]", &v), 0);
  EXPECT_EQ(v, 42);
}

TEST_F(Store, SecondDefinitionOfANameIsNeverReached) {
  ASSERT_EQ(VariableStore::Define("[NAME]", 'S'), 0);
  ASSERT_EQ(VariableStore::Define("[NAME]", 'S'), 0);
  EXPECT_EQ(gVariables.nCount, 2);
  ASSERT_EQ(VariableStore::SetString("[NAME]", "first wins"), 0);
  EXPECT_EQ(Str("[NAME]"), "first wins");
  EXPECT_STREQ(gVariables.pRecords[0].value, "first wins");
  EXPECT_STREQ(gVariables.pRecords[1].value, "");
}

TEST_F(Store, StringAndIntegerOfOneNameAreSeparate) {
  ASSERT_EQ(VariableStore::Define("[X]", 'S'), 0);
  ASSERT_EQ(VariableStore::Define("[X]", 'I'), 0);
  ASSERT_EQ(VariableStore::SetString("[X]", "text"), 0);
  ASSERT_EQ(VariableStore::SetInt("[X]", -7), 0);
  EXPECT_EQ(Str("[X]"), "text");
  int32_t v = 0;
  ASSERT_EQ(VariableStore::GetInt("[X]", &v), 0);
  EXPECT_EQ(v, -7);
  ASSERT_EQ(VariableStore::SetString("[X]", "other"), 0);
  ASSERT_EQ(VariableStore::GetInt("[X]", &v), 0);
  EXPECT_EQ(v, -7);
}

TEST_F(Store, AbsentValueEmptiesTheVariable) {
  ASSERT_EQ(VariableStore::Define("[T]", 'S'), 0);
  ASSERT_EQ(VariableStore::SetString("[T]", "C:\\APPS"), 0);
  ASSERT_EQ(VariableStore::SetString("[T]", nullptr), 0);
  EXPECT_EQ(Str("[T]"), "");
}

TEST_F(Store, NoOutputBuffer) {
  ASSERT_EQ(VariableStore::Define("[S]", 'S'), 0);
  ASSERT_EQ(VariableStore::Define("[I]", 'I'), 0);
  ASSERT_EQ(VariableStore::SetInt("[I]", 9), 0);
  EXPECT_EQ(VariableStore::GetString("[S]", nullptr), -1);
  EXPECT_EQ(VariableStore::GetInt("[I]", nullptr), 0);
  EXPECT_EQ(VariableStore::SetInt("[I]", static_cast<const int32_t*>(nullptr)), 0);
  int32_t v = 0;
  ASSERT_EQ(VariableStore::GetInt("[I]", &v), 0);
  EXPECT_EQ(v, 9);
  // The variable must still exist.
  EXPECT_EQ(VariableStore::GetInt("[NONE]", nullptr), -1);
  EXPECT_EQ(VariableStore::SetInt("[NONE]", static_cast<const int32_t*>(nullptr)), -1);
}

TEST_F(Store, NamesCompareWithCase) {
  ASSERT_EQ(VariableStore::Define("[TARGET]", 'S'), 0);
  ASSERT_EQ(VariableStore::SetString("[TARGET]", "C:\\X"), 0);
  EXPECT_EQ(Str("[Target]"), "<fail>");
  EXPECT_EQ(VariableStore::SetString("[target]", "y"), -1);
  EXPECT_EQ(Str("[TARGET]"), "C:\\X");
  EXPECT_EQ(Str("[TARGET"), "<fail>");
  EXPECT_EQ(Str("[TARGET] "), "<fail>");
}

TEST_F(Store, IntegersKeepTheirFullRange) {
  ASSERT_EQ(VariableStore::Define("[N]", 'I'), 0);
  for (int32_t value : {INT32_MIN, -1, 0, 1, INT32_MAX}) {
    ASSERT_EQ(VariableStore::SetInt("[N]", value), 0);
    int32_t v = 12345;
    ASSERT_EQ(VariableStore::GetInt("[N]", &v), 0);
    EXPECT_EQ(v, value);
  }
}

TEST_F(Store, UndefinedVariablesFail) {
  ASSERT_EQ(VariableStore::Define("[A]", 'S'), 0);
  EXPECT_EQ(VariableStore::SetString("[B]", "x"), -1);
  EXPECT_EQ(VariableStore::SetInt("[B]", 1), -1);
  int32_t v = 3;
  EXPECT_EQ(VariableStore::GetInt("[B]", &v), -1);
  EXPECT_EQ(v, 3);
  EXPECT_EQ(Str("[B]"), "<fail>");
  EXPECT_EQ(Str(nullptr), "<fail>");
  EXPECT_EQ(gVariables.nCount, 1);
}

TEST_F(Store, OnlyStringAndIntegerTypes) {
  EXPECT_EQ(VariableStore::Define("[X]", 'X'), -1);
  EXPECT_EQ(VariableStore::Define("[X]", 's'), -1);
  EXPECT_EQ(VariableStore::Define(nullptr, 'S'), -1);
  EXPECT_EQ(gVariables.nCount, 0);
}

TEST_F(Store, NameOfThirtyOneCharactersIsTheLongest) {
  const std::string n31(31, 'N');
  const std::string n32 = n31 + "X";
  ASSERT_EQ(VariableStore::Define(n31.c_str(), 'S'), 0);
  ASSERT_EQ(VariableStore::SetString(n31.c_str(), "kept"), 0);
  EXPECT_EQ(Str(n31.c_str()), "kept");
  // A longer name is refused, and never finds the record its first 31 characters name.
  EXPECT_EQ(VariableStore::Define(n32.c_str(), 'S'), -1);
  EXPECT_EQ(gVariables.nCount, 1);
  EXPECT_EQ(Str(n32.c_str()), "<fail>");
  EXPECT_EQ(VariableStore::SetString(n32.c_str(), "x"), -1);
  EXPECT_EQ(Str(n31.c_str()), "kept");
}

TEST_F(Store, LongValuesAreCutToTheField) {
  ASSERT_EQ(VariableStore::Define("[A]", 'S'), 0);
  ASSERT_EQ(VariableStore::Define("[B]", 'S'), 0);
  ASSERT_EQ(VariableStore::SetString("[B]", "neighbour"), 0);
  const std::string v254(254, 'v');
  ASSERT_EQ(VariableStore::SetString("[A]", v254.c_str()), 0);
  EXPECT_EQ(Str("[A]"), v254);
  const std::string v400(400, 'w');
  ASSERT_EQ(VariableStore::SetString("[A]", v400.c_str()), 0);
  EXPECT_EQ(Str("[A]"), std::string(254, 'w'));
  EXPECT_STREQ(gVariables.pRecords[1].szName, "[B]");
  EXPECT_EQ(gVariables.pRecords[1].cType, 'S');
  EXPECT_EQ(Str("[B]"), "neighbour");
}

TEST_F(Store, ReleasedStoreAnswersNothing) {
  ASSERT_EQ(VariableStore::Define("[A]", 'S'), 0);
  VariableStore::Free();
  EXPECT_EQ(gVariables.nCount, -1);
  EXPECT_EQ(gVariables.pRecords, nullptr);
  EXPECT_EQ(Str("[A]"), "<fail>");
  EXPECT_EQ(VariableStore::Define("[A]", 'S'), -1);
  VariableStore::Free();  // a second release does nothing
  EXPECT_EQ(gVariables.nCount, -1);
  // The next pass builds it again from nothing.
  ASSERT_EQ(VariableStore::Init(), 0);
  EXPECT_EQ(gVariables.nCount, 0);
  EXPECT_EQ(Str("[A]"), "<fail>");
}

TEST_F(Store, InitAgainStartsEmpty) {
  ASSERT_EQ(VariableStore::Define("[A]", 'S'), 0);
  ASSERT_EQ(VariableStore::Init(), 0);
  EXPECT_EQ(gVariables.nCount, 0);
  EXPECT_EQ(Str("[A]"), "<fail>");
}

TEST_F(Store, FailedInitLeavesAStoreThatRefusesEverything) {
  VariableStore::Free();
  HANDLE heap = SmallHeap();
  ASSERT_NE(heap, nullptr);
  VariableStore::UseHeap(heap);
  Exhaust(heap);
  EXPECT_EQ(VariableStore::Init(), -1);
  EXPECT_EQ(gVariables.nCount, -1);
  EXPECT_EQ(VariableStore::Define("[A]", 'S'), -1);
  EXPECT_EQ(VariableStore::Define("[B]", 'I'), -1);
  EXPECT_EQ(gVariables.nCount, -1);
  EXPECT_EQ(VariableStore::SetString("[A]", "x"), -1);
  EXPECT_EQ(VariableStore::SetInt("[B]", 1), -1);
  int32_t v = 4;
  EXPECT_EQ(VariableStore::GetInt("[B]", &v), -1);
  EXPECT_EQ(VariableStore::GetInt("[B]", nullptr), -1);
  EXPECT_EQ(v, 4);
  EXPECT_EQ(Str("[A]"), "<fail>");
}

TEST_F(Store, FailedDefinitionLeavesTheStoreAsItWas) {
  VariableStore::Free();
  HANDLE heap = SmallHeap();
  ASSERT_NE(heap, nullptr);
  VariableStore::UseHeap(heap);
  ASSERT_EQ(VariableStore::Init(), 0);
  // Fill the heap with definitions until one does not fit.
  int defined = 0;
  char name[16];
  for (;;) {
    snprintf(name, sizeof name, "[V%d]", defined);
    if (VariableStore::Define(name, 'S') != 0) break;
    ASSERT_EQ(VariableStore::SetString(name, name), 0);
    ++defined;
    ASSERT_LT(defined, 1000) << "a 64 KB heap never ran out";
  }
  ASSERT_GT(defined, 10);
  EXPECT_EQ(gVariables.nCount, defined);
  std::vector<char> before(reinterpret_cast<char*>(gVariables.pRecords),
                           reinterpret_cast<char*>(gVariables.pRecords + defined));
  const VariableRecord* where = gVariables.pRecords;
  EXPECT_EQ(VariableStore::Define("[ONE MORE]", 'I'), -1);
  EXPECT_EQ(gVariables.nCount, defined);
  EXPECT_EQ(gVariables.pRecords, where);
  EXPECT_EQ(memcmp(before.data(), gVariables.pRecords, before.size()), 0);
  for (int i = 0; i < defined; ++i) {
    snprintf(name, sizeof name, "[V%d]", i);
    EXPECT_EQ(Str(name), name);
  }
  EXPECT_EQ(VariableStore::SetInt("[ONE MORE]", 1), -1);
}
