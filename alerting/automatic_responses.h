// alerting/automatic_responses.h
// A check's own answer to its alert: restart the server, run a command or a script, or
// start a service, with a guard against rebooting twice in a row for the same check.
#pragma once
#include <cstdint>
#include <string>

namespace vlzt {

// Results of RunSpecifiedActions.
inline constexpr int kNoResponse = 1;       // notify as usual
inline constexpr int kResponseRan = 2;      // `result` describes what ran
inline constexpr int kResponseHandled = 3;  // nothing more to do (notices already raised)

// Runs the automatic response of a check (`action` 0..5, `rebootFlag` 1 for action 2,
// `command` the command line, script path or service name). Returns kNoResponse,
// kResponseRan (with `result` set) or kResponseHandled. Blocks for up to ActionTimeout
// seconds while a command runs, less when the service stops.
//
// Values of the alert that place-markers put into the command reach it as data: for a
// command they are quoted for the shell, for a script they stay inside its argument.
int RunSpecifiedActions(int32_t errorType, uint32_t alertLevel, int32_t action, const std::string& name,
                        const std::string& message, int rebootFlag, const std::string& command,
                        const char* info1, const char* info2, const char* info3, std::string* result);

// Restarts the computer through the platform's reboot command; failures are logged and the
// service goes on.
void RestartWindows();
// Starts service `name`; 1 when the start call succeeded (a running service is a failure).
int RestartServiceFromName(const std::string& name);
// 1 when LastRebootedFor names check `name` (any letter case).
int IsRepeatReboot(const std::string& name);
// Records check `name` in LastRebootedFor.
void RecordRebootFor(const std::string& name);

// The pause between the reboot notice and the reboot (30 s); tests shorten it.
void SetRebootPause(uint32_t milliseconds);

}  // namespace vlzt
