// The registry functions on Wine's real registry: every case starts from the same tree of
// keys and values under a key of the tests' own, runs a small script and reads the registry
// back with the system's own calls.
#include <string>
#include <vector>

#include "script_test_support.h"

namespace {

using scripttest::ScriptRun;

const std::string kBase = "Software\\PlxRegistryTest";
const std::string kLong(255, 'L');   // one byte too many for the query buffer with its zero
const std::string kFits(254, 'F');   // the longest that fits

// The key path as a script literal.
std::string Key(const std::string& below) { return "\"" + kBase + below + "\""; }

bool Exists(const std::string& below) {
  HKEY key;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, (kBase + below).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

void Make(const std::string& below) {
  HKEY key;
  ASSERT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, (kBase + below).c_str(), &key), ERROR_SUCCESS) << below;
  RegCloseKey(key);
}

void Put(const std::string& below, const char* name, DWORD type, const std::string& bytes) {
  ASSERT_EQ(RegSetKeyValueA(HKEY_CURRENT_USER, (kBase + below).c_str(), name, type, bytes.data(), DWORD(bytes.size())),
            ERROR_SUCCESS);
}

std::string Bytes(uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); }

// Type and bytes of a value, or "missing".
std::string Read(const std::string& below, const char* name) {
  char data[512];
  DWORD type = 0, size = sizeof data;
  if (RegGetValueA(HKEY_CURRENT_USER, (kBase + below).c_str(), name, RRF_RT_ANY | RRF_NOEXPAND, &type, data, &size))
    return "missing";
  return std::to_string(type) + ":" + std::string(data, size);
}

// The tree each case starts from.
void Reset() {
  RegDeleteTreeA(HKEY_CURRENT_USER, kBase.c_str());
  for (const char* k : {"\\Tree\\A\\A1", "\\Tree\\A\\A2\\Deep", "\\Tree\\B", "\\Leaf"}) Make(k);
  Put("\\Tree\\A\\A2\\Deep", "V", REG_SZ, std::string("x", 2));
  Put("\\Values", "Str", REG_SZ, std::string("hello", 6));
  Put("\\Values", "Int", REG_DWORD, Bytes(0x12345678));
  Put("\\Values", "Long", REG_SZ, kLong + '\0');
  Put("\\Values", "Fits", REG_SZ, kFits + '\0');
}

// Variables every case may use: [S]="before", [N]=77.
const char kPrelude[] = "DEFINE \"[S]\", S\nDEFINE \"[N]\", I\nSTRCOPY [S], \"before\"\nASSIGN [N], 77\n";

struct Case {
  std::string body;
  int result;                        // RunScript's
  int32_t retval;                    // [RETVAL] afterwards
  std::string s = "before";          // [S] afterwards
  int32_t n = 77;                    // [N] afterwards
  std::vector<std::string> present = {};  // keys below the base afterwards
  std::vector<std::string> absent = {};
  std::string valueKey = "", valueName = "", value = "";  // a value read back afterwards
};

}  // namespace

TEST(ScriptRegistry, FunctionsOnTheRealRegistry) {
  const std::string hkcu = "HKEY_CURRENT_USER, ";
  const std::string sz = std::to_string(REG_SZ) + ":", dword = std::to_string(REG_DWORD) + ":";
  const Case cases[] = {
      // Roots: the bare name in any case; nothing else.
      {"RegCreateKey " + hkcu + Key("\\New\\Sub") + "\n", 0, 0, "before", 77, {"\\New\\Sub"}},
      {"RegCreateKey hkey_current_user, " + Key("\\Lower") + "\n", 0, 0, "before", 77, {"\\Lower"}},
      {"RegCreateKey HKLM, " + Key("\\No") + "\n", -1, 207, "before", 77, {}, {"\\No"}},
      {"RegCreateKey \"HKEY_CURRENT_USER\", " + Key("\\No") + "\n", -1, 207, "before", 77, {}, {"\\No"}},
      {"RegCreateKey \"HKEY_LOCAL_MACHINE\", " + Key("\\No") + "\n", -1, 207},
      {"RegCreateKey HKEY_CURRENT_USER\n", -1, 207},
      // Deleting: whole trees, with or without a trailing backslash; missing keys are no error.
      {"RegDeleteKey " + hkcu + Key("\\Tree") + "\n", 0, 0, "before", 77, {"\\Leaf", "\\Values"}, {"\\Tree"}},
      {"RegDeleteKey " + hkcu + Key("\\Tree\\") + "\n", 0, 0, "before", 77, {"\\Leaf"}, {"\\Tree"}},
      {"RegDeleteKey " + hkcu + Key("\\Tree\\A") + "\n", 0, 0, "before", 77, {"\\Tree\\B"}, {"\\Tree\\A"}},
      {"RegDeleteKey " + hkcu + Key("\\Leaf") + "\n", 0, 0, "before", 77, {"\\Tree"}, {"\\Leaf"}},
      {"RegQueryIntValue " + hkcu + Key("\\Values") + ", \"Nope\", [N]\nRegDeleteKey " + hkcu + Key("\\Nothing") + "\n",
       0, 0, "before", 77, {"\\Tree"}},
      {"RegDeleteKey " + hkcu + "NULL\n", 0, ERROR_ACCESS_DENIED, "before", 77, {"\\Tree", "\\Leaf"}},
      // Setting: missing keys and parents are made; the string keeps its zero.
      {"RegSetStrValue " + hkcu + Key("\\Made\\Deeper") + ", \"Name\", \"text\"\n", 0, 0, "before", 77,
       {"\\Made\\Deeper"}, {}, "\\Made\\Deeper", "Name", sz + std::string("text", 5)},
      {"RegSetStrValue " + hkcu + Key("\\Values") + ", NULL, [S]\n", 0, 0, "before", 77, {}, {}, "\\Values", "",
       sz + std::string("before", 7)},
      {"RegSetIntValue " + hkcu + Key("\\Made") + ", \"Count\", -5\n", 0, 0, "before", 77, {}, {}, "\\Made", "Count",
       dword + Bytes(0xFFFFFFFB)},
      {"RegSetIntValue " + hkcu + Key("\\Values") + ", \"Int\", [N]\n", 0, 0, "before", 77, {}, {}, "\\Values", "Int",
       dword + Bytes(77)},
      {"RegSetIntValue " + hkcu + Key("\\Values") + ", \"Int\", \"5\"\n", -1, 208, "before", 77, {}, {}, "\\Values",
       "Int", dword + Bytes(0x12345678)},
      {"RegSetStrValue " + hkcu + Key("\\Values") + ", \"Str\"\n", -1, 207},
      // Querying: the variable changes only on success.
      {"RegQueryStrValue " + hkcu + Key("\\Values") + ", \"Str\", [S]\n", 0, 0, "hello"},
      {"RegQueryStrValue " + hkcu + Key("\\Values") + ", \"Fits\", [S]\n", 0, 0, kFits},
      {"RegQueryStrValue " + hkcu + Key("\\Values") + ", \"Long\", [S]\n", 0, ERROR_MORE_DATA},
      {"RegQueryStrValue " + hkcu + Key("\\Nothing") + ", \"Str\", [S]\n", 0, ERROR_FILE_NOT_FOUND},
      {"RegQueryStrValue " + hkcu + Key("\\Values") + ", \"Str\", [N]\n", -1, 208},
      {"RegQueryIntValue " + hkcu + Key("\\Values") + ", \"Int\", [N]\n", 0, 0, "before", 0x12345678},
      {"RegQueryIntValue " + hkcu + Key("\\Values") + ", \"Nope\", [N]\n", 0, ERROR_FILE_NOT_FOUND},
      {"RegQueryIntValue " + hkcu + Key("\\Values") + ", \"Int\", [S]\n", -1, 208},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    Reset();
    ScriptRun run;
    EXPECT_EQ(run.RunText(kPrelude + c.body), c.result);
    EXPECT_EQ(run.Retval(), c.retval);
    EXPECT_EQ(ScriptRun::String("[S]"), c.s);
    EXPECT_EQ(ScriptRun::Int("[N]"), c.n);
    for (const std::string& k : c.present) EXPECT_TRUE(Exists(k)) << k;
    for (const std::string& k : c.absent) EXPECT_FALSE(Exists(k)) << k;
    if (!c.valueKey.empty()) {
      EXPECT_EQ(Read(c.valueKey, c.valueName.c_str()), c.value);
    }
  }
  RegDeleteTreeA(HKEY_CURRENT_USER, kBase.c_str());
  EXPECT_FALSE(Exists(""));
}

TEST(ScriptRegistry, ParameterErrorsNameTheFunction) {
  ScriptRun run;
  EXPECT_EQ(run.RunText("RegCreateKey HKLM, \"Software\"\n"), -1);
  EXPECT_NE(run.Shown().find("ERROR 0207: Invalid number of parameters passed to function: RegCreateKey."),
            std::string::npos)
      << run.Shown();
}
