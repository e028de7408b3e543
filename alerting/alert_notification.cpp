// alerting/alert_notification.cpp
#include "alerting/alert_notification.h"

#include <mutex>

#include "alerting/alert_log.h"
#include "alerting/stored_messages.h"
#include "console/activity.h"
#include "platform/sync.h"
#include "support/service_state.h"
#include "support/vlZTLog.h"

namespace vlzt {
namespace {

constexpr const char* kModule = "vlZTAlertNotification";
constexpr int kOriginAlertEngine = 1;
constexpr int kOriginAlertNotify = 12;
// How long the thread waits before it tries again to take a delivered entry off a list it
// could not rewrite.
constexpr uint32_t kRemovalRetryMs = 60000;

constexpr const char* kEMailFailure =
    "One or more errors occurred when sending e-mail notification. Please check that your SMTP "
    "server is running, the Tavish Monitor's alert configuration and the Velmora log file";
constexpr const char* kNetworkFailure =
    "One or more errors occurred when sending network message notification. Please check the "
    "Velmora log file & Configuration Utility settings";

struct Channels {
  std::function<int(const std::string&)> email;
  std::function<int(const std::string&)> network;
  std::function<int(const std::string&)> database;
  AlertEngineSend engine;
  std::function<void()> errorPage;
};

std::mutex g_channelsMutex;
Channels g_channels;

// A copy, so no lock is held while a channel runs.
Channels CurrentChannels() {
  std::lock_guard<std::mutex> lock(g_channelsMutex);
  return g_channels;
}

void LogAbsent(const char* channel, const std::string& file) {
  vlZTLog_Message(5, 0, nullptr, kModule, "TriggerAlertFromFile", "ssss", "The ", channel,
                  " channel is not available. Nothing was sent for ", file);
}

void LogUnusable(const char* function, const std::string& file) {
  vlZTLog_Message(2, 0, nullptr, kModule, function, "sss", "The alert file ", file,
                  " is missing or holds no message. The alert was skipped");
}

// Everything the thread does with one entry of the list.
void DeliverEntry(const std::string& path) {
  ServiceStateRecord& state = ServiceState();
  if (!StoredMessageUsable(path)) {
    LogUnusable("AlertNotification", path);
    return;
  }
  TriggerAlertFromFile(path);
  ReportRuntimeActivity(kOriginAlertNotify, "s", "------------ Alert notification complete ------------");
  if (state.EnableWebReports == 1) {
    if (auto build = CurrentChannels().errorPage) {
      std::lock_guard<std::mutex> lock(state.ErrorPageLock);
      build();
    }
  }
  AppendAlertLog(path, 0);
}

}  // namespace

void SetEMailChannel(std::function<int(const std::string& file)> send) {
  std::lock_guard<std::mutex> lock(g_channelsMutex);
  g_channels.email = std::move(send);
}

void SetNetworkMessageChannel(std::function<int(const std::string& file)> send) {
  std::lock_guard<std::mutex> lock(g_channelsMutex);
  g_channels.network = std::move(send);
}

void SetDatabaseChannel(std::function<int(const std::string& file)> write) {
  std::lock_guard<std::mutex> lock(g_channelsMutex);
  g_channels.database = std::move(write);
}

void SetAlertEngineChannel(AlertEngineSend send) {
  std::lock_guard<std::mutex> lock(g_channelsMutex);
  g_channels.engine = std::move(send);
}

void SetErrorPageBuilder(std::function<void()> build) {
  std::lock_guard<std::mutex> lock(g_channelsMutex);
  g_channels.errorPage = std::move(build);
}

std::vector<std::string> AbsentAlertChannels() {
  Channels c = CurrentChannels();
  std::vector<std::string> absent;
  if (!c.email) absent.push_back("e-mail");
  if (!c.network) absent.push_back("network message");
  if (!c.database) absent.push_back("database");
  if (!c.engine) absent.push_back("Alert Engine");
  if (!c.errorPage) absent.push_back("recent-errors page");
  return absent;
}

int TriggerAlertFromFile(const std::string& file) {
  if (!StoredMessageUsable(file)) {
    LogUnusable("TriggerAlertFromFile", file);
    return 1;
  }
  std::string title = ReadStoredText(file, "ErrorTitle", "N/A", 259);
  ReportRuntimeActivity(kOriginAlertNotify, "ss", "Triggering alert ", title);
  int32_t action = ReadStoredNumber(file, "AlertAction", 0);
  Channels c = CurrentChannels();
  if (action != 1) {
    if (c.email) {
      ReportRuntimeActivity(kOriginAlertNotify, "s", "Processing configured e-mail alerts");
      if (!c.email(file)) {
        vlZTLog_Message(1, 0, nullptr, kModule, "TriggerAlertFromFile", "s", kEMailFailure);
        NotifyInternalError(1, "Alerting Error", "Alerting Error", kEMailFailure);
      }
    } else {
      LogAbsent("e-mail", file);
    }
    if (c.network) {
      if (!c.network(file)) {
        vlZTLog_Message(1, 0, nullptr, kModule, "TriggerAlertFromFile", "s", kNetworkFailure);
        NotifyInternalError(1, "Alerting Error", "Alerting Error", kNetworkFailure);
      }
    } else {
      LogAbsent("network message", file);
    }
  }
  WriteAlertFileFromFile(file);
  if (c.database) c.database(file);
  else LogAbsent("database", file);
  if (action != 1) RunAlertEngineForFile(file);
  return 1;
}

int RunAlertEngineForFile(const std::string& file) {
  if (ReadStoredNumber(file, "Auto-Response", 0) == 1 && ServiceState().NotifyRunningActions != 2) {
    ReportRuntimeActivity(kOriginAlertEngine, "s", "Auto-response triggered - no notification required");
    return 1;
  }
  uint32_t level = static_cast<uint32_t>(ReadStoredNumber(file, "AlertLevel", 0));
  AlertEngineSend engine = CurrentChannels().engine;
  if (!engine) {
    LogAbsent("Alert Engine", file);
    return 1;
  }
  engine(file, level, 0, "ScriptCMDLevel", "ScriptCMD");
  engine(file, level, 1, "ScriptVBLevel", "ScriptVB");
  engine(file, level, 3, "ScriptSMTPLevel", "ScriptSMTP");
  engine(file, level, 2, "ScriptSysLogLevel", "ScriptSysLog");
  engine(file, level, 4, "ScriptHTTPLevel", "ScriptHTTP");
  return 1;
}

void AlertNotification() {
  ServiceStateRecord& state = ServiceState();
  if (!WaitAtStartGate()) return;
  ReportRuntimeActivity(kOriginAlertNotify, "s", "Starting Alert Notification handler");
  AppendAlertLog("", 1);

  // An entry stays listed until it has been delivered, so a crash at any moment leaves it
  // queued; `pending` is one delivered entry the list could not yet be shortened by.
  std::string pending;
  for (;;) {
    bool retryLater = false;
    if (!pending.empty()) {
      if (RemoveDeliveredEntry(pending)) pending.clear();
      else retryLater = true;
    }
    std::string path;
    while (!retryLater && TakeNextUnsentEntry(path)) {
      ReportRuntimeActivity(kOriginAlertNotify, "s", "------------ Alert notification detected ------------");
      DeliverEntry(path);
      if (!RemoveDeliveredEntry(path)) {
        pending = path;
        retryLater = true;
        break;
      }
      if (state.StopServerEvent.IsSet()) {
        vlZTLog_Message(3, 0, nullptr, kModule, "AlertNotification", "s",
                        "The Tavish Monitor is being shutdown");
        break;
      }
    }
    ReportRuntimeActivity(kOriginAlertNotify, "s", "Waiting for notification");
    int which = platform::WaitForAny({&state.StopServerEvent, &state.SendErrorEvent},
                                     retryLater ? kRemovalRetryMs : platform::kInfinite);
    if (which == 0) return;
    if (which == 1) state.SendErrorEvent.Reset();
  }
}

}  // namespace vlzt
