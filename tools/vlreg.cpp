// tools/vlreg.cpp
// vlreg: the administrator's command-line tool over the registry of this machine root.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "support/vlZTREG.h"
#include "tools/regfile.h"

using namespace vlzt;
using namespace vlzt::platform;
using vlzt::tools::FullKeyName;

namespace {

constexpr const char* kUsage = R"(Usage:
  vlreg query  KEY [/v NAME | /ve] [/s]
  vlreg add    KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]
  vlreg delete KEY [/v NAME | /ve | /va] [/f]
  vlreg export KEY FILE [/y]
  vlreg import FILE

KEY      a key below HKEY_LOCAL_MACHINE, written HKLM\PATH, HKEY_LOCAL_MACHINE\PATH or PATH
/v NAME  the value NAME; /ve the default (unnamed) value; /va every value of the key
/s       query: include every subkey; add: the separator of REG_MULTI_SZ texts (default \0)
/t TYPE  REG_SZ (default), REG_EXPAND_SZ, REG_DWORD, REG_BINARY or REG_MULTI_SZ
/d DATA  REG_DWORD: decimal or 0x hexadecimal; REG_BINARY: hexadecimal digits
/f, /y   do not ask before replacing or deleting

The registry is that of the machine root $VLZT_ROOT (default /var/lib/vlzt).
Exit status: 0 on success, 1 on failure.
)";

int Fail(const std::string& message) {
  std::fprintf(stderr, "ERROR: %s\n", message.c_str());
  return 1;
}

int Done() {
  std::printf("The operation completed successfully.\n");
  return 0;
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return s;
}

// Options of one command line: switches ("/F") and switches with their argument ("/V").
struct Options {
  std::vector<std::string> positional;
  std::vector<std::pair<std::string, std::string>> switches;
  std::string error;

  bool Has(const std::string& name) const {
    for (const auto& s : switches)
      if (s.first == name) return true;
    return false;
  }
  std::string Get(const std::string& name) const {
    for (const auto& s : switches)
      if (s.first == name) return s.second;
    return "";
  }
};

Options ParseOptions(int argc, char** argv, int first, const std::vector<std::string>& withArg) {
  Options o;
  for (int i = first; i < argc; ++i) {
    std::string a = argv[i];
    std::string name;
    if (a.size() >= 2 && (a[0] == '/' || a[0] == '-')) name.append("/").append(Upper(a.substr(1)));
    static const char* const kKnown[] = {"/V", "/VE", "/VA", "/T", "/D", "/S", "/F", "/Y"};
    bool known = false;
    for (const char* k : kKnown) known |= name == k;
    if (known) {
      bool takes = false;
      for (const auto& w : withArg) takes |= w == name;
      if (takes) {
        if (i + 1 >= argc) {
          o.error = "Option " + a + " needs an argument.";
          return o;
        }
        o.switches.push_back({name, argv[++i]});
      } else {
        o.switches.push_back({name, ""});
      }
    } else {
      o.positional.push_back(a);
    }
  }
  return o;
}

bool Confirm(const std::string& question) {
  std::printf("%s (Yes/No)? ", question.c_str());
  std::fflush(stdout);
  std::string answer;
  if (!std::getline(std::cin, answer)) {
    std::printf("\n");
    return false;
  }
  return !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y');
}

bool KeyPath(const std::string& text, std::string* path, std::string* error) {
  if (!vlZTREG_LocalPath(text, *path)) {
    *error = "Invalid key name: only HKEY_LOCAL_MACHINE (HKLM) is available.";
    return false;
  }
  std::vector<std::string> names;
  if (!path->empty() && !SplitKeyPath(*path, names)) {
    *error = "Invalid key name: \"" + text + "\" has an empty or over-long name.";
    return false;
  }
  if (!path->empty() && path->back() == '\\') path->pop_back();
  return true;
}

const char* TypeName(uint32_t type) {
  switch (type) {
    case REG_SZ: return "REG_SZ";
    case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case REG_BINARY: return "REG_BINARY";
    case REG_DWORD: return "REG_DWORD";
    case REG_MULTI_SZ: return "REG_MULTI_SZ";
    case REG_NONE: return "REG_NONE";
    default: return "REG_UNKNOWN";
  }
}

std::string ShowData(const RegValue& v) {
  char buf[16];
  switch (v.type) {
    case REG_SZ:
    case REG_EXPAND_SZ: return RegDataString(v.data);
    case REG_DWORD:
      std::snprintf(buf, sizeof buf, "0x%x", RegDataDword(v.data));
      return buf;
    case REG_MULTI_SZ: {
      std::string out;
      for (const auto& t : RegDataMulti(v.data)) out += (out.empty() ? "" : "\\0") + t;
      return out;
    }
    default: {
      std::string out;
      for (unsigned char c : v.data) {
        std::snprintf(buf, sizeof buf, "%02X", c);
        out += buf;
      }
      return out;
    }
  }
}

void PrintValue(const RegValue& v) {
  std::printf("    %s    %s    %s\n", v.name.empty() ? "(Default)" : v.name.c_str(),
              TypeName(v.type), ShowData(v).c_str());
}

int QueryKey(HKEY key, const std::string& path, bool recursive) {
  std::vector<RegValue> values;
  std::vector<std::string> subkeys;
  long rc = RegEnumValues(key, &values);
  if (rc == 0) rc = RegEnumKeys(key, &subkeys);
  if (rc != 0) return Fail("Cannot read " + FullKeyName(path) + " (error " + std::to_string(rc) + ").");
  std::printf("\n%s\n", FullKeyName(path).c_str());
  for (const RegValue& v : values) PrintValue(v);
  for (const std::string& name : subkeys) {
    std::string sub = path.empty() ? name : path + "\\" + name;
    if (!recursive) {
      std::printf("\n%s", FullKeyName(sub).c_str());
      continue;
    }
    HKEY child;
    if (RegOpenKey(key, name, KEY_READ, &child) != 0) continue;  // deleted meanwhile
    int r = QueryKey(child, sub, true);
    RegCloseKey(child);
    if (r != 0) return r;
  }
  if (!recursive && !subkeys.empty()) std::printf("\n");
  return 0;
}

int Query(const Options& o) {
  std::string path, error;
  if (o.positional.size() != 1) return Fail("query needs exactly one KEY. Type \"vlreg --help\" for usage.");
  if (!KeyPath(o.positional[0], &path, &error)) return Fail(error);
  HKEY key;
  long rc = RegOpenKey(HKEY_LOCAL_MACHINE, path, KEY_READ, &key);
  if (rc == 2) return Fail("The system was unable to find the specified registry key or value.");
  if (rc != 0) return Fail("Cannot open " + FullKeyName(path) + " (error " + std::to_string(rc) + ").");
  int result = 0;
  if (o.Has("/V") || o.Has("/VE")) {
    RegValue v;
    rc = RegQueryValue(key, o.Has("/VE") ? "" : o.Get("/V"), &v);
    if (rc == 0) {
      std::printf("\n%s\n", FullKeyName(path).c_str());
      PrintValue(v);
      std::printf("\n");
    } else {
      result = Fail(rc == 2 ? "The system was unable to find the specified registry key or value."
                            : "Cannot read the value (error " + std::to_string(rc) + ").");
    }
  } else {
    result = QueryKey(key, path, o.Has("/S"));
    if (result == 0) std::printf("\n");
  }
  RegCloseKey(key);
  return result;
}

bool BuildData(const std::string& typeName, const std::string& text, const std::string& sep,
               uint32_t* type, std::string* data, std::string* error) {
  std::string t = Upper(typeName.empty() ? "REG_SZ" : typeName);
  if (t == "REG_SZ" || t == "REG_EXPAND_SZ") {
    *type = t == "REG_SZ" ? REG_SZ : REG_EXPAND_SZ;
    *data = RegStringData(text);
    return true;
  }
  if (t == "REG_DWORD") {
    const char* s = text.c_str();
    char* end = nullptr;
    errno = 0;
    unsigned long long n = std::strtoull(s, &end, 0);
    if (text.empty() || *end != '\0' || errno != 0 || n > 0xFFFFFFFFull || text[0] == '-') {
      *error = "Invalid REG_DWORD data \"" + text + "\": give a number from 0 to 4294967295 (decimal or 0x hexadecimal).";
      return false;
    }
    *type = REG_DWORD;
    *data = RegDwordData(static_cast<uint32_t>(n));
    return true;
  }
  if (t == "REG_BINARY") {
    if (text.size() % 2 != 0 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
      *error = "Invalid REG_BINARY data \"" + text + "\": give an even number of hexadecimal digits.";
      return false;
    }
    data->clear();
    for (size_t i = 0; i < text.size(); i += 2)
      *data += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
    *type = REG_BINARY;
    return true;
  }
  if (t == "REG_MULTI_SZ") {
    std::vector<std::string> parts;
    std::string s = sep.empty() ? "\\0" : sep;
    size_t start = 0;
    while (!text.empty()) {
      size_t at = text.find(s, start);
      parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
      if (at == std::string::npos) break;
      start = at + s.size();
    }
    for (const auto& p : parts)
      if (p.empty()) {
        *error = "Invalid REG_MULTI_SZ data: the texts may not be empty.";
        return false;
      }
    *type = REG_MULTI_SZ;
    *data = RegMultiData(parts);
    return true;
  }
  *error = "Invalid type \"" + typeName + "\": use REG_SZ, REG_EXPAND_SZ, REG_DWORD, REG_BINARY or REG_MULTI_SZ.";
  return false;
}

int Add(const Options& o) {
  std::string path, error;
  if (o.positional.size() != 1) return Fail("add needs exactly one KEY. Type \"vlreg --help\" for usage.");
  if (!KeyPath(o.positional[0], &path, &error)) return Fail(error);
  if (path.empty()) return Fail("Invalid key name: give a key below HKEY_LOCAL_MACHINE.");
  bool value = o.Has("/V") || o.Has("/VE");
  if (!value && (o.Has("/T") || o.Has("/D")))
    return Fail("/t and /d need /v NAME or /ve.");
  HKEY key;
  if (!value) {
    long rc = RegCreateKey(HKEY_LOCAL_MACHINE, path, KEY_READ, &key);
    if (rc != 0) return Fail("Cannot create " + FullKeyName(path) + " (error " + std::to_string(rc) + ").");
    RegCloseKey(key);
    return Done();
  }
  std::string name = o.Has("/VE") ? "" : o.Get("/V");
  uint32_t type;
  std::string data;
  if (!BuildData(o.Get("/T"), o.Get("/D"), o.Get("/S"), &type, &data, &error)) return Fail(error);
  if (!o.Has("/F") && RegGetValue(HKEY_LOCAL_MACHINE, path, name, nullptr) == 0 &&
      !Confirm("Value " + (name.empty() ? std::string("(Default)") : name) + " exists, overwrite"))
    return Fail("The operation was cancelled by the user.");
  long rc = RegPutValue(HKEY_LOCAL_MACHINE, path, name, type, data);
  if (rc != 0) return Fail("Cannot write the value (error " + std::to_string(rc) + ").");
  return Done();
}

int Delete(const Options& o) {
  std::string path, error;
  if (o.positional.size() != 1) return Fail("delete needs exactly one KEY. Type \"vlreg --help\" for usage.");
  if (!KeyPath(o.positional[0], &path, &error)) return Fail(error);
  if (path.empty()) return Fail("HKEY_LOCAL_MACHINE itself cannot be deleted.");
  HKEY key;
  long rc = RegOpenKey(HKEY_LOCAL_MACHINE, path, KEY_ALL_ACCESS, &key);
  if (rc == 2) return Fail("The system was unable to find the specified registry key or value.");
  if (rc != 0) return Fail("Cannot open " + FullKeyName(path) + " (error " + std::to_string(rc) + ").");
  auto finish = [&](int r) {
    RegCloseKey(key);
    return r;
  };
  if (o.Has("/V") || o.Has("/VE")) {
    std::string name = o.Has("/VE") ? "" : o.Get("/V");
    if (RegQueryValue(key, name, nullptr) != 0)
      return finish(Fail("The system was unable to find the specified registry key or value."));
    if (!o.Has("/F") && !Confirm("Delete the registry value " + (name.empty() ? std::string("(Default)") : name)))
      return finish(Fail("The operation was cancelled by the user."));
    rc = RegDeleteValue(key, name);
  } else if (o.Has("/VA")) {
    if (!o.Has("/F") && !Confirm("Delete all values under the registry key " + FullKeyName(path)))
      return finish(Fail("The operation was cancelled by the user."));
    rc = RegTransaction(HKEY_LOCAL_MACHINE, [&]() -> long {
      std::vector<RegValue> values;
      long r = RegEnumValues(key, &values);
      for (size_t i = 0; r == 0 && i < values.size(); ++i) r = RegDeleteValue(key, values[i].name);
      return r;
    });
  } else {
    if (!o.Has("/F") && !Confirm("Permanently delete the registry key " + FullKeyName(path)))
      return finish(Fail("The operation was cancelled by the user."));
    rc = RegDeleteTree(HKEY_LOCAL_MACHINE, path);
  }
  if (rc != 0) return finish(Fail("The deletion failed (error " + std::to_string(rc) + ")."));
  return finish(Done());
}

int Export(const Options& o) {
  std::string path, error, text;
  if (o.positional.size() != 2) return Fail("export needs KEY and FILE. Type \"vlreg --help\" for usage.");
  if (!KeyPath(o.positional[0], &path, &error)) return Fail(error);
  const std::string& file = o.positional[1];
  if (!tools::ExportRegFile(HKEY_LOCAL_MACHINE, path, &text, &error)) return Fail(error);
  if (!o.Has("/Y") && access(file.c_str(), F_OK) == 0 && !Confirm("File " + file + " already exists. Overwrite it"))
    return Fail("The operation was cancelled by the user.");
  std::string temp = file + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.good()) return Fail("Cannot write " + file + ": " + std::strerror(errno));
  }
  if (std::rename(temp.c_str(), file.c_str()) != 0) {
    std::remove(temp.c_str());
    return Fail("Cannot write " + file + ": " + std::strerror(errno));
  }
  return Done();
}

int Import(const Options& o) {
  if (o.positional.size() != 1) return Fail("import needs exactly one FILE. Type \"vlreg --help\" for usage.");
  const std::string& file = o.positional[0];
  std::ifstream in(file, std::ios::binary);
  if (!in) return Fail("Cannot open " + file + ": " + std::strerror(errno));
  std::ostringstream raw;
  raw << in.rdbuf();
  std::vector<tools::RegFileOp> ops;
  std::string error;
  if (!tools::ParseRegFile(raw.str(), &ops, &error)) return Fail(file + ":" + error + "; nothing was imported.");
  if (!tools::ApplyRegFile(HKEY_LOCAL_MACHINE, ops, &error)) return Fail(file + ":" + error + "; nothing was imported.");
  return Done();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return 1;
  }
  std::string command = argv[1];
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h" || a == "/?" || a == "-?") {
      std::fputs(kUsage, stdout);
      return 0;
    }
  }
  std::string c = Upper(command);
  if (c == "QUERY") {
    Options o = ParseOptions(argc, argv, 2, {"/V"});
    return o.error.empty() ? Query(o) : Fail(o.error);
  }
  if (c == "ADD") {
    Options o = ParseOptions(argc, argv, 2, {"/V", "/T", "/D", "/S"});
    return o.error.empty() ? Add(o) : Fail(o.error);
  }
  if (c == "DELETE") {
    Options o = ParseOptions(argc, argv, 2, {"/V"});
    return o.error.empty() ? Delete(o) : Fail(o.error);
  }
  if (c == "EXPORT") {
    Options o = ParseOptions(argc, argv, 2, {});
    return o.error.empty() ? Export(o) : Fail(o.error);
  }
  if (c == "IMPORT") {
    Options o = ParseOptions(argc, argv, 2, {});
    return o.error.empty() ? Import(o) : Fail(o.error);
  }
  return Fail("Unknown command \"" + command + "\". Type \"vlreg --help\" for usage.");
}
