// platform/registry.cpp
// Keys are rows with their lower-cased full path, so a read by path is one indexed lookup;
// ids are never reused, so a handle on a deleted key cannot reach a newer key of that name.
#include "platform/registry.h"

#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/machine_root.h"

namespace vlzt::platform {
namespace {

constexpr long kOk = 0;
constexpr long kNotFound = 2;
constexpr long kAccessDenied = 5;
constexpr long kInvalidData = 13;
constexpr long kBadNetPath = 53;
constexpr long kInvalidParameter = 87;
constexpr long kBusy = 170;
constexpr long kKeyDeleted = 1018;
constexpr long kRegistryIoFailed = 1016;
constexpr long kBadDb = 1009;

constexpr int kBusyTimeoutMs = 30000;
constexpr int64_t kRootId = 1;

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS keys(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  parent INTEGER NOT NULL,
  name TEXT NOT NULL,
  lpath TEXT NOT NULL UNIQUE);
CREATE INDEX IF NOT EXISTS keys_by_parent ON keys(parent, id);
CREATE TABLE IF NOT EXISTS vals(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  key INTEGER NOT NULL,
  name TEXT NOT NULL,
  lname TEXT NOT NULL,
  type INTEGER NOT NULL,
  data BLOB NOT NULL,
  UNIQUE(key, lname));
)sql";

// Keys every new machine root starts with.
constexpr const char* kStandardKeys[] = {
    "SOFTWARE",
    "SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName",
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application",
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\System",
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Security",
    "SYSTEM\\Platform",
};

std::string Fold(const std::string& text) {
  std::string out = text;
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::string JoinKeyPath(const std::string& base, const std::string& rest) {
  if (base.empty()) return rest;
  if (rest.empty()) return base;
  return base + "\\" + rest;
}

// One open database. A connection is used by one thread at a time (the mutex), and a process
// keeps one connection per machine root.
class Database {
 public:
  explicit Database(std::string file) : file_(std::move(file)), pid_(getpid()) {}
  ~Database() {
    for (auto& [sql, stmt] : statements_) sqlite3_finalize(stmt);
    if (db_) sqlite3_close(db_);
  }

  long Open() {
    if (sqlite3_open_v2(file_.c_str(), &db_,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK)
      return Fail("open");
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    sqlite3_exec(db_, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
    sqlite3_exec(db_, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
    if (sqlite3_exec(db_, kSchema, nullptr, nullptr, nullptr) != SQLITE_OK) return Fail("schema");
    return InTransaction([this]() -> long {
      Stmt count(*this, "SELECT count(*) FROM keys");
      if (!count.Row()) return Fail("count");
      if (count.Int64(0) > 0) return kOk;
      Stmt root(*this, "INSERT INTO keys(id, parent, name, lpath) VALUES(1, 0, '', '')");
      if (!root.Done()) return Fail("root");
      for (const char* path : kStandardKeys) {
        int64_t id;
        long rc = CreatePath(kRootId, "", path, &id, nullptr);
        if (rc != kOk) return rc;
      }
      return PutValue(kRootId, "", "SYSTEM\\Platform", "RebootCommand", REG_SZ,
                      RegStringData("/sbin/reboot"));
    });
  }

  bool ForkedAway() const { return pid_ != getpid(); }
  std::recursive_mutex& Mutex() { return mutex_; }

  // Runs `body` inside one write transaction (joining an outer one).
  template <typename F>
  long InTransaction(F&& body) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (depth_ > 0) {
      ++depth_;
      long rc = body();
      --depth_;
      // Only a failure of the database spoils the outer transaction; a "not found" or a
      // refused argument is an answer the caller may act on.
      if (rc == kRegistryIoFailed || rc == kBadDb || rc == kBusy) failed_ = true;
      return rc;
    }
    int rc = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) return rc == SQLITE_BUSY ? kBusy : Fail("begin");
    depth_ = 1;
    failed_ = false;
    long result = body();
    depth_ = 0;
    if (result == kOk && !failed_) {
      if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK) return kOk;
      result = Fail("commit");
    }
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    return result == kOk ? kRegistryIoFailed : result;
  }

  // A prepared statement, reset and unbound when it goes out of scope.
  class Stmt {
   public:
    Stmt(Database& db, const char* sql) : db_(db) {
      auto it = db.statements_.find(sql);
      if (it != db.statements_.end()) {
        stmt_ = it->second;
      } else if (sqlite3_prepare_v2(db.db_, sql, -1, &stmt_, nullptr) == SQLITE_OK) {
        db.statements_[sql] = stmt_;
      } else {
        stmt_ = nullptr;
      }
    }
    ~Stmt() {
      if (stmt_) {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
      }
    }
    Stmt& Bind(int i, int64_t v) {
      if (stmt_) sqlite3_bind_int64(stmt_, i, v);
      return *this;
    }
    Stmt& Bind(int i, const std::string& v) {
      if (stmt_) sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
      return *this;
    }
    Stmt& BindBlob(int i, const std::string& v) {
      if (stmt_) sqlite3_bind_blob(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
      return *this;
    }
    // True while a row is available.
    bool Row() {
      if (!stmt_) return false;
      last_ = sqlite3_step(stmt_);
      return last_ == SQLITE_ROW;
    }
    // True when a statement without rows ran to completion.
    bool Done() {
      if (!stmt_) return false;
      last_ = sqlite3_step(stmt_);
      return last_ == SQLITE_DONE;
    }
    bool Failed() const { return !stmt_ || (last_ != SQLITE_ROW && last_ != SQLITE_DONE); }
    int64_t Int64(int col) { return sqlite3_column_int64(stmt_, col); }
    std::string Text(int col) {
      const void* p = sqlite3_column_blob(stmt_, col);
      int n = sqlite3_column_bytes(stmt_, col);
      return p ? std::string(static_cast<const char*>(p), static_cast<size_t>(n)) : std::string();
    }
    int Changes() { return sqlite3_changes(db_.db_); }

   private:
    Database& db_;
    sqlite3_stmt* stmt_ = nullptr;
    int last_ = SQLITE_OK;
  };

  long Fail(const char* what) {
    const char* msg = db_ ? sqlite3_errmsg(db_) : "cannot open";
    int code = db_ ? sqlite3_errcode(db_) : SQLITE_CANTOPEN;
    std::fprintf(stderr, "registry %s: %s failed: %s\n", file_.c_str(), what, msg);
    if (code == SQLITE_BUSY || code == SQLITE_LOCKED) return kBusy;
    return code == SQLITE_CANTOPEN || code == SQLITE_NOTADB || code == SQLITE_CORRUPT
               ? kBadDb : kRegistryIoFailed;
  }

  // Id of the key with lower-cased path `lpath`, or 0.
  long FindKey(const std::string& lpath, int64_t* id) {
    Stmt s(*this, "SELECT id FROM keys WHERE lpath = ?1");
    s.Bind(1, lpath);
    if (s.Row()) {
      *id = s.Int64(0);
      return kOk;
    }
    return s.Failed() ? Fail("find key") : kNotFound;
  }

  long KeyExists(int64_t id) {
    Stmt s(*this, "SELECT 1 FROM keys WHERE id = ?1");
    s.Bind(1, id);
    if (s.Row()) return kOk;
    return s.Failed() ? Fail("key") : kKeyDeleted;
  }

  // Creates `rest` below the key `baseId` (whose lower-cased path is `baseLpath`).
  long CreatePath(int64_t baseId, const std::string& baseLpath, const std::string& rest,
                  int64_t* id, bool* created) {
    std::vector<std::string> names;
    if (!rest.empty() && !SplitKeyPath(rest, names)) return kInvalidParameter;
    if (created) *created = false;
    int64_t parent = baseId;
    std::string lpath = baseLpath;
    for (const std::string& name : names) {
      lpath = JoinKeyPath(lpath, Fold(name));
      int64_t found;
      long rc = FindKey(lpath, &found);
      if (rc == kNotFound) {
        Stmt ins(*this, "INSERT INTO keys(parent, name, lpath) VALUES(?1, ?2, ?3)");
        ins.Bind(1, parent).Bind(2, name).Bind(3, lpath);
        if (!ins.Done()) return Fail("create key");
        found = sqlite3_last_insert_rowid(db_);
        if (created) *created = true;
      } else if (rc != kOk) {
        return rc;
      }
      parent = found;
    }
    *id = parent;
    return kOk;
  }

  long PutValue(int64_t baseId, const std::string& baseLpath, const std::string& path,
                const std::string& name, uint32_t type, const std::string& data) {
    int64_t id;
    long rc = CreatePath(baseId, baseLpath, path, &id, nullptr);
    if (rc != kOk) return rc;
    return SetValue(id, name, type, data);
  }

  long SetValue(int64_t key, const std::string& name, uint32_t type, const std::string& data) {
    long rc = KeyExists(key);
    if (rc != kOk) return rc;
    Stmt s(*this,
           "INSERT INTO vals(key, name, lname, type, data) VALUES(?1, ?2, ?3, ?4, ?5) "
           "ON CONFLICT(key, lname) DO UPDATE SET type = excluded.type, data = excluded.data");
    s.Bind(1, key).Bind(2, name).Bind(3, Fold(name)).Bind(4, type).BindBlob(5, data);
    return s.Done() ? kOk : Fail("set value");
  }

  sqlite3* Handle() { return db_; }

 private:
  std::string file_;
  pid_t pid_;
  sqlite3* db_ = nullptr;
  std::recursive_mutex mutex_;
  int depth_ = 0;
  bool failed_ = false;
  std::unordered_map<const char*, sqlite3_stmt*> statements_;
};

using Stmt = Database::Stmt;

// The database of machine root `root`, opened once per process.
std::shared_ptr<Database> DatabaseOf(const std::string& root, long* rc) {
  static std::mutex mutex;
  static auto* open = new std::map<std::string, std::shared_ptr<Database>>;
  std::lock_guard<std::mutex> lock(mutex);
  auto it = open->find(root);
  if (it != open->end() && !it->second->ForkedAway()) {
    *rc = kOk;
    return it->second;
  }
  if (it != open->end()) {
    // A connection inherited over fork must not be used or closed here; leave it.
    new std::shared_ptr<Database>(it->second);
    open->erase(it);
  }
  if ((*rc = EnsureMachineRoot(root)) != kOk) return nullptr;
  auto db = std::make_shared<Database>(JoinPath(root, "registry.db"));
  if ((*rc = db->Open()) != kOk) return nullptr;
  (*open)[root] = db;
  return db;
}

}  // namespace

struct RegKeyObject {
  bool localRoot = false;          // the predefined local HKEY_LOCAL_MACHINE
  std::shared_ptr<Database> db;    // unset for the local root, resolved per call
  int64_t id = kRootId;
  std::string lpath;               // lower-cased full path of the key
  uint32_t access = KEY_ALL_ACCESS;
};

namespace {

RegKeyObject g_localRoot{true, nullptr, kRootId, "", KEY_ALL_ACCESS};

// The database behind `key`, or null with `rc` set.
std::shared_ptr<Database> Resolve(HKEY key, long* rc) {
  if (!key) {
    *rc = kInvalidParameter;
    return nullptr;
  }
  if (key->localRoot) return DatabaseOf(MachineRoot(), rc);
  *rc = kOk;
  return key->db;
}

HKEY NewHandle(std::shared_ptr<Database> db, int64_t id, std::string lpath, uint32_t access) {
  auto* key = new RegKeyObject;
  key->db = std::move(db);
  key->id = id;
  key->lpath = std::move(lpath);
  key->access = access;
  return key;
}

// Lower-cased full path of `rest` below `key`; false for a malformed path.
bool FullLpath(HKEY key, const std::string& rest, std::string* lpath) {
  std::vector<std::string> names;
  if (rest.empty()) {
    *lpath = key->lpath;
    return true;
  }
  if (!SplitKeyPath(rest, names)) return false;
  std::string joined;
  for (const auto& n : names) joined = JoinKeyPath(joined, Fold(n));
  *lpath = JoinKeyPath(key->lpath, joined);
  return true;
}

}  // namespace

const HKEY HKEY_LOCAL_MACHINE = &g_localRoot;

bool SplitKeyPath(const std::string& path, std::vector<std::string>& names) {
  names.clear();
  std::string p = path;
  if (!p.empty() && p.back() == '\\') p.pop_back();
  if (p.empty()) return false;
  size_t start = 0;
  while (true) {
    size_t end = p.find('\\', start);
    std::string name = p.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (name.empty() || name.size() > 255) return false;
    names.push_back(std::move(name));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return true;
}

long RegOpenKey(HKEY root, const std::string& path, uint32_t access, HKEY* out) {
  if (!out) return kInvalidParameter;
  *out = nullptr;
  long rc;
  auto db = Resolve(root, &rc);
  if (!db) return rc;
  std::string lpath;
  if (!FullLpath(root, path, &lpath)) return kInvalidParameter;
  std::lock_guard<std::recursive_mutex> lock(db->Mutex());
  int64_t id;
  if (path.empty()) {
    id = root->id;
    if ((rc = db->KeyExists(id)) != kOk) return rc;
  } else if ((rc = db->FindKey(lpath, &id)) != kOk) {
    return rc;
  }
  *out = NewHandle(db, id, lpath, access);
  return kOk;
}

long RegCreateKey(HKEY root, const std::string& path, uint32_t access, HKEY* out, bool* created) {
  if (!out) return kInvalidParameter;
  *out = nullptr;
  long rc;
  auto db = Resolve(root, &rc);
  if (!db) return rc;
  std::string lpath;
  if (!FullLpath(root, path, &lpath)) return kInvalidParameter;
  if (!(root->access & KEY_CREATE_SUB_KEY)) return kAccessDenied;
  int64_t id = 0;
  rc = db->InTransaction([&]() -> long {
    long r = db->KeyExists(root->id);
    if (r != kOk) return r == kKeyDeleted ? 1021 : r;
    return db->CreatePath(root->id, root->lpath, path, &id, created);
  });
  if (rc != kOk) return rc;
  *out = NewHandle(db, id, lpath, access);
  return kOk;
}

long RegCloseKey(HKEY key) {
  if (!key) return kInvalidParameter;
  if (key->localRoot) return kOk;
  delete key;
  return kOk;
}

long RegQueryValue(HKEY key, const std::string& name, RegValue* out) {
  long rc;
  auto db = Resolve(key, &rc);
  if (!db) return rc;
  if (!(key->access & KEY_QUERY_VALUE)) return kAccessDenied;
  std::lock_guard<std::recursive_mutex> lock(db->Mutex());
  Stmt s(*db, "SELECT name, type, data FROM vals WHERE key = ?1 AND lname = ?2");
  s.Bind(1, key->id).Bind(2, Fold(name));
  if (!s.Row()) {
    if (s.Failed()) return db->Fail("query value");
    long exists = db->KeyExists(key->id);
    return exists == kOk ? kNotFound : exists;
  }
  if (out) {
    out->name = s.Text(0);
    out->type = static_cast<uint32_t>(s.Int64(1));
    out->data = s.Text(2);
  }
  return kOk;
}

long RegGetValue(HKEY root, const std::string& path, const std::string& name, RegValue* out) {
  long rc;
  auto db = Resolve(root, &rc);
  if (!db) return rc;
  std::string lpath;
  if (!FullLpath(root, path, &lpath)) return kInvalidParameter;
  std::lock_guard<std::recursive_mutex> lock(db->Mutex());
  Stmt s(*db,
         "SELECT v.name, v.type, v.data FROM keys k JOIN vals v ON v.key = k.id "
         "WHERE k.lpath = ?1 AND v.lname = ?2");
  s.Bind(1, lpath).Bind(2, Fold(name));
  if (!s.Row()) return s.Failed() ? db->Fail("get value") : kNotFound;
  if (out) {
    out->name = s.Text(0);
    out->type = static_cast<uint32_t>(s.Int64(1));
    out->data = s.Text(2);
  }
  return kOk;
}

long RegSetValue(HKEY key, const std::string& name, uint32_t type, const std::string& data) {
  long rc;
  auto db = Resolve(key, &rc);
  if (!db) return rc;
  if (!(key->access & KEY_SET_VALUE)) return kAccessDenied;
  if (name.size() > 16383) return kInvalidParameter;
  return db->InTransaction([&] { return db->SetValue(key->id, name, type, data); });
}

long RegPutValue(HKEY root, const std::string& path, const std::string& name, uint32_t type,
                 const std::string& data) {
  long rc;
  auto db = Resolve(root, &rc);
  if (!db) return rc;
  std::vector<std::string> names;
  if (!path.empty() && !SplitKeyPath(path, names)) return kInvalidParameter;
  if (!(root->access & KEY_SET_VALUE)) return kAccessDenied;
  return db->InTransaction([&]() -> long {
    long r = db->KeyExists(root->id);
    if (r != kOk) return r;
    return db->PutValue(root->id, root->lpath, path, name, type, data);
  });
}

long RegDeleteValue(HKEY key, const std::string& name) {
  long rc;
  auto db = Resolve(key, &rc);
  if (!db) return rc;
  if (!(key->access & KEY_SET_VALUE)) return kAccessDenied;
  return db->InTransaction([&]() -> long {
    long r = db->KeyExists(key->id);
    if (r != kOk) return r;
    Stmt s(*db, "DELETE FROM vals WHERE key = ?1 AND lname = ?2");
    s.Bind(1, key->id).Bind(2, Fold(name));
    if (!s.Done()) return db->Fail("delete value");
    return s.Changes() > 0 ? kOk : kNotFound;
  });
}

long RegEnumKeys(HKEY key, std::vector<std::string>* names) {
  long rc;
  auto db = Resolve(key, &rc);
  if (!db) return rc;
  if (!(key->access & KEY_ENUMERATE_SUB_KEYS)) return kAccessDenied;
  std::lock_guard<std::recursive_mutex> lock(db->Mutex());
  if ((rc = db->KeyExists(key->id)) != kOk) return rc;
  names->clear();
  Stmt s(*db, "SELECT name FROM keys WHERE parent = ?1 AND id <> ?1 ORDER BY id");
  s.Bind(1, key->id);
  while (s.Row()) names->push_back(s.Text(0));
  return s.Failed() ? db->Fail("enumerate keys") : kOk;
}

long RegEnumValues(HKEY key, std::vector<RegValue>* values) {
  long rc;
  auto db = Resolve(key, &rc);
  if (!db) return rc;
  if (!(key->access & KEY_QUERY_VALUE)) return kAccessDenied;
  std::lock_guard<std::recursive_mutex> lock(db->Mutex());
  if ((rc = db->KeyExists(key->id)) != kOk) return rc;
  values->clear();
  Stmt s(*db, "SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY id");
  s.Bind(1, key->id);
  while (s.Row())
    values->push_back({s.Text(0), static_cast<uint32_t>(s.Int64(1)), s.Text(2)});
  return s.Failed() ? db->Fail("enumerate values") : kOk;
}

long RegDeleteTree(HKEY key, const std::string& subkey) {
  long rc;
  auto db = Resolve(key, &rc);
  if (!db) return rc;
  std::string lpath;
  if (subkey.empty() || !FullLpath(key, subkey, &lpath)) return kInvalidParameter;
  if (!(key->access & (KEY_SET_VALUE | KEY_CREATE_SUB_KEY))) return kAccessDenied;
  return db->InTransaction([&]() -> long {
    int64_t id;
    long r = db->FindKey(lpath, &id);
    if (r != kOk) return r;
    // Children sort between "path\" and "path]" (']' follows '\').
    std::string low = lpath + "\\", high = lpath + "]";
    Stmt vals(*db,
              "DELETE FROM vals WHERE key IN (SELECT id FROM keys WHERE lpath = ?1 OR "
              "(lpath >= ?2 AND lpath < ?3))");
    vals.Bind(1, lpath).Bind(2, low).Bind(3, high);
    if (!vals.Done()) return db->Fail("delete tree values");
    Stmt keys(*db, "DELETE FROM keys WHERE lpath = ?1 OR (lpath >= ?2 AND lpath < ?3)");
    keys.Bind(1, lpath).Bind(2, low).Bind(3, high);
    return keys.Done() ? kOk : db->Fail("delete tree keys");
  });
}

long RegConnectRegistry(const std::string& computer, HKEY* out) {
  if (!out) return kInvalidParameter;
  *out = nullptr;
  std::string root = RootOfComputer(computer);
  if (root.empty() || access(root.c_str(), F_OK) != 0) return kBadNetPath;
  long rc;
  auto db = DatabaseOf(root, &rc);
  if (!db) return rc;
  *out = NewHandle(db, kRootId, "", KEY_ALL_ACCESS);
  return kOk;
}

long RegTransaction(HKEY root, const std::function<long()>& body) {
  long rc;
  auto db = Resolve(root, &rc);
  if (!db) return rc;
  return db->InTransaction(body);
}

std::string RegStringData(const std::string& text) { return text + '\0'; }

std::string RegDwordData(uint32_t n) {
  std::string d(4, '\0');
  for (int i = 0; i < 4; ++i) d[static_cast<size_t>(i)] = static_cast<char>((n >> (8 * i)) & 0xFF);
  return d;
}

std::string RegMultiData(const std::vector<std::string>& texts) {
  std::string d;
  for (const auto& t : texts) {
    d += t;
    d += '\0';
  }
  d += '\0';
  return d;
}

std::string RegDataString(const std::string& data) { return data.substr(0, data.find('\0')); }

std::vector<std::string> RegDataMulti(const std::string& data) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start < data.size()) {
    size_t end = data.find('\0', start);
    if (end == std::string::npos) end = data.size();
    if (end == start) break;  // the closing empty text
    out.push_back(data.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

uint32_t RegDataDword(const std::string& data) {
  uint32_t n = 0;
  for (size_t i = 0; i < 4 && i < data.size(); ++i)
    n |= static_cast<uint32_t>(static_cast<unsigned char>(data[i])) << (8 * i);
  return n;
}

}  // namespace vlzt::platform
