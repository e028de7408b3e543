// platform/environment.h
// %NAME% references in configured paths and texts, replaced by the process environment.
#pragma once
#include <string>

namespace vlzt::platform {

// `text` with every %NAME% replaced by the value of the environment variable NAME (looked up
// exactly first, then ignoring letter case, as the host platform's names are). A reference
// to an unknown name, and a lone '%', stay as written.
std::string ExpandEnvironmentStrings(const std::string& text);

}  // namespace vlzt::platform
