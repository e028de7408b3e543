// platform/registry.h
// The registry: a tree of keys below HKEY_LOCAL_MACHINE holding typed values, kept in one
// SQLite database per machine root and shared safely by all threads and processes.
//
// Key and value names are case-insensitive and case-preserving; paths use '\'. Every call
// returns 0 or the platform's error code:
//   2 not found, 5 access denied, 13 wrong value type, 53 unknown computer,
//   87 invalid key path or argument, 1018 key was deleted, 1021 cannot create below a
//   deleted key, 1009 database unusable (the reason is logged to standard error once).
// Subkeys and values enumerate in creation order; replacing a value keeps its place.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vlzt::platform {

enum : uint32_t {
  REG_NONE = 0,
  REG_SZ = 1,
  REG_EXPAND_SZ = 2,
  REG_BINARY = 3,
  REG_DWORD = 4,
  REG_MULTI_SZ = 7,
};

// Access rights of an open key.
enum : uint32_t {
  KEY_QUERY_VALUE = 0x0001,
  KEY_SET_VALUE = 0x0002,
  KEY_CREATE_SUB_KEY = 0x0004,
  KEY_ENUMERATE_SUB_KEYS = 0x0008,
  KEY_READ = 0x20019,
  KEY_WRITE = 0x20006,
  KEY_ALL_ACCESS = 0xF003F,
};

struct RegKeyObject;
using HKEY = RegKeyObject*;

// The local computer's root key; never closed.
extern const HKEY HKEY_LOCAL_MACHINE;

// A value as stored: its type and raw bytes (texts include their terminating zero byte,
// a DWORD is 4 bytes little-endian, a MULTI_SZ is texts each ending in a zero plus one more).
struct RegValue {
  std::string name;
  uint32_t type = REG_NONE;
  std::string data;
};

// Splits a key path into its names; false for an empty path, an empty name ("a\\b") or a
// name longer than 255 characters. One trailing '\' is allowed.
bool SplitKeyPath(const std::string& path, std::vector<std::string>& names);

// Opens the existing key `path` below `root` ("" opens root itself again).
long RegOpenKey(HKEY root, const std::string& path, uint32_t access, HKEY* out);
// Opens `path`, creating it and any missing parents; `created` tells whether it was new.
long RegCreateKey(HKEY root, const std::string& path, uint32_t access, HKEY* out,
                  bool* created = nullptr);
long RegCloseKey(HKEY key);

long RegQueryValue(HKEY key, const std::string& name, RegValue* out);
long RegSetValue(HKEY key, const std::string& name, uint32_t type, const std::string& data);
long RegDeleteValue(HKEY key, const std::string& name);

// Reads one value of `path` below `root` without opening a key (the fast path for the
// configuration reads of the service).
long RegGetValue(HKEY root, const std::string& path, const std::string& name, RegValue* out);
// Creates `path` when needed and sets one value, in one transaction.
long RegPutValue(HKEY root, const std::string& path, const std::string& name, uint32_t type,
                 const std::string& data);

// Names of the direct subkeys, and the values, of an open key, in creation order.
long RegEnumKeys(HKEY key, std::vector<std::string>* names);
long RegEnumValues(HKEY key, std::vector<RegValue>* values);

// Deletes `subkey` below `key` with everything beneath it.
long RegDeleteTree(HKEY key, const std::string& subkey);

// Opens HKEY_LOCAL_MACHINE of `computer` through the computer map; the local computer's
// name, "" and "." give a handle on the local registry. 53 for an unknown computer.
long RegConnectRegistry(const std::string& computer, HKEY* out);

// Runs `body` as one transaction on the registry of `root`: either all of its writes land or
// none. `body` returns 0 to commit or an error code that rolls back and is returned.
// Calls made inside `body` on keys of the same registry join the transaction.
long RegTransaction(HKEY root, const std::function<long()>& body);

// Value data helpers.
std::string RegStringData(const std::string& text);   // text plus its zero
std::string RegDwordData(uint32_t number);
std::string RegMultiData(const std::vector<std::string>& texts);
// The text of a REG_SZ/REG_EXPAND_SZ data block, up to its first zero.
std::string RegDataString(const std::string& data);
std::vector<std::string> RegDataMulti(const std::string& data);
uint32_t RegDataDword(const std::string& data);

}  // namespace vlzt::platform
