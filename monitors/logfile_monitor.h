// monitors/logfile_monitor.h
// The log-file monitor: one worker thread that reads the lines appended to the log files
// named by enabled checks and alerts on the lines that pass a check.
#pragma once
#include <cstdint>
#include <ostream>
#include <string>

#include "monitors/check_config.h"
#include "monitors/latest_records.h"

namespace vlzt {

// Without `out`: the monitor thread (worker slot 1), from the start gate to StopServerEvent.
// With `out`: writes the status page's table of the latest matches and returns.
void VerifyLogFiles(std::ostream* out = nullptr);

// Positions `entry` at the end of its file's whole lines (0 when the file cannot be opened,
// so a file that appears later is read from its first line).
void InitLogFile(MonitoredLogFile& entry);

// Reads and tests the lines appended to the file of `entry` since the last look.
void CheckLatestLogFileMessages(MonitoredLogFile& entry);

// Whole minutes from now to a StartMonitoringOn text ("DD/MM/YYYY HH:MM", month first when
// DateFormat is not 1); 0 when it is not a date or not in the future.
int32_t MinutesUntil(const std::string& dateText);

// Seconds to wait before the next look; with dated names the wait ends at midnight at the
// latest, and then `rollover` is 1.
int32_t NextPollInterval(int32_t anyDated, int32_t& rollover);

// The latest matches of this monitor (newest first), for the status page.
void AddLatestLogRecord(const std::string& name, const std::string& text);
bool GetLatestLogRecord(size_t index, LatestRecord& record);

}  // namespace vlzt
