// alerting/stored_messages.h
// Stored message files (one INI-style record per alert in the data directory), their
// numbering, and the unsent message list that queues them for the alert-notification thread.
#pragma once
#include <cstdint>
#include <fstream>
#include <string>

#include "alerting/substitution.h"

namespace vlzt {

// The longest path the unsent message list is read with; longer lines are skipped.
inline constexpr size_t kMaxUnsentEntry = 518;

// "<DataDirectory>/LOG<n>.err".
std::string StoredMessagePath(uint32_t number);
// "<DataDirectory>/Unsent.log".
std::string UnsentListPath();
// The temporary file the list is rewritten through: in the data directory, so that it can
// be renamed over the list, and named by the process id.
std::string UnsentTempPath();

// Records one alert as a stored message file and queues it for delivery: cleans `message`
// in place (CleanMessageText), writes the file's keys, counts the alert for the daily
// summary, lists the path in the unsent message list (once), wakes the alert-notification
// thread and, with console support on, passes the alert to the consoles. A null or empty
// info is not written. Returns 1, or 0 when the file could not be written (nothing queued).
int NotifyError(int32_t errorType, uint32_t alertLevel, int32_t alertAction,
                const std::string& title, const std::string& appName, std::string& message,
                const char* info1, const char* info2, const char* info3, int32_t autoResponse);

// Records an internal or configuration error (error type 16) as a stored message file that
// is counted under `summaryCategory` and shown on the report pages but never delivered.
// Returns 1, or 0 when the file could not be written.
int NotifyInternalError(int32_t summaryCategory, const std::string& title,
                        const std::string& appName, const std::string& message);

// The next stored message number (1 to MaxStoredMsgs, then 1 again), written back to
// StoredMsgNo. Callers hold StoredMessageLock.
uint32_t GetNextFileNo();

// 1 when a line of the list at `listPath` equals `filePath` (line end cut), else 0; 0 also
// (logged) when the list cannot be opened. Takes StoredMessageLock.
int CheckFileForFile(const std::string& listPath, const std::string& filePath);

// Appends `filePath` and CR LF to the list; 1, or 0 (logged) when it cannot be opened.
// Takes StoredMessageLock.
int AddToUnsentMsgFile(const std::string& filePath, const std::string& listPath);

// Replaces every CR, LF, '~', single and double quote of `text` by a space.
void CleanMessageText(std::string& text);

// Makes the rest of the open `list` (from its read position) the whole list: written to
// `tempPath` and renamed over `listPath`, so the list is always either the old or the new
// one. Closes `list`. Returns 1, or 0 (logged, list unchanged) when the temporary file
// cannot be written or renamed. Callers hold StoredMessageLock.
int ReplaceWithRemainingFile(std::ifstream& list, const std::string& listPath,
                             const std::string& tempPath);

// The alert-notification thread's side of the list. TakeNextUnsentEntry gives the oldest
// entry (blank and over-long lines are skipped with a log line) and keeps it listed while it
// is delivered; a list with no entry is deleted and 0 returned. RemoveDeliveredEntry then
// takes it off the list (and lists it again when NotifyError rewrote that file meanwhile);
// 0 when the list could not be shortened, to be retried later. Both take StoredMessageLock.
int TakeNextUnsentEntry(std::string& path);
int RemoveDeliveredEntry(const std::string& path);

// Reading a stored message file: a text key cut to `limit` characters (`def` when missing),
// and a number key.
std::string ReadStoredText(const std::string& file, const char* key, const char* def,
                           size_t limit = std::string::npos);
int32_t ReadStoredNumber(const std::string& file, const char* key, int32_t def);

// 1 when `file` exists and holds a "Message" key, else 0.
int StoredMessageUsable(const std::string& file);

// Fills `record` from the stored message `file` (texts cut to the record's limits, "N/A"
// for missing ones), with the time now and the operating-system texts of `form`; stores
// "ErrorType" in `errorType` when given. Returns 1.
int FillSubstitutionRecordFromFile(const std::string& file, OSNameForm form,
                                   SubstitutionRecord& record, int32_t* errorType = nullptr);

}  // namespace vlzt
