// tools/regfile.h
// Registry files (.reg): the text form administrators use to save and restore key trees.
// Reads "Windows Registry Editor Version 5.00" and "REGEDIT4" files (UTF-16LE with a byte
// order mark or single-byte text), writes the first form as single-byte text.
#pragma once
#include <string>
#include <vector>

#include "platform/registry.h"

namespace vlzt::tools {

// One change a registry file asks for, in file order.
struct RegFileOp {
  enum Kind { kCreateKey, kDeleteKey, kSetValue, kDeleteValue } kind;
  std::string key;  // path below HKEY_LOCAL_MACHINE
  platform::RegValue value;
  int line = 0;
};

// Parses `text`; false with `error` set to "LINE: reason" for the first error.
bool ParseRegFile(const std::string& text, std::vector<RegFileOp>* ops, std::string* error);

// Applies `ops` below `root` in one transaction; false with `error` set when any fails
// (and then nothing is changed).
bool ApplyRegFile(platform::HKEY root, const std::vector<RegFileOp>& ops, std::string* error);

// The text of the tree below `path` ("" is the whole registry) in the version 5 form.
bool ExportRegFile(platform::HKEY root, const std::string& path, std::string* text,
                   std::string* error);

// The display name of a key path: "HKEY_LOCAL_MACHINE\" followed by the path.
std::string FullKeyName(const std::string& path);

}  // namespace vlzt::tools
