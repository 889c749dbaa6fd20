// AppSettings: the one record of the user's settings while the program runs. Owned by the
// storage subsystem; read and written on the UI thread only. Other parts change fields, never
// the file; the settings file is read into it at start-up and written from it.
#pragma once

#include <string>
#include <vector>

struct AppSettings {
  // ---- [Playback] ----
  std::string DeviceName;          // output device by name; empty = the system default
  int RewindOnPauseMs = 0;
  bool AllowAmplify = false;
  bool RememberState = false;
  int RememberPosMinutes = 0;
  bool BringToFront = true;
  bool MinimizeToTray = true;
  bool LoadFolder = false;
  bool RegisterFileTypes = false;
  float VolumeStep = 0.02f;
  bool ShowTitleInWindow = true;
  float Volume = 1.0f;             // 0..4
  float Pitch = 0.0f;              // semitones, -12..12
  float Tempo = 0.0f;              // percent, -75..200
  float Rate = 1.0f;               // factor, 0.25..4
  bool Shuffle = false;
  bool AutoAdvance = true;
  int RepeatMode = 0;              // 0 off, 1 track, 2 all
  bool PlaylistFollow = true;
  bool CheckForUpdates = true;
  bool AllowMultipleInstances = false;

  // ---- [Advanced] ----
  int BufferSize = 500;            // ms, 100..5000
  int UpdatePeriod = 100;          // ms, 5..500
  int TempoAlgorithm = 0;          // 0 SoundTouch, 1 Speedy, 2 Signalsmith
  bool LegacyVolume = false;
  bool DisableBatchDelay = false;
  float EQBassFreq = 50.0f;
  float EQMidFreq = 1000.0f;
  float EQTrebleFreq = 12000.0f;

  // ---- [SoundTouch] ----
  bool AntiAliasFilter = true;
  int AAFilterLength = 32;         // 8..128
  bool QuickAlgorithm = false;
  int SequenceMs = 82;             // 0..200, 0 = automatic
  int SeekWindowMs = 28;           // 0..100, 0 = automatic
  int OverlapMs = 8;               // 0..50
  bool PreventClick = false;
  int SoundTouchAlgorithm = 1;     // 0..2, shown as the interpolation choice only

  // ---- [Speedy] and [Signalsmith] ----
  bool NonlinearSpeedup = true;
  int SignalsmithPreset = 0;       // 0 default, 1 cheaper
  int TonalityLimit = 0;           // Hz, 0 = automatic

  // ---- [MIDI] ----
  std::string SoundFont;           // empty = the soundfont the system installs
  int MaxVoices = 128;             // 1..1000
  bool SincInterp = false;

  // ---- [Speech] ----
  bool SpeechTrackChange = false;
  bool SpeechVolume = true;
  bool SpeechEffect = true;

  // ---- [RecentFiles] ----
  std::vector<std::string> RecentFiles;  // most recent first, at most 10

  // The resolved path of the settings file.
  std::string Path;
};

// The process-wide settings record.
AppSettings& Settings();
