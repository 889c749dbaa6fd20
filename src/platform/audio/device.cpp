// The output device: SDL2 audio devices by number and name, and the no-sound device (number 0)
// that consumes audio in real time without a sound card. Both call MixInto from their own thread.
#include <SDL.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config.h"
#include "core.h"

namespace audio::detail {

// Implemented by mixer.cpp: mixes every playing channel into `frames` stereo float frames.
void MixInto(float* out, int frames);
void StartMixerThread(int rate);
void StopMixerThread();

namespace {

std::mutex g_sdl_mutex;
bool g_sdl_audio = false;  // guarded by g_sdl_mutex: SDL's audio subsystem is up

bool EnsureSdlAudio() {
  std::lock_guard lock(g_sdl_mutex);
  if (!g_sdl_audio) g_sdl_audio = SDL_InitSubSystem(SDL_INIT_AUDIO) == 0;
  return g_sdl_audio;
}

// ---- The device in use (guarded by g_out_mutex) ----
std::mutex g_out_mutex;
SDL_AudioDeviceID g_sdl_device = 0;
std::thread g_silent_thread;
std::atomic<bool> g_silent_run{false};
std::atomic<int> g_rate{44100};
std::atomic<bool> g_running{false};

void SdlCallback(void*, Uint8* stream, int len) {
  MixInto(reinterpret_cast<float*>(stream), len / static_cast<int>(2 * sizeof(float)));
}

// The no-sound device: pulls in blocks of 10 ms, paced against the clock so channels advance
// in real time exactly as they would on a sound card.
void SilentLoop(int rate) {
  const int block = rate / 100;
  std::vector<float> scratch(static_cast<size_t>(block) * 2);
  auto next = std::chrono::steady_clock::now();
  while (g_silent_run) {
    MixInto(scratch.data(), block);
    next += std::chrono::milliseconds(10);
    // Fallen behind (a busy machine): go on from now, as a sound card would after an underrun,
    // rather than swallow the missed time in a burst.
    auto now = std::chrono::steady_clock::now();
    if (next < now - std::chrono::milliseconds(30)) next = now;
    std::this_thread::sleep_until(next);
  }
}

}  // namespace

std::vector<DeviceInfo> ListDevices() {
  std::vector<DeviceInfo> devices;
  if (!EnsureSdlAudio()) return devices;
  std::string default_name;
  char* name = nullptr;
  SDL_AudioSpec format;
  if (SDL_GetDefaultAudioInfo(&name, &format, 0) == 0 && name) {
    default_name = name;
    SDL_free(name);
  }
  const char* driver = SDL_GetCurrentAudioDriver();
  int count = SDL_GetNumAudioDevices(0);
  for (int i = 0; i < count; ++i) {
    const char* n = SDL_GetAudioDeviceName(i, 0);
    if (!n) continue;
    DeviceInfo info;
    info.name = n;
    info.driver = driver ? driver : "";
    info.flags = DEVICE_ENABLED;
    if (!default_name.empty() && info.name == default_name) info.flags |= DEVICE_DEFAULT;
    devices.push_back(info);
  }
  // Without a named default, the first device is the one the system picks.
  bool any_default = false;
  for (auto& d : devices) any_default = any_default || (d.flags & DEVICE_DEFAULT);
  if (!any_default && !devices.empty()) devices[0].flags |= DEVICE_DEFAULT;
  return devices;
}

bool StartOutput(int device, int freq, int* error) {
  std::lock_guard lock(g_out_mutex);
  if (device == 0) {
    g_rate = freq;
    StartMixerThread(freq);
    g_silent_run = true;
    g_silent_thread = std::thread(SilentLoop, freq);
    g_running = true;
    return true;
  }
  if (!EnsureSdlAudio()) {
    *error = ERROR_DRIVER;
    return false;
  }
  std::string name;
  if (device > 0) {
    std::vector<DeviceInfo> devices = ListDevices();
    if (device > static_cast<int>(devices.size())) {
      *error = ERROR_DEVICE;
      return false;
    }
    name = devices[device - 1].name;
  }
  SDL_AudioSpec want{}, have{};
  want.freq = freq;
  want.format = AUDIO_F32SYS;
  want.channels = 2;
  // A device period of about a quarter of the update period keeps pause and volume changes
  // prompt; SDL rounds to what the driver offers.
  int period_ms = std::max(5, Config().update_period_ms.load() / 2);
  int samples = 256;
  while (samples < freq * period_ms / 1000 && samples < 4096) samples *= 2;
  want.samples = static_cast<Uint16>(samples);
  want.callback = SdlCallback;
  g_rate = freq;
  StartMixerThread(freq);
  g_sdl_device = SDL_OpenAudioDevice(name.empty() ? nullptr : name.c_str(), 0, &want, &have, 0);
  if (g_sdl_device == 0) {
    StopMixerThread();
    *error = ERROR_DEVICE;
    return false;
  }
  SDL_PauseAudioDevice(g_sdl_device, 0);
  g_running = true;
  return true;
}

void StopOutput() {
  std::lock_guard lock(g_out_mutex);
  if (g_sdl_device) {
    SDL_CloseAudioDevice(g_sdl_device);
    g_sdl_device = 0;
  }
  if (g_silent_thread.joinable()) {
    g_silent_run = false;
    g_silent_thread.join();
  }
  StopMixerThread();
  g_running = false;
}

bool OutputRunning() { return g_running; }
int OutputRate() { return g_rate; }

}  // namespace audio::detail
