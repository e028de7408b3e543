// platform/system.h
// Facts about this computer that the host platform answers.
#pragma once
#include <string>

namespace vlzt::platform {

// This computer's name: the registry value ComputerName of
// SYSTEM\CurrentControlSet\Control\ComputerName\ComputerName when set, else the host name
// (up to the first dot) in capitals.
std::string ComputerName();

}  // namespace vlzt::platform
