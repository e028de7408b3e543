// protocols/smtp_client.h
// The plain SMTP client of both programs: one short exchange per message over vlZTIP, on a
// connection slot of the calling thread, so threads can send at the same time.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

namespace vlzt {

// Receives the progress lines of one exchange (the configuration utility's list display);
// the service passes none.
using ProgressSink = std::function<void(const std::string& line)>;

// Connects to `server`:`port`, greets with HELO `heloName`, sends one message from `sender`
// to `recipients` (see vlZTNotify_SMTPSend) and closes. 1 when the server accepted the
// message and the connection was closed cleanly, else 0 (logged). An earlier connection of
// this thread is closed first.
int vlZTNotify_SMTPConnectAndSend(const std::string& server, const std::string& heloName,
                                  uint32_t port, const std::string& sender,
                                  const std::string& recipients, const std::string& subject,
                                  const std::string& body, const ProgressSink& progress = nullptr);

// Opens this thread's connection: 1 when the server greeted with 220 and took HELO with 250;
// else 0 (logged) and the thread has no connection. Each reply is awaited 10 seconds.
int vlZTNotify_SMTPConnect(const std::string& server, const std::string& heloName,
                           uint32_t port);

// One mail transaction and QUIT on this thread's open connection. `recipients` is split at
// ",", CR and LF; each piece, without surrounding blanks, becomes one RCPT TO, and the whole
// text (line ends made spaces) the "To: " header. The body's line ends are sent as CR LF,
// lines starting with "." are dot-stuffed, and lines longer than the protocol allows are
// broken, so no body text can end the data early. One refused recipient fails the message.
// 1, or 0 (logged) with the connection left open for the caller to close.
int vlZTNotify_SMTPSend(const std::string& sender, const std::string& recipients,
                        const std::string& subject, const std::string& body);

// Closes this thread's connection. 1 when there was one and it closed without error.
int vlZTNotify_SMTPDisconnect();

// 1 when `reply` begins with the three-digit `code` (compared without regard to case); else
// 0 with a log line quoting the start of the reply.
int CheckSMTPResponse(const std::string& reply, const std::string& code);

// The code of the last reply this thread received (550 for "550 no such user"), or 0 when
// the last exchange step got no reply (no connection, time-out, closed, not a reply). Lets a
// caller tell a refusal that a later attempt cannot change (5xx) from a passing fault.
int vlZTNotify_SMTPLastReplyCode();

}  // namespace vlzt
