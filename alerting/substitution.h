// alerting/substitution.h
// Place-markers ("<$$TITLE>" ...) expanded into the administrators' alert templates, and the
// time texts that alerts and report pages carry.
#pragma once
#include <cstdint>
#include <string>

namespace vlzt {

// The service's configuration key (values DateFormat, MaxStoredMsgs, StoredMsgNo ...).
inline constexpr const char* kAlertingConfigKey =
    "Software\\Orvane\\Velmora Tavish Log Monitor\\CurrentVersion";

// The values of one alert that the markers stand for. Callers fill the texts within the
// limits noted (FillSubstitutionRecordFromFile in stored_messages.h does so).
struct SubstitutionRecord {
  std::string Message;      // any length
  std::string Title;        // up to 255 characters
  std::string TimeLogged;   // up to 29
  std::string TimeNow;      // up to 29
  std::string Info1;        // up to 255 each
  std::string Info2;
  std::string Info3;
  std::string Source;       // up to 255
  std::string OSName;       // up to 255
  std::string ServicePack;  // up to 255
  int32_t LevelNumber = 0;
};

// Limits of the record's texts.
inline constexpr size_t kRecordTextLimit = 255;
inline constexpr size_t kRecordTimeLimit = 29;

// Expands every place-marker of `templ` for an alert of `errorType` into `out`, matching
// marker names without regard to case; a "<$$...>" that names no marker of this type
// becomes "[not defined]". Values are inserted as they are, never expanded again. Returns
// 1, or 0 (logged, `out` untouched) when memory runs out.
int SubstituteParamsForString_Dynamic(int32_t errorType, const std::string& templ,
                                      std::string& out, const SubstitutionRecord& record);

// The number of a single-bit alert level: 1 gives 1, 2 gives 2, 4 gives 3 ... up to
// 0x80000 giving 20; any other mask (0, 1023, several bits) gives 0.
int32_t LevelNumber(uint32_t alertLevel);

// The registry value DateFormat, read at the first use and kept: 2 means month first, any
// other value day first (missing or 0 reads as 1).
int32_t CachedDateFormat();
// Forgets the kept value, so the next use reads the registry again (tests, reconfiguration).
void ForgetDateFormat();

// The local time as "DD/MM/YYYY hh:mm:ss" (month first when DateFormat is 2); stores the
// calendar time in `now` when given.
std::string FormatCurrentTime(int64_t* now = nullptr);

// The local time as, for example, "11th March 2007 at 09:05:07".
std::string FormatLongCurrentDate();

// "05/03/2007 10:11:12" becomes "03/05/2007 10:11:12": the first two '/'-separated fields
// swapped; a text with fewer than two '/' is returned unchanged.
std::string ConvertToMonthFirst(const std::string& time);

// Which wording of the operating system's name a channel uses: the e-mail and network
// message texts, or the short form of the alert data file, database, automatic responses
// and Alert Engine. This platform names itself the same way in both.
enum class OSNameForm { kMessage, kShort };

// The operating system's name for alert texts ("N/A" when unknown).
std::string OSNameText(OSNameForm form);
// The service-pack text: the kernel release, or "[None]" when empty.
std::string ServicePackText();

}  // namespace vlzt
