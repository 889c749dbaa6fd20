// The announcement queue: texts from any thread, spoken together on the UI thread.
#include "speech.h"

#include <atomic>
#include <deque>
#include <mutex>

#include "screen_reader.h"
#include "shell.h"
#include "utf_text.h"

namespace {

struct QueuedAnnouncement {
  std::string text;
  bool interrupt;
};

// Guarded by g_mutex, which is held only while a text is added or the queue is emptied, never
// while the screen reader is called.
std::mutex g_mutex;
std::deque<QueuedAnnouncement> g_queue;

// Written on the UI thread (InitSpeech, ShutdownSpeech), read everywhere.
std::atomic<bool> g_active{false};
std::atomic<bool> g_silent{false};  // tests only

void Enqueue(std::string text, bool interrupt) {
  shell::MainWindow* window = shell::Main();
  if (!g_active || window == nullptr) return;
  {
    std::lock_guard lock(g_mutex);
    // Checked again under the lock: a shutdown that emptied the queue must not be followed by a
    // text that slipped in behind it.
    if (!g_active) return;
    g_queue.push_back({std::move(text), interrupt});
  }
  window->PostMessage(shell::kSpeakPending, 0, 0);
}

}  // namespace

void Speak(const std::string& text, bool interrupt) { Enqueue(text, interrupt); }

void Speak(const char* text, bool interrupt) { Enqueue(text ? std::string(text) : std::string(), interrupt); }

void Speak(const std::u16string& text, bool interrupt) { Enqueue(Utf16ToUtf8(text), interrupt); }

void Speak(const char16_t* text, bool interrupt) {
  Enqueue(text ? Utf16ToUtf8(text) : std::string(), interrupt);
}

void InitSpeech() { g_active = true; }

std::string FlushSpeechQueue() {
  if (!g_active) return {};
  std::string joined;
  bool interrupt = false;
  {
    std::lock_guard lock(g_mutex);
    if (g_queue.empty()) return {};
    interrupt = g_queue.front().interrupt;
    for (size_t i = 0; i < g_queue.size(); ++i) {
      if (i > 0) joined += ", ";
      joined += g_queue[i].text;
    }
    g_queue.clear();
  }
  if (!joined.empty() && !g_silent) {
    // The stop comes first even for screen readers whose own say ignores the flag.
    if (interrupt) ScreenReaderStop();
    ScreenReaderSay(joined, interrupt);
  }
  return joined;
}

void ShutdownSpeech() {
  if (g_active.exchange(false) && !g_silent) ScreenReaderStop();
  std::lock_guard lock(g_mutex);
  g_queue.clear();
}

void SetSpeechSilentForTesting(bool silent) { g_silent = silent; }
