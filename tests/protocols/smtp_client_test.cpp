// The SMTP client against a real server (aiosmtpd) and a scripted one: the dialogue on the
// wire, dot-stuffing, header values, refusals, silent and vanishing servers, many recipients
// and large bodies.
#include "protocols/smtp_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <sstream>
#include <thread>
#include <tuple>

#include "support/vlZTLog.h"
#include "tests/testing/smtp_server.h"
#include "tests/testing/test_root.h"

namespace vlzt {
namespace {

using testing::ScriptedSmtpServer;
using testing::SmtpScript;
using testing::SmtpSink;

constexpr const char* kHost = "127.0.0.1";

// True when the program log has a line of `level` from `function` of the SMTP client
// that says `text` (the whole message, or its start when `prefix`).
bool Logged(const char* level, const std::string& function, const std::string& text) {
  std::istringstream log(testing::ReadFile(vlZTLog_CurrentFile()));
  std::string line;
  std::string needle = " vlNotify.DLL " + function + ": " + text;
  while (std::getline(log, line)) {
    if (line.find(std::string(" ") + level + " ") == std::string::npos) continue;
    size_t at = line.find(needle);
    if (at != std::string::npos && at + needle.size() == line.size()) return true;
  }
  return false;
}

std::string LogText() { return testing::ReadFile(vlZTLog_CurrentFile()); }

// Lines of `text` split at CR LF.
std::vector<std::string> CrLfLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find("\r\n", pos);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(pos, end - pos));
    pos = end + 2;
  }
  return lines;
}

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

class SMTPClientTest : public testing::TestRoot {};

// --- The dialogue and the message on the wire ---------------------------------------------------

TEST_F(SMTPClientTest, DialogueAndDataOnTheWire) {
  struct Case {
    const char* sender;
    const char* recipients;
    std::vector<std::string> commands;
  };
  const Case cases[] = {
      {"alerts@example.test",
       "ann@example.test, <bob@example.test>",
       {"HELO 127.0.0.1", "MAIL FROM: <alerts@example.test>", "RCPT TO: <ann@example.test>",
        "RCPT TO: <bob@example.test>", "DATA", "QUIT"}},
      // Angle brackets are not doubled; leading blanks go; empty pieces send nothing.
      {"  <alerts@example.test>",
       "<ann@example.test>,, \n carl@example.test \r\n",
       {"HELO 127.0.0.1", "MAIL FROM: <alerts@example.test>", "RCPT TO: <ann@example.test>",
        "RCPT TO: <carl@example.test>", "DATA", "QUIT"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.recipients);
    ScriptedSmtpServer server({});
    ASSERT_EQ(vlZTNotify_SMTPConnectAndSend(kHost, kHost, server.port(), c.sender, c.recipients,
                                            "Disk full", "first line\r\nsecond line"),
              1);
    EXPECT_EQ(server.Commands(), c.commands);
    ASSERT_EQ(server.Data().size(), 1u);
    std::string to = c.recipients;
    for (char& ch : to)
      if (ch == '\r' || ch == '\n') ch = ' ';
    EXPECT_EQ(server.Data()[0], "To: " + to + "\r\nSubject: Disk full\r\n\r\nfirst line\r\nsecond line\r\n\r\n");
    EXPECT_EQ(vlZTNotify_SMTPLastReplyCode(), 221);
  }
}

TEST_F(SMTPClientTest, BodyIsDotStuffedAndLineEndsAreCrLf) {
  ScriptedSmtpServer server({});
  const std::string body = ".\r\nMAIL FROM: <evil@example.test>\n..two\rthree\r\n.\r\nQUIT\r\n.";
  ASSERT_EQ(vlZTNotify_SMTPConnectAndSend(kHost, kHost, server.port(), "a@example.test",
                                          "b@example.test", "s", body),
            1);
  ASSERT_EQ(server.Data().size(), 1u);
  EXPECT_EQ(server.Data()[0],
            "To: b@example.test\r\nSubject: s\r\n\r\n"
            "..\r\nMAIL FROM: <evil@example.test>\r\n...two\r\nthree\r\n..\r\nQUIT\r\n..\r\n\r\n");
  // Nothing of the body was taken for a command.
  EXPECT_EQ(server.Commands(), (std::vector<std::string>{"HELO 127.0.0.1", "MAIL FROM: <a@example.test>",
                                                        "RCPT TO: <b@example.test>", "DATA", "QUIT"}));
}

TEST_F(SMTPClientTest, ValuesCannotAddCommandsOrHeaders) {
  ScriptedSmtpServer server({});
  ASSERT_EQ(vlZTNotify_SMTPConnectAndSend(kHost, "relay\r\nRSET", server.port(),
                                          "a@example.test\r\nRCPT TO: <evil@example.test>",
                                          "b@example.test", "Hi\r\nBcc: evil@example.test", "x"),
            1);
  EXPECT_EQ(server.Commands(),
            (std::vector<std::string>{"HELO relay  RSET",
                                      "MAIL FROM: <a@example.test  RCPT TO: <evil@example.test>>",
                                      "RCPT TO: <b@example.test>", "DATA", "QUIT"}));
  ASSERT_EQ(server.Data().size(), 1u);
  EXPECT_EQ(server.Data()[0],
            "To: b@example.test\r\nSubject: Hi  Bcc: evil@example.test\r\n\r\nx\r\n\r\n");
}

// --- Against the real server --------------------------------------------------------------------

TEST_F(SMTPClientTest, RealServerReceivesTheMessage) {
  SmtpSink sink(path("sink"));
  ASSERT_TRUE(sink.Started()) << sink.ServerLog();
  const std::string body = "Disk C: is full\r\n.\r\n..dots\r\nQUIT\r\nend";
  ASSERT_EQ(vlZTNotify_SMTPConnectAndSend(kHost, kHost, sink.port(), "monitor@example.test",
                                          "ann@example.test, bob@example.test", "Alert (disk)", body),
            1);
  auto messages = sink.Messages();
  ASSERT_EQ(messages.size(), 1u);
  const auto& m = messages[0];
  EXPECT_EQ(m.helo, kHost);
  EXPECT_EQ(m.from, "monitor@example.test");
  EXPECT_EQ(m.to, (std::vector<std::string>{"ann@example.test", "bob@example.test"}));
  EXPECT_EQ(m.Header("To"), "ann@example.test, bob@example.test");
  EXPECT_EQ(m.Header("Subject"), "Alert (disk)");
  EXPECT_EQ(m.Body(), body + "\r\n\r\n");
}

TEST_F(SMTPClientTest, RealServerAddressesWithSpacesAndAngleBrackets) {
  SmtpSink sink(path("sink"));
  ASSERT_TRUE(sink.Started()) << sink.ServerLog();
  struct Case {
    const char* recipient;
    int result;
    const char* accepted;  // the address the server recorded
  };
  const Case cases[] = {
      {"<ann@example.test>", 1, "ann@example.test"},
      {"  bob@example.test  ", 1, "bob@example.test"},
      {"John Smith@example.test", 1, "\"John Smith\"@example.test"},
      // A display name in front of the address is not an address: the server refuses it.
      {"Ann <ann@example.test>", 0, nullptr},
      {"<<ann@example.test>>", 0, nullptr},
  };
  size_t expected = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.recipient);
    EXPECT_EQ(vlZTNotify_SMTPConnectAndSend(kHost, kHost, sink.port(), "m@example.test",
                                            c.recipient, "s", "b"),
              c.result);
    auto messages = sink.Messages();
    if (c.result == 1) {
      ASSERT_EQ(messages.size(), ++expected);
      EXPECT_EQ(messages.back().to, std::vector<std::string>{c.accepted});
    } else {
      EXPECT_EQ(messages.size(), expected);
      EXPECT_EQ(vlZTNotify_SMTPLastReplyCode() / 100, 5);
    }
  }
  EXPECT_TRUE(Logged("ERROR", "vlZTNotify_SMTPConnectAndSend",
                     "An error occurred sending SMTP message to the Server 127.0.0.1"));
}

TEST_F(SMTPClientTest, RealServerThousandRecipientsInOneMessage) {
  SmtpSink sink(path("sink"));
  ASSERT_TRUE(sink.Started()) << sink.ServerLog();
  std::string recipients;
  std::vector<std::string> expected;
  for (int i = 1; i <= 1000; ++i) {
    std::string a = "user" + std::to_string(i) + "@example.test";
    expected.push_back(a);
    recipients += (i > 1 ? ", " : "") + a;
  }
  ASSERT_EQ(vlZTNotify_SMTPConnectAndSend(kHost, kHost, sink.port(), "m@example.test", recipients,
                                          "s", "b"),
            1);
  auto messages = sink.Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].to, expected);
  // The long "To: " line is folded to the protocol's line length and unfolds to the text.
  EXPECT_EQ(messages[0].Header("To"), recipients);
  for (const std::string& line : CrLfLines(messages[0].content)) EXPECT_LE(line.size(), 998u);
}

TEST_F(SMTPClientTest, RealServerBodyOfMegabytes) {
  SmtpSink sink(path("sink"));
  ASSERT_TRUE(sink.Started()) << sink.ServerLog();
  std::string body;
  const std::string line(99, 'x');
  while (body.size() < 4 * 1024 * 1024) body += line + "\r\n";
  // One line far beyond the protocol's limit, as an alert text without line ends is.
  std::string longLine;
  for (int i = 0; i < 500; ++i) longLine += "word" + std::to_string(i) + " ";
  body += longLine + "\r\n." + std::string(2000, '.') + "\r\nlast";
  // A subject with no blank to fold at, as a template that places the alert text there gives.
  const std::string subject = std::string(2500, 'S') + " end";
  ASSERT_EQ(vlZTNotify_SMTPConnectAndSend(kHost, kHost, sink.port(), "m@example.test",
                                          "a@example.test", subject, body),
            1);
  auto messages = sink.Messages();
  ASSERT_EQ(messages.size(), 1u);
  for (const std::string& l : CrLfLines(messages[0].content)) ASSERT_LE(l.size(), 998u);
  std::string folded = messages[0].Header("Subject");
  std::erase(folded, ' ');
  EXPECT_EQ(folded, std::string(2500, 'S') + "end");
  std::string received = messages[0].Body();
  // Only line breaks were added.
  auto joined = [](std::string s) {
    std::string out;
    for (const std::string& l : CrLfLines(s)) out += l;
    return out;
  };
  EXPECT_EQ(joined(received), joined(body));
  EXPECT_EQ(received.substr(received.size() - 8), "last\r\n\r\n");
}

TEST_F(SMTPClientTest, ThreadsSendAtTheSameTimeOnConnectionsOfTheirOwn) {
  SmtpSink sink(path("sink"));
  ASSERT_TRUE(sink.Started()) << sink.ServerLog();
  // Each thread holds its connection open across the other's exchange.
  ASSERT_EQ(vlZTNotify_SMTPConnect(kHost, kHost, sink.port()), 1);
  int other = 0;
  std::thread t([&] {
    other = vlZTNotify_SMTPConnectAndSend(kHost, kHost, sink.port(), "t@example.test",
                                          "t@example.test", "thread", "from the thread");
  });
  t.join();
  EXPECT_EQ(other, 1);
  EXPECT_EQ(vlZTNotify_SMTPSend("m@example.test", "m@example.test", "main", "from main"), 1);
  EXPECT_EQ(vlZTNotify_SMTPDisconnect(), 1);
  auto messages = sink.Messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].Header("Subject"), "thread");
  EXPECT_EQ(messages[1].Header("Subject"), "main");
}

// --- The connection slot ------------------------------------------------------------------------

TEST_F(SMTPClientTest, SlotRules) {
  ScriptedSmtpServer server({});
  // Nothing open.
  EXPECT_EQ(vlZTNotify_SMTPDisconnect(), 0);
  EXPECT_TRUE(Logged("ERROR", "vlZTNotify_SMTPDisconnect", "Unable to disconnect. No SMTP connection exists"));
  EXPECT_EQ(vlZTNotify_SMTPSend("a@example.test", "b@example.test", "s", "b"), 0);
  EXPECT_TRUE(Logged("ERROR", "vlZTNotify_SMTPSend", "Unable to send SMTP message. No SMTP connection exists"));

  // Missing parameters are refused before anything is sent; the subject may be empty.
  ASSERT_EQ(vlZTNotify_SMTPConnect(kHost, kHost, server.port()), 1);
  for (auto [sender, to, body] : {std::tuple{"", "b@x.test", "b"}, std::tuple{"a@x.test", "", "b"},
                                  std::tuple{"a@x.test", "b@x.test", ""}}) {
    EXPECT_EQ(vlZTNotify_SMTPSend(sender, to, "s", body), 0);
  }
  EXPECT_TRUE(Logged("ERROR", "vlZTNotify_SMTPSend",
                     "Unable to send SMTP message. One or more incoming parameters have not been specified"));
  EXPECT_EQ(server.Commands(), std::vector<std::string>{"HELO 127.0.0.1"});

  // A piece list without a single address.
  EXPECT_EQ(vlZTNotify_SMTPSend("a@example.test", " , \r\n", "s", "b"), 0);
  EXPECT_TRUE(Logged("ERROR", "vlZTNotify_SMTPSend", "Cannot send mail as there are no valid recipients"));

  // A connection left open is closed (and said so) before the next exchange.
  EXPECT_EQ(vlZTNotify_SMTPConnectAndSend(kHost, kHost, server.port(), "a@example.test",
                                          "b@example.test", "", "b"),
            1);
  EXPECT_TRUE(Logged("WARN", "vlZTNotify_SMTPConnectAndSend",
                     "An existing SMTP connection already exists. It will be disconnected"));
  EXPECT_EQ(server.Data().size(), 1u);
  EXPECT_EQ(vlZTNotify_SMTPDisconnect(), 0);

  // A thread that ends with its connection open does not leave it open.
  ScriptedSmtpServer left({});
  std::thread([&] { EXPECT_EQ(vlZTNotify_SMTPConnect(kHost, kHost, left.port()), 1); }).join();
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (left.Ended() < 1 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(left.Ended(), 1);
}

// --- Refusals and broken servers ----------------------------------------------------------------

TEST_F(SMTPClientTest, RefusalsAndOddReplies) {
  struct Case {
    const char* name;
    SmtpScript script;
    int result;
    std::vector<std::string> commands;  // what the server saw
    std::vector<std::tuple<const char*, const char*, std::string>> logs;
  };
  auto script = [](std::map<std::string, std::string> replies, std::string greeting = "220 ready\r\n",
                   std::vector<std::string> rcpt = {}) {
    SmtpScript s;
    s.greeting = std::move(greeting);
    s.replies = std::move(replies);
    s.rcptReplies = std::move(rcpt);
    return s;
  };
  const std::string prefix = "Unable to send SMTP message as the connection to the target server 127.0.0.1";
  const std::vector<std::string> all = {"HELO 127.0.0.1", "MAIL FROM: <a@example.test>",
                                        "RCPT TO: <b@example.test>", "RCPT TO: <c@example.test>",
                                        "DATA", "QUIT"};
  std::vector<Case> cases = {
      {"greeting not 220", script({}, "554 no service here\r\n"), 0, {},
       {{"ERROR", "vlZTNotify_SMTPConnect", prefix + " failed with the unexpected response 554 no service here"},
        {"ERROR", "vlZTNotify_SMTPConnectAndSend", "Unable to connect to the SMTP Server 127.0.0.1"}}},
      {"HELO refused", script({{"HELO", "501 who are you\r\n"}}), 0, {"HELO 127.0.0.1"},
       {{"ERROR", "vlZTNotify_SMTPConnect", prefix + " failed with the unexpected response 501 who are you"}}},
      {"second recipient refused", script({}, "220 ready\r\n", {"250 OK\r\n", "550 no such user\r\n"}), 0,
       {all.begin(), all.begin() + 4},
       {{"ERROR", "CheckSMTPResponse",
         "An error occurred during an SMTP transmission. Response expected: 250, response received 550 no such user"},
        {"ERROR", "vlZTNotify_SMTPSend", "Unable to send SMTP message. The original request was RCPT TO: <c@example.test>"},
        {"ERROR", "vlZTNotify_SMTPSend", "Unable to send SMTP message. The server's response (-1) was 550 no such user"},
        {"ERROR", "vlZTNotify_SMTPConnectAndSend", "An error occurred sending SMTP message to the Server 127.0.0.1"}}},
      {"message refused", script({{".", "554 content rejected\r\n"}}), 0, {all.begin(), all.begin() + 5},
       {{"ERROR", "vlZTNotify_SMTPSend", "Unable to send SMTP message. The original request was Subject: s"},
        {"ERROR", "vlZTNotify_SMTPSend", "Unable to send SMTP message. The server's response (-1) was 554 content rejected"}}},
      {"QUIT not 221", script({{"QUIT", "250 whatever\r\n"}}), 0, all,
       {{"ERROR", "vlZTNotify_SMTPSend", "Unable to send SMTP message. The original request was QUIT"}}},
      {"multi-line replies", script({{"HELO", "250-scripted.test\r\n250-PIPELINING\r\n250 HELP\r\n"},
                                     {"MAIL", "250-first\r\n250 second\r\n"}},
                                    "220-scripted.test\r\n220-more\r\n220 ready\r\n"),
       1, all, {}},
      {"closed at HELO", script({{"HELO", SmtpScript::kClose}}), 0, {"HELO 127.0.0.1"},
       {{"ERROR", "vlZTNotify_SMTPConnect", prefix + " failed with the error -5"}}},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedSmtpServer server(c.script);
    EXPECT_EQ(vlZTNotify_SMTPConnectAndSend(kHost, kHost, server.port(), "a@example.test",
                                            "b@example.test,c@example.test", "s", "body"),
              c.result);
    EXPECT_EQ(server.Commands(), c.commands);
    for (auto& [level, function, text] : c.logs) EXPECT_TRUE(Logged(level, function, text)) << text;
    // The slot is empty again whatever happened.
    EXPECT_EQ(vlZTNotify_SMTPDisconnect(), 0);
  }
}

TEST_F(SMTPClientTest, ServerThatClosesDuringTheData) {
  SmtpScript s;
  s.closeInData = true;
  ScriptedSmtpServer server(s);
  const std::string body(3 * 1024 * 1024, 'x');
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(vlZTNotify_SMTPConnectAndSend(kHost, kHost, server.port(), "a@example.test",
                                          "b@example.test", "s", body),
            0);
  // Well within the reply and send time-outs: the close is seen, not waited out.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(9));
  EXPECT_EQ(vlZTNotify_SMTPLastReplyCode(), 0);
  EXPECT_TRUE(Logged("ERROR", "vlZTNotify_SMTPConnectAndSend",
                     "An error occurred sending SMTP message to the Server 127.0.0.1"));
  EXPECT_NE(LogText().find("Unable to send SMTP message. The server's response (-"), std::string::npos);
}

TEST_F(SMTPClientTest, ServerThatNeverAnswersTimesOutAfterTenSeconds) {
  SmtpScript s;
  s.greeting = "";
  ScriptedSmtpServer server(s);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(vlZTNotify_SMTPConnectAndSend(kHost, kHost, server.port(), "a@example.test",
                                          "b@example.test", "s", "b"),
            0);
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(9500));
  EXPECT_TRUE(Logged("ERROR", "vlZTNotify_SMTPConnect",
                     "Unable to send SMTP message as the connection to the target server 127.0.0.1 "
                     "timed out waiting for an initial response"));
  EXPECT_TRUE(server.Commands().empty());
  // The connection was closed: the server sees its end.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (server.Ended() < 1 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(server.Ended(), 1);
  EXPECT_EQ(vlZTNotify_SMTPDisconnect(), 0);
}

TEST_F(SMTPClientTest, NothingListening) {
  std::vector<std::string> progress;
  EXPECT_EQ(vlZTNotify_SMTPConnectAndSend(kHost, kHost, ClosedPort(), "a@example.test",
                                          "b@example.test", "s", "b",
                                          [&](const std::string& l) { progress.push_back(l); }),
            0);
  EXPECT_TRUE(Logged("ERROR", "vlZTNotify_SMTPConnect",
                     "Unable to send SMTP message as a connection to the target server 127.0.0.1 could "
                     "not be established. Error -8"));
  EXPECT_EQ(progress, (std::vector<std::string>{
                          "Connecting to the SMTP server ...",
                          "Error: Unable to connect to the SMTP server ...",
                          "Please check the server name, port number, that the SMTP service is running "
                          "and is available over the network."}));
}

TEST_F(SMTPClientTest, ProgressLines) {
  std::vector<std::string> progress;
  auto sink = [&](const std::string& l) { progress.push_back(l); };
  {
    ScriptedSmtpServer server({});
    EXPECT_EQ(vlZTNotify_SMTPConnectAndSend(kHost, kHost, server.port(), "a@example.test",
                                            "b@example.test", "s", "b", sink),
              1);
  }
  EXPECT_EQ(progress, (std::vector<std::string>{"Connecting to the SMTP server ...",
                                                "Sending the SMTP (e-mail) message ...",
                                                "The e-mail was sent successfully ..."}));
  progress.clear();
  SmtpScript refusing;
  refusing.replies["MAIL"] = "550 no\r\n";
  ScriptedSmtpServer server(refusing);
  EXPECT_EQ(vlZTNotify_SMTPConnectAndSend(kHost, kHost, server.port(), "a@example.test",
                                          "b@example.test", "s", "b", sink),
            0);
  EXPECT_EQ(progress, (std::vector<std::string>{
                          "Connecting to the SMTP server ...", "Sending the SMTP (e-mail) message ...",
                          "Error: Unable to send the SMTP (e-mail) message ...",
                          "Please check the Velmora log file for more information on this error."}));
}

TEST_F(SMTPClientTest, CheckSMTPResponseQuotesTheStartOfTheReply) {
  const std::string fifty(50, 'r');
  const std::string sixty(60, 'r');
  struct Case {
    std::string reply;
    const char* code;
    int result;
    std::string quoted;
  };
  const Case cases[] = {
      {"250 OK\r\n", "250", 1, ""},
      {"354 go ahead\r\n", "354", 1, ""},
      {"25", "250", 0, "25"},
      {"450 busy\r\n", "250", 0, "450 busy"},
      {fifty, "250", 0, fifty},
      {sixty, "250", 0, sixty.substr(0, 49)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    EXPECT_EQ(CheckSMTPResponse(c.reply, c.code), c.result);
    if (c.result == 0) {
      EXPECT_TRUE(Logged("ERROR", "CheckSMTPResponse",
                         std::string("An error occurred during an SMTP transmission. Response expected: ") +
                             c.code + ", response received " + c.quoted));
    }
  }
}

}  // namespace
}  // namespace vlzt
