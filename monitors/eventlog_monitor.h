// monitors/eventlog_monitor.h
// The event-log monitor: one worker thread that reads the records written to the event logs
// named by enabled checks, renders each one's message and alerts on the records that pass.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "monitors/check_config.h"
#include "monitors/latest_records.h"

namespace vlzt {

// Without `out`: the monitor thread (worker slot 0), from the start gate to StopServerEvent.
// With `out`: writes the status page's table of the latest matches and returns; the caller
// holds WebDataLock.
void VerifyEventLogs(std::ostream* out = nullptr);

// Mode 1 opens the log of `entry`, asks to be told of its changes and positions it after its
// newest record; on failure the entry is marked failed, its checks are disabled and reported,
// and 0 is returned. Any other mode closes it (0 when closing failed). Returns 1 on success.
int MonitorEventLog(int mode, MonitoredEventLog& entry);

// Mode 1 reads to the end of the log without testing anything; mode 2 reads and tests every
// new record, in whole buffers. A cleared or deleted log is reopened. Returns 0 when the stop
// event was seen or memory ran out, 1 otherwise.
int ProcessEventLog(int mode, MonitoredEventLog& entry);

// The message `eventId` of the message file `messageFile` (environment references expanded
// into `expandedPath`, at most 259 characters), formatted with `strings` (%1 is the first),
// or else the system's own message of that number. Returns 1 with `message` set, else 0.
int FormatFromModule(const std::string& messageFile, std::string& expandedPath, uint32_t eventId,
                     const std::vector<std::string>& strings, std::string& message);

// Replaces every parameter insert "%%<n>" of `message` by message n of the parameter file
// `parameterFile`. Returns 1 when all were replaced (or there were none); 0 leaves `message`
// as it was (file not loadable, or a number it has no message for).
int ReplaceParameterInserts(const std::string& parameterFile, std::string& message);

// 1 when `source` and `alertText` were seen within the last 5 seconds; otherwise records
// them and returns 0. Used only by the monitor thread.
int IsRecentDuplicate(const std::string& source, const std::string& alertText);

// Tests: the millisecond tick source of the duplicate test (empty: the platform tick count);
// the ring starts empty again.
void SetDuplicateTickSource(std::function<uint32_t()> ticks);

// Tests: with `on` false, logs opened afterwards are not watched for changes, so new records
// are read only when the poll interval ends.
void SetChangeNotification(bool on);

// The latest matches of this monitor (newest first, at most 15), for the status page.
void AddLatestEventRecord(const std::string& name, const std::string& timeText, const std::string& alertText);
bool GetLatestEventRecord(size_t index, LatestRecord& record);

}  // namespace vlzt
