// console/activity.h
// Run-time activity lines and alert pushes for remote consoles. Until a console link is
// installed every line is dropped at the cost of one atomic load, so callers never wait.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "support/vlZTLog.h"

namespace vlzt {

// Receives one activity line: the origin number and the values joined as vlZTLog_Format
// joins them. Returns 1 when the line was passed on, 0 when dropped. It runs on the
// caller's thread and must not block.
using ActivitySink = std::function<int(int origin, const std::string& text)>;

// Installs the console link's line writer (an empty function removes it).
void SetActivitySink(ActivitySink sink);

// True while a sink is installed.
bool ActivityWanted();

// Passes a formatted line to the sink; 0 when none is installed.
int PassActivityLine(int origin, const std::string& text);

// Writes one activity line from `origin`; each letter of `types` takes one value ("s" a
// text, "i"/"l" a number). Returns 1 when the line was passed on, 0 when it was dropped.
template <typename... V>
int ReportRuntimeActivity(int origin, const char* types, const V&... values) {
  if (!ActivityWanted()) return 0;
  return PassActivityLine(origin, vlZTLog_Format(types, {LogValue(values)...}));
}

// Passes an alert (time text, title, message) to the registered consoles, as the console
// registry's event request does. Returns 1 when it was passed on, 0 when no console link
// is installed.
using ConsoleEventPush =
    std::function<int(const std::string& time, const std::string& title, const std::string& text)>;
void SetConsoleEventPush(ConsoleEventPush push);
int PushConsoleEvent(const std::string& time, const std::string& title, const std::string& text);

}  // namespace vlzt
