// platform/environment.cpp
#include "platform/environment.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>

extern char** environ;

namespace vlzt::platform {

namespace {

// The value of `name`, or null when no variable has that name in any letter case.
const char* LookUp(const std::string& name) {
  if (const char* value = std::getenv(name.c_str())) return value;
  for (char** entry = environ; entry && *entry; ++entry) {
    const char* eq = std::strchr(*entry, '=');
    if (eq && static_cast<size_t>(eq - *entry) == name.size() &&
        strncasecmp(*entry, name.c_str(), name.size()) == 0)
      return eq + 1;
  }
  return nullptr;
}

}  // namespace

std::string ExpandEnvironmentStrings(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) {
    size_t open = text.find('%', pos);
    if (open == std::string::npos) break;
    size_t close = text.find('%', open + 1);
    if (close == std::string::npos) break;
    out.append(text, pos, open - pos);
    std::string name = text.substr(open + 1, close - open - 1);
    const char* value = name.empty() ? nullptr : LookUp(name);
    if (value) {
      out.append(value);
      pos = close + 1;
    } else {
      // Unknown: keep "%NAME" and let the closing '%' open the next reference, so that
      // "100% of %HOME%" still expands HOME.
      out.append(text, open, close - open);
      pos = close;
    }
  }
  out.append(text, pos, std::string::npos);
  return out;
}

}  // namespace vlzt::platform
