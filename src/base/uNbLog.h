// The process-wide diagnostic log. Each message goes to the debugger channel in pieces of at most
// 80 characters and, when standard output is a file, pipe or terminal, to standard output as one line.
#pragma once

#include "uNbFormat.h"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

// Text form: the message is written as it stands ("%" included).
void NbLog(std::string_view text);

// Format form: placeholders filled from the arguments (texts and integers).
template <typename A, typename... Args>
void NbLog(std::string_view format, const A& first, const Args&... rest) {
    NbLog(NbFormat(format, first, rest...));
}

// Cuts a message into the debugger channel's pieces: at most 80 characters (code points) each,
// ending after the last space found at positions 6 to 80 of the rest, else hard at 80.
std::vector<std::string_view> NbLogPieces(std::string_view text);

// Where the debugger pieces go. By default they go to standard error while a debugger is attached
// and are dropped otherwise; tests install their own receiver. An empty function restores the default.
void NbLogSetDebuggerSink(std::function<void(std::string_view)> sink);

// Where whole lines go: standard output by default; another descriptor, or -1 for nowhere
// (the command-line tool keeps standard output for its results).
void NbLogSetLineFd(int fd);

// Start-up of the log: ignores SIGPIPE (a closed pipe becomes an error, never a kill), then writes
// "Log system initializing." and "Command line: %s".
void NbLogInitialize();

// The whole command line of this process as the system reports it, arguments joined by spaces and
// quoted where they hold spaces or quotes.
std::string NbCommandLine();
