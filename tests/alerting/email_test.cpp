// Alert e-mail seen by a real SMTP server: the built-in message byte for byte, templates,
// recipients with servers of their own, failing recipients, the e-mail channel of alert
// delivery, and the delayed e-mail of files marked SMTPDelayed.
#include "alerting/email.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include "alerting/alert_notification.h"
#include "alerting/recipients.h"
#include "alerting/stored_messages.h"
#include "platform/profile.h"
#include "tests/alerting/alerting_fixture.h"
#include "tests/testing/smtp_server.h"

namespace vlzt {
namespace {

using testing::ScriptedSmtpServer;
using testing::SinkMessage;
using testing::SmtpScript;
using testing::SmtpSink;

// A loopback port nobody listens on.
uint32_t ClosedPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

class EMailTest : public testing::AlertingTest {
 protected:
  void SetUp() override {
    AlertingTest::SetUp();
    ForgetEMailTemplates();
    sink_ = std::make_unique<SmtpSink>(path("sink"));
    ASSERT_TRUE(sink_->Started()) << sink_->ServerLog();
    Put("E-Mail Server", "127.0.0.1");
    Put("E-Mail Server Port", static_cast<int32_t>(sink_->port()));
    Put("Sender", "monitor@example.test");
  }
  void TearDown() override {
    ForgetEMailTemplates();
    sink_.reset();
    AlertingTest::TearDown();
  }

  static void Put(const std::string& name, const std::string& value) {
    ASSERT_EQ(vlZTREG_WriteString(kContactsKey, name, value), 0);
  }
  static void Put(const std::string& name, int32_t value) {
    ASSERT_EQ(vlZTREG_WriteNumber(kContactsKey, name, value), 0);
  }
  static void Recipient(int n, const std::string& address, int32_t level) {
    Put("EMail" + std::to_string(n), address);
    Put("EMailLevel" + std::to_string(n), level);
  }

  // A stored message file as the alerting code writes it.
  std::string Alert(const std::string& name, uint32_t level, const std::string& title,
                    const std::string& message, std::map<std::string, std::string> extra = {}) {
    std::string file = dataFile(name);
    std::map<std::string, std::string> keys = {
        {"Message", message},           {"MessageSize", std::to_string(message.size())},
        {"ErrorType", "4"},             {"AlertLevel", std::to_string(level)},
        {"AlertAction", "0"},           {"Auto-Response", "0"},
        {"Time", "01/02/2024 10:11:12"}, {"AppName", "Application"},
        {"ErrorTitle", title},          {"AdditionalInfo1", "System"},
        {"AdditionalInfo2", "disk"},     {"AdditionalInfo3", "Disk check"}};
    for (auto& [k, v] : extra) keys[k] = v;
    for (auto& [k, v] : keys)
      EXPECT_TRUE(platform::WritePrivateProfileString("Default", k.c_str(), v.c_str(), file));
    return file;
  }
  static std::string Stored(const std::string& file, const char* key) {
    return platform::GetProfileValue("Default", key, "(missing)", file);
  }

  // True when the program log has a line of `level` from `module` `function` saying `text`.
  static bool Logged(const char* level, const char* module, const char* function,
                     const std::string& text) {
    std::istringstream log(LogText());
    std::string line;
    const std::string needle = std::string(" ") + module + " " + function + ": " + text;
    while (std::getline(log, line))
      if (line.find(std::string(" ") + level + " ") != std::string::npos && line.size() >= needle.size() &&
          line.compare(line.size() - needle.size(), needle.size(), needle) == 0)
        return true;
    return false;
  }

  std::vector<SinkMessage> Mail() const { return sink_->Messages(); }

  std::unique_ptr<SmtpSink> sink_;
};

std::string Separator() {
  std::string s = "-";
  for (int i = 1; i < 48; ++i) s += " -";
  return s;
}

TEST_F(EMailTest, BuiltInMessageByteForByte) {
  Recipient(1, "ann@example.test", 4);
  std::string file = Alert("LOG1.err", 4, "Disk check", "Disk C: is 95% full");
  SetLocalTime(2024, 2, 1, 10, 11, 13);
  ASSERT_EQ(SendEMailMessageFromFile(file), 1);
  auto mail = Mail();
  ASSERT_EQ(mail.size(), 1u);
  const SinkMessage& m = mail[0];
  EXPECT_EQ(m.helo, "127.0.0.1");
  EXPECT_EQ(m.from, "monitor@example.test");
  EXPECT_EQ(m.to, std::vector<std::string>{"ann@example.test"});
  const std::string separator = Separator();
  ASSERT_EQ(separator.size(), 95u);
  // The intro's leading line feed travels as a whole line end.
  const std::string body =
      "\r\nThe Velmora/Tavish Log Monitor has detected the following error on server TESTSRV ...\r\n\r\n"
      "Disk C: is 95% full\r\n\r\n" +
      separator +
      "\r\n\r\nAdditional information on this error follow ...\r\n\r\n"
      "Error/Check Being Performed: Disk check\r\n"
      "Error Detected at: 01/02/2024 10:11:12\r\n"
      "Notification (e-mail) raised at: 01/02/2024 10:11:13\r\n"
      "Source of Error: Application\r\n"
      "Server Name: TESTSRV\r\n"
      "O/S Type: " + OSNameText(OSNameForm::kMessage) + "\r\n"
      "Latest Service Pack: " + ServicePackText() + "\r\n\r\n" +
      separator +
      "\r\n\r\nIf this should not be considered an error, the check value is incorrect or you do not "
      "wish to receive this notification, simply edit the check using the Tavish Monitor Configuration "
      "Utility.\r\n\r\n"
      "Thank you for choosing Velmora as your monitoring solution!\r\n"
      "For the very latest information please visit https://www.velmora.example/\r\n\r\n";
  EXPECT_EQ(m.content, "To: ann@example.test\r\nSubject: * Error detected on Server TESTSRV (Disk check)\r\n\r\n" + body);
  EXPECT_TRUE(HasActivity("Sending e-mail notification for check/alert Disk check"));
  for (const auto& l : Activity()) {
    if (l.text.rfind("Sending e-mail notification", 0) == 0) {
      EXPECT_EQ(l.origin, 12);
    }
  }
}

TEST_F(EMailTest, NobodyDueMeansNoTraffic) {
  Recipient(1, "ann@example.test", 2);
  std::string file = Alert("LOG1.err", 4, "Disk check", "text");
  EXPECT_EQ(SendEMailMessageFromFile(file), 1);
  EXPECT_TRUE(Mail().empty());
  EXPECT_FALSE(HasActivity("Sending e-mail notification for check/alert Disk check"));
}

TEST_F(EMailTest, OwnServersSendersAndPorts) {
  SmtpSink own(path("own"));
  ASSERT_TRUE(own.Started()) << own.ServerLog();
  Recipient(1, "ann@example.test", 1023);
  Recipient(2, "bob@example.test", 1023);
  Put("EMailServer2", "127.0.0.1");
  Put("EMailSender2", "bob-alerts@example.test");
  Put("EMailPortNo2", static_cast<int32_t>(own.port()));
  Recipient(3, "<carl@example.test>", 1023);
  Put("EMailServer3", "127.0.0.1");  // no sender: the default one
  Put("EMailPortNo3", static_cast<int32_t>(own.port()));
  std::string file = Alert("LOG1.err", 8, "Disk check", "text");
  ASSERT_EQ(SendEMailMessageFromFile(file), 1);

  auto main = Mail();
  ASSERT_EQ(main.size(), 1u);
  EXPECT_EQ(main[0].to, std::vector<std::string>{"ann@example.test"});
  EXPECT_EQ(main[0].from, "monitor@example.test");
  // One exchange per recipient, each with its own RCPT TO and "To: " line.
  auto mine = own.Messages();
  ASSERT_EQ(mine.size(), 2u);
  EXPECT_EQ(mine[0].to, std::vector<std::string>{"bob@example.test"});
  EXPECT_EQ(mine[0].from, "bob-alerts@example.test");
  EXPECT_EQ(mine[0].Header("To"), "bob@example.test");
  EXPECT_EQ(mine[1].to, std::vector<std::string>{"carl@example.test"});
  EXPECT_EQ(mine[1].from, "monitor@example.test");
  EXPECT_EQ(mine[1].Header("To"), "<carl@example.test>");

  // An empty Sender gives "Velmora/ZT".
  Put("Sender", "");
  vlZTREG_DeleteSubKey(kAlertingConfigKey, "Contacts", 0);
  Put("E-Mail Server", "127.0.0.1");
  Put("E-Mail Server Port", static_cast<int32_t>(sink_->port()));
  ASSERT_EQ(SendEMailMessage("t", "s", "b", "dora@example.test"), 1);
  EXPECT_EQ(Mail().back().from, "Velmora/ZT");
}

TEST_F(EMailTest, TemplatesWithPlaceMarkersReadOncePerProcess) {
  Recipient(1, "ann@example.test", 4);
  Put("MessageText", "Alert <$$TITLE> on <$$SERVER>: <$$ERROR>\r\n.\r\nLevel <$$ALERTLEVEL> from "
                     "<$$SOURCE> (<$$EVENTLOG>) <$$NOSUCH>");
  Put("TitleText", "[<$$SOURCE>] <$$test>");
  std::string file = Alert("LOG1.err", 4, "Disk check", "Disk C: is full");
  ASSERT_EQ(SendEMailMessageFromFile(file), 1);
  ASSERT_EQ(Mail().size(), 1u);
  EXPECT_EQ(Mail()[0].Header("Subject"), "[Application] Disk check");
  EXPECT_EQ(Mail()[0].Body(),
            "Alert Disk check on TESTSRV: Disk C: is full\r\n.\r\nLevel 3 from Application (System) "
            "[not defined]\r\n\r\n");

  // A changed template waits for the next start of the service.
  Put("MessageText", "changed");
  ASSERT_EQ(SendEMailMessageFromFile(file), 1);
  EXPECT_EQ(Mail()[1].Header("Subject"), "[Application] Disk check");

  struct Case {
    const char* messageText;  // null: missing
    const char* titleText;
    std::string subject;
    bool builtIn;
  };
  const Case cases[] = {
      {"none", "[<$$SOURCE>]", "* Error detected on Server TESTSRV (Disk check)", true},
      {"", "ignored", "* Error detected on Server TESTSRV (Disk check)", true},
      {nullptr, nullptr, "* Error detected on Server TESTSRV (Disk check)", true},
      {"<$$ERROR>", "", "* Error detected on Server TESTSRV (Disk check)", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.messageText ? c.messageText : "(missing)");
    vlZTREG_DeleteSubKey(kAlertingConfigKey, "Contacts", 0);
    Put("E-Mail Server", "127.0.0.1");
    Put("E-Mail Server Port", static_cast<int32_t>(sink_->port()));
    Recipient(1, "ann@example.test", 4);
    if (c.messageText) Put("MessageText", c.messageText);
    if (c.titleText) Put("TitleText", c.titleText);
    ForgetEMailTemplates();
    size_t before = Mail().size();
    ASSERT_EQ(SendEMailMessageFromFile(file), 1);
    auto mail = Mail();
    ASSERT_EQ(mail.size(), before + 1);
    EXPECT_EQ(mail.back().Header("Subject"), c.subject);
    EXPECT_EQ(mail.back().Body().find("Additional information on this error follow") != std::string::npos,
              c.builtIn);
  }
}

TEST_F(EMailTest, NoServerDefined) {
  vlZTREG_DeleteSubKey(kAlertingConfigKey, "Contacts", 0);
  Recipient(1, "ann@example.test", 4);
  std::string file = Alert("LOG1.err", 4, "Disk check", "text");
  EXPECT_EQ(SendEMailMessageFromFile(file), 0);
  EXPECT_TRUE(Logged("WARN", "vlZTAlertNotification", "SendEMailMessage",
                     "Unable to notify SMTP users for test Disk check - no SMTP Server has been defined"));
}

TEST_F(EMailTest, FailingRecipientsDoNotStopTheOthers) {
  SmtpScript silent;
  silent.greeting = "";
  ScriptedSmtpServer never(silent);
  SmtpScript vanishing;
  vanishing.closeInData = true;
  ScriptedSmtpServer closer(vanishing);
  auto own = [](int n, uint32_t port) {
    Put("EMailServer" + std::to_string(n), "127.0.0.1");
    Put("EMailPortNo" + std::to_string(n), static_cast<int32_t>(port));
  };
  Recipient(1, "silent@example.test", 1023);
  own(1, never.port());
  Recipient(2, "Ann Other <ann@example.test>", 1023);  // the real server refuses it
  Recipient(3, "closed@example.test", 1023);
  own(3, closer.port());
  Recipient(4, "nobody@example.test", 1023);
  own(4, ClosedPort());
  Recipient(5, "bob@example.test", 1023);
  std::string file = Alert("LOG1.err", 1, "Disk check", std::string(2 * 1024 * 1024, 'm'));
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(SendEMailMessageFromFile(file), 0);
  // Bounded by the reply time-out of the silent server and the connect time of the port
  // nobody listens on, not by anything else.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
  auto mail = Mail();
  ASSERT_EQ(mail.size(), 1u);
  EXPECT_EQ(mail[0].to, std::vector<std::string>{"bob@example.test"});
  EXPECT_EQ(closer.Connections(), 1);
  EXPECT_TRUE(Logged("ERROR", "vlNotify.DLL", "vlZTNotify_SMTPConnect",
                     "Unable to send SMTP message as the connection to the target server 127.0.0.1 "
                     "timed out waiting for an initial response"));
  EXPECT_TRUE(Logged("ERROR", "vlNotify.DLL", "vlZTNotify_SMTPSend",
                     "Unable to send SMTP message. The original request was RCPT TO: <Ann Other <ann@example.test>>"));
}

TEST_F(EMailTest, AlertDeliveryMailsAndRecordsFailures) {
  InstallEMailChannel();
  Recipient(1, "ann@example.test", 4);
  std::string file = Alert("LOG1.err", 4, "Disk check", "text");
  ASSERT_EQ(TriggerAlertFromFile(file), 1);
  ASSERT_EQ(Mail().size(), 1u);
  EXPECT_TRUE(HasActivity("Processing configured e-mail alerts"));
  EXPECT_EQ(Stored(file, "SMTPDelayed"), "(missing)");

  // The server is down: the alert's e-mail fails and an internal error is stored.
  Put("E-Mail Server Port", static_cast<int32_t>(ClosedPort()));
  ASSERT_EQ(TriggerAlertFromFile(file), 1);
  EXPECT_TRUE(Logged("ERROR", "vlZTAlertNotification", "TriggerAlertFromFile",
                     "One or more errors occurred when sending e-mail notification. Please check that your "
                     "SMTP server is running, the Tavish Monitor's alert configuration and the Velmora log file"));
  bool recorded = false;
  for (const auto& entry : std::filesystem::directory_iterator(data()))
    if (Stored(entry.path().string(), "ErrorType") == "16" &&
        Stored(entry.path().string(), "ErrorTitle") == "Alerting Error")
      recorded = true;
  EXPECT_TRUE(recorded);
  // Without delayed e-mail configured, nothing is marked.
  EXPECT_EQ(Stored(file, "SMTPDelayed"), "(missing)");
}

TEST_F(EMailTest, AFailedAlertEMailIsMarkedForTheDelayedThread) {
  Put("DelayedSMTPCheckInterval", 5);
  SmtpScript refusing;
  refusing.rcptReplies = {"550 no such user\r\n"};
  ScriptedSmtpServer refuser(refusing);
  SmtpScript busy;
  busy.rcptReplies = {"451 try again later\r\n"};
  ScriptedSmtpServer later(busy);
  const uint32_t dead = ClosedPort();
  Recipient(1, "ann@example.test", 4);
  Recipient(2, "bob@example.test", 4);
  Put("EMailServer2", "127.0.0.1");
  Put("EMailPortNo2", static_cast<int32_t>(dead));
  Recipient(3, "carl@example.test", 4);  // refused outright: not worth another attempt
  Put("EMailServer3", "127.0.0.1");
  Put("EMailPortNo3", static_cast<int32_t>(refuser.port()));
  Recipient(4, "dora@example.test", 4);
  Put("EMailServer4", "127.0.0.1");
  Put("EMailPortNo4", static_cast<int32_t>(later.port()));
  std::string file = Alert("LOG1.err", 4, "Disk check", "text");
  EXPECT_EQ(SendAlertEMail(file), 0);
  ASSERT_EQ(Mail().size(), 1u);
  EXPECT_EQ(Stored(file, "SMTPDelayed"), "TRUE");
  const std::string owed = "bob@example.test~127.0.0.1~<NONE>~" + std::to_string(dead) +
                           ",dora@example.test~127.0.0.1~<NONE>~" + std::to_string(later.port());
  EXPECT_EQ(Stored(file, "SMTPDelayedRecipients"), owed);
  // The alert itself is untouched.
  EXPECT_EQ(Stored(file, "Message"), "text");

  // Only refusals: nothing to retry, nothing marked.
  std::string other = Alert("LOG2.err", 2, "Other", "text");
  Recipient(5, "erin@example.test", 2);
  Put("EMailServer5", "127.0.0.1");
  Put("EMailPortNo5", static_cast<int32_t>(refuser.port()));
  EXPECT_EQ(SendAlertEMail(other), 0);
  EXPECT_EQ(Stored(other, "SMTPDelayed"), "(missing)");
}

TEST_F(EMailTest, DelayedResend) {
  const uint32_t dead = ClosedPort();
  Recipient(1, "ann@example.test", 4);
  struct Case {
    const char* name;
    std::map<std::string, std::string> keys;
    int result;
    std::vector<std::string> mailedTo;
    std::string flagAfter;
    std::string owedAfter;
  };
  SmtpScript refusing;
  refusing.rcptReplies = {"550 gone\r\n"};
  ScriptedSmtpServer refuser(refusing);
  const std::string deadEntry = "bob@example.test~127.0.0.1~<NONE>~" + std::to_string(dead);
  const std::string refusedEntry = "carl@example.test~127.0.0.1~<NONE>~" + std::to_string(refuser.port());
  const Case cases[] = {
      {"not marked", {}, 1, {}, "(missing)", "(missing)"},
      {"marked FALSE", {{"SMTPDelayed", "FALSE"}}, 1, {}, "FALSE", "(missing)"},
      {"marked by other means", {{"SMTPDelayed", "true"}}, 1, {"ann@example.test"}, "FALSE", "(missing)"},
      {"owed to one", {{"SMTPDelayed", "TRUE"}, {"SMTPDelayedRecipients", "dora@example.test"}}, 1,
       {"dora@example.test"}, "FALSE", "(missing)"},
      {"server still down", {{"SMTPDelayed", "TRUE"}, {"SMTPDelayedRecipients", deadEntry}}, 0, {}, "TRUE",
       deadEntry},
      {"partly sent", {{"SMTPDelayed", "TRUE"}, {"SMTPDelayedRecipients", "dora@example.test," + deadEntry}},
       0, {"dora@example.test"}, "TRUE", deadEntry},
      {"refused now", {{"SMTPDelayed", "TRUE"}, {"SMTPDelayedRecipients", refusedEntry}}, 1, {}, "FALSE",
       "(missing)"},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string file = Alert("LOG" + std::to_string(++n) + ".err", 4, c.name, "text", c.keys);
    size_t before = Mail().size();
    EXPECT_EQ(SendDelayedEMailForFile(file), c.result);
    auto mail = Mail();
    std::vector<std::string> to;
    for (size_t i = before; i < mail.size(); ++i) to.push_back(mail[i].to.at(0));
    EXPECT_EQ(to, c.mailedTo);
    EXPECT_EQ(Stored(file, "SMTPDelayed"), c.flagAfter);
    EXPECT_EQ(Stored(file, "SMTPDelayedRecipients"), c.owedAfter);
    bool reported = false;
    for (const auto& l : Activity())
      if (l.origin == 19 && l.text == "Sending delayed notification e-mail for the file " + file) reported = true;
    EXPECT_EQ(reported, c.result == 1 && !c.mailedTo.empty());
  }
}

TEST_F(EMailTest, DelayedThreadResendsMarkedFilesUntilStopped) {
  Recipient(1, "ann@example.test", 4);
  Put("DelayedSMTPCheckInterval", 1);
  std::string marked = Alert("LOG1.err", 4, "Marked", "text", {{"SMTPDelayed", "TRUE"}});
  std::string plain = Alert("LOG2.err", 4, "Plain", "text");
  std::string other = Alert("Other.err", 4, "Not a stored message", "text", {{"SMTPDelayed", "TRUE"}});
  ServiceStateRecord& s = ServiceState();
  std::thread thread(DelayedAlertNotification);
  s.ThreadsReleased.Set();
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (Stored(marked, "SMTPDelayed") != "FALSE" && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  s.StopServerEvent.Set();
  thread.join();
  EXPECT_EQ(Stored(marked, "SMTPDelayed"), "FALSE");
  EXPECT_EQ(Stored(plain, "SMTPDelayed"), "(missing)");
  EXPECT_EQ(Stored(other, "SMTPDelayed"), "TRUE");
  auto mail = Mail();
  ASSERT_EQ(mail.size(), 1u);
  EXPECT_EQ(mail[0].Header("Subject"), "* Error detected on Server TESTSRV (Marked)");
  EXPECT_TRUE(HasActivity("Starting Delayed Notification handler"));
  EXPECT_TRUE(HasActivity("Checking for delayed e-mails"));
  EXPECT_TRUE(Logged("INFO", "vlZTDelayedAlertNotification", "DelayedAlertNotification",
                     "The Tavish Monitor is being shutdown"));
}

TEST_F(EMailTest, DelayedThreadWithoutIntervalEndsAtOnce) {
  Recipient(1, "ann@example.test", 4);
  std::string marked = Alert("LOG1.err", 4, "Marked", "text", {{"SMTPDelayed", "TRUE"}});
  for (int32_t interval : {0, -1}) {
    Put("DelayedSMTPCheckInterval", interval);
    ServiceState().ThreadsReleased.Set();
    // Returns by itself; StopServerEvent stays clear.
    DelayedAlertNotification();
    EXPECT_FALSE(ServiceState().StopServerEvent.IsSet());
  }
  vlZTREG_DeleteSubKey(kAlertingConfigKey, "Contacts", 0);
  DelayedAlertNotification();
  EXPECT_FALSE(HasActivity("Starting Delayed Notification handler"));
  EXPECT_EQ(Stored(marked, "SMTPDelayed"), "TRUE");
  EXPECT_TRUE(Mail().empty());
}

}  // namespace
}  // namespace vlzt
