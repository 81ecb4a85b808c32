// The registry functions on Wine's real registry: every case starts from the same tree of
// keys and values under a key of the tests' own, runs a small script and reads the registry
// back with the system's own calls.
#include <string>
#include <vector>

#include "script_test_support.h"

namespace {

using scripttest::ScriptRun;

const std::string kBase = "Software\\PlxRegistryTest";
const std::string kLong(255, 'L');  // one byte too many for the query buffer with its zero
const std::string kFits(254, 'F');  // the longest that fits

bool Exists(const std::string& below) {
  HKEY key;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, (kBase + below).c_str(), 0, KEY_READ, &key)) return false;
  RegCloseKey(key);
  return true;
}

// Writes a value, making its key and the keys above it.
void Put(const std::string& below, const char* name, DWORD type, const std::string& bytes) {
  ASSERT_EQ(RegSetKeyValueA(HKEY_CURRENT_USER, (kBase + below).c_str(), name, type, bytes.data(), DWORD(bytes.size())),
            ERROR_SUCCESS);
}

std::string Dword(uint32_t v) { return std::to_string(REG_DWORD) + ":" + std::string(reinterpret_cast<char*>(&v), 4); }
std::string Sz(const std::string& bytes) { return std::to_string(REG_SZ) + ":" + bytes; }

// Type and bytes of a value as stored, or "missing".
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
  for (const char* k : {"\\Tree\\A\\A1", "\\Tree\\A\\A2\\Deep", "\\Tree\\B", "\\Leaf"}) Put(k, "V", REG_SZ, "x");
  Put("\\Values", "Str", REG_SZ, std::string("hello", 6));
  Put("\\Values", "Int", REG_DWORD, std::string("\x78\x56\x34\x12", 4));
  Put("\\Values", "Long", REG_SZ, kLong + '\0');
  Put("\\Values", "Fits", REG_SZ, kFits + '\0');
}

struct Case {
  std::string call;                  // the function and its root; the key path follows
  std::string below, rest;           // key path below the base, further parameters
  int result;                        // RunScript's
  int32_t retval;                    // [RETVAL] afterwards
  std::string s = "before";          // [S] afterwards ([S]="before", [N]=77 at the start)
  int32_t n = 77;                    // [N] afterwards
  std::vector<std::string> present = {}, absent = {};  // keys below the base afterwards
  std::string value = "";            // "key|name" read back afterwards ...
  std::string stored = "";           // ... and what it holds
};

}  // namespace

TEST(ScriptRegistry, FunctionsOnTheRealRegistry) {
  const Case cases[] = {
      // Roots: the bare name in any case, nothing else.
      {"RegCreateKey HKEY_CURRENT_USER", "\\New\\Sub", "", 0, 0, "before", 77, {"\\New\\Sub"}},
      {"RegCreateKey hkey_current_user", "\\Lower", "", 0, 0, "before", 77, {"\\Lower"}},
      {"RegCreateKey HKLM", "\\No", "", -1, 207},
      {"RegCreateKey \"HKEY_CURRENT_USER\"", "\\No", "", -1, 207, "before", 77, {}, {"\\No"}},
      {"RegCreateKey \"HKEY_LOCAL_MACHINE\"", "\\No", "", -1, 207},
      // Deleting: whole trees, with or without a trailing backslash; a missing key is no error.
      {"RegDeleteKey HKEY_CURRENT_USER", "\\Tree", "", 0, 0, "before", 77, {"\\Leaf", "\\Values"}, {"\\Tree"}},
      {"RegDeleteKey HKEY_CURRENT_USER", "\\Tree\\", "", 0, 0, "before", 77, {"\\Leaf"}, {"\\Tree"}},
      {"RegDeleteKey HKEY_CURRENT_USER", "\\Tree\\A", "", 0, 0, "before", 77, {"\\Tree\\B"}, {"\\Tree\\A"}},
      {"RegDeleteKey HKEY_CURRENT_USER", "\\Leaf", "", 0, 0, "before", 77, {"\\Tree"}, {"\\Leaf"}},
      {"RegQueryIntValue HKEY_CURRENT_USER, \"x\", \"x\", [N]\nRegDeleteKey HKEY_CURRENT_USER", "\\Nothing", "", 0, 0},
      // Setting: missing keys and their parents are made.
      {"RegSetStrValue HKEY_CURRENT_USER", "\\Made\\Deeper", ", \"Name\", \"text\"", 0, 0, "before", 77, {}, {},
       "\\Made\\Deeper|Name", Sz(std::string("text", 5))},
      {"RegSetStrValue HKEY_CURRENT_USER", "\\Values", ", NULL, [S]", 0, 0, "before", 77, {}, {}, "\\Values|",
       Sz(std::string("before", 7))},
      {"RegSetIntValue HKEY_CURRENT_USER", "\\Made", ", \"Count\", -5", 0, 0, "before", 77, {}, {}, "\\Made|Count",
       Dword(0xFFFFFFFB)},
      {"RegSetIntValue HKEY_CURRENT_USER", "\\Values", ", \"Int\", [N]", 0, 0, "before", 77, {}, {}, "\\Values|Int",
       Dword(77)},
      {"RegSetIntValue HKEY_CURRENT_USER", "\\Values", ", \"Int\", \"5\"", -1, 208, "before", 77, {}, {},
       "\\Values|Int", Dword(0x12345678)},
      {"RegSetStrValue HKEY_CURRENT_USER", "\\Values", ", \"Str\"", -1, 207},
      // Querying: the variable changes only on success.
      {"RegQueryStrValue HKEY_CURRENT_USER", "\\Values", ", \"Str\", [S]", 0, 0, "hello"},
      {"RegQueryStrValue HKEY_CURRENT_USER", "\\Values", ", \"Fits\", [S]", 0, 0, kFits},
      {"RegQueryStrValue HKEY_CURRENT_USER", "\\Values", ", \"Long\", [S]", 0, ERROR_MORE_DATA},
      {"RegQueryStrValue HKEY_CURRENT_USER", "\\Nothing", ", \"Str\", [S]", 0, ERROR_FILE_NOT_FOUND},
      {"RegQueryStrValue HKEY_CURRENT_USER", "\\Values", ", \"Str\", [N]", -1, 208},
      {"RegQueryIntValue HKEY_CURRENT_USER", "\\Values", ", \"Int\", [N]", 0, 0, "before", 0x12345678},
      {"RegQueryIntValue HKEY_CURRENT_USER", "\\Values", ", \"Nope\", [N]", 0, ERROR_FILE_NOT_FOUND},
      {"RegQueryIntValue HKEY_CURRENT_USER", "\\Values", ", \"Int\", [S]", -1, 208},
  };
  for (const Case& c : cases) {
    const std::string script = "DEFINE \"[S]\", S\nDEFINE \"[N]\", I\nSTRCOPY [S], \"before\"\nASSIGN [N], 77\n" +
                               c.call + ", \"" + kBase + c.below + "\"" + c.rest + "\n";
    SCOPED_TRACE(script);
    Reset();
    ScriptRun run;
    EXPECT_EQ(run.RunText(script), c.result);
    EXPECT_EQ(run.Retval(), c.retval);
    EXPECT_EQ(ScriptRun::String("[S]"), c.s);
    EXPECT_EQ(ScriptRun::Int("[N]"), c.n);
    for (const std::string& k : c.present) EXPECT_TRUE(Exists(k)) << k;
    for (const std::string& k : c.absent) EXPECT_FALSE(Exists(k)) << k;
    if (!c.value.empty()) {
      size_t bar = c.value.find('|');
      EXPECT_EQ(Read(c.value.substr(0, bar), c.value.substr(bar + 1).c_str()), c.stored);
    }
  }
  // A root is never deleted whole.
  ScriptRun run;
  EXPECT_EQ(run.RunText("RegDeleteKey HKEY_CURRENT_USER, NULL\n"), 0);
  EXPECT_EQ(run.Retval(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(Exists(""));
  RegDeleteTreeA(HKEY_CURRENT_USER, kBase.c_str());
}
