// platform/machine_root.cpp
#include "platform/machine_root.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "platform/system.h"

namespace vlzt::platform {
namespace {

constexpr const char* kDefaultRoot = "/var/lib/vlzt";
constexpr const char* kStandardFolders[] = {"eventlog", "services", "messenger", "log"};

std::string Upper(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

std::string Trim(const std::string& text) {
  size_t b = text.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  size_t e = text.find_last_not_of(" \t\r\n");
  return text.substr(b, e - b + 1);
}

}  // namespace

std::string MachineRoot() {
  const char* root = std::getenv("VLZT_ROOT");
  return root && *root ? root : kDefaultRoot;
}

std::string JoinPath(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  if (dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

bool MakeDirectories(const std::string& dir) {
  struct stat st;
  if (stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  size_t slash = dir.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeDirectories(dir.substr(0, slash)))
    return false;
  if (mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST)
    return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  return false;
}

int EnsureMachineRoot(const std::string& root) {
  for (const char* folder : kStandardFolders) {
    if (!MakeDirectories(JoinPath(root, folder))) return errno == EACCES ? 5 : 3;
  }
  return 0;
}

std::string RootOfComputer(const std::string& name) {
  std::string wanted = name;
  while (!wanted.empty() && wanted.front() == '\\') wanted.erase(0, 1);
  wanted = Upper(Trim(wanted));
  std::string root = MachineRoot();
  if (wanted.empty() || wanted == "." || wanted == Upper(ComputerName())) return root;
  std::ifstream map(JoinPath(root, "computers"));
  std::string line;
  while (std::getline(map, line)) {
    size_t eq = line.find('=');
    if (eq == std::string::npos || Trim(line).rfind('#', 0) == 0) continue;
    if (Upper(Trim(line.substr(0, eq))) == wanted) return Trim(line.substr(eq + 1));
  }
  return "";
}

}  // namespace vlzt::platform
