// What the program's logic needs from the main window, as a small interface: message boxes,
// messages posted from any thread, and the title and status refresh. The wx main window
// implements it; tests and the command-line player implement it too, so logic runs without a
// display.
#pragma once

#include <string>

namespace shell {

enum class Icon { Error, Warning, Information };

// Messages posted to the main window (values as the window procedure knows them).
enum Message : int {
  kSpeakPending = 1025,       // queued texts wait to be spoken
  kStreamMetadata = 1027,     // a network stream has a new title
  kYoutubeReady = 1029,
  kTrayIcon = 1034,
  kDownloadEvent = 1125,
  kUpdateCheckResult = 1224,
  kUpdateDownloaded = 1225,
};

// Command ids posted by other threads.
constexpr int kCommandNextTrack = 204;  // lParam 1: load the next item paused

class MainWindow {
 public:
  virtual ~MainWindow() = default;
  // UI thread. A modal message box captioned `caption`, owned by the active window.
  virtual void ShowMessage(const std::string& text, const std::string& caption, Icon icon) = 0;
  // Any thread: queue a command or a message for the UI thread.
  virtual void PostCommand(int id, long lparam) = 0;
  virtual void PostMessage(Message message, long wparam, long lparam) = 0;
  // UI thread: refresh the window title and the status line after a change of what plays.
  virtual void UpdateWindowTitle() = 0;
  virtual void UpdateStatusBar() = 0;
};

// The main window in use; null before it exists and after it is gone (then calls do nothing).
void SetMainWindow(MainWindow* window);
MainWindow* Main();

// A message box captioned "Sonderlane" (the caption goes through the translation).
void ShowMessage(const std::string& text, Icon icon);

}  // namespace shell
