// tools/regfile.cpp
#include "tools/regfile.h"

#include <cstdio>

#include "support/vlZTREG.h"

namespace vlzt::tools {
namespace {

using namespace platform;

constexpr const char* kVersion5 = "Windows Registry Editor Version 5.00";
constexpr const char* kVersion4 = "REGEDIT4";

bool IsStringType(uint32_t type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// UTF-16LE (with its mark) becomes single-byte text; code units above 255 become '?'.
std::string DecodeFile(const std::string& raw) {
  if (raw.size() >= 2 && static_cast<unsigned char>(raw[0]) == 0xFF &&
      static_cast<unsigned char>(raw[1]) == 0xFE) {
    std::string out;
    for (size_t i = 2; i + 1 < raw.size(); i += 2) {
      unsigned unit = static_cast<unsigned char>(raw[i]) |
                      (static_cast<unsigned>(static_cast<unsigned char>(raw[i + 1])) << 8);
      out += unit < 256 ? static_cast<char>(unit) : '?';
    }
    return out;
  }
  if (raw.compare(0, 3, "\xEF\xBB\xBF") == 0) return raw.substr(3);
  return raw;
}

// True when the first name of `path` is HKEY_LOCAL_MACHINE (or HKLM).
bool HasLocalRoot(const std::string& path) {
  std::string first = path.substr(0, path.find('\\'));
  for (char& c : first) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return first == "HKEY_LOCAL_MACHINE" || first == "HKLM";
}

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

// Reads a quoted text starting at s[pos] == '"'; `pos` ends after the closing quote.
bool ParseQuoted(const std::string& s, size_t& pos, std::string* out) {
  if (pos >= s.size() || s[pos] != '"') return false;
  out->clear();
  for (++pos; pos < s.size(); ++pos) {
    char c = s[pos];
    if (c == '"') {
      ++pos;
      return true;
    }
    if (c == '\\' && pos + 1 < s.size()) c = s[++pos];
    *out += c;
  }
  return false;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseHexBytes(const std::string& text, std::string* bytes) {
  bytes->clear();
  std::string t = Trim(text);
  if (t.empty()) return true;
  size_t pos = 0;
  while (true) {
    while (pos < t.size() && (t[pos] == ' ' || t[pos] == '\t')) ++pos;
    if (pos >= t.size()) return false;
    int hi = HexDigit(t[pos]);
    int lo = pos + 1 < t.size() ? HexDigit(t[pos + 1]) : -1;
    if (hi < 0) return false;
    if (lo < 0) {  // a single digit byte
      *bytes += static_cast<char>(hi);
      pos += 1;
    } else {
      *bytes += static_cast<char>(hi * 16 + lo);
      pos += 2;
    }
    while (pos < t.size() && (t[pos] == ' ' || t[pos] == '\t')) ++pos;
    if (pos == t.size()) return true;
    if (t[pos] != ',') return false;
    ++pos;
  }
}

std::string FromUtf16(const std::string& bytes) {
  std::string out;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    unsigned unit = static_cast<unsigned char>(bytes[i]) |
                    (static_cast<unsigned>(static_cast<unsigned char>(bytes[i + 1])) << 8);
    out += unit < 256 ? static_cast<char>(unit) : '?';
  }
  return out;
}

std::string ToUtf16(const std::string& bytes) {
  std::string out;
  for (char c : bytes) {
    out += c;
    out += '\0';
  }
  return out;
}

// The data part of a value line (after '='), into `value`.
bool ParseData(const std::string& data, bool version5, RegValue* value, bool* remove,
               std::string* why) {
  *remove = false;
  std::string d = Trim(data);
  if (d == "-") {
    *remove = true;
    return true;
  }
  if (!d.empty() && d[0] == '"') {
    size_t pos = 0;
    std::string text;
    if (!ParseQuoted(d, pos, &text) || !Trim(d.substr(pos)).empty()) {
      *why = "malformed string data";
      return false;
    }
    value->type = REG_SZ;
    value->data = RegStringData(text);
    return true;
  }
  std::string lower = d;
  for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  if (lower.rfind("dword:", 0) == 0) {
    std::string digits = Trim(d.substr(6));
    if (digits.empty() || digits.size() > 8) {
      *why = "a dword needs 1 to 8 hexadecimal digits";
      return false;
    }
    uint32_t n = 0;
    for (char c : digits) {
      int h = HexDigit(c);
      if (h < 0) {
        *why = "a dword needs 1 to 8 hexadecimal digits";
        return false;
      }
      n = n * 16 + static_cast<uint32_t>(h);
    }
    value->type = REG_DWORD;
    value->data = RegDwordData(n);
    return true;
  }
  uint32_t type = REG_BINARY;
  size_t colon;
  if (lower.rfind("hex:", 0) == 0) {
    colon = 3;
  } else if (lower.rfind("hex(", 0) == 0) {
    size_t close = lower.find(')');
    if (close == std::string::npos || close == 4 || close + 1 >= lower.size() ||
        lower[close + 1] != ':') {
      *why = "malformed hex(type) data";
      return false;
    }
    type = 0;
    for (size_t i = 4; i < close; ++i) {
      int h = HexDigit(lower[i]);
      if (h < 0 || i > 11) {
        *why = "malformed hex(type) data";
        return false;
      }
      type = type * 16 + static_cast<uint32_t>(h);
    }
    colon = close + 1;
  } else {
    *why = "unknown data form (expected \"text\", dword:, hex: or hex(n):)";
    return false;
  }
  std::string bytes;
  if (!ParseHexBytes(d.substr(colon + 1), &bytes)) {
    *why = "malformed hex bytes";
    return false;
  }
  if (version5 && IsStringType(type)) bytes = FromUtf16(bytes);
  value->type = type;
  value->data = bytes;
  return true;
}

std::string Quote(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

// hex bytes in lines of at most 80 characters, continued with a backslash.
std::string HexList(const std::string& prefix, const std::string& bytes) {
  std::string out = prefix;
  size_t width = prefix.size();
  char cell[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(cell, sizeof cell, "%02x", static_cast<unsigned char>(bytes[i]));
    out += cell;
    width += 2;
    if (i + 1 < bytes.size()) {
      out += ',';
      ++width;
      if (width >= 76) {
        out += "\\\n  ";
        width = 2;
      }
    }
  }
  return out;
}

// True when REG_SZ data can be written as a quoted text and read back unchanged.
bool PlainText(const RegValue& v) {
  if (v.data.empty() || v.data.back() != '\0') return false;
  std::string text = v.data.substr(0, v.data.size() - 1);
  for (char c : text)
    if (c == '\0' || c == '\r' || c == '\n') return false;
  return true;
}

std::string ValueLine(const RegValue& v) {
  std::string line = v.name.empty() ? "@=" : Quote(v.name) + "=";
  if (v.type == REG_SZ && PlainText(v)) return line + Quote(v.data.substr(0, v.data.size() - 1));
  if (v.type == REG_DWORD && v.data.size() == 4) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "dword:%08x", RegDataDword(v.data));
    return line + hex;
  }
  if (v.type == REG_BINARY) return HexList(line + "hex:", v.data);
  char prefix[24];
  std::snprintf(prefix, sizeof prefix, "hex(%x):", v.type);
  return HexList(line + prefix, IsStringType(v.type) ? ToUtf16(v.data) : v.data);
}

bool ExportKey(HKEY key, const std::string& path, std::string* text, std::string* error) {
  std::vector<RegValue> values;
  std::vector<std::string> subkeys;
  long rc = RegEnumValues(key, &values);
  if (rc == 0) rc = RegEnumKeys(key, &subkeys);
  if (rc != 0) {
    *error = "cannot read " + FullKeyName(path) + " (error " + std::to_string(rc) + ")";
    return false;
  }
  text->append("[").append(FullKeyName(path)).append("]\n");
  for (const RegValue& v : values) *text += ValueLine(v) + "\n";
  *text += "\n";
  for (const std::string& name : subkeys) {
    HKEY sub;
    if ((rc = RegOpenKey(key, name, KEY_READ, &sub)) != 0) {
      *error = "cannot open " + FullKeyName(path + "\\" + name) + " (error " +
               std::to_string(rc) + ")";
      return false;
    }
    bool ok = ExportKey(sub, path.empty() ? name : path + "\\" + name, text, error);
    RegCloseKey(sub);
    if (!ok) return false;
  }
  return true;
}

}  // namespace

std::string FullKeyName(const std::string& path) {
  return path.empty() ? "HKEY_LOCAL_MACHINE" : "HKEY_LOCAL_MACHINE\\" + path;
}

bool ParseRegFile(const std::string& raw, std::vector<RegFileOp>* ops, std::string* error) {
  std::string text = DecodeFile(raw);
  ops->clear();
  std::vector<std::string> lines;
  size_t start = 0;
  while (start <= text.size()) {
    size_t nl = text.find('\n', start);
    std::string line = text.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    if (nl == std::string::npos) break;
    start = nl + 1;
  }
  size_t i = 0;
  while (i < lines.size() && Trim(lines[i]).empty()) ++i;
  if (i == lines.size() || (Trim(lines[i]) != kVersion5 && Trim(lines[i]) != kVersion4)) {
    *error = std::to_string(i < lines.size() ? i + 1 : 1) + ": not a registry file (the first line must be \"" +
             kVersion5 + "\" or \"" + kVersion4 + "\")";
    return false;
  }
  bool version5 = Trim(lines[i]) == kVersion5;
  std::string key;
  bool haveKey = false;
  for (++i; i < lines.size(); ++i) {
    int lineNo = static_cast<int>(i + 1);
    std::string line = Trim(lines[i]);
    if (line.empty() || line[0] == ';') continue;
    auto fail = [&](const std::string& why) {
      *error = std::to_string(lineNo) + ": " + why;
      return false;
    };
    if (line[0] == '[') {
      if (line.back() != ']') return fail("a key line must end with ']'");
      bool remove = line.size() > 1 && line[1] == '-';
      std::string name = line.substr(remove ? 2 : 1, line.size() - (remove ? 3 : 2));
      std::string path;
      if (!HasLocalRoot(name) || !vlZTREG_LocalPath(name, path))
        return fail("only keys below HKEY_LOCAL_MACHINE can be imported");
      std::vector<std::string> names;
      if (!path.empty() && !SplitKeyPath(path, names)) return fail("malformed key path");
      if (remove) {
        if (path.empty()) return fail("HKEY_LOCAL_MACHINE itself cannot be deleted");
        ops->push_back({RegFileOp::kDeleteKey, path, {}, lineNo});
        haveKey = false;
      } else {
        ops->push_back({RegFileOp::kCreateKey, path, {}, lineNo});
        key = path;
        haveKey = true;
      }
      continue;
    }
    RegValue value;
    size_t pos = 0;
    if (line[0] == '@') {
      pos = 1;
    } else if (!ParseQuoted(line, pos, &value.name)) {
      return fail("expected a key in brackets, \"name\"=data or @=data");
    }
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    if (pos >= line.size() || line[pos] != '=') return fail("expected '=' after the value name");
    std::string data = line.substr(pos + 1);
    // Hex data may go on over lines that end in a backslash.
    while (!data.empty() && Trim(data).back() == '\\' && Trim(data).find('"') != 0) {
      data = Trim(data);
      data.pop_back();
      if (++i >= lines.size()) return fail("the file ends inside continued data");
      data += Trim(lines[i]);
    }
    if (!haveKey) return fail("a value must follow a key line");
    bool remove;
    std::string why;
    if (!ParseData(data, version5, &value, &remove, &why)) return fail(why);
    ops->push_back({remove ? RegFileOp::kDeleteValue : RegFileOp::kSetValue, key, value, lineNo});
  }
  return true;
}

bool ApplyRegFile(HKEY root, const std::vector<RegFileOp>& ops, std::string* error) {
  long rc = RegTransaction(root, [&]() -> long {
    for (const RegFileOp& op : ops) {
      long r = 0;
      HKEY key = nullptr;
      switch (op.kind) {
        case RegFileOp::kCreateKey:
          if (op.key.empty()) break;
          r = RegCreateKey(root, op.key, KEY_READ, &key);
          if (r == 0) RegCloseKey(key);
          break;
        case RegFileOp::kDeleteKey:
          r = RegDeleteTree(root, op.key);
          if (r == 2) r = 0;  // already gone
          break;
        case RegFileOp::kSetValue:
          r = RegPutValue(root, op.key, op.value.name, op.value.type, op.value.data);
          break;
        case RegFileOp::kDeleteValue:
          if (RegOpenKey(root, op.key, KEY_ALL_ACCESS, &key) == 0) {
            r = RegDeleteValue(key, op.value.name);
            RegCloseKey(key);
          }
          if (r == 2) r = 0;
          break;
      }
      if (r != 0) {
        *error = std::to_string(op.line) + ": the change failed (error " + std::to_string(r) + ")";
        return r;
      }
    }
    return 0;
  });
  if (rc != 0 && error->empty()) *error = "the registry could not be written (error " + std::to_string(rc) + ")";
  return rc == 0;
}

bool ExportRegFile(HKEY root, const std::string& path, std::string* text, std::string* error) {
  HKEY key;
  long rc = RegOpenKey(root, path, KEY_READ, &key);
  if (rc != 0) {
    *error = rc == 2 ? "The system was unable to find the specified registry key or value."
                     : "cannot open " + FullKeyName(path) + " (error " + std::to_string(rc) + ")";
    return false;
  }
  *text = std::string(kVersion5) + "\n\n";
  bool ok = ExportKey(key, path, text, error);
  RegCloseKey(key);
  return ok;
}

}  // namespace vlzt::tools
