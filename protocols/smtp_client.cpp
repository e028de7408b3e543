// protocols/smtp_client.cpp
#include "protocols/smtp_client.h"

#include <cctype>
#include <string_view>
#include <vector>

#include "support/vlZTIP.h"
#include "support/vlZTLog.h"

namespace vlzt {
namespace {

constexpr const char* kModule = "vlNotify.DLL";
constexpr int32_t kReplyTimeoutSeconds = 10;
// A reply is one receive of at most this many bytes.
constexpr int32_t kReplyMaximum = 999;
// The longest line the protocol allows, without its CR LF.
constexpr size_t kMaxLine = 998;

constexpr const char* kConnectFailure =
    "Unable to send SMTP message as the connection to the target server ";

// The connection slot of the calling thread (closed should the thread end with it open),
// and the code of the last reply it received.
struct ConnectionSlot {
  uint32_t handle = 0;
  ~ConnectionSlot() {
    if (handle != 0) vlZTIP_Close(&handle);
  }
};
thread_local ConnectionSlot t_slot;
thread_local uint32_t& t_connection = t_slot.handle;
thread_local int t_lastReplyCode = 0;

void Progress(const ProgressSink& progress, const char* line) {
  if (progress) progress(line);
}

// The code of a reply that starts with three digits, else 0.
int ReplyCode(std::string_view reply) {
  if (reply.size() < 3) return 0;
  int code = 0;
  for (size_t i = 0; i < 3; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(reply[i]))) return 0;
    code = code * 10 + (reply[i] - '0');
  }
  return code;
}

// One reply into `reply` (cleared first); the vlZTIP result.
int32_t Receive(std::string& reply) {
  char buffer[kReplyMaximum + 1] = {};
  t_lastReplyCode = 0;
  int32_t rc = vlZTIP_ReceiveReply(&t_connection, buffer, kReplyMaximum, kReplyTimeoutSeconds, 0);
  reply = buffer;
  if (rc == 0) t_lastReplyCode = ReplyCode(reply);
  return rc;
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(text[i])) !=
        std::tolower(static_cast<unsigned char>(prefix[i])))
      return false;
  return true;
}

// Log lines quote replies and commands without their final line end.
std::string WithoutLineEnd(std::string text) {
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
  return text;
}

// A value placed into a command or header line: a CR or LF in it would end the line and let
// the rest be read as another command or header.
std::string OneLine(std::string text) {
  for (char& c : text)
    if (c == '\r' || c == '\n') c = ' ';
  return text;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// "Name: value" CR LF, folded before a blank (or after a comma, or at last anywhere) so no
// line of it is longer than the protocol allows; unfolding gives the line back (but for a
// space added where no blank or comma was near).
std::string HeaderLine(const std::string& line) {
  std::string out;
  size_t start = 0;
  size_t lead = 0;  // characters a continuation adds in front of the rest
  while (line.size() - start + lead > kMaxLine) {
    size_t end = start + kMaxLine - lead;  // first character that does not fit
    size_t cut = std::string::npos;
    for (size_t k = end; k >= start + 2; --k)
      if (IsBlank(line[k])) {
        cut = k;
        break;
      }
    if (cut != std::string::npos) {
      out.append(line, start, cut - start);
      out += "\r\n";
      start = cut;
      lead = 0;
      continue;
    }
    for (size_t k = end - 1; k > start; --k)
      if (line[k] == ',') {
        cut = k + 1;
        break;
      }
    if (cut == std::string::npos) cut = end - 1;
    out.append(line, start, cut - start);
    out += "\r\n ";
    start = cut;
    lead = 1;
  }
  out.append(line, start, std::string::npos);
  out += "\r\n";
  return out;
}

// The body as the data phase carries it: every line end CR LF (a bare CR or LF is where some
// servers would see a line end and others not), a line starting with "." gets another "."
// in front so that no body line can end the data, and lines too long for the protocol are
// broken; then the end of the data.
std::string DataText(const std::string& body) {
  std::string out;
  out.reserve(body.size() + body.size() / 64 + 16);
  size_t lineLength = 0;
  for (size_t i = 0; i < body.size(); ++i) {
    char c = body[i];
    if (c == '\r' || c == '\n') {
      if (c == '\r' && i + 1 < body.size() && body[i + 1] == '\n') ++i;
      out += "\r\n";
      lineLength = 0;
      continue;
    }
    if (lineLength >= kMaxLine) {
      out += "\r\n";
      lineLength = 0;
    }
    if (lineLength == 0 && c == '.') {
      out += '.';
      ++lineLength;
    }
    out += c;
    ++lineLength;
  }
  out += "\r\n\r\n.\r\n";
  return out;
}

// Closes the slot's connection, if any, and clears the slot.
void CloseSlot() {
  if (t_connection != 0) vlZTIP_Close(&t_connection);
  t_connection = 0;
}

// The pieces of a recipients text: split at ",", CR and LF, blanks around each dropped.
std::vector<std::string> RecipientPieces(const std::string& recipients) {
  std::vector<std::string> pieces;
  size_t pos = 0;
  while (pos <= recipients.size()) {
    size_t end = recipients.find_first_of(",\r\n", pos);
    if (end == std::string::npos) end = recipients.size();
    size_t first = pos;
    while (first < end && IsBlank(recipients[first])) ++first;
    size_t last = end;
    while (last > first && IsBlank(recipients[last - 1])) --last;
    if (last > first) pieces.emplace_back(recipients, first, last - first);
    pos = end + 1;
  }
  return pieces;
}

}  // namespace

int vlZTNotify_SMTPConnectAndSend(const std::string& server, const std::string& heloName,
                                  uint32_t port, const std::string& sender,
                                  const std::string& recipients, const std::string& subject,
                                  const std::string& body, const ProgressSink& progress) {
  const char* function = "vlZTNotify_SMTPConnectAndSend";
  if (t_connection != 0) {
    vlZTLog_Message(2, 0, nullptr, kModule, function, "s",
                    "An existing SMTP connection already exists. It will be disconnected");
    vlZTNotify_SMTPDisconnect();
  }
  Progress(progress, "Connecting to the SMTP server ...");
  if (!vlZTNotify_SMTPConnect(server, heloName, port)) {
    vlZTLog_Message(1, 0, nullptr, kModule, function, "ss", "Unable to connect to the SMTP Server ",
                    server);
    Progress(progress, "Error: Unable to connect to the SMTP server ...");
    Progress(progress,
             "Please check the server name, port number, that the SMTP service is running and is "
             "available over the network.");
    return 0;
  }
  Progress(progress, "Sending the SMTP (e-mail) message ...");
  if (!vlZTNotify_SMTPSend(sender, recipients, subject, body)) {
    vlZTLog_Message(1, 0, nullptr, kModule, function, "ss",
                    "An error occurred sending SMTP message to the Server ", server);
    Progress(progress, "Error: Unable to send the SMTP (e-mail) message ...");
    Progress(progress, "Please check the Velmora log file for more information on this error.");
    vlZTNotify_SMTPDisconnect();
    return 0;
  }
  if (!vlZTNotify_SMTPDisconnect()) {
    vlZTLog_Message(2, 0, nullptr, kModule, function, "ss",
                    "Unable to disconnect SMTP connection to server ", server);
    return 0;
  }
  Progress(progress, "The e-mail was sent successfully ...");
  return 1;
}

int vlZTNotify_SMTPConnect(const std::string& server, const std::string& heloName,
                           uint32_t port) {
  const char* function = "vlZTNotify_SMTPConnect";
  auto fail = [&](const char* types, auto... values) {
    vlZTLog_Message(1, 0, nullptr, kModule, function, types, values...);
    CloseSlot();
    return 0;
  };
  if (t_connection != 0) {
    vlZTLog_Message(2, 0, nullptr, kModule, function, "s",
                    "An existing SMTP connection already exists. It will be disconnected");
    CloseSlot();
  }
  t_lastReplyCode = 0;
  int32_t rc = vlZTIP_Connect(&t_connection, server.c_str(), port, 6, "", 0);
  if (rc != 0) {
    return fail("sssl", "Unable to send SMTP message as a connection to the target server ",
                server, " could not be established. Error ", rc);
  }
  std::string reply;
  rc = Receive(reply);
  if (rc == -11)
    return fail("sss", kConnectFailure, server, " timed out waiting for an initial response");
  if (rc != 0) return fail("sssl", kConnectFailure, server, " failed with the error ", rc);
  if (!StartsWithIgnoringCase(reply, "220"))
    return fail("ssss", kConnectFailure, server, " failed with the unexpected response ",
                WithoutLineEnd(reply));
  std::string helo = "HELO " + OneLine(heloName) + "\r\n";
  t_lastReplyCode = 0;
  if (vlZTIP_SendText(&t_connection, helo.c_str(), 1) != 0)
    return fail("sss", kConnectFailure, server,
                " could not be established. The first greeting was not accepted by the Server");
  rc = Receive(reply);
  if (rc != 0) return fail("sssl", kConnectFailure, server, " failed with the error ", rc);
  if (!StartsWithIgnoringCase(reply, "250"))
    return fail("ssss", kConnectFailure, server, " failed with the unexpected response ",
                WithoutLineEnd(reply));
  return 1;
}

int vlZTNotify_SMTPSend(const std::string& sender, const std::string& recipients,
                        const std::string& subject, const std::string& body) {
  const char* function = "vlZTNotify_SMTPSend";
  if (t_connection == 0) {
    vlZTLog_Message(1, 0, nullptr, kModule, function, "s",
                    "Unable to send SMTP message. No SMTP connection exists");
    return 0;
  }
  if (sender.empty() || recipients.empty() || body.empty()) {
    vlZTLog_Message(1, 0, nullptr, kModule, function, "s",
                    "Unable to send SMTP message. One or more incoming parameters have not been "
                    "specified");
    return 0;
  }

  // The last command stays here for the error message, as does the last reply.
  std::string command;
  std::string reply;
  int32_t result = 0;
  auto send = [&](std::string text) {
    command = std::move(text);
    t_lastReplyCode = 0;
    result = vlZTIP_SendText(&t_connection, command.c_str(), 1);
    return result == 0;
  };
  auto expect = [&](const char* code) {
    result = Receive(reply);
    if (result != 0) return false;
    if (!CheckSMTPResponse(reply, code)) {
      result = -1;
      return false;
    }
    return true;
  };

  bool ok = [&] {
    std::string from = OneLine(sender);
    from.erase(0, from.find_first_not_of(' '));
    if (!send(from.rfind('<', 0) == 0 ? "MAIL FROM: " + from + "\r\n"
                                      : "MAIL FROM: <" + from + ">\r\n") ||
        !expect("250"))
      return false;
    std::vector<std::string> pieces = RecipientPieces(recipients);
    for (const std::string& to : pieces) {
      if (!send(to.front() == '<' ? "RCPT TO: " + to + "\r\n" : "RCPT TO: <" + to + ">\r\n") ||
          !expect("250"))
        return false;
    }
    if (pieces.empty()) {
      vlZTLog_Message(1, 0, nullptr, kModule, function, "s",
                      "Cannot send mail as there are no valid recipients");
      result = -1;
      return false;
    }
    if (!send("DATA\r\n") || !expect("354")) return false;
    if (!send(HeaderLine("To: " + OneLine(recipients))) ||
        !send(HeaderLine("Subject: " + OneLine(subject)) + "\r\n"))
      return false;
    // The data goes out in one piece; the command still names the header for the log.
    std::string data = DataText(body);
    t_lastReplyCode = 0;
    result = vlZTIP_SendText(&t_connection, data.c_str(), 1);
    if (result != 0 || !expect("250")) return false;
    return send("QUIT\r\n") && expect("221");
  }();
  if (ok) return 1;

  if (!command.empty())
    vlZTLog_Message(1, 0, nullptr, kModule, function, "ss",
                    "Unable to send SMTP message. The original request was ",
                    WithoutLineEnd(command));
  vlZTLog_Message(1, 0, nullptr, kModule, function, "slss",
                  "Unable to send SMTP message. The server's response (", result, ") was ",
                  WithoutLineEnd(reply));
  return 0;
}

int vlZTNotify_SMTPDisconnect() {
  const char* function = "vlZTNotify_SMTPDisconnect";
  if (t_connection == 0) {
    vlZTLog_Message(1, 0, nullptr, kModule, function, "s",
                    "Unable to disconnect. No SMTP connection exists");
    return 0;
  }
  int32_t rc = vlZTIP_Close(&t_connection);
  t_connection = 0;
  if (rc != 0) {
    vlZTLog_Message(1, 0, nullptr, kModule, function, "sl",
                    "An error occurred whilst disconnecting from the SMTP server. Error ", rc);
    return 0;
  }
  return 1;
}

int CheckSMTPResponse(const std::string& reply, const std::string& code) {
  if (StartsWithIgnoringCase(reply, code)) return 1;
  std::string quoted = reply.size() <= 50 ? reply : reply.substr(0, 49);
  vlZTLog_Message(1, 0, nullptr, kModule, "CheckSMTPResponse", "ssss",
                  "An error occurred during an SMTP transmission. Response expected: ", code,
                  ", response received ", WithoutLineEnd(quoted));
  return 0;
}

int vlZTNotify_SMTPLastReplyCode() { return t_lastReplyCode; }

}  // namespace vlzt
