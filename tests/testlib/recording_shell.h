// Test support: a main window that records what the logic shows, posts and speaks. Announcements
// are taken from the speech queue as soon as they are posted (each kSpeakPending flushes it), and
// never reach a screen reader.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "shell.h"
#include "speech.h"

namespace testsupport {

class RecordingShell : public shell::MainWindow {
 public:
  struct Box {
    std::string text, caption;
    shell::Icon icon;
  };
  struct Posted {
    int id;
    long lparam;
  };

  RecordingShell() {
    shell::SetMainWindow(this);
    SetSpeechSilentForTesting(true);
    InitSpeech();
  }
  ~RecordingShell() override {
    ShutdownSpeech();
    SetSpeechSilentForTesting(false);
    shell::SetMainWindow(nullptr);
  }

  void ShowMessage(const std::string& text, const std::string& caption, shell::Icon icon) override {
    std::lock_guard lock(mutex_);
    boxes.push_back({text, caption, icon});
  }
  void PostCommand(int id, long lparam) override {
    std::lock_guard lock(mutex_);
    commands.push_back({id, lparam});
    cv_.notify_all();
  }
  void PostMessage(shell::Message message, long, long) override {
    std::string text = message == shell::kSpeakPending ? FlushSpeechQueue() : std::string();
    std::lock_guard lock(mutex_);
    messages.push_back(message);
    if (!text.empty()) spoken.push_back(text);
    cv_.notify_all();
  }
  void UpdateWindowTitle() override { ++title_updates; }
  void UpdateStatusBar() override { ++status_updates; }

  // Waits until a command was posted; false after `ms`.
  bool WaitCommand(int ms) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return !commands.empty(); });
  }
  bool WaitMessage(shell::Message m, int ms) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] {
      for (auto x : messages)
        if (x == m) return true;
      return false;
    });
  }
  std::string LastBox() {
    std::lock_guard lock(mutex_);
    return boxes.empty() ? std::string() : boxes.back().text;
  }

  std::vector<Box> boxes;
  std::vector<Posted> commands;
  std::vector<shell::Message> messages;
  std::vector<std::string> spoken;
  int title_updates = 0, status_updates = 0;

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
};

}  // namespace testsupport
