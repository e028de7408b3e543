// support/vlZTLog.h
// The program log shared by the service and the utility, and the event records of both.
//
// One call writes one line with a single append, so several processes can share one file
// without mixing their lines. A line reads:
//
//   2026-12-11 14:03:07.125 ERROR  pid=812 tid=815 vlZTELog ServiceMain: Unable to contact ...
//
// local time with milliseconds, the level word (ERROR, WARN, INFO, DETAIL, or LEVELn for
// other levels), process and thread id, module, function and the message. Line ends inside
// the message are written as the two characters "\n" so that one call stays one line.
// A relative file name is placed in the "log" folder of the machine root.
#pragma once
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>

namespace vlzt {

// One value of a message: a text or a signed 32-bit number.
class LogValue {
 public:
  LogValue(const char* text) : text_(text ? text : "(null)"), isText_(true) {}
  LogValue(const std::string& text) : text_(text), isText_(true) {}
  LogValue(std::string_view text) : text_(text), isText_(true) {}
  template <typename N, typename = std::enable_if_t<std::is_integral_v<N>>>
  LogValue(N number) : number_(static_cast<int32_t>(number)) {}

  bool isText() const { return isText_; }
  std::string_view text() const { return text_; }
  int32_t number() const { return number_; }

 private:
  std::string_view text_;
  int32_t number_ = 0;
  bool isText_ = false;
};

// The message of `types` and `values` as it is logged: each value in order, "s" as text,
// "l"/"i" as a decimal number, joined with nothing between them. A value whose letter does
// not fit its kind is written as what it is; letters without values are ignored.
std::string vlZTLog_Format(const char* types, std::initializer_list<LogValue> values);

void vlZTLog_Write(int level, int show, void* owner, const char* module, const char* function,
                   const std::string& message);
void vlZTLog_WriteEvent(int type, const char* module, const char* function,
                        const std::string& message);

// Writes one log line at `level` (1 error, 2 warning, 3 information, 5 detail) unless the
// level is above the one set. With `show` 1 the text is also shown to the user through the
// message-box hook (standard error when none is installed), owned by `owner`.
template <typename... V>
void vlZTLog_Message(int level, int show, void* owner, const char* module,
                     const char* function, const char* types, const V&... values) {
  vlZTLog_Write(level, show, owner, module, function, vlZTLog_Format(types, {LogValue(values)...}));
}

// Records an event of `type` (1 error, 2 warning, 4 or 6 information) through the event sink
// (the platform's Application log once one is installed) and also logs it.
template <typename... V>
void vlZTLog_Event(int type, const char* module, const char* function, const char* types,
                   const V&... values) {
  vlZTLog_WriteEvent(type, module, function, vlZTLog_Format(types, {LogValue(values)...}));
}

// Makes `file` (at most 259 characters) the log file. Returns nonzero when it is now in use;
// 0 leaves the previous file in use (name too long or the file cannot be opened for append).
int vlZTLog_SetFile(const char* file);

// Later messages above `level` are not written. The default level is 3.
void vlZTLog_SetLevel(int level);

// The file now in use (absolute path).
std::string vlZTLog_CurrentFile();

// The default file name, used until vlZTLog_SetFile succeeds.
inline constexpr const char* kDefaultLogFile = "VLMZT.LOG";

// Shows a message to the interactive user; installed by programs with a user interface.
using MessageBoxHook = std::function<void(void* owner, int level, const std::string& text)>;
void vlZTLog_SetMessageBoxHook(MessageBoxHook hook);

// Receives the events of vlZTLog_Event: type, module, function, message.
using EventSink = std::function<void(int type, const char* module, const char* function,
                                     const std::string& message)>;
void vlZTLog_SetEventSink(EventSink sink);

}  // namespace vlzt
