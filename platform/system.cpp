// platform/system.cpp
#include "platform/system.h"

#include <unistd.h>

#include "platform/registry.h"

namespace vlzt::platform {

std::string ComputerName() {
  RegValue value;
  if (RegGetValue(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName",
                  "ComputerName", &value) == 0 &&
      (value.type == REG_SZ || value.type == REG_EXPAND_SZ)) {
    std::string name = RegDataString(value.data);
    if (!name.empty()) return name;
  }
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) return "LOCALHOST";
  std::string name(host);
  name = name.substr(0, name.find('.'));
  for (char& c : name)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return name.empty() ? "LOCALHOST" : name;
}

}  // namespace vlzt::platform
