// platform/machine_root.h
// The machine root: one directory holding what the host platform keeps for the whole computer
// (registry database, event logs, service state, messenger spool, program logs, computer map).
#pragma once
#include <string>

namespace vlzt::platform {

// The root of this computer: $VLZT_ROOT, or /var/lib/vlzt when it is unset or empty.
std::string MachineRoot();

// Creates `root` and its standard folders when missing. Returns 0, or the platform error code
// (5 access denied, 3 path not found) when the folders cannot be made.
int EnsureMachineRoot(const std::string& root);

// `dir` and `name` joined by one '/'.
std::string JoinPath(const std::string& dir, const std::string& name);

// Creates `dir` and its parents; true when the directory exists afterwards.
bool MakeDirectories(const std::string& dir);

// The machine root of computer `name` (a leading "\\" and letter case are ignored): this
// computer's root for "", "." and the local name, else the entry of the computer map
// (lines NAME=/path in <root>/computers). Empty when the computer is unknown.
std::string RootOfComputer(const std::string& name);

}  // namespace vlzt::platform
