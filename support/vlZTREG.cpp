// support/vlZTREG.cpp
#include "support/vlZTREG.h"

#include <memory>
#include <mutex>

#include "platform/system.h"

namespace vlzt {
namespace {

using namespace platform;

constexpr int kMissing = 2;
constexpr int kWrongType = 13;
constexpr int kBadPath = 87;

// The registry later calls act on; null when local. Shared so a reconnect never closes a
// root another thread is using.
struct Target {
  std::mutex mutex;
  std::shared_ptr<RegKeyObject> remote;
};

Target& CurrentTarget() {
  static Target* target = new Target;
  return *target;
}

std::shared_ptr<RegKeyObject> Root() {
  Target& t = CurrentTarget();
  std::lock_guard<std::mutex> lock(t.mutex);
  if (t.remote) return t.remote;
  return std::shared_ptr<RegKeyObject>(HKEY_LOCAL_MACHINE, [](RegKeyObject*) {});
}

std::string Upper(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

// Checks and normalises a caller's key path; false for the cases that get 87.
bool CheckedPath(const std::string& keyPath, std::string& path) {
  std::vector<std::string> names;
  return vlZTREG_LocalPath(keyPath, path) && SplitKeyPath(path, names);
}

int Read(const std::string& keyPath, const std::string& valueName, RegValue* value) {
  std::string path;
  if (!CheckedPath(keyPath, path)) return kBadPath;
  auto root = Root();
  long rc = RegGetValue(root.get(), path, valueName, value);
  return rc == 0 ? 0 : static_cast<int>(rc);
}

int Write(const std::string& keyPath, const std::string& valueName, uint32_t type,
          const std::string& data) {
  std::string path;
  if (!CheckedPath(keyPath, path)) return kBadPath;
  auto root = Root();
  return static_cast<int>(RegPutValue(root.get(), path, valueName, type, data));
}

int NumberOf(const RegValue& v, int32_t* number) {
  if (v.type != REG_DWORD || v.data.size() != 4) return kWrongType;
  *number = static_cast<int32_t>(RegDataDword(v.data));
  return 0;
}

int TextOf(const RegValue& v, std::string& text, size_t size) {
  if (v.type != REG_SZ && v.type != REG_EXPAND_SZ) return kWrongType;
  text = RegDataString(v.data);
  if (text.size() > size - 1) text.resize(size - 1);
  return 0;
}

}  // namespace

bool vlZTREG_LocalPath(const std::string& keyPath, std::string& path) {
  size_t slash = keyPath.find('\\');
  std::string first = Upper(keyPath.substr(0, slash));
  if (first == "HKLM" || first == "HKEY_LOCAL_MACHINE") {
    path = slash == std::string::npos ? "" : keyPath.substr(slash + 1);
    return true;
  }
  if (first.rfind("HKEY_", 0) == 0 || first == "HKCU" || first == "HKCR" || first == "HKU" ||
      first == "HKCC")
    return false;
  path = keyPath;
  return true;
}

int vlZTREG_ReadFlag(const std::string& keyPath, const std::string& valueName, int32_t* flag,
                     std::optional<int32_t> def) {
  int32_t number = 0;
  int rc = vlZTREG_ReadNumber(keyPath, valueName, &number, std::nullopt);
  if (rc == 0) *flag = number != 0 ? 1 : 0;
  else if (def) *flag = *def;
  return rc;
}

int vlZTREG_ReadNumber(const std::string& keyPath, const std::string& valueName,
                       int32_t* number, std::optional<int32_t> def) {
  RegValue v;
  int rc = Read(keyPath, valueName, &v);
  if (rc == 0) rc = NumberOf(v, number);
  if (rc != 0 && def) *number = *def;
  return rc;
}

int vlZTREG_ReadString(const std::string& keyPath, const std::string& valueName,
                       std::string& text, size_t size, const char* def) {
  if (size == 0) return kBadPath;
  RegValue v;
  int rc = Read(keyPath, valueName, &v);
  if (rc == 0) rc = TextOf(v, text, size);
  if (rc != 0 && def) {
    text = def;
    if (text.size() > size - 1) text.resize(size - 1);
  }
  return rc;
}

int vlZTREG_WriteFlag(const std::string& keyPath, const std::string& valueName, int32_t flag) {
  return Write(keyPath, valueName, REG_DWORD, RegDwordData(flag ? 1 : 0));
}

int vlZTREG_WriteNumber(const std::string& keyPath, const std::string& valueName,
                        int32_t number) {
  return Write(keyPath, valueName, REG_DWORD, RegDwordData(static_cast<uint32_t>(number)));
}

int vlZTREG_WriteString(const std::string& keyPath, const std::string& valueName,
                        const std::string& text) {
  return Write(keyPath, valueName, REG_SZ, RegStringData(text));
}

int vlZTREG_OpenKey(const std::string& keyPath, uint32_t access, HKEY* key) {
  std::string path;
  if (!key) return kBadPath;
  *key = nullptr;
  if (!CheckedPath(keyPath, path)) return kBadPath;
  auto root = Root();
  return static_cast<int>(RegOpenKey(root.get(), path, access, key));
}

void vlZTREG_CloseKey(HKEY key) {
  if (key) RegCloseKey(key);
}

int vlZTREG_CreateKey(const std::string& keyPath) {
  std::string path;
  if (!CheckedPath(keyPath, path)) return 0;
  auto root = Root();
  HKEY key;
  if (RegCreateKey(root.get(), path, KEY_READ, &key) != 0) return 0;
  RegCloseKey(key);
  return 1;
}

int vlZTREG_DeleteValue(HKEY key, const std::string& valueName) {
  return RegDeleteValue(key, valueName) == 0 ? 1 : 0;
}

int vlZTREG_KeyReadFlag(HKEY key, const std::string& valueName, int32_t* flag) {
  int32_t number = 0;
  int rc = vlZTREG_KeyReadNumber(key, valueName, &number);
  if (rc == 0) *flag = number != 0 ? 1 : 0;
  return rc;
}

int vlZTREG_KeyReadNumber(HKEY key, const std::string& valueName, int32_t* number) {
  RegValue v;
  long rc = RegQueryValue(key, valueName, &v);
  if (rc != 0) return static_cast<int>(rc);
  return NumberOf(v, number);
}

int vlZTREG_KeyReadString(HKEY key, const std::string& valueName, std::string& text,
                          size_t size) {
  if (size == 0) return kBadPath;
  RegValue v;
  long rc = RegQueryValue(key, valueName, &v);
  if (rc != 0) return static_cast<int>(rc);
  return TextOf(v, text, size);
}

int vlZTREG_KeyWriteFlag(HKEY key, const std::string& valueName, int32_t flag) {
  return static_cast<int>(RegSetValue(key, valueName, REG_DWORD, RegDwordData(flag ? 1 : 0)));
}

int vlZTREG_KeyWriteNumber(HKEY key, const std::string& valueName, int32_t number) {
  return static_cast<int>(
      RegSetValue(key, valueName, REG_DWORD, RegDwordData(static_cast<uint32_t>(number))));
}

int vlZTREG_KeyWriteString(HKEY key, const std::string& valueName, const std::string& text) {
  return static_cast<int>(RegSetValue(key, valueName, REG_SZ, RegStringData(text)));
}

int vlZTREG_DeleteSubKey(const std::string& parentKeyPath, const std::string& subKey,
                         int reserved) {
  (void)reserved;
  std::string path;
  std::vector<std::string> names;
  if (!vlZTREG_LocalPath(parentKeyPath, path) || !SplitKeyPath(subKey, names)) return kBadPath;
  if (!path.empty() && !SplitKeyPath(path, names)) return kBadPath;
  auto root = Root();
  std::string full = path.empty() ? subKey : path + "\\" + subKey;
  long rc = RegDeleteTree(root.get(), full);
  return rc == kMissing ? 0 : static_cast<int>(rc);
}

int vlZTREG_Connect(const std::string& computer) {
  std::string name = computer;
  while (!name.empty() && name.front() == '\\') name.erase(0, 1);
  Target& t = CurrentTarget();
  if (name.empty() || name == "." || Upper(name) == Upper(ComputerName())) {
    std::lock_guard<std::mutex> lock(t.mutex);
    t.remote.reset();
    return 0;
  }
  HKEY key;
  long rc = RegConnectRegistry(name, &key);
  if (rc != 0) return static_cast<int>(rc);
  std::lock_guard<std::mutex> lock(t.mutex);
  t.remote = std::shared_ptr<RegKeyObject>(key, [](RegKeyObject* k) { RegCloseKey(k); });
  return 0;
}

HKEY vlZTREG_RemoteRoot() {
  Target& t = CurrentTarget();
  std::lock_guard<std::mutex> lock(t.mutex);
  return t.remote.get();
}

}  // namespace vlzt
