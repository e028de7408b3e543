// service/event_messages.cpp
#include "service/event_messages.h"

#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <vector>

#include "platform/eventlog.h"
#include "platform/machine_root.h"
#include "platform/system.h"
#include "support/vlZTLog.h"
#include "support/vlZTREG.h"

namespace vlzt {
namespace {

constexpr const char* kModule = "vlZTSvc";
// An event's text is cut here, well inside the largest record a log takes.
constexpr size_t kMaxEventText = 32 * 1024;

constexpr const char* kMessageFileText =
    "; Messages of the Velmora/Tavish Log Monitor service (event source vlZTEventLog).\n"
    "; The text of every event is its first insertion string.\n"
    "MessageId=1\n"
    "%1\n"
    ".\n"
    "MessageId=2\n"
    "%1\n"
    ".\n"
    "MessageId=4\n"
    "%1\n"
    ".\n";

// The open source, deregistered when the last sink that uses it is gone.
struct SourceHandle {
  platform::HEVENTSOURCE handle = nullptr;
  ~SourceHandle() {
    if (handle) platform::DeregisterEventSource(handle);
  }
};

std::mutex g_installMutex;

// Writes the message file unless it already holds exactly our text; 0 or an error code.
long EnsureMessageFile(const std::string& path) {
  {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream current;
    if (in) current << in.rdbuf();
    if (in && current.str() == kMessageFileText) return 0;
  }
  if (!platform::MakeDirectories(std::filesystem::path(path).parent_path().string())) return 3;
  // Written aside and renamed into place, so that a reader never sees half of it.
  std::string temp = path + "." + std::to_string(platform::ProcessId()) + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << kMessageFileText;
    out.flush();
    if (!out) {
      std::error_code ec;
      std::filesystem::remove(temp, ec);
      return 5;
    }
  }
  std::error_code ec;
  std::filesystem::rename(temp, path, ec);
  if (ec) {
    std::filesystem::remove(temp, ec);
    return 5;
  }
  return 0;
}

void Warn(const std::string& text, long code) {
  vlZTLog_Message(2, 0, nullptr, kModule, "InstallEventLogSink", "sl", text, static_cast<int32_t>(code));
}

void Report(const std::shared_ptr<SourceHandle>& source, int type, const std::string& message) {
  uint16_t eventType = platform::EVENTLOG_INFORMATION_TYPE;
  uint32_t id = kEventIdInformation;
  if (type == 1) {
    eventType = platform::EVENTLOG_ERROR_TYPE;
    id = kEventIdError;
  } else if (type == 2) {
    eventType = platform::EVENTLOG_WARNING_TYPE;
    id = kEventIdWarning;
  }
  long rc = platform::ReportEvent(source->handle, eventType, 0, id, {message.substr(0, kMaxEventText)});
  // Logged only, never as an event: that would come back here.
  if (rc != 0)
    vlZTLog_Message(
        2, 0, nullptr, kModule, "EventLogSink", "sl",
        "Warning: The event could not be written to the Application Event Log. Error: ", static_cast<int32_t>(rc));
}

}  // namespace

std::string EventMessageFilePath() {
  return platform::JoinPath(platform::JoinPath(platform::MachineRoot(), "eventlog"), "vlZTEventLog.msg");
}

int InstallEventLogSink() {
  std::lock_guard<std::mutex> lock(g_installMutex);
  const std::string path = EventMessageFilePath();
  long rc = EnsureMessageFile(path);
  if (rc != 0) Warn("Warning: The event message file " + path + " could not be written. Error: ", rc);

  const std::string key = std::string(platform::kEventLogKey) + "\\" + kEventSourceLog + "\\" + kEventSourceName;
  std::string registered;
  if (vlZTREG_ReadString(key, "EventMessageFile", registered, 1024) != 0 || registered != path) {
    rc = platform::AddEventSource(kEventSourceLog, kEventSourceName, path, "");
    // A source registered under another log by an administrator stays there; the events follow it.
    if (rc != 0)
      Warn(std::string("Warning: The event source ") + kEventSourceName +
               " could not be registered under the Application Event Log. Error: ",
           rc);
  }

  auto source = std::make_shared<SourceHandle>();
  rc = platform::RegisterEventSource(kEventSourceName, &source->handle);
  if (rc != 0) {
    source->handle = nullptr;
    Warn("Warning: Events cannot be written to the Application Event Log. Error: ", rc);
    vlZTLog_SetEventSink(nullptr);
    return 0;
  }
  vlZTLog_SetEventSink(
      [source](int type, const char*, const char*, const std::string& message) { Report(source, type, message); });
  return 1;
}

void RemoveEventLogSink() {
  std::lock_guard<std::mutex> lock(g_installMutex);
  vlZTLog_SetEventSink(nullptr);
}

}  // namespace vlzt
