// platform/console.h
// The console of a program started from a terminal: its title, and the stop keys.
#pragma once
#include <functional>
#include <string>

namespace vlzt::platform {

enum ConsoleEvent { CTRL_C_EVENT = 0, CTRL_BREAK_EVENT = 1, CTRL_CLOSE_EVENT = 2 };

// Installs `handler` for Ctrl-C (SIGINT, and SIGTERM, which is how a stop reaches a console
// program here), Ctrl-Break (SIGQUIT) and closing the console (SIGHUP). The handler runs on
// a thread of its own; when it returns false the event takes its default action (the
// process ends). Call before starting other threads so that none of them takes the signals.
void SetConsoleCtrlHandler(std::function<bool(ConsoleEvent)> handler);

// Sets the terminal's window title when standard output is a terminal.
void SetConsoleTitle(const std::string& title);

// Full path of the running program, "" when it cannot be told.
std::string ProgramPath();

}  // namespace vlzt::platform
