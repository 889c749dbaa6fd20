// The program's log: a small text file that records when the program starts and stops, kept
// readable while the program runs (opened, appended to and closed for every line) and below about
// one megabyte (a larger file is renamed to the single backup "sonderlane.log.old").
//
// File: $XDG_STATE_HOME/Sonderlane/sonderlane.log ($XDG_STATE_HOME defaults to ~/.local/state).
// Line: "[YYYY-MM-DD hh:mm:ss] [TAG] message" in local time, UTF-8, ending in CR LF.
// Every file error is silent: a line that cannot be written is lost and the program goes on.
#pragma once

#include <string>

// UI thread, once at start-up: finds the log path (creating the folder), enables the log and
// writes "[INIT] Sonderlane logger started".
void LogStart();
// UI thread, at shutdown: writes "[EXIT] Sonderlane logger stopped" and disables the log. Does
// nothing when the log is not started.
void LogStop();
// Any thread: one line with `tag` (short ASCII) and `message` (UTF-8). Does nothing while the
// log is not started. Lines from different threads never interleave.
void LogWrite(const std::string& tag, const std::string& message);
// The log file's path (shown to the user as the place to look when something fails), or "" before
// LogStart.
std::string LogFilePath();
