// service/event_messages.h
// Puts the service's milestone events (vlZTLog_Event) into the Application event log under
// the source vlZTEventLog, with a message file of the service's own.
#pragma once
#include <cstdint>
#include <string>

namespace vlzt {

inline constexpr const char* kEventSourceName = "vlZTEventLog";
inline constexpr const char* kEventSourceLog = "Application";

// Event identifiers of the records written: one per kind of event, so that a check can
// select them by number.
inline constexpr uint32_t kEventIdError = 1;
inline constexpr uint32_t kEventIdWarning = 2;
inline constexpr uint32_t kEventIdInformation = 4;

// The service's message file in the machine root ("eventlog/vlZTEventLog.msg"); every
// message of it is the event's text, insertion string 1.
std::string EventMessageFilePath();

// Writes the message file when it is missing or differs, registers the source under the
// Application log with it when it is not registered so, and makes every later vlZTLog_Event
// also write a record (type 1 error, 2 warning, anything else information). Returns 1, or 0
// (logged) when events can only go to the program log. Safe to call again, e.g. after the
// machine root changed.
int InstallEventLogSink();

// Events go to the program log only from now on.
void RemoveEventLogSink();

}  // namespace vlzt
