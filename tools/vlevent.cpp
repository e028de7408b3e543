// tools/vlevent.cpp
// vlevent: the administrator's command-line tool over the event logs of this machine root:
// write events, show them with their messages, clear logs, register sources and logs.
#include <strings.h>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <deque>
#include <string>
#include <vector>

#include "platform/eventlog.h"
#include "platform/message_files.h"
#include "platform/system.h"

using namespace vlzt::platform;

namespace {

constexpr const char* kUsage = R"(Usage:
  vlevent write /L LOG /SO SOURCE /ID N /T TYPE [/C CATEGORY] /D TEXT [/A TEXT]... [/N COUNT]
  vlevent query LOG [/c:N] [/rd:true|false]
  vlevent clear LOG
  vlevent source add LOG SOURCE MESSAGEFILE [PARAMETERFILE]
  vlevent source delete LOG SOURCE
  vlevent log add NAME
  vlevent log delete NAME

write          writes an event; its description becomes insertion string 1. A source not
               registered yet is registered under LOG with the generic message file, whose
               message is the description.
  /ID N        the event identifier, 0 to 4294967295 (decimal or 0x hexadecimal)
  /T TYPE      ERROR, WARNING, INFORMATION, SUCCESSAUDIT or FAILUREAUDIT
  /C CATEGORY  the category, 0 to 65535 (default 0)
  /A TEXT      a further insertion string (2, 3, ...); may be given again
  /N COUNT     writes the event COUNT times (default 1)
query          shows the records of LOG, oldest first, with their messages
  /c:N         at most N records
  /rd:true     newest first
clear          removes every record of LOG
source add     registers SOURCE under LOG with its message file(s) (several separated by ';')
source delete  removes the registration of SOURCE
log add        creates the log NAME; log delete removes it with its records and sources
               (the standard logs Application, System and Security stay)

Options and type names may be written in any letter case, with '/' or '-'.
The logs are those of the machine root $VLZT_ROOT (default /var/lib/vlzt).
Exit status: 0 on success, 1 on failure.
)";

int Fail(const std::string& message) {
  std::fprintf(stderr, "ERROR: %s\n", message.c_str());
  return 1;
}

std::string CodeText(long code) {
  std::string text = SystemErrorText(static_cast<uint32_t>(code));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  if (text.empty()) text = "Error";
  return text + " (error " + std::to_string(code) + ")";
}

bool Same(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

bool IsOption(const std::string& arg) { return arg.size() >= 2 && (arg[0] == '/' || arg[0] == '-'); }

// Decimal or 0x hexadecimal, at most `max`.
bool ParseNumber(const std::string& text, uint64_t max, uint64_t* out) {
  if (text.empty()) return false;
  int base = 10;
  size_t at = 0;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    at = 2;
  }
  uint64_t value = 0;
  for (; at < text.size(); ++at) {
    char c = text[at];
    uint64_t digit;
    if (c >= '0' && c <= '9') digit = static_cast<uint64_t>(c - '0');
    else if (base == 16 && c >= 'a' && c <= 'f') digit = static_cast<uint64_t>(c - 'a' + 10);
    else if (base == 16 && c >= 'A' && c <= 'F') digit = static_cast<uint64_t>(c - 'A' + 10);
    else return false;
    value = value * static_cast<uint64_t>(base) + digit;
    if (value > max) return false;
  }
  *out = value;
  return true;
}

struct TypeName {
  const char* name;
  uint16_t type;
};
constexpr TypeName kTypes[] = {
    {"ERROR", EVENTLOG_ERROR_TYPE},          {"WARNING", EVENTLOG_WARNING_TYPE},
    {"INFORMATION", EVENTLOG_INFORMATION_TYPE}, {"SUCCESSAUDIT", EVENTLOG_AUDIT_SUCCESS},
    {"FAILUREAUDIT", EVENTLOG_AUDIT_FAILURE},
};

const char* LevelName(uint16_t type) {
  switch (type) {
    case EVENTLOG_ERROR_TYPE: return "Error";
    case EVENTLOG_WARNING_TYPE: return "Warning";
    case EVENTLOG_AUDIT_SUCCESS: return "Audit Success";
    case EVENTLOG_AUDIT_FAILURE: return "Audit Failure";
    default: return "Information";
  }
}

// The registered spelling of an existing log, or a message saying it does not exist.
bool ExistingLog(const std::string& name, std::string* log, int* status) {
  long rc = FindEventLog(name, log);
  if (rc == 0) return true;
  *status = rc == 2 ? Fail("The log '" + name + "' does not exist.") : Fail(CodeText(rc));
  return false;
}

int Write(int argc, char** argv) {
  std::string log, source, description, idText, typeText, categoryText, countText;
  std::vector<std::string> more;
  bool seen[7] = {};
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    if (!IsOption(arg)) return Fail("Invalid argument '" + arg + "'. Type \"vlevent --help\" for usage.");
    std::string name = arg.substr(1);
    static const char* const kNames[] = {"L", "SO", "ID", "T", "C", "D", "N"};
    std::string* targets[] = {&log, &source, &idText, &typeText, &categoryText, &description, &countText};
    int which = -1;
    for (int k = 0; k < 7; ++k)
      if (Same(name, kNames[k])) which = k;
    bool isMore = Same(name, "A");
    if (which < 0 && !isMore) return Fail("Invalid option '" + arg + "'. Type \"vlevent --help\" for usage.");
    if (i + 1 >= argc) return Fail("Option " + arg + " needs a value.");
    std::string value = argv[++i];
    if (isMore) {
      more.push_back(value);
      continue;
    }
    if (seen[which]) return Fail("Option " + arg + " is given twice.");
    seen[which] = true;
    *targets[which] = value;
  }
  const char* missing = !seen[0] ? "/L" : !seen[1] ? "/SO" : !seen[2] ? "/ID" : !seen[3] ? "/T" : !seen[5] ? "/D" : nullptr;
  if (missing) return Fail(std::string("The option ") + missing + " is required. Type \"vlevent --help\" for usage.");

  uint64_t id, category = 0, count = 1;
  if (!ParseNumber(idText, 0xFFFFFFFF, &id))
    return Fail("Invalid event identifier '" + idText + "': expected a number from 0 to 4294967295.");
  if (seen[4] && !ParseNumber(categoryText, 0xFFFF, &category))
    return Fail("Invalid category '" + categoryText + "': expected a number from 0 to 65535.");
  if (seen[6] && (!ParseNumber(countText, 100000000, &count) || count == 0))
    return Fail("Invalid count '" + countText + "': expected a number from 1 to 100000000.");
  const TypeName* type = nullptr;
  for (const TypeName& t : kTypes)
    if (Same(typeText, t.name)) type = &t;
  if (!type)
    return Fail("Invalid event type '" + typeText +
                "': expected ERROR, WARNING, INFORMATION, SUCCESSAUDIT or FAILUREAUDIT.");
  if (!IsValidEventLogName(source)) return Fail("Invalid source name '" + source + "'.");

  int status = 1;
  std::string registered;
  if (!ExistingLog(log, &registered, &status)) return status;
  std::string sourceLog;
  long rc = FindEventSourceLog(source, &sourceLog);
  if (rc == 0 && strcasecmp(sourceLog.c_str(), registered.c_str()) != 0)
    return Fail("The source '" + source + "' is registered under the log '" + sourceLog + "', not '" +
                registered + "'.");
  if (rc == 2) {
    std::string generic;
    if ((rc = EnsureGenericMessageFile(&generic)) != 0 || (rc = AddEventSource(registered, source, generic, "")) != 0)
      return Fail("Cannot register the source '" + source + "': " + CodeText(rc));
  } else if (rc != 0) {
    return Fail(CodeText(rc));
  }

  HEVENTSOURCE handle;
  if ((rc = RegisterEventSource(source, &handle)) != 0) return Fail(CodeText(rc));
  std::vector<std::string> strings{description};
  strings.insert(strings.end(), more.begin(), more.end());
  for (uint64_t n = 0; n < count && rc == 0; ++n)
    rc = ReportEvent(handle, type->type, static_cast<uint16_t>(category), static_cast<uint32_t>(id), strings);
  DeregisterEventSource(handle);
  if (rc != 0) return Fail("Cannot write the event: " + CodeText(rc));
  std::printf("SUCCESS: %s of type '%s' %s written to the '%s' log with '%s' as the source.\n",
              count == 1 ? "An event" : (std::to_string(count) + " events").c_str(), type->name,
              count == 1 ? "was" : "were", registered.c_str(), source.c_str());
  return 0;
}

std::string LocalTimeText(uint32_t t) {
  time_t when = static_cast<time_t>(t);
  std::tm tm{};
  localtime_r(&when, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
  return text;
}

// The message as lines ending in '\n'.
std::string ForTerminal(const std::string& message) {
  std::string out;
  for (size_t i = 0; i < message.size(); ++i) {
    if (message[i] == '\r' && i + 1 < message.size() && message[i + 1] == '\n') continue;
    out += message[i];
  }
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

void Show(const std::string& log, const EventLogEntry& e, size_t index) {
  std::string message, lastFile;
  long rc = FormatEventMessage(log, e.source, e.eventId, e.strings, &message, &lastFile);
  if (rc != 0) {
    std::string strings;
    for (const auto& s : e.strings) strings += (strings.empty() ? "" : ", ") + s;
    message = "The description for Event ID " + std::to_string(e.eventId & 0xFFFF) + " from source " + e.source +
              " cannot be found: " +
              (rc == 2 ? std::string("the source names no message file under this log")
                       : "no message file has it (last tried: " + (lastFile.empty() ? "none" : lastFile) + ")") +
              ". The event holds these strings: " + strings;
  }
  std::printf("Event[%zu]:\n", index);
  std::printf("  Log Name: %s\n", log.c_str());
  std::printf("  Source: %s\n", e.source.c_str());
  std::printf("  Date: %s\n", LocalTimeText(e.timeGenerated).c_str());
  std::printf("  Event ID: %u\n", e.eventId & 0xFFFF);
  if (e.eventId >> 16) std::printf("  Qualifiers: %u\n", e.eventId >> 16);
  std::printf("  Category: %u\n", e.category);
  std::printf("  Level: %s\n", LevelName(e.eventType));
  std::printf("  Record Number: %u\n", e.recordNumber);
  std::printf("  Computer: %s\n", e.computer.c_str());
  if (!e.data.empty()) std::printf("  Data: %zu bytes\n", e.data.size());
  std::printf("  Description:\n%s\n\n", ForTerminal(message).c_str());
}

int Query(int argc, char** argv) {
  std::string name;
  uint64_t limit = 0;
  bool newestFirst = false;
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    if (!IsOption(arg)) {
      if (!name.empty()) return Fail("Invalid argument '" + arg + "'. Type \"vlevent --help\" for usage.");
      name = arg;
      continue;
    }
    size_t colon = arg.find(':');
    std::string option = arg.substr(1, colon == std::string::npos ? std::string::npos : colon - 1);
    std::string value = colon == std::string::npos ? "" : arg.substr(colon + 1);
    if (Same(option, "c") || Same(option, "count")) {
      if (!ParseNumber(value, 0xFFFFFFFF, &limit) || limit == 0)
        return Fail("Invalid count '" + value + "' in " + arg + ": expected a number of at least 1.");
    } else if (Same(option, "rd") || Same(option, "reversedirection")) {
      if (Same(value, "true")) newestFirst = true;
      else if (Same(value, "false")) newestFirst = false;
      else return Fail("Invalid value '" + value + "' in " + arg + ": expected true or false.");
    } else if (Same(option, "f") || Same(option, "format")) {
      if (!Same(value, "text")) return Fail("Invalid format '" + value + "': only text is available.");
    } else {
      return Fail("Invalid option '" + arg + "'. Type \"vlevent --help\" for usage.");
    }
  }
  if (name.empty()) return Fail("The log to query is missing. Type \"vlevent --help\" for usage.");
  int status = 1;
  std::string log;
  if (!ExistingLog(name, &log, &status)) return status;
  HEVENTLOG handle;
  long rc = OpenEventLog(log, &handle);
  if (rc != 0) return Fail("Cannot open the log '" + log + "': " + CodeText(rc));

  std::vector<char> buffer(64 * 1024);
  std::deque<EventLogEntry> newest;  // only for newest-first output
  size_t shown = 0;
  bool full = false;
  while (!full) {
    uint32_t got = 0, needed = 0;
    rc = ReadEventLog(handle, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ, 0, buffer.data(),
                      static_cast<uint32_t>(buffer.size()), &got, &needed);
    if (rc == kErrorInsufficientBuffer) {
      buffer.resize(needed);
      continue;
    }
    if (rc != 0) break;
    for (uint32_t at = 0; at < got && !full;) {
      EventLogEntry e;
      uint32_t length = DecodeEventLogRecord(buffer.data() + at, got - at, &e);
      if (!length) {
        rc = kErrorLogFileDamaged;
        full = true;
        break;
      }
      at += length;
      if (newestFirst) {
        newest.push_back(std::move(e));
        if (limit && newest.size() > limit) newest.pop_front();
      } else {
        Show(log, e, shown++);
        full = limit && shown >= limit;
      }
    }
  }
  CloseEventLog(handle);
  if (rc != 0 && rc != kErrorHandleEof) return Fail("Cannot read the log '" + log + "': " + CodeText(rc));
  for (auto it = newest.rbegin(); it != newest.rend(); ++it) Show(log, *it, shown++);
  return 0;
}

int Clear(int argc, char** argv) {
  if (argc != 3) return Fail("Usage: vlevent clear LOG");
  int status = 1;
  std::string log;
  if (!ExistingLog(argv[2], &log, &status)) return status;
  HEVENTLOG handle;
  long rc = OpenEventLog(log, &handle);
  if (rc == 0) {
    rc = ClearEventLog(handle);
    CloseEventLog(handle);
  }
  if (rc != 0) return Fail("Cannot clear the log '" + log + "': " + CodeText(rc));
  std::printf("SUCCESS: The log '%s' was cleared.\n", log.c_str());
  return 0;
}

int Source(int argc, char** argv) {
  std::string verb = argc > 2 ? argv[2] : "";
  if (Same(verb, "add") && (argc == 6 || argc == 7)) {
    std::string source = argv[4], messages = argv[5], parameters = argc == 7 ? argv[6] : "";
    int status = 1;
    std::string log;
    if (!ExistingLog(argv[3], &log, &status)) return status;
    if (!IsValidEventLogName(source)) return Fail("Invalid source name '" + source + "'.");
    if (messages.empty()) return Fail("The message file is missing.");
    long rc = AddEventSource(log, source, messages, parameters);
    if (rc == 183) {
      std::string other;
      FindEventSourceLog(source, &other);
      return Fail("The source '" + source + "' is registered under the log '" + other + "'.");
    }
    if (rc != 0) return Fail("Cannot register the source '" + source + "': " + CodeText(rc));
    // Registering before the files are installed is allowed, but say so.
    for (const std::string& list : {messages, parameters}) {
      size_t start = 0;
      while (start < list.size()) {
        size_t end = list.find(';', start);
        std::string file = list.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? list.size() : end + 1;
        if (file.empty() || file.find('%') != std::string::npos) continue;
        HMESSAGEFILE loaded;
        std::string reason;
        long lrc = LoadMessageFile(file, &loaded, &reason);
        if (lrc == 0) FreeMessageFile(loaded);
        else
          std::fprintf(stderr, "WARNING: The message file '%s' cannot be used: %s\n", file.c_str(),
                       reason.empty() ? CodeText(lrc).c_str() : reason.c_str());
      }
    }
    std::printf("SUCCESS: The source '%s' is registered under the log '%s'.\n", source.c_str(), log.c_str());
    return 0;
  }
  if (Same(verb, "delete") && argc == 5) {
    int status = 1;
    std::string log;
    if (!ExistingLog(argv[3], &log, &status)) return status;
    long rc = DeleteEventSource(log, argv[4]);
    if (rc == 2) return Fail(std::string("The source '") + argv[4] + "' is not registered under the log '" + log + "'.");
    if (rc != 0) return Fail(CodeText(rc));
    std::printf("SUCCESS: The source '%s' was removed from the log '%s'.\n", argv[4], log.c_str());
    return 0;
  }
  return Fail("Usage: vlevent source add LOG SOURCE MESSAGEFILE [PARAMETERFILE] | vlevent source delete LOG SOURCE");
}

int Log(int argc, char** argv) {
  std::string verb = argc > 2 ? argv[2] : "";
  if (argc != 4 || (!Same(verb, "add") && !Same(verb, "delete")))
    return Fail("Usage: vlevent log add NAME | vlevent log delete NAME");
  std::string name = argv[3];
  if (Same(verb, "add")) {
    long rc = CreateEventLog(name);
    if (rc == 183) return Fail("The log '" + name + "' already exists.");
    if (rc == 87) return Fail("Invalid log name '" + name + "'.");
    if (rc != 0) return Fail("Cannot create the log '" + name + "': " + CodeText(rc));
    std::printf("SUCCESS: The log '%s' was created.\n", name.c_str());
    return 0;
  }
  long rc = DeleteEventLog(name);
  if (rc == 2) return Fail("The log '" + name + "' does not exist.");
  if (rc == 5) return Fail("The standard log '" + name + "' cannot be deleted.");
  if (rc != 0) return Fail("Cannot delete the log '" + name + "': " + CodeText(rc));
  std::printf("SUCCESS: The log '%s' was deleted.\n", name.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string command = argc > 1 ? argv[1] : "";
  if (Same(command, "--help") || Same(command, "-h") || Same(command, "/?") || Same(command, "help")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (Same(command, "write")) return Write(argc, argv);
  if (Same(command, "query")) return Query(argc, argv);
  if (Same(command, "clear")) return Clear(argc, argv);
  if (Same(command, "source")) return Source(argc, argv);
  if (Same(command, "log")) return Log(argc, argv);
  std::fputs(kUsage, stderr);
  return command.empty() ? 1 : Fail("Unknown command '" + command + "'.");
}
