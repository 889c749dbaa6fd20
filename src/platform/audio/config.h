// Inside the audio layer: the library's configuration values (SetConfig) and the calling
// thread's error code. Readable from any thread.
#pragma once

#include <atomic>
#include <string>

namespace audio::detail {

struct LibraryConfig {
  std::atomic<int> buffer_ms{500};        // CONFIG_BUFFER
  std::atomic<int> update_period_ms{100}; // CONFIG_UPDATEPERIOD
  std::atomic<int> curve_vol{0};          // CONFIG_CURVE_VOL
  std::atomic<int> net_timeout_ms{5000};  // CONFIG_NET_TIMEOUT
  std::atomic<int> net_buffer_ms{5000};   // CONFIG_NET_BUFFER
  std::atomic<int> net_prebuf{75};        // CONFIG_NET_PREBUF, percent
  std::atomic<int> midi_voices{128};      // CONFIG_MIDI_VOICES
};

LibraryConfig& Config();
std::string NetAgent();  // CONFIG_NET_AGENT; empty means the library's own agent

// Sets the calling thread's error code; returns `result` so failures read as one statement:
//   return Fail(ERROR_HANDLE, 0);
void SetError(int code);
template <typename T>
T Fail(int code, T result) {
  SetError(code);
  return result;
}

}  // namespace audio::detail
