// The variable store: one table of steps on one store, then growth, release and running
// out of memory.
#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>
#include <windows.h>

#include <string>
#include <vector>

#include "bounded_text.h"
#include "variable_store.h"

namespace {

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
  // A heap that cannot grow, so that allocations really run out.
  HANDLE SmallHeap() {
    VariableStore::Free();
    heap_ = HeapCreate(0, 0, 64 * 1024);
    VariableStore::UseHeap(heap_);
    return heap_;
  }
  HANDLE heap_ = nullptr;
};

std::string Str(const char* name) {
  char value[kVarValueSize];
  memset(value, '#', sizeof value);
  return VariableStore::GetString(name, value) == 0 ? value : "<fail>";
}

enum Op { kDefS, kDefI, kSetS, kGetS, kSetI, kGetI };
struct Step {
  Op op;
  std::string name;
  std::string text;  // kSetS value ("<null>" for none), kGetS expected value
  int32_t number;    // kSetI value, kGetI expected value
  int rc;
};

const std::string n31(31, 'N'), v254(254, 'v');

const std::vector<Step> kSteps = {
    {kGetS, "[TARGET]", "<fail>", 0, -1}, {kGetI, "[RETVAL]", "", 5, -1},  // 5: the output is left alone
    // A new record reads "" and 0.
    {kDefS, "[S]", "", 0, 0}, {kDefI, "[I]", "", 0, 0}, {kGetS, "[S]", "", 0, 0}, {kGetI, "[I]", "", 0, 0},
    // Integer and string of one name are separate records.
    {kDefI, "[RETVAL]", "", 0, 0}, {kSetI, "[RETVAL]", "", 42, 0}, {kGetS, "[RETVAL]", "<fail>", 0, -1},
    {kSetS, "[RETVAL]", "x", 0, -1}, {kDefS, "[RETVAL]", "", 0, 0}, {kSetS, "[RETVAL]", "text", 0, 0},
    {kGetS, "[RETVAL]", "text", 0, 0}, {kGetI, "[RETVAL]", "", 42, 0},
    // A second definition of a name is never reached; no value empties it.
    {kDefS, "[NAME]", "", 0, 0}, {kDefS, "[NAME]", "", 0, 0}, {kSetS, "[NAME]", "first wins", 0, 0},
    {kGetS, "[NAME]", "first wins", 0, 0}, {kSetS, "[NAME]", "<null>", 0, 0}, {kGetS, "[NAME]", "", 0, 0},
    // Names compare with case and whole.
    {kSetS, "[S]", "C:\\X", 0, 0}, {kGetS, "[s]", "<fail>", 0, -1}, {kSetS, "[s]", "y", 0, -1},
    {kGetS, "[S", "<fail>", 0, -1}, {kGetS, "[S] ", "<fail>", 0, -1}, {kGetS, "[S]", "C:\\X", 0, 0},
    {kSetI, "[B]", "", 1, -1}, {kGetI, "[B]", "", 3, -1},
    {kSetI, "[I]", "", INT32_MIN, 0}, {kGetI, "[I]", "", INT32_MIN, 0},
    {kSetI, "[I]", "", INT32_MAX, 0}, {kGetI, "[I]", "", INT32_MAX, 0},
    // Types and name lengths: 31 characters at most, a longer name never finds the record.
    {Op(-1), "[Z]", "", 0, -1}, {kDefS, n31, "", 0, 0}, {kSetS, n31, "kept", 0, 0}, {kDefS, n31 + "X", "", 0, -1},
    {kGetS, n31 + "X", "<fail>", 0, -1}, {kSetS, n31 + "X", "x", 0, -1}, {kGetS, n31, "kept", 0, 0},
    // Values: 254 characters kept, longer ones cut to the field, the neighbour untouched.
    {kSetS, "[S]", v254, 0, 0}, {kGetS, "[S]", v254, 0, 0}, {kSetS, "[S]", std::string(400, 'w'), 0, 0},
    {kGetS, "[S]", std::string(254, 'w'), 0, 0}, {kGetI, "[I]", "", INT32_MAX, 0},
};

}  // namespace

TEST_F(Store, Steps) {
  EXPECT_EQ(VariableStore::Define("[X]", 'X'), -1);
  EXPECT_EQ(VariableStore::Define("[X]", 's'), -1);
  EXPECT_EQ(VariableStore::Define(nullptr, 'S'), -1);
  for (size_t i = 0; i < kSteps.size(); ++i) {
    const Step& s = kSteps[i];
    SCOPED_TRACE("step " + std::to_string(i) + " " + s.name);
    const char* name = s.name.c_str();
    int32_t v = s.rc ? s.number : 12345;
    switch (s.op) {
      case kDefS: EXPECT_EQ(VariableStore::Define(name, 'S'), s.rc); break;
      case kDefI: EXPECT_EQ(VariableStore::Define(name, 'I'), s.rc); break;
      case kSetS: EXPECT_EQ(VariableStore::SetString(name, s.text == "<null>" ? nullptr : s.text.c_str()), s.rc); break;
      case kGetS: EXPECT_EQ(Str(name), s.text); break;
      case kSetI: EXPECT_EQ(VariableStore::SetInt(name, s.number), s.rc); break;
      case kGetI:
        EXPECT_EQ(VariableStore::GetInt(name, &v), s.rc);
        EXPECT_EQ(v, s.number);
        break;
      default: EXPECT_EQ(VariableStore::Define(name, char(s.op)), s.rc);
    }
  }
  // Null buffers: a string needs one; an integer may go without, but must exist.
  EXPECT_EQ(VariableStore::GetString("[S]", nullptr, 0), -1);
  EXPECT_EQ(VariableStore::GetInt("[I]", nullptr), 0);
  EXPECT_EQ(VariableStore::SetInt("[I]", static_cast<const int32_t*>(nullptr)), 0);
  EXPECT_EQ(VariableStore::GetInt("[NONE]", nullptr), -1);
  EXPECT_EQ(VariableStore::SetInt("[NONE]", static_cast<const int32_t*>(nullptr)), -1);
  // A value that does not fit the caller's buffer is refused, the buffer left as it was.
  ASSERT_EQ(VariableStore::SetString("[S]", "C:\\APPS\\OFFICE"), 0);
  char small[8] = "keep";
  EXPECT_EQ(VariableStore::GetString("[S]", small), -1);
  EXPECT_STREQ(small, "keep");
  char exact[15];
  EXPECT_EQ(VariableStore::GetString("[S]", exact), 0);
  EXPECT_STREQ(exact, "C:\\APPS\\OFFICE");
}

TEST_F(Store, GrowsByOneRecordAndIsReleasedWhole) {
  EXPECT_EQ(gVariables.nCount, 0);
  EXPECT_EQ(HeapSize(GetProcessHeap(), 0, gVariables.pRecords), sizeof(VariableRecord));
  for (int i = 1; i <= 3; ++i) {
    ASSERT_EQ(VariableStore::Define(i == 2 ? "[B]" : "[A]", i == 2 ? 'I' : 'S'), 0);
    EXPECT_EQ(gVariables.nCount, i);
    EXPECT_EQ(HeapSize(GetProcessHeap(), 0, gVariables.pRecords), sizeof(VariableRecord) * size_t(i));
  }
  EXPECT_STREQ(gVariables.pRecords[1].szName, "[B]");
  EXPECT_EQ(gVariables.pRecords[1].cType, 'I');
  for (size_t i = 0; i < kVarValueSize; ++i) ASSERT_EQ(gVariables.pRecords[2].value[i], 0) << i;
  ASSERT_EQ(VariableStore::Init(), 0);  // Init again starts empty
  EXPECT_EQ(Str("[A]"), "<fail>");
  ASSERT_EQ(VariableStore::Define("[A]", 'S'), 0);
  VariableStore::Free();
  VariableStore::Free();  // a second release does nothing
  EXPECT_EQ(gVariables.nCount, -1);
  EXPECT_EQ(gVariables.pRecords, nullptr);
  EXPECT_EQ(Str("[A]"), "<fail>");
  EXPECT_EQ(VariableStore::Define("[A]", 'S'), -1);
}

TEST_F(Store, RunningOutOfMemory) {
  ASSERT_NE(SmallHeap(), nullptr);
  ASSERT_EQ(VariableStore::Init(), 0);
  // Definitions until one does not fit: it leaves the store exactly as it was.
  int defined = 0;
  char name[16];
  for (; FormatText(name, "[V%d]", defined), VariableStore::Define(name, 'S') == 0; ++defined) {
    ASSERT_EQ(VariableStore::SetString(name, name), 0);
    ASSERT_LT(defined, 1000) << "a 64 KB heap never ran out";
  }
  ASSERT_GT(defined, 10);
  std::vector<char> before(reinterpret_cast<char*>(gVariables.pRecords),
                           reinterpret_cast<char*>(gVariables.pRecords + defined));
  const VariableRecord* where = gVariables.pRecords;
  EXPECT_EQ(VariableStore::Define("[ONE MORE]", 'I'), -1);
  EXPECT_EQ(gVariables.nCount, defined);
  EXPECT_EQ(gVariables.pRecords, where);
  EXPECT_EQ(memcmp(before.data(), gVariables.pRecords, before.size()), 0);
  EXPECT_EQ(Str("[V3]"), "[V3]");
  // An Init that fails leaves a store that refuses everything.
  VariableStore::Free();
  for (size_t size = 32 * 1024; size >= 16; size /= 2)
    while (HeapAlloc(heap_, 0, size)) {
    }
  EXPECT_EQ(VariableStore::Init(), -1);
  EXPECT_EQ(VariableStore::Define("[A]", 'S'), -1);
  EXPECT_EQ(gVariables.nCount, -1);
  EXPECT_EQ(VariableStore::SetString("[A]", "x"), -1);
  EXPECT_EQ(VariableStore::GetInt("[B]", nullptr), -1);
}
