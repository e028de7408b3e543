// alerting/email.cpp
#include "alerting/email.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <mutex>
#include <new>
#include <vector>

#include "alerting/alert_notification.h"
#include "alerting/recipients.h"
#include "alerting/stored_messages.h"
#include "alerting/substitution.h"
#include "console/activity.h"
#include "platform/machine_root.h"
#include "platform/profile.h"
#include "support/service_state.h"
#include "support/vlZTLog.h"
#include "support/vlZTREG.h"

namespace vlzt {
namespace {

constexpr const char* kModule = "vlZTAlertNotification";
constexpr const char* kDelayedModule = "vlZTDelayedAlertNotification";
constexpr int kOriginAlertNotify = 12;
constexpr int kOriginDelayed = 19;
constexpr const char* kStoredSection = "Default";
// The recipients a marked file still owes its e-mail to (a recipient list).
constexpr const char* kOwedKey = "SMTPDelayedRecipients";

constexpr size_t kNameSize = 260;
constexpr size_t kMessageTextSize = 600;
constexpr size_t kEntrySize = 1000;
constexpr size_t kFieldLimit = 259;
constexpr size_t kPortLimit = 19;
constexpr uint32_t kDefaultPort = 25;
constexpr const char* kDefaultSender = "Velmora/ZT";
constexpr const char* kDefaultTitleText = "* Error detected on Server <$$SERVER> (<$$TEST>)";
constexpr const char* kNoMemory = "Insufficient memory available to send network message";

constexpr const char* kWebSite = "https://www.velmora.example/";

bool EqualsIgnoringCase(const std::string& a, const char* b) {
  size_t n = std::char_traits<char>::length(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

std::string Cut(std::string text, size_t limit) {
  if (text.size() > limit) text.resize(limit);
  return text;
}

// Leading decimal digits as a number (0 when there are none).
uint32_t DecimalNumber(const std::string& text) {
  uint64_t value = 0;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) break;
    value = std::min<uint64_t>(value * 10 + static_cast<uint64_t>(c - '0'), 0xFFFFFFFFu);
  }
  return static_cast<uint32_t>(value);
}

// The templates, read once per process.
std::mutex g_templateMutex;
bool g_templatesRead = false;
std::string g_messageText;
std::string g_titleText;

void Templates(std::string& messageText, std::string& titleText) {
  std::lock_guard<std::mutex> lock(g_templateMutex);
  if (!g_templatesRead) {
    vlZTREG_ReadString(kContactsKey, "MessageText", g_messageText, kMessageTextSize, "");
    if (g_messageText.empty()) g_messageText = "NONE";
    vlZTREG_ReadString(kContactsKey, "TitleText", g_titleText, kNameSize, "");
    if (g_titleText.empty()) g_titleText = kDefaultTitleText;
    g_templatesRead = true;
  }
  messageText = g_messageText;
  titleText = g_titleText;
}

// 48 hyphens with a space between each two.
std::string SeparatorLine() {
  std::string line = "-";
  for (int i = 1; i < 48; ++i) line += " -";
  return line;
}

struct BuiltInValues {
  std::string message;
  std::string title;
  std::string timeLogged;
  std::string timeNow;
  std::string source;
  std::string osName;
  std::string servicePack;
};

std::string BuiltInBody(const BuiltInValues& v) {
  const std::string& server = ServiceState().ComputerName;
  const std::string separator = SeparatorLine();
  std::string body;
  body.reserve(v.message.size() + 2700);
  body += "\nThe Velmora/Tavish Log Monitor has detected the following error";
  body += " on server " + server + " ...\r\n\r\n" + v.message + "\r\n\r\n";
  body += separator;
  body += "\r\n\r\nAdditional information on this error follow ...\r\n\r\n";
  body += "Error/Check Being Performed: " + v.title + "\r\n";
  body += "Error Detected at: " + v.timeLogged + "\r\n";
  body += "Notification (e-mail) raised at: " + v.timeNow + "\r\n";
  body += "Source of Error: " + v.source + "\r\n";
  body += "Server Name: " + server + "\r\n";
  body += "O/S Type: " + v.osName + "\r\n";
  body += "Latest Service Pack: " + v.servicePack + "\r\n\r\n";
  body += separator;
  body += "\r\n\r\nIf this should not be considered an error, the check value is incorrect or you do "
          "not wish to receive this notification, simply edit the check using the Tavish Monitor "
          "Configuration Utility.\r\n\r\n";
  body += "Thank you for choosing Velmora as your monitoring solution!\r\nFor the very latest "
          "information please visit ";
  body += kWebSite;
  return body;
}

// One recipient entry with the defaults filled in where it names nothing of its own.
struct Target {
  std::string address;
  std::string server;
  std::string sender;
  uint32_t port;
};

Target ParseEntry(const std::string& entry, const std::string& server, const std::string& sender,
                  uint32_t port) {
  Target t{"", server, sender, port};
  size_t first = entry.find('~');
  t.address = Cut(entry.substr(0, first), kFieldLimit);
  if (first == std::string::npos) return t;
  size_t second = entry.find('~', first + 1);
  if (second == std::string::npos) return t;
  std::string ownServer = Cut(entry.substr(first + 1, second - first - 1), kFieldLimit);
  if (!ownServer.empty()) t.server = ownServer;
  size_t third = entry.find('~', second + 1);
  if (third == std::string::npos) return t;
  std::string ownSender = Cut(entry.substr(second + 1, third - second - 1), kFieldLimit);
  if (!ownSender.empty() && !EqualsIgnoringCase(ownSender, "<NONE>")) t.sender = ownSender;
  std::string ownPort = Cut(entry.substr(third + 1), kPortLimit);
  if (!ownPort.empty()) t.port = DecimalNumber(ownPort);
  return t;
}

void AppendEntry(std::string* list, const std::string& entry) {
  if (!list) return;
  if (!list->empty()) *list += ',';
  *list += entry;
}

// SendEMailMessage, also noting in `retry` the entries whose failure another attempt could
// mend: everything but a 5xx refusal.
int SendToList(const std::string& title, const std::string& subject, const std::string& body,
               const std::string& recipients, const ProgressSink& progress, std::string* retry) {
  const char* function = "SendEMailMessage";
  std::string sender;
  if (vlZTREG_ReadString(kContactsKey, "Sender", sender, kNameSize) != 0 || sender.empty())
    sender = kDefaultSender;
  std::string server;
  if (vlZTREG_ReadString(kContactsKey, "E-Mail Server", server, kNameSize) != 0) {
    vlZTLog_Message(2, 0, nullptr, kModule, function, "sss", "Unable to notify SMTP users for test ",
                    title, " - no SMTP Server has been defined");
    // Once a server is configured the mail can go.
    std::string entry;
    for (size_t pos = GetNextListEntry(recipients, 0, entry, kEntrySize); !entry.empty();
         pos = GetNextListEntry(recipients, pos, entry, kEntrySize))
      AppendEntry(retry, entry);
    return 0;
  }
  int32_t configuredPort = 0;
  vlZTREG_ReadNumber(kContactsKey, "E-Mail Server Port", &configuredPort, 0);
  const uint32_t port = configuredPort == 0 ? kDefaultPort : static_cast<uint32_t>(configuredPort);

  int result = 1;
  std::string entry;
  for (size_t pos = GetNextListEntry(recipients, 0, entry, kEntrySize); !entry.empty();
       pos = GetNextListEntry(recipients, pos, entry, kEntrySize)) {
    Target t = ParseEntry(entry, server, sender, port);
    int sent;
    int code;
    {
      std::lock_guard<std::mutex> lock(ServiceState().EmailLock);
      sent = vlZTNotify_SMTPConnectAndSend(t.server, t.server, t.port, t.sender, t.address,
                                           subject, body, progress);
      code = vlZTNotify_SMTPLastReplyCode();
    }
    if (!sent) {
      result = 0;
      if (code / 100 != 5) AppendEntry(retry, entry);
    }
  }
  return result;
}

// SendEMailMessageFromFile, noting in `retry` the recipients worth another attempt.
int SendFromFile(const std::string& file, const std::string& recipients,
                 const ProgressSink& progress, std::string* retry) {
  const char* function = "SendEMailMessageFromFile";
  try {
    std::string list = recipients;
    if (list.empty()) {
      uint32_t level = static_cast<uint32_t>(ReadStoredNumber(file, "AlertLevel", 0));
      if (BuildRecipientList(level, 2, list, kRecipientListCapacity) == 0) return 1;
    }
    std::string probe;
    GetNextListEntry(list, 0, probe, kEntrySize);
    if (probe.empty()) return 1;

    std::string title = ReadStoredText(file, "ErrorTitle", "N/A", kFieldLimit);
    ReportRuntimeActivity(kOriginAlertNotify, "ss", "Sending e-mail notification for check/alert ",
                          title);
    std::string messageText;
    std::string titleText;
    Templates(messageText, titleText);

    std::string subject;
    std::string body;
    if (EqualsIgnoringCase(messageText, "NONE")) {
      BuiltInValues v;
      v.message = ReadStoredText(file, "Message", "N/A");
      v.title = title;
      v.timeLogged = ReadStoredText(file, "Time", "N/A", 29);
      v.timeNow = FormatCurrentTime();
      v.source = ReadStoredText(file, "AppName", "N/A", kFieldLimit);
      v.osName = OSNameText(OSNameForm::kMessage);
      v.servicePack = ServicePackText();
      body = BuiltInBody(v);
      subject = "* Error detected on Server " + ServiceState().ComputerName + " (" + title + ")";
    } else {
      SubstitutionRecord record;
      int32_t errorType = 0;
      try {
        FillSubstitutionRecordFromFile(file, OSNameForm::kMessage, record, &errorType);
      } catch (const std::bad_alloc&) {
        vlZTLog_Message(2, 0, nullptr, kModule, function, "s",
                        "Insufficient memory whilst generating alert text");
        return 0;
      }
      if (!SubstituteParamsForString_Dynamic(errorType, messageText, body, record) ||
          !SubstituteParamsForString_Dynamic(errorType, titleText, subject, record))
        return 0;
    }
    return SendToList(title, subject, body, list, progress, retry);
  } catch (const std::bad_alloc&) {
    vlZTLog_Message(1, 0, nullptr, kModule, function, "s", kNoMemory);
    return 0;
  }
}

int32_t DelayedInterval() {
  int32_t minutes = 0;
  vlZTREG_ReadNumber(kContactsKey, "DelayedSMTPCheckInterval", &minutes, 0);
  return minutes;
}

void ClearMark(const std::string& file) {
  platform::WritePrivateProfileString(kStoredSection, "SMTPDelayed", "FALSE", file);
  platform::WritePrivateProfileString(kStoredSection, kOwedKey, nullptr, file);
}

bool IsStoredMessageName(const std::string& name) {
  auto lower = [](std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  };
  std::string n = lower(name);
  return n.size() >= 7 && n.compare(0, 3, "log") == 0 && n.compare(n.size() - 4, 4, ".err") == 0;
}

// The stored message files of the data directory, in the order the directory gives them.
std::vector<std::string> StoredMessageFiles() {
  namespace fs = std::filesystem;
  const std::string& dir = ServiceState().DataDirectory;
  std::vector<std::string> names;
  std::error_code ec;
  for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (IsStoredMessageName(name) && it->is_regular_file(ec)) names.push_back(name);
  }
  return names;
}

}  // namespace

int SendEMailMessageFromFile(const std::string& file, const std::string& recipients,
                             const ProgressSink& progress) {
  return SendFromFile(file, recipients, progress, nullptr);
}

int SendEMailMessage(const std::string& title, const std::string& subject,
                     const std::string& body, const std::string& recipients,
                     const ProgressSink& progress) {
  try {
    return SendToList(title, subject, body, recipients, progress, nullptr);
  } catch (const std::bad_alloc&) {
    vlZTLog_Message(2, 0, nullptr, kModule, "SendEMailMessage", "sss",
                    "Unable to notify SMTP users for test ", title, " - insufficient memory available");
    return 0;
  }
}

int SendAlertEMail(const std::string& file) {
  std::string retry;
  int result = SendFromFile(file, "", nullptr, &retry);
  if (result == 1 || retry.empty() || DelayedInterval() <= 0) return result;
  // An alert must not be lost because the mail server was away for a while.
  std::lock_guard<std::mutex> lock(ServiceState().StoredMessageLock);
  if (!StoredMessageUsable(file)) return result;
  if (platform::WritePrivateProfileString(kStoredSection, kOwedKey, retry.c_str(), file) &&
      platform::WritePrivateProfileString(kStoredSection, "SMTPDelayed", "TRUE", file)) {
    vlZTLog_Message(2, 0, nullptr, kModule, "SendAlertEMail", "ssss",
                    "The e-mail notification will be sent again by the Delayed Notification handler to ",
                    retry, " for the file ", file);
  } else {
    vlZTLog_Message(1, 0, nullptr, kModule, "SendAlertEMail", "ss",
                    "Unable to mark the file for a delayed e-mail notification: ", file);
  }
  return result;
}

void InstallEMailChannel() { SetEMailChannel(SendAlertEMail); }

int SendDelayedEMailForFile(const std::string& file) {
  std::string flag = ReadStoredText(file, "SMTPDelayed", "FALSE", 9);
  if (!EqualsIgnoringCase(flag, "TRUE")) return 1;
  // A file that holds no alert (its number used again meanwhile) has nothing to resend.
  if (!StoredMessageUsable(file)) return 1;
  std::string owed = ReadStoredText(file, kOwedKey, "");
  std::string retry;
  if (SendFromFile(file, owed, nullptr, &retry) == 1) {
    ReportRuntimeActivity(kOriginDelayed, "ss", "Sending delayed notification e-mail for the file ",
                          file);
    ClearMark(file);
    return 1;
  }
  if (retry.empty()) {
    // Every recipient still owed refused the mail outright; more attempts cannot change that.
    vlZTLog_Message(2, 0, nullptr, kDelayedModule, "SendDelayedEMailForFile", "ss",
                    "The delayed e-mail notification was refused and will not be sent again for the file ",
                    file);
    ClearMark(file);
    return 1;
  }
  if (retry != owed) platform::WritePrivateProfileString(kStoredSection, kOwedKey, retry.c_str(), file);
  return 0;
}

void DelayedAlertNotification() {
  ServiceStateRecord& state = ServiceState();
  if (!WaitAtStartGate()) return;
  int32_t minutes = DelayedInterval();
  if (minutes <= 0) return;
  ReportRuntimeActivity(kOriginDelayed, "s", "Starting Delayed Notification handler");
  // Minutes as milliseconds, kept below the "no limit" value of a wait.
  const uint32_t waitMs =
      static_cast<uint32_t>(std::min<int64_t>(int64_t{minutes} * 60000, platform::kInfinite - 1));
  for (;;) {
    if (state.StopServerEvent.IsSet()) break;
    ReportRuntimeActivity(kOriginDelayed, "s", "Checking for delayed e-mails");
    for (const std::string& name : StoredMessageFiles()) {
      int sent;
      {
        std::lock_guard<std::mutex> lock(state.StoredMessageLock);
        sent = SendDelayedEMailForFile(platform::JoinPath(state.DataDirectory, name));
      }
      if (sent == 0 || state.StopServerEvent.IsSet()) break;
    }
    if (state.StopServerEvent.Wait(waitMs)) break;
  }
  vlZTLog_Message(3, 0, nullptr, kDelayedModule, "DelayedAlertNotification", "s",
                  "The Tavish Monitor is being shutdown");
}

void ForgetEMailTemplates() {
  std::lock_guard<std::mutex> lock(g_templateMutex);
  g_templatesRead = false;
  g_messageText.clear();
  g_titleText.clear();
}

}  // namespace vlzt
