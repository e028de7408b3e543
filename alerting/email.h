// alerting/email.h
// Alert e-mail: a stored alert mailed to the e-mail recipients of its level, and the delayed
// e-mail thread that sends again what could not be sent at the time.
#pragma once
#include <string>

#include "protocols/smtp_client.h"

namespace vlzt {

// Mails the stored message `file` to every e-mail recipient of its level whose schedule
// covers the present moment, or to the recipient list `recipients` instead when that is not
// empty. The text is the built-in alert e-mail, or the MessageText and TitleText templates
// (read at the first alert e-mail of the process and kept) with the alert's place-markers.
// 1 when every message was sent or nobody was due, else 0 (logged).
int SendEMailMessageFromFile(const std::string& file, const std::string& recipients = "",
                             const ProgressSink& progress = nullptr);

// Sends `subject` and `body` to each entry of the recipient list `recipients` in an SMTP
// exchange of its own, one exchange at a time across the process (EmailLock): through the
// entry's own server, sender and port where it names them, else the E-Mail Server, E-Mail
// Server Port and Sender settings. `title` names the mail in log lines. A failing recipient
// does not stop the others. 1 when every exchange succeeded, else 0.
int SendEMailMessage(const std::string& title, const std::string& subject,
                     const std::string& body, const std::string& recipients,
                     const ProgressSink& progress = nullptr);

// The e-mail channel of alert delivery: SendEMailMessageFromFile, and when some recipients
// could not be reached for a reason that may pass (server down, no answer, a 4xx reply)
// while delayed e-mail is configured (DelayedSMTPCheckInterval), marks the file
// SMTPDelayed "TRUE" with those recipients, for the delayed e-mail thread. 1 or 0 as
// SendEMailMessageFromFile.
int SendAlertEMail(const std::string& file);

// Makes SendAlertEMail the e-mail channel of TriggerAlertFromFile (alert_notification.h).
void InstallEMailChannel();

// When `file` is marked SMTPDelayed "TRUE", sends its e-mail again (to the recipients noted
// with the mark, or as for a new alert when none are noted) and marks it "FALSE" once
// nothing is owed. Returns 0 only when the file was marked and its e-mail failed again for
// a reason that may pass; the file then stays marked. Callers hold StoredMessageLock.
int SendDelayedEMailForFile(const std::string& file);

// The delayed e-mail thread (worker slot 14). Waits at the start gate; ends at once when
// DelayedSMTPCheckInterval is 0 or missing; otherwise every that many minutes resends the
// marked stored messages of the data directory (a pass stops at the first that fails
// again), until StopServerEvent is set.
void DelayedAlertNotification();

// Forgets the kept MessageText and TitleText, so the next alert e-mail reads them again
// (tests, reconfiguration).
void ForgetEMailTemplates();

}  // namespace vlzt
