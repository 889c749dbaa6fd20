// AppSettings: the one record of the user's settings while the program runs. Owned by the
// storage subsystem; read and written on the UI thread only. Other parts change fields, never
// the file; the settings file is read into it at start-up and written from it.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "effect_params.h"

struct AppSettings {
  // ---- [Playback] ----
  std::string DeviceName;  // output device by name; empty = the system default
  int RewindOnPauseMs = 0;
  bool AllowAmplify = false;
  bool RememberState = false;
  int RememberPosMinutes = 0;
  bool BringToFront = true;
  bool MinimizeToTray = true;
  bool LoadFolder = false;
  bool RegisterFileTypes = false;
  float VolumeStep = 0.02f;  // factor 0.01..0.25, stored as percent
  bool ShowTitleInWindow = true;
  float Volume = 1.0f;  // 0..4 (0..1 without AllowAmplify), stored as percent
  float Pitch = 0.0f;   // semitones, -12..12
  float Tempo = 0.0f;   // percent, -75..200
  float Rate = 1.0f;    // factor, 0.25..4
  bool Shuffle = false;
  bool AutoAdvance = true;
  int RepeatMode = 0;  // 0 off, 1 track, 2 all
  bool PlaylistFollow = true;
  bool CheckForUpdates = true;
  bool AllowMultipleInstances = false;

  // ---- [Advanced] ----
  int BufferSize = 500;    // ms, 100..5000
  int UpdatePeriod = 100;  // ms, 5..500
  int TempoAlgorithm = 0;  // 0 SoundTouch, 1 Speedy, 2 Signalsmith
  bool LegacyVolume = false;
  bool DisableBatchDelay = false;
  float EQBassFreq = 50.0f;
  float EQMidFreq = 1000.0f;
  float EQTrebleFreq = 12000.0f;

  // ---- [SoundTouch] ----
  bool AntiAliasFilter = true;
  int AAFilterLength = 32;  // 8..128
  bool QuickAlgorithm = false;
  int SequenceMs = 82;    // 0..200, 0 = automatic
  int SeekWindowMs = 28;  // 0..100, 0 = automatic
  int OverlapMs = 8;      // 0..50
  bool PreventClick = false;
  int SoundTouchAlgorithm = 1;  // 0..2, shown as the interpolation choice only

  // ---- [Speedy] and [Signalsmith] ----
  bool NonlinearSpeedup = true;
  int SignalsmithPreset = 0;  // 0 default, 1 cheaper
  int TonalityLimit = 0;      // Hz, 0 = automatic

  // ---- [MIDI] ----
  std::string SoundFont;  // empty = the soundfont the system installs
  int MaxVoices = 128;    // 1..1000
  bool SincInterp = false;

  // ---- [Effects] ----
  int ReverbAlgorithm = 0;    // 0 off, 1 Freeverb, 2 DX8 Reverb, 3 I3DL2 Reverb
  bool EffectsVolume = true;  // the stream effects in the effect cycle
  bool EffectsPitch = false;
  bool EffectsTempo = false;
  bool EffectsRate = false;
  int CurrentEffect = 0;  // 0 Volume, 1 Pitch, 2 Tempo, 3 Rate; one that is in the cycle
  int RateStepMode = 0;   // 0 linear, 1 semitone steps

  // ---- [YouTube] ----
  std::string YtdlpPath;  // the yt-dlp program in use, found at load; empty = none
  std::string ApiKey;
  bool VideoMode = false;

  // ---- [Downloads] ----
  std::string DownloadsPath;  // empty = no downloads folder
  bool OrganizeByFeed = false;

  // ---- [Recording] ----
  std::string RecordingPath;  // empty = the user's Music folder
  std::string RecordingTemplate = "%Y-%m-%d_%H-%M-%S";
  int RecordingFormat = 0;     // 0 WAV, 1 MP3, 2 OGG, 3 FLAC
  int RecordingBitrate = 192;  // kbit/s, MP3 and OGG

  // ---- [Speech] ----
  bool SpeechTrackChange = false;
  bool SpeechVolume = true;
  bool SpeechEffect = true;

  // ---- [Movement] ----
  // The seek units in the cycle, by index: 1, 5, 10, 30 s; 1, 5, 10, 30 min; 1 h; 1, 5, 10 tracks.
  std::array<bool, 12> SeekUnits = {false, true,  false, false, false, false,
                                    false, false, false, false, false, false};
  bool ChapterSeek = true;
  int CurrentSeek = 1;  // 0..11, a unit that is switched on (12 = chapters, not stored)

  // ---- [Video] ----
  bool HardwareDecoding = true;
  std::string VideoOutput = "gpu";

  // ---- [General] ----
  std::string Language;  // "en", "fr", or empty = chosen by the localization code

  // ---- [DSPEffects] ----
  // Enable flags by DSP effect index: 0 Reverb (kept in step; the reverb follows
  // ReverbAlgorithm), 1 Echo, 2 EQ, 3 Compressor, 4 StereoWidth, 5 CenterCancel,
  // 6 Convolution, 7 SpatialAudio.
  std::array<bool, 8> DspEnabled = {};
  std::string ConvolutionIR;  // impulse-response file; empty = none

  // ---- [DSPParams] ----
  // The effect parameter values by id (effect_params.h). Ids 4..37 are stored in [DSPParams];
  // entries 0..3 mirror Volume, Pitch, Tempo and Rate, which are stored in [Playback].
  std::array<float, kEffectParamCount> EffectParams = DefaultEffectParams();

  // ---- [RecentFiles] ----
  std::vector<std::string> RecentFiles;  // most recent first, at most 10

  // The resolved path of the settings file.
  std::string Path;

  static std::array<float, kEffectParamCount> DefaultEffectParams() {
    std::array<float, kEffectParamCount> v{};
    for (const EffectParamInfo& p : kEffectParams) v[static_cast<size_t>(p.id)] = p.default_value;
    return v;
  }
  friend bool operator==(const AppSettings&, const AppSettings&) = default;
};

// The process-wide settings record.
AppSettings& Settings();
