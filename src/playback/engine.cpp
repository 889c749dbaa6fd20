// The audio engine: start-up on the chosen device, format modules, soundfont, device switch.
#include "engine.h"

#include "audio.h"
#include "dsp_chain.h"
#include "player.h"
#include "playlist.h"
#include "settings.h"
#include "shell.h"
#include "speech.h"
#include "tempo.h"
#include "tr.h"

namespace {

// ---- UI thread ----
int g_device = -1;                   // device in use; -1 = the system default
std::vector<std::string> g_loaded;   // format modules available, in list order
std::vector<std::string> g_failed;   // format modules not available
audio::HSOUNDFONT g_soundfont = 0;   // the default MIDI soundfont

constexpr const char* kNetAgent = "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36";

bool StartLibrary(int device) { return audio::Init(device, 44100, 0); }

void LoadSoundFont() {
  const AppSettings& s = Settings();
  if (g_soundfont) {
    audio::MidiFontFree(g_soundfont);
    g_soundfont = 0;
  }
  audio::SetConfig(audio::CONFIG_MIDI_VOICES, static_cast<audio::DWORD>(s.MaxVoices));
  // Without a chosen soundfont, the one the system installs, so MIDI files are never silent.
  std::string path = s.SoundFont.empty() ? audio::DefaultSoundFontPath() : s.SoundFont;
  if (path.empty()) return;
  g_soundfont = audio::MidiFontInit(path, audio::UNICODE_FLAG);
  if (g_soundfont) {
    audio::MidiFont font{g_soundfont, -1, 0};
    audio::MidiStreamSetFonts(0, &font, 1);
  }
}

std::string Join(const std::vector<std::string>& names) {
  if (names.empty()) return "(none)";
  std::string out;
  for (const auto& n : names) out += (out.empty() ? "" : ", ") + n;
  return out;
}

}  // namespace

bool InitAudioEngine() {
  AppSettings& s = Settings();
  audio::SetConfig(audio::CONFIG_BUFFER, static_cast<audio::DWORD>(s.BufferSize));
  audio::SetConfig(audio::CONFIG_UPDATEPERIOD, static_cast<audio::DWORD>(s.UpdatePeriod));
  audio::SetConfig(audio::CONFIG_CURVE_VOL, 1);
  g_device = FindOutputDevice(s.DeviceName);
  // A saved device that is no longer there is forgotten: the default device plays instead.
  if (g_device == -1) s.DeviceName.clear();
  if (!StartLibrary(g_device)) {
    bool started = false;
    if (g_device != -1 && StartLibrary(-1)) {
      // The saved device is gone: use the default one and forget the name.
      g_device = -1;
      s.DeviceName.clear();
      started = true;
    }
    if (!started && StartLibrary(0)) {
      // No sound device at all (a headless machine): play on the no-sound output, in real
      // time, and say so rather than refuse to start.
      g_device = 0;
      started = true;
      Speak(Tr("No sound device found; playing without sound."), false);
    }
    if (!started) {
      shell::ShowMessage(Tr("Failed to initialize BASS audio library."), shell::Icon::Error);
      return false;
    }
  }
  LoadFormatPlugins();
  LoadSoundFont();
  audio::SetConfigPtr(audio::CONFIG_NET_AGENT, kNetAgent);
  audio::SetConfig(audio::CONFIG_NET_TIMEOUT, 30000);
  audio::SetConfig(audio::CONFIG_NET_BUFFER, 10000);
  audio::SetConfig(audio::CONFIG_NET_PREBUF, 50);
  return true;
}

int FindOutputDevice(const std::string& name) {
  if (name.empty()) return -1;
  audio::DeviceInfo info;
  for (audio::DWORD n = 1; audio::GetDeviceInfo(n, &info); ++n) {
    if ((info.flags & audio::DEVICE_ENABLED) && info.name == name) return static_cast<int>(n);
  }
  return -1;
}

std::string OutputDeviceName(int number) {
  audio::DeviceInfo info;
  if (number <= 0 || !audio::GetDeviceInfo(static_cast<audio::DWORD>(number), &info)) return {};
  return info.name;
}

int CurrentOutputDevice() { return g_device; }

void LoadFormatPlugins() {
  g_loaded.clear();
  g_failed.clear();
  for (const audio::FormatModule& m : audio::FormatModules()) {
    (m.available ? g_loaded : g_failed).push_back(m.name);
  }
}

std::string LoadedPluginsReport() {
  return Tr("Loaded: ") + Join(g_loaded) + "\n" + Tr("Failed: ") + Join(g_failed);
}

const std::vector<std::string>& LoadedPlugins() { return g_loaded; }
const std::vector<std::string>& FailedPlugins() { return g_failed; }

bool SwitchOutputDevice(int number) {
  PlayerState& p = Player();
  const bool was_playing =
      p.output && audio::ChannelIsActive(p.output) == audio::ACTIVE_PLAYING;
  double position = 0;
  std::string path;
  if (p.output) {
    TempoProcessor* tp = CurrentTempoProcessor();
    position = tp->IsActive() ? tp->GetPositionSeconds() : 0;
    if (ThePlaylist().HasCurrent()) path = ThePlaylist().entries[ThePlaylist().current];
    RemoveDspChain();
    DestroyTempoProcessor();
    ReleaseStreams();
  }
  audio::Free();
  if (StartLibrary(number)) {
    g_device = number;
    Settings().DeviceName = OutputDeviceName(number);
    if (!path.empty() && OpenMedia(path) && p.output) {
      CurrentTempoProcessor()->SetPositionSeconds(position);
      if (!was_playing) audio::ChannelPause(p.output);
      if (shell::MainWindow* w = shell::Main()) {
        w->UpdateWindowTitle();
        w->UpdateStatusBar();
      }
    }
    return true;
  }
  if (number != -1 && StartLibrary(-1)) {
    g_device = -1;
    Settings().DeviceName.clear();
  }
  return false;
}

void ShutdownAudioEngine() {
  PlayerState& p = Player();
  ReleaseStreams();
  p.info_channel = 0;
  p.bitrate = 0;
  if (g_soundfont) {
    audio::MidiFontFree(g_soundfont);
    g_soundfont = 0;
  }
  audio::Free();
}
