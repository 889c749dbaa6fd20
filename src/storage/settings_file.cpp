// Reading and writing AppSettings: one table row per key (section, name, field, rule, written
// form), walked by LoadSettings and SaveSettings; the effect sections and the recent files.
#include "settings_file.h"

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstddef>
#include <variant>

#include "effect_params.h"
#include "profile.h"

namespace {

// ---- The key table ----

// How a value read from the file is brought into range.
enum class Rule {
  None,
  Clamp,        // limited to min..max
  ZeroOutside,  // outside min..max reads as 0
  Percent,      // an integer percent: value / 100, limited to min..max; written rounded × 100
  NotRead,      // written only; found again at every load (YtdlpPath)
};

using BoolRef = bool& (*)(AppSettings&);
using Field = std::variant<bool AppSettings::*, BoolRef, int AppSettings::*, float AppSettings::*,
                           std::string AppSettings::*>;

struct Key {
  const char* section;
  const char* name;
  Field field;
  Rule rule = Rule::None;
  double min = 0;
  double max = 0;
  int limit = 0;  // text: the longest value kept, in characters; real: decimals written
};

template <std::size_t I>
bool& SeekUnit(AppSettings& s) {
  return s.SeekUnits[I];
}
template <std::size_t I>
bool& DspEnabled(AppSettings& s) {
  return s.DspEnabled[I];
}

constexpr int kRealChars = 31;  // the longest real-number text read

using S = AppSettings;

// [Playback] .. [General]: read by LoadSettings.
const Key kSettingsKeys[] = {
    {"Playback", "DeviceName", &S::DeviceName, Rule::None, 0, 0, 255},
    {"Playback", "RewindOnPauseMs", &S::RewindOnPauseMs, Rule::Clamp, 0, INT_MAX},
    {"Playback", "AllowAmplify", &S::AllowAmplify},
    {"Playback", "RememberState", &S::RememberState},
    {"Playback", "RememberPosMinutes", &S::RememberPosMinutes},
    {"Playback", "BringToFront", &S::BringToFront},
    {"Playback", "MinimizeToTray", &S::MinimizeToTray},
    {"Playback", "LoadFolder", &S::LoadFolder},
    {"Playback", "RegisterFileTypes", &S::RegisterFileTypes},
    {"Playback", "VolumeStep", &S::VolumeStep, Rule::Percent, 0.01, 0.25},
    {"Playback", "ShowTitleInWindow", &S::ShowTitleInWindow},
    // The upper bound depends on AllowAmplify; LoadSettings applies it after the pass.
    {"Playback", "Volume", &S::Volume, Rule::Percent, 0.0, 4.0},
    {"Playback", "Pitch", &S::Pitch, Rule::Clamp, -12, 12, 1},
    {"Playback", "Tempo", &S::Tempo, Rule::Clamp, -75, 200, 1},
    {"Playback", "Rate", &S::Rate, Rule::Clamp, 0.25, 4, 2},
    {"Playback", "Shuffle", &S::Shuffle},
    {"Playback", "AutoAdvance", &S::AutoAdvance},
    {"Playback", "RepeatMode", &S::RepeatMode, Rule::ZeroOutside, 0, 2},
    {"Playback", "PlaylistFollow", &S::PlaylistFollow},
    {"Playback", "CheckForUpdates", &S::CheckForUpdates},
    {"Playback", "AllowMultipleInstances", &S::AllowMultipleInstances},

    {"Advanced", "BufferSize", &S::BufferSize, Rule::Clamp, 100, 5000},
    {"Advanced", "UpdatePeriod", &S::UpdatePeriod, Rule::Clamp, 5, 500},
    {"Advanced", "TempoAlgorithm", &S::TempoAlgorithm, Rule::ZeroOutside, 0, 2},
    {"Advanced", "LegacyVolume", &S::LegacyVolume},
    {"Advanced", "DisableBatchDelay", &S::DisableBatchDelay},
    {"Advanced", "EQBassFreq", &S::EQBassFreq, Rule::None, 0, 0, 1},
    {"Advanced", "EQMidFreq", &S::EQMidFreq, Rule::None, 0, 0, 1},
    {"Advanced", "EQTrebleFreq", &S::EQTrebleFreq, Rule::None, 0, 0, 1},

    {"SoundTouch", "AntiAliasFilter", &S::AntiAliasFilter},
    {"SoundTouch", "AAFilterLength", &S::AAFilterLength, Rule::Clamp, 8, 128},
    {"SoundTouch", "QuickAlgorithm", &S::QuickAlgorithm},
    {"SoundTouch", "SequenceMs", &S::SequenceMs, Rule::Clamp, 0, 200},
    {"SoundTouch", "SeekWindowMs", &S::SeekWindowMs, Rule::Clamp, 0, 100},
    {"SoundTouch", "OverlapMs", &S::OverlapMs, Rule::Clamp, 0, 50},
    {"SoundTouch", "PreventClick", &S::PreventClick},
    {"SoundTouch", "Algorithm", &S::SoundTouchAlgorithm, Rule::Clamp, 0, 2},

    {"Speedy", "NonlinearSpeedup", &S::NonlinearSpeedup},
    {"Signalsmith", "Preset", &S::SignalsmithPreset, Rule::Clamp, 0, 1},
    {"Signalsmith", "TonalityLimit", &S::TonalityLimit, Rule::Clamp, 0, 20000},

    {"Effects", "ReverbAlgorithm", &S::ReverbAlgorithm, Rule::Clamp, 0, 3},
    {"Effects", "Volume", &S::EffectsVolume},
    {"Effects", "Pitch", &S::EffectsPitch},
    {"Effects", "Tempo", &S::EffectsTempo},
    {"Effects", "Rate", &S::EffectsRate},
    {"Effects", "CurrentEffect", &S::CurrentEffect},  // checked against the cycle after the pass
    {"Effects", "RateStepMode", &S::RateStepMode, Rule::ZeroOutside, 0, 1},

    {"MIDI", "SoundFont", &S::SoundFont, Rule::None, 0, 0, 259},
    {"MIDI", "MaxVoices", &S::MaxVoices, Rule::Clamp, 1, 1000},
    {"MIDI", "SincInterp", &S::SincInterp},

    {"YouTube", "YtdlpPath", &S::YtdlpPath, Rule::NotRead},
    {"YouTube", "ApiKey", &S::ApiKey, Rule::None, 0, 0, 511},
    {"YouTube", "VideoMode", &S::VideoMode},

    {"Downloads", "Path", &S::DownloadsPath, Rule::None, 0, 0, 511},
    {"Downloads", "OrganizeByFeed", &S::OrganizeByFeed},

    {"Recording", "Path", &S::RecordingPath, Rule::None, 0, 0, 511},
    {"Recording", "Template", &S::RecordingTemplate, Rule::None, 0, 0, 511},
    {"Recording", "Format", &S::RecordingFormat, Rule::Clamp, 0, 3},
    {"Recording", "Bitrate", &S::RecordingBitrate},

    {"Speech", "TrackChange", &S::SpeechTrackChange},
    {"Speech", "Volume", &S::SpeechVolume},
    {"Speech", "Effect", &S::SpeechEffect},

    {"Movement", "Seek1s", &SeekUnit<0>},
    {"Movement", "Seek5s", &SeekUnit<1>},
    {"Movement", "Seek10s", &SeekUnit<2>},
    {"Movement", "Seek30s", &SeekUnit<3>},
    {"Movement", "Seek1m", &SeekUnit<4>},
    {"Movement", "Seek5m", &SeekUnit<5>},
    {"Movement", "Seek10m", &SeekUnit<6>},
    {"Movement", "Seek30m", &SeekUnit<7>},
    {"Movement", "Seek1h", &SeekUnit<8>},
    {"Movement", "Seek1t", &SeekUnit<9>},
    {"Movement", "Seek5t", &SeekUnit<10>},
    {"Movement", "Seek10t", &SeekUnit<11>},
    {"Movement", "ChapterSeek", &S::ChapterSeek},
    {"Movement", "CurrentSeek", &S::CurrentSeek},  // checked against the units after the pass

    {"Video", "HardwareDecoding", &S::HardwareDecoding},
    {"Video", "VideoOutput", &S::VideoOutput, Rule::None, 0, 0, 63},

    {"General", "Language", &S::Language, Rule::None, 0, 0, 7},
};

// [DSPEffects]: read by LoadEffectSettings. `Reverb` is written from ReverbAlgorithm.
const Key kDspEffectKeys[] = {
    {"DSPEffects", "Reverb", &DspEnabled<0>},
    {"DSPEffects", "Echo", &DspEnabled<1>},
    {"DSPEffects", "EQ", &DspEnabled<2>},
    {"DSPEffects", "Compressor", &DspEnabled<3>},
    {"DSPEffects", "StereoWidth", &DspEnabled<4>},
    {"DSPEffects", "CenterCancel", &DspEnabled<5>},
    {"DSPEffects", "Convolution", &DspEnabled<6>},
    {"DSPEffects", "SpatialAudio", &DspEnabled<7>},
    {"DSPEffects", "ConvolutionIR", &S::ConvolutionIR, Rule::None, 0, 0, 259},
};

constexpr const char* kDspParamsSection = "DSPParams";
constexpr const char* kRecentSection = "RecentFiles";
constexpr std::size_t kRecentMax = 10;
constexpr std::size_t kRecentChars = 259;
constexpr int kDx8HfRatioId = 8;  // the one parameter written with three decimals

LanguageApplier g_language_applier = nullptr;

double Limit(double v, double lo, double hi) { return v < lo ? lo : (v > hi ? hi : v); }

int NormaliseInt(const Key& k, int v) {
  switch (k.rule) {
    case Rule::Clamp:
      return static_cast<int>(Limit(v, k.min, k.max));
    case Rule::ZeroOutside:
      return (v < k.min || v > k.max) ? 0 : v;
    default:
      return v;
  }
}

// Reads one key into `s`; a missing key gives the field's value in `defaults`.
void ReadKey(const profile::Profile& p, const Key& k, AppSettings& defaults, AppSettings& s) {
  if (k.rule == Rule::NotRead) return;
  struct Reader {
    const profile::Profile& p;
    const Key& k;
    AppSettings& d;
    AppSettings& s;
    void operator()(bool S::*f) const { s.*f = p.GetInt(k.section, k.name, d.*f ? 1 : 0) != 0; }
    void operator()(BoolRef f) const { f(s) = p.GetInt(k.section, k.name, f(d) ? 1 : 0) != 0; }
    void operator()(int S::*f) const { s.*f = NormaliseInt(k, p.GetInt(k.section, k.name, d.*f)); }
    void operator()(float S::*f) const {
      if (k.rule == Rule::Percent) {
        int percent = p.GetInt(k.section, k.name, static_cast<int>(std::lround(d.*f * 100.0)));
        s.*f = static_cast<float>(Limit(percent / 100.0, k.min, k.max));
        return;
      }
      if (!p.HasKey(k.section, k.name)) {
        s.*f = d.*f;
        return;
      }
      double v = profile::ParseReal(p.GetString(k.section, k.name, "", kRealChars));
      if (k.rule == Rule::Clamp) v = Limit(v, k.min, k.max);
      s.*f = static_cast<float>(Limit(v, -FLT_MAX, FLT_MAX));
    }
    void operator()(std::string S::*f) const {
      s.*f = p.GetString(k.section, k.name, d.*f, static_cast<std::size_t>(k.limit));
    }
  };
  std::visit(Reader{p, k, defaults, s}, k.field);
}

void WriteKey(profile::Profile& p, const Key& k, AppSettings& s) {
  struct Writer {
    profile::Profile& p;
    const Key& k;
    AppSettings& s;
    void operator()(bool S::*f) const { p.SetString(k.section, k.name, s.*f ? "1" : "0"); }
    void operator()(BoolRef f) const { p.SetString(k.section, k.name, f(s) ? "1" : "0"); }
    void operator()(int S::*f) const { p.SetInt(k.section, k.name, s.*f); }
    void operator()(float S::*f) const {
      if (k.rule == Rule::Percent)
        p.SetInt(k.section, k.name, static_cast<int>(std::lround(s.*f * 100.0)));
      else
        p.SetString(k.section, k.name, profile::FormatReal(s.*f, k.limit));
    }
    void operator()(std::string S::*f) const { p.SetString(k.section, k.name, s.*f); }
  };
  std::visit(Writer{p, k, s}, k.field);
}

// A stored CurrentEffect outside 0..3 or naming a stream effect not in the cycle becomes the
// first one in the cycle, else 0.
int ValidCurrentEffect(const AppSettings& s) {
  const bool in_cycle[4] = {s.EffectsVolume, s.EffectsPitch, s.EffectsTempo, s.EffectsRate};
  if (s.CurrentEffect >= 0 && s.CurrentEffect < 4 && in_cycle[s.CurrentEffect])
    return s.CurrentEffect;
  for (int i = 0; i < 4; ++i) {
    if (in_cycle[i]) return i;
  }
  return 0;
}

// A stored CurrentSeek outside 0..11 or naming a unit that is off becomes the first unit that is
// on, else 1.
int ValidCurrentSeek(const AppSettings& s) {
  const int n = static_cast<int>(s.SeekUnits.size());
  if (s.CurrentSeek >= 0 && s.CurrentSeek < n &&
      s.SeekUnits[static_cast<std::size_t>(s.CurrentSeek)])
    return s.CurrentSeek;
  for (int i = 0; i < n; ++i) {
    if (s.SeekUnits[static_cast<std::size_t>(i)]) return i;
  }
  return 1;
}

void MirrorStreamEffects(AppSettings& s) {
  s.EffectParams[0] = s.Volume;
  s.EffectParams[1] = s.Pitch;
  s.EffectParams[2] = s.Tempo;
  s.EffectParams[3] = s.Rate;
}

}  // namespace

void SetLanguageApplier(LanguageApplier apply) { g_language_applier = apply; }

void LoadSettings() {
  AppSettings& s = Settings();
  s.Path = ResolveSettingsPath();
  const profile::Profile p(s.Path);
  AppSettings defaults;
  for (const Key& k : kSettingsKeys) ReadKey(p, k, defaults, s);

  s.Volume = static_cast<float>(Limit(s.Volume, 0.0, s.AllowAmplify ? 4.0 : 1.0));
  s.CurrentEffect = ValidCurrentEffect(s);
  s.CurrentSeek = ValidCurrentSeek(s);
  s.YtdlpPath = FindYtDlp();
  MirrorStreamEffects(s);
  if (g_language_applier) g_language_applier(s.Language);
}

void LoadEffectSettings() {
  AppSettings& s = Settings();
  if (s.Path.empty()) s.Path = ResolveSettingsPath();
  const profile::Profile p(s.Path);
  AppSettings defaults;
  for (const Key& k : kDspEffectKeys) ReadKey(p, k, defaults, s);

  for (int id = kFirstDspParam; id < kEffectParamCount; ++id) {
    const EffectParamInfo& info = kEffectParams[static_cast<std::size_t>(id)];
    std::string text = p.GetString(kDspParamsSection, info.settings_key, "", kRealChars);
    float v = text.empty() ? info.default_value
                           : static_cast<float>(Limit(profile::ParseReal(text), -FLT_MAX, FLT_MAX));
    s.EffectParams[static_cast<std::size_t>(id)] = ClampEffectParam(id, v);
  }
  MirrorStreamEffects(s);

  s.RecentFiles.clear();
  for (std::size_t i = 0; i < kRecentMax; ++i) {
    std::string f = p.GetString(kRecentSection, "File" + std::to_string(i), "", kRecentChars);
    if (!f.empty()) s.RecentFiles.push_back(std::move(f));
  }
}

bool SaveSettings() {
  AppSettings& s = Settings();
  if (s.Path.empty()) s.Path = ResolveSettingsPath();
  profile::Profile p(s.Path);
  for (const Key& k : kSettingsKeys) WriteKey(p, k, s);

  s.DspEnabled[0] = s.ReverbAlgorithm > 0;  // the reverb flag follows the algorithm
  for (const Key& k : kDspEffectKeys) WriteKey(p, k, s);

  for (int id = kFirstDspParam; id < kEffectParamCount; ++id) {
    const EffectParamInfo& info = kEffectParams[static_cast<std::size_t>(id)];
    p.SetString(kDspParamsSection, info.settings_key,
                profile::FormatReal(s.EffectParams[static_cast<std::size_t>(id)],
                                    id == kDx8HfRatioId ? 3 : 2));
  }

  p.ClearSection(kRecentSection);
  for (std::size_t i = 0; i < s.RecentFiles.size() && i < kRecentMax; ++i)
    p.SetString(kRecentSection, "File" + std::to_string(i), s.RecentFiles[i]);

  return p.SaveIfChanged();
}
