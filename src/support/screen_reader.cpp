// The screen-reader bridge: the adapter table, detection in table order, the say/stop loop that
// replaces an adapter that stopped running, and the periodic re-detection.
#include "screen_reader.h"

#include <chrono>
#include <mutex>

#include "screen_reader_adapters.h"

namespace {

// A successful call starts a fresh detection once this much time has passed since the last one.
constexpr int64_t kRedetectIntervalMs = 10000;

// Guarded by g_mutex (all of the bridge's state).
std::mutex g_mutex;
std::vector<ScreenReaderEngine> g_engines;  // filled with the built-in table on first use
int g_current = -1;                         // index into g_engines, -1 for none chosen
constexpr bool kAutomaticChoice = true;     // the program never fixes an engine
int64_t g_last_redetect_ms = 0;
std::function<int64_t()> g_clock;  // null: the monotonic clock

std::vector<ScreenReaderEngine>& Engines() {
  if (g_engines.empty()) {
    g_engines = {MakeOrcaServiceEngine(), MakeOrcaSpeechdEngine(), MakeSpeechDispatcherEngine()};
  }
  return g_engines;
}

int64_t NowMs() {
  if (g_clock) return g_clock();
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int DetectLocked() {
  std::vector<ScreenReaderEngine>& engines = Engines();
  for (size_t i = 0; i < engines.size(); ++i) {
    if (engines[i].detect && engines[i].detect()) return static_cast<int>(i);
  }
  return -1;
}

void UnloadAllLocked() {
  for (ScreenReaderEngine& e : g_engines) {
    if (e.unload) e.unload();
  }
}

// Runs `op` (say or stop) on the current engine, choosing one first, and replaces an engine that
// stopped running by the next one. Each pass either finishes or unloads the engine it tried, so
// the loop is bounded by one pass per row (plus one), also for an adapter whose detect keeps
// succeeding right after its unload while its calls keep failing.
template <typename Op>
bool RunLocked(Op op) {
  std::vector<ScreenReaderEngine>& engines = Engines();
  for (size_t pass = 0; pass <= engines.size(); ++pass) {
    if (g_current < 0) {
      g_current = DetectLocked();
      if (g_current < 0) return false;
    }
    ScreenReaderEngine& engine = engines[g_current];
    bool done = op(engine) || (engine.detect && engine.detect());
    if (done) {
      if (kAutomaticChoice) {
        int64_t now = NowMs();
        if (now - g_last_redetect_ms >= kRedetectIntervalMs) {
          g_last_redetect_ms = now;
          g_current = -1;
        }
      }
      return true;
    }
    if (engine.unload) engine.unload();
    g_current = -1;
  }
  return false;
}

}  // namespace

bool ScreenReaderSay(const std::string& text, bool interrupt) {
  std::lock_guard lock(g_mutex);
  return RunLocked(
      [&](ScreenReaderEngine& e) { return e.say && e.say(text, interrupt); });
}

bool ScreenReaderStop() {
  std::lock_guard lock(g_mutex);
  return RunLocked([](ScreenReaderEngine& e) { return e.stop && e.stop(); });
}

int DetectScreenReader() {
  std::lock_guard lock(g_mutex);
  return DetectLocked();
}

int CurrentScreenReader() {
  std::lock_guard lock(g_mutex);
  return g_current;
}

std::string ScreenReaderName(int index) {
  std::lock_guard lock(g_mutex);
  std::vector<ScreenReaderEngine>& engines = Engines();
  if (index < 0 || index >= static_cast<int>(engines.size())) return {};
  return engines[index].name;
}

namespace screen_reader_testing {

void SetEngines(std::vector<ScreenReaderEngine> engines) {
  std::lock_guard lock(g_mutex);
  UnloadAllLocked();
  g_engines = std::move(engines);
  g_current = -1;
}

void SetClock(std::function<int64_t()> now_ms) {
  std::lock_guard lock(g_mutex);
  g_clock = std::move(now_ms);
}

void SetSpeechdAutospawn(bool allowed) { SetSpeechdAutospawnAllowed(allowed); }

void Reset() {
  std::lock_guard lock(g_mutex);
  UnloadAllLocked();
  g_current = -1;
  g_last_redetect_ms = 0;
}

}  // namespace screen_reader_testing
