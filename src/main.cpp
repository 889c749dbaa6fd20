// The program's entry while the main window is being built: plays one file or URL from the
// command line through the full chain (decoder, tempo stage, effect chain, output device), says
// what it plays through the screen reader and prints it, until the end of the media or until
// interrupted.
#include <signal.h>

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <iostream>
#include <mutex>
#include <string>

#include "audio.h"
#include "engine.h"
#include "library_db.h"
#include "log.h"
#include "player.h"
#include "now_playing.h"
#include "playlist.h"
#include "position_memory.h"
#include "settings.h"
#include "settings_file.h"
#include "shell.h"
#include "speech.h"
#include "tempo.h"
#include "tr.h"
#include "transport.h"

namespace {

constexpr const char* kVersion = "0.1.0";

// Events for the main thread, posted from the audio library's threads and signal handlers.
struct Event {
  enum Kind { End, Metadata, SpeakPending, Quit } kind;
};

std::mutex g_mutex;
std::condition_variable g_wake;
std::deque<Event> g_events;  // guarded by g_mutex
volatile sig_atomic_t g_signalled = 0;

void PostEvent(Event::Kind kind) {
  {
    std::lock_guard lock(g_mutex);
    g_events.push_back({kind});
  }
  g_wake.notify_one();
}

// The console stands in for the main window: messages are announced, refreshes do nothing.
class ConsoleWindow : public shell::MainWindow {
 public:
  // Without a window, a message is announced (and so printed) like everything else.
  void ShowMessage(const std::string& text, const std::string&, shell::Icon) override {
    Speak(text);
  }
  void PostCommand(int id, long) override {
    if (id == shell::kCommandNextTrack) PostEvent(Event::End);
  }
  void PostMessage(shell::Message message, long, long) override {
    if (message == shell::kStreamMetadata) PostEvent(Event::Metadata);
    if (message == shell::kSpeakPending) PostEvent(Event::SpeakPending);
  }
  void UpdateWindowTitle() override {}
  void UpdateStatusBar() override {}
};

void PrintUsage() {
  std::cout << "Usage: sonderlane FILE-OR-URL\n"
               "Plays a media file or an http(s) stream and says what it plays.\n\n"
               "  --help     show this help and exit\n"
               "  --version  show the version and exit\n";
}

// Speaks what is queued and prints it, one line per utterance.
void FlushAndPrintSpeech() {
  std::string spoken = FlushSpeechQueue();
  if (!spoken.empty()) std::cout << spoken << std::endl;
}

void OnSignal(int) {
  g_signalled = 1;
  g_wake.notify_one();  // not strictly signal-safe; the wait below also polls the flag
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "--help") == 0) {
    PrintUsage();
    return 0;
  }
  if (argc >= 2 && std::strcmp(argv[1], "--version") == 0) {
    std::cout << "Sonderlane " << kVersion << "\n";
    return 0;
  }
  if (argc != 2) {
    PrintUsage();
    return 2;
  }
  const std::string target = argv[1];

  LogStart();
  LoadTranslationTables();
  SetLanguageApplier([](const std::string& code) { Settings().Language = ApplyLanguageSetting(code); });
  LoadSettings();
  LoadEffectSettings();

  ConsoleWindow window;
  shell::SetMainWindow(&window);
  InitSpeech();
  signal(SIGINT, OnSignal);
  signal(SIGTERM, OnSignal);
  // What is still queued at the end is printed too, then the screen reader is silenced.
  // The settings are read, not written: this entry plays one item and changes nothing the
  // user set.
  auto finish = [](int code) {
    FlushAndPrintSpeech();
    ShutdownSpeech();
    shell::SetMainWindow(nullptr);
    LogStop();
    return code;
  };

  if (!InitAudioEngine()) return finish(1);
  // Without a database the player runs on: positions are neither remembered nor restored.
  Library().Open();
  ThePlaylist().entries = {target};
  ThePlaylist().current = 0;
  if (!OpenMedia(target)) {
    Library().Close();
    ShutdownAudioEngine();
    return finish(1);
  }
  AddRecentFile(target);

  PlayerState& p = Player();
  double length = CurrentTempoProcessor()->GetLengthSeconds();
  std::string name = IsUrl(target) ? target : FileNameOf(target);
  Speak(Tr("Playing") + " " + name + (length > 0 ? " (" + FormatClock(length) + ")" : std::string()));

  int code = 0;
  for (bool done = false; !done;) {
    std::unique_lock lock(g_mutex);
    g_wake.wait_for(lock, std::chrono::milliseconds(200),
                    [] { return !g_events.empty() || g_signalled; });
    if (g_signalled) break;
    while (!g_events.empty()) {
      Event e = g_events.front();
      g_events.pop_front();
      if (e.kind == Event::End) done = true;
      if (e.kind == Event::SpeakPending) {
        lock.unlock();
        FlushAndPrintSpeech();
        lock.lock();
      }
      if (e.kind == Event::Metadata) {
        lock.unlock();
        // The song history gets the title; the console says it even when track changes are
        // not announced, since printing what plays is this entry's whole job.
        HandleStreamMetadata();
        std::string title = CurrentStreamTitle(TagChannel());
        if (!title.empty() && !Settings().SpeechTrackChange) Speak(title);
        lock.lock();
      }
    }
  }
  (void)p;
  // Interrupted before the end: long media resumes here next time.
  if (g_signalled) SaveItemPosition(target);
  Library().Close();
  ShutdownAudioEngine();
  return finish(code);
}
