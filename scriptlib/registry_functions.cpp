// The registry functions: create and delete keys, set and read string and 32-bit values.
// Each names its root by its bare name, makes one or two registry calls and leaves the
// registry's result code in [RETVAL]; nothing here is journalled for undo.
#include <windows.h>
#include <string.h>

#include <vector>

#include "bounded_text.h"
#include "core_functions.h"
#include "library_functions.h"
#include "params.h"
#include "variable_store.h"
#include "win_handle.h"

namespace {

constexpr REGSAM kAllAccess = 0xF003F;   // KEY_ALL_ACCESS
constexpr REGSAM kReadAccess = 0x20019;  // KEY_READ
constexpr DWORD kClassBufferSize = 128;
constexpr DWORD kStringQuerySize = 256;  // the query buffer ...
constexpr DWORD kStringQueryLimit = 255;  // ... and what the registry may fill of it
constexpr DWORD kIntQuerySize = 4;
// An empty subkey path names the root itself, and a walk from there would take every key
// below it. No script may delete a whole root: it is refused as the system refuses deleting
// a predefined key.
constexpr LONG kRootNotDeleted = ERROR_ACCESS_DENIED;
// A child path longer than the sizes the key reported (the key changed under the walk).
constexpr LONG kChildPathTooLong = ERROR_INSUFFICIENT_BUFFER;

struct RootKey {
  const char* name;
  HKEY key;
};

const RootKey kRootKeys[] = {
    {"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},         {"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},       {"HKEY_USERS", HKEY_USERS},
    {"HKEY_PERFORMANCE_DATA", HKEY_PERFORMANCE_DATA}, {"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
    {"HKEY_DYN_DATA", HKEY_DYN_DATA},
};

// The predefined handle named by name, or null when the name is none of them.
HKEY RootKeyFromName(const char* name) {
  for (const RootKey& r : kRootKeys)
    if (SameTextIgnoringCase(name, r.name)) return r.key;
  return nullptr;
}

bool KeyExists(HKEY root, const char* path) {
  HKEY key = nullptr;
  if (RegOpenKeyA(root, path, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

// Deletes path and everything below it, depth first, naming every key by its full path
// below root. Returns 0 or the first registry error; what was deleted before it stays so.
LONG DeleteKeyTree(HKEY root, const char* path) {
  plxwin::RegKey key;
  if (LONG rc = RegOpenKeyExA(root, path, 0, kReadAccess, key.Receive())) return rc;
  char keyClass[kClassBufferSize] = {};
  DWORD classSize = kClassBufferSize, subkeys = 0, longestSubkey = 0, longestClass = 0, values = 0,
        longestValueName = 0, longestValue = 0, securitySize = 0;
  FILETIME written;
  if (LONG rc = RegQueryInfoKeyA(key.Get(), keyClass, &classSize, nullptr, &subkeys, &longestSubkey,
                                 &longestClass, &values, &longestValueName, &longestValue,
                                 &securitySize, &written))
    return rc;
  if (subkeys == 0) {
    key.Close();
    return RegDeleteKeyA(root, path);
  }
  std::vector<char> parent(path, path + strlen(path) + 1);
  std::vector<char> name(longestSubkey + 1);
  std::vector<char> child(longestSubkey + parent.size() + 1);
  // Highest index first: deleting a child leaves the indices below it where they were.
  for (DWORD index = subkeys; index-- > 0;) {
    LONG rc = RegEnumKeyA(key.Get(), index, name.data(), DWORD(name.size()));
    if (rc == ERROR_NO_MORE_ITEMS) continue;
    if (rc) return rc;
    // A trailing backslash would double in the child's path.
    size_t length = strlen(parent.data());
    if (length && parent[length - 1] == '\\') parent[length - 1] = '\0';
    if (!FormatText(child.data(), child.size(), "%s\\%s", parent.data(), name.data())) return kChildPathTooLong;
    if (LONG below = DeleteKeyTree(root, child.data())) return below;
  }
  key.Close();
  return RegDeleteKeyA(root, parent.data());
}

void SetRetval(LONG value) { VariableStore::SetInt(kRetval, int32_t(value)); }

// The frame every function shares: [RETVAL] cleared, the root from the bare first parameter
// and the subkey from the second.
int RootAndSubkey(const char* params, HKEY* root, char (&subkey)[kParamTextSize]) {
  SetRetval(0);
  char name[kParamTextSize];
  if (int rc = GetRawParam(params, 1, name)) return rc;
  *root = RootKeyFromName(name);
  if (!*root) return kMsgParamCount;
  return GetStringParam(params, 2, subkey);
}

// Creates or opens the key with all access and writes one value; the first failing call's
// result, else 0.
LONG SetValue(HKEY root, const char* subkey, const char* valueName, DWORD type, const BYTE* data, DWORD size) {
  HKEY key = nullptr;
  DWORD disposition = 0;
  char noClass[] = "";
  LONG rc = RegCreateKeyExA(root, subkey, 0, noClass, REG_OPTION_NON_VOLATILE, kAllAccess, nullptr, &key,
                            &disposition);
  if (rc) return rc;
  rc = RegSetValueExA(key, valueName, 0, type, data, size);
  LONG closed = RegCloseKey(key);
  return rc ? rc : closed;
}

// Opens the key for reading and reads one value into data (size bytes at most).
LONG QueryValue(HKEY root, const char* subkey, const char* valueName, BYTE* data, DWORD size) {
  plxwin::RegKey key;
  if (LONG rc = RegOpenKeyExA(root, subkey, 0, kReadAccess, key.Receive())) return rc;
  return RegQueryValueExA(key.Get(), valueName, nullptr, nullptr, data, &size);
}

}  // namespace

int ScriptRegCreateKey(const char* params) {
  HKEY root;
  char subkey[kParamTextSize];
  if (int rc = RootAndSubkey(params, &root, subkey)) return rc;
  plxwin::RegKey key;
  SetRetval(RegCreateKeyA(root, subkey, key.Receive()));
  return 0;
}

int ScriptRegDeleteKey(const char* params) {
  HKEY root;
  char subkey[kParamTextSize];
  if (int rc = RootAndSubkey(params, &root, subkey)) return rc;
  if (subkey[0] == '\0') {
    SetRetval(kRootNotDeleted);
    return 0;
  }
  if (KeyExists(root, subkey)) SetRetval(DeleteKeyTree(root, subkey));
  return 0;
}

int ScriptRegSetStrValue(const char* params) {
  HKEY root;
  char subkey[kParamTextSize], valueName[kParamTextSize], data[kParamTextSize];
  if (int rc = RootAndSubkey(params, &root, subkey)) return rc;
  if (int rc = GetStringParam(params, 3, valueName)) return rc;
  if (int rc = GetStringParam(params, 4, data)) return rc;
  // The terminating zero is part of the stored string.
  SetRetval(SetValue(root, subkey, valueName, REG_SZ, reinterpret_cast<const BYTE*>(data), DWORD(strlen(data) + 1)));
  return 0;
}

int ScriptRegSetIntValue(const char* params) {
  HKEY root;
  char subkey[kParamTextSize], valueName[kParamTextSize];
  int32_t value = 0;
  if (int rc = RootAndSubkey(params, &root, subkey)) return rc;
  if (int rc = GetStringParam(params, 3, valueName)) return rc;
  if (int rc = GetIntParam(params, 4, &value)) return rc;
  SetRetval(SetValue(root, subkey, valueName, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value));
  return 0;
}

int ScriptRegQueryStrValue(const char* params) {
  HKEY root;
  char subkey[kParamTextSize], valueName[kParamTextSize], variable[kParamTextSize];
  if (int rc = RootAndSubkey(params, &root, subkey)) return rc;
  if (int rc = GetStringParam(params, 3, valueName)) return rc;
  if (int rc = GetStringVarName(params, 4, variable)) return rc;
  char data[kStringQuerySize] = {};
  if (LONG rc = QueryValue(root, subkey, valueName, reinterpret_cast<BYTE*>(data), kStringQueryLimit)) {
    SetRetval(rc);
    return 0;
  }
  // The type is not checked: 255 bytes with no zero among them (binary data) would only fit
  // the variable cut, and are refused like a variable that cannot be set.
  if (strlen(data) >= kVarValueSize) return kMsgVariableUndefined;
  return VariableStore::SetString(variable, data) == 0 ? 0 : kMsgVariableUndefined;
}

int ScriptRegQueryIntValue(const char* params) {
  HKEY root;
  char subkey[kParamTextSize], valueName[kParamTextSize], variable[kParamTextSize];
  if (int rc = RootAndSubkey(params, &root, subkey)) return rc;
  if (int rc = GetStringParam(params, 3, valueName)) return rc;
  if (int rc = GetIntVarName(params, 4, variable)) return rc;
  int32_t value = 0;
  if (LONG rc = QueryValue(root, subkey, valueName, reinterpret_cast<BYTE*>(&value), kIntQuerySize)) {
    SetRetval(rc);
    return 0;
  }
  return VariableStore::SetInt(variable, value) == 0 ? 0 : kMsgVariableUndefined;
}
