// The screen-reader bridge: an ordered table of adapters for the screen readers of a Linux
// desktop, the automatic choice of the one that runs, and the calls that make it speak or stop.
//
// Adapters, in the order of detection:
//   0 "Orca"              Orca's D-Bus remote controller (session bus, org.gnome.Orca.Service), when
//                         the running Orca offers it: Orca speaks with its own voice settings and
//                         shows the text in braille.
//   1 "Orca"              Orca runs (a process named "orca") without that service: we speak through
//                         Speech Dispatcher, the service Orca itself speaks through.
//   2 "Speech Dispatcher" no Orca, but a Speech Dispatcher server answers.
// Through Speech Dispatcher we speak at priority MESSAGE, the priority Orca uses, so that Orca and
// the program queue behind each other and neither cuts the other off: IMPORTANT would cancel what
// Orca is saying and hold back Orca's speech until ours ends, and TEXT would be cancelled by
// Orca's next message. Interrupting cancels only our own messages (CANCEL SELF), then speaks.
//
// Choice: the first call detects in table order. An adapter whose say fails while its detect still
// succeeds keeps its place (that text is lost); one whose say and detect both fail is unloaded and
// the next running adapter takes over within the same call. After a successful call, once 10000 ms
// have passed since the last re-detection, the next call detects afresh, which follows the user
// starting or quitting Orca while the program runs.
//
// Threads: UI thread (the calls are serialised by a lock all the same). Nothing blocks for long:
// D-Bus calls time out after 500 ms, Speech Dispatcher replies after 500 ms, and a connection to
// Speech Dispatcher is opened on a helper thread that is waited for at most 250 ms (a slow start
// of the server, for example when libspeechd starts it, finishes in the background and is used by
// a later call). libspeechd starts a missing server on the first connection attempt of a run only.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Says `text` (UTF-8) through the current screen reader, choosing one first if needed. With
// `interrupt`, the screen reader is silenced before the text. False when no screen reader runs.
bool ScreenReaderSay(const std::string& text, bool interrupt);
// Silences the current screen reader (choosing one first if needed).
bool ScreenReaderStop();
// The index of the first adapter whose detect succeeds, or -1; no later adapter is tried.
int DetectScreenReader();
// The adapter in use, or -1 while none is chosen.
int CurrentScreenReader();
// The display name of adapter `index`, or "" when there is no such row.
std::string ScreenReaderName(int index);

// One row of the adapter table.
struct ScreenReaderEngine {
  std::string name;
  std::function<bool()> detect;  // is it running; loads what the adapter needs on first use
  std::function<bool(const std::string& text, bool interrupt)> say;
  std::function<bool()> stop;
  std::function<void(const std::string& text)> braille;  // never called by the program
  std::function<void()> unload;  // drop connections, so that the next use starts afresh
};

// Test hooks.
namespace screen_reader_testing {
// Replaces the adapter table (empty restores the built-in one); also resets the choice.
void SetEngines(std::vector<ScreenReaderEngine> engines);
// Replaces the millisecond clock of the re-detection (null restores the monotonic clock).
void SetClock(std::function<int64_t()> now_ms);
// Whether libspeechd may start a missing Speech Dispatcher server (default: on the first
// connection attempt of the run). Tests switch it off so that a server installed on the machine is
// never started on their sockets.
void SetSpeechdAutospawn(bool allowed);
// Unloads every adapter, forgets the choice and sets the re-detection time back to 0.
void Reset();
}  // namespace screen_reader_testing

// Process search, exported by the executable under these names.
//
// getProcessHandle looks through /proc for the first running process whose executable path
// (the /proc/PID/exe link), first command-line word, or process name (/proc/PID/comm) contains
// `name`, compared without regard to case; the process name also finds programs that run as
// scripts, such as Orca under Python. On Linux the handle is the process id: there is nothing to
// open or close, and 0 means none was found. When `path` is given, the process's executable path
// (or its first command-line word when the link cannot be read) is written there, cut to
// `path_size` bytes with the terminating zero. FindProcess takes the same arguments and returns
// whether such a process runs.
extern "C" {
__attribute__((visibility("default"))) pid_t getProcessHandle(const char* name, char* path,
                                                              size_t path_size);
__attribute__((visibility("default"))) bool FindProcess(const char* name, char* path,
                                                        size_t path_size);
}
