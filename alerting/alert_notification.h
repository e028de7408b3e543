// alerting/alert_notification.h
// The alert-notification thread: takes queued stored messages off the unsent message list,
// oldest first, and delivers each through every alerting channel there is.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vlzt {

// Delivery channels provided by other modules. Each starts absent (an empty function); an
// absent channel is skipped with a detail log line and never counted as sent. Install them
// before the thread starts; installing later is safe but may miss an alert in progress.
//
// E-mail to the recipients of the alert's level (path of the stored message); 0 on failure.
void SetEMailChannel(std::function<int(const std::string& file)> send);
// Network messages to the recipients of the alert's level; 0 on failure.
void SetNetworkMessageChannel(std::function<int(const std::string& file)> send);
// The database row; its result is not used.
void SetDatabaseChannel(std::function<int(const std::string& file)> write);
// One Alert Engine script kind for the alert's level: kind 0 CMD, 1 VB, 2 SysLog, 3 SMTP,
// 4 HTTP, with the names of its level and script registry values.
using AlertEngineSend = std::function<int(const std::string& file, uint32_t alertLevel, int kind,
                                          const char* levelValue, const char* scriptValue)>;
void SetAlertEngineChannel(AlertEngineSend send);
// Rebuilds the recent-errors page; run under ErrorPageLock when web reports are on.
void SetErrorPageBuilder(std::function<void()> build);

// The names of the channels that are absent now ("e-mail", "network message", "database",
// "Alert Engine", "recent-errors page").
std::vector<std::string> AbsentAlertChannels();

// Delivers the stored message `file`: e-mail, network message, alert data file, database and
// Alert Engine, or only the alert data file and database for an alert whose action is 1
// ("No Response - Log Only"). A missing file, or one without a message, is skipped with a
// log line. Always returns 1.
int TriggerAlertFromFile(const std::string& file);

// Runs the Alert Engine entries of the alert's level, unless the alert is the notice of an
// automatic response and NotifyRunningActions is not 2. Always returns 1.
int RunAlertEngineForFile(const std::string& file);

// The thread body (worker slot 7). Waits at the start gate, then delivers whatever the list
// holds and waits for SendErrorEvent; returns when StopServerEvent is set.
void AlertNotification();

}  // namespace vlzt
