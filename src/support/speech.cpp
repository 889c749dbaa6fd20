// Announcements: handed to the installed speech output.
#include "speech.h"

#include <mutex>

namespace {
std::mutex g_mutex;
SpeechSink g_sink;  // guarded by g_mutex
}  // namespace

void Speak(const std::string& text, bool interrupt) {
  SpeechSink sink;
  {
    std::lock_guard lock(g_mutex);
    sink = g_sink;
  }
  if (sink) sink(text, interrupt);
}

void SetSpeechSink(SpeechSink sink) {
  std::lock_guard lock(g_mutex);
  g_sink = std::move(sink);
}
