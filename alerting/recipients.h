// alerting/recipients.h
// Chooses who hears about an alert: by alert level, channel and notification schedule.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "alerting/substitution.h"

namespace vlzt {

// The registry key of the recipients and the e-mail settings.
inline const std::string kContactsKey = std::string(kAlertingConfigKey) + "\\Contacts";

// The room callers give a recipient list, in bytes.
inline constexpr size_t kRecipientListCapacity = 7000;

// Appends the recipients of `alertLevel` for `channel` (1 network message, any other value
// e-mail) whose schedule covers the present moment to `list`, entries separated by ","; an
// e-mail recipient with a server of its own is "address~server~sender~port" (sender
// "<NONE>" when it has none). Keeps the list below `capacity` bytes: a recipient that does
// not fit is skipped with a warning. Returns how many entries were added.
int BuildRecipientList(uint32_t alertLevel, int channel, std::string& list, size_t capacity);

// 1 when entry `n` of `baseName` ("Email", "NetSend", ...) under the registry key `keyPath`
// is within its schedule now (day mask <B>Mask<n>, times <B>StartTime<n> and <B>EndTime<n>,
// whole minutes, both ends included; a window that ends before it starts runs past midnight
// and belongs to the day it begins). An entry with any of the three values missing or empty
// has no schedule and is always within it.
int IsWithinNotifySchedule(const std::string& keyPath, const std::string& baseName, int n);

// The entry of `list` at `position` (leading "," and CR skipped), at most capacity - 1
// characters of it, in `entry`; returns the position after it. An empty `entry` means the
// list is exhausted.
size_t GetNextListEntry(const std::string& list, size_t position, std::string& entry,
                        size_t capacity);

}  // namespace vlzt
