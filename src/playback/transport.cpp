// Transport: playing, pausing, stopping, seeking by unit, volume, mute, spoken times.
#include "transport.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "audio.h"
#include "chapters.h"
#include "dsp_chain.h"
#include "player.h"
#include "playlist.h"
#include "settings.h"
#include "shell.h"
#include "speech.h"
#include "tempo.h"
#include "tr.h"

namespace {

struct SeekUnit {
  double amount;
  const char* label;
  bool tracks;
};

// Indexes 0..11 as the settings switch them on; 12 (chapters) has no row.
constexpr SeekUnit kSeekUnits[12] = {
    {1, "1 second", false},     {5, "5 seconds", false},   {10, "10 seconds", false},
    {30, "30 seconds", false},  {60, "1 minute", false},   {300, "5 minutes", false},
    {600, "10 minutes", false}, {1800, "30 minutes", false}, {3600, "1 hour", false},
    {1, "1 track", true},       {5, "5 tracks", true},     {10, "10 tracks", true},
};
constexpr int kChapterUnit = 12;

void RefreshStatus() {
  if (shell::MainWindow* w = shell::Main()) w->UpdateStatusBar();
}

void RefreshTitleAndStatus() {
  if (shell::MainWindow* w = shell::Main()) {
    w->UpdateWindowTitle();
    w->UpdateStatusBar();
  }
}

// The output stream is gone from the library without the player knowing: forget it (nothing
// is freed) and report true.
bool StaleOutput() {
  PlayerState& p = Player();
  if (audio::ChannelIsActive(p.output) == audio::ACTIVE_STOPPED &&
      audio::ErrorGetCode() == audio::ERROR_HANDLE) {
    p.output = 0;
    p.source = 0;
    return true;
  }
  return false;
}

// The active processor with a known length, or null.
TempoProcessor* SeekableProcessor() {
  TempoProcessor* tp = CurrentTempoProcessor();
  return (tp->IsActive() && tp->GetLengthSeconds() > 0) ? tp : nullptr;
}

bool UnitAvailable(int index) {
  const AppSettings& s = Settings();
  if (index == kChapterUnit) return s.ChapterSeek && !Chapters().empty();
  if (index < 0 || index > 11 || !s.SeekUnits[index]) return false;
  return !kSeekUnits[index].tracks || ThePlaylist().entries.size() >= 2;
}

void SpeakTime(double seconds) { Speak(FormatClock(seconds)); }

// Times are spoken only for audio with an active processor.
TempoProcessor* TimedProcessor() {
  TempoProcessor* tp = CurrentTempoProcessor();
  return (Player().output && tp->IsActive()) ? tp : nullptr;
}

void SeekByUnit(int direction) {
  const AppSettings& s = Settings();
  int unit = s.CurrentSeek;
  if (unit == kChapterUnit) {
    if (!Chapters().empty()) direction < 0 ? PreviousChapter() : NextChapter();
    return;
  }
  if (unit < 0 || unit > 11) return;
  const SeekUnit& u = kSeekUnits[unit];
  if (!u.tracks) {
    SeekRelative(direction * u.amount);
    return;
  }
  if (ThePlaylist().entries.size() >= 2) {
    SeekTracks(direction * static_cast<int>(u.amount));
    return;
  }
  // Track units need two entries: fall back to the first time unit that is switched on.
  for (int i = 0; i < 12; ++i) {
    if (s.SeekUnits[i] && !kSeekUnits[i].tracks) {
      SeekRelative(direction * kSeekUnits[i].amount);
      return;
    }
  }
}

}  // namespace

double GetPosition() {
  TempoProcessor* tp = CurrentTempoProcessor();
  return (Player().output && tp->IsActive()) ? tp->GetPositionSeconds() : 0;
}

void SeekAbsolute(double seconds) {
  TempoProcessor* tp = CurrentTempoProcessor();
  if (!Player().output || !tp->IsActive()) return;
  tp->SetPositionSeconds(std::clamp(seconds, 0.0, std::max(tp->GetLengthSeconds(), 0.0)));
  RefreshStatus();
}

void SeekRelative(double delta) {
  PlayerState& p = Player();
  if (!p.output || ThePlaylist().busy || p.opening || StaleOutput()) return;
  TempoProcessor* tp = SeekableProcessor();
  if (!tp) return;
  tp->SetPositionSeconds(std::clamp(tp->GetPositionSeconds() + delta, 0.0, tp->GetLengthSeconds()));
  RefreshStatus();
}

void PauseCommand() {
  PlayerState& p = Player();
  if (!p.output) return;
  if (p.live) {
    Speak(Tr("Cannot pause live stream"));
    return;
  }
  audio::ChannelPause(p.output);
  const int rewind_ms = Settings().RewindOnPauseMs;
  if (rewind_ms > 0 && !ThePlaylist().busy && !p.opening && !StaleOutput()) {
    if (TempoProcessor* tp = SeekableProcessor()) {
      tp->SetPositionSeconds(std::clamp(tp->GetPositionSeconds() - rewind_ms / 1000.0, 0.0,
                                        tp->GetLengthSeconds()));
    }
  }
  RefreshTitleAndStatus();
}

// Play from where the output is (paused or stopped), or open the current entry.
void ResumeOrOpen() {
  PlayerState& p = Player();
  Playlist& pl = ThePlaylist();
  if (p.output) {
    audio::ChannelPlay(p.output, false);
    if (shell::MainWindow* w = shell::Main()) w->UpdateWindowTitle();
  } else if (!pl.HasCurrent()) {
    if (!pl.entries.empty()) PlayItem(0, true);
    return;
  } else {
    const std::string& entry = pl.entries[pl.current];
    bool opened = IsUrl(entry) ? OpenUrl(entry, false) : OpenMedia(entry);
    if (opened && p.output) {
      audio::ChannelPlay(p.output, false);
      if (shell::MainWindow* w = shell::Main()) w->UpdateWindowTitle();
    }
  }
  RefreshStatus();
}

void PlayCommand() {
  PlayerState& p = Player();
  if (p.output && audio::ChannelIsActive(p.output) == audio::ACTIVE_PLAYING) {
    CurrentTempoProcessor()->SetPositionSeconds(0);  // Play while playing restarts the item
  }
  ResumeOrOpen();
}

void TogglePlayPause() {
  PlayerState& p = Player();
  if (p.output && audio::ChannelIsActive(p.output) == audio::ACTIVE_PLAYING) {
    p.live ? StopCommand() : PauseCommand();
    return;
  }
  ResumeOrOpen();
}

void StopCommand() {
  PlayerState& p = Player();
  if (p.live) {
    ReleaseStreams();
    p.info_channel = 0;
    p.live = false;
    p.bitrate = 0;
    DestroyTempoProcessor();
  } else if (p.output) {
    audio::ChannelStop(p.output);
    CurrentTempoProcessor()->SetPositionSeconds(0);
  }
  RefreshTitleAndStatus();
}

void SetVolume(float value) {
  AppSettings& s = Settings();
  const float maximum = s.AllowAmplify ? 4.0f : 1.0f;
  s.Volume = std::min(std::max(value, 0.0f), maximum);
  s.EffectParams[0] = s.Volume;
  SetVolumeStage(s.Volume, Player().muted, s.LegacyVolume);
  if (s.SpeechVolume) {
    char text[64];
    std::snprintf(text, sizeof text, Tr("Volume %d%%").c_str(), static_cast<int>(s.Volume * 100 + 0.5f));
    Speak(text);
  }
  RefreshStatus();
}

void VolumeUp() { SetVolume(Settings().Volume + Settings().VolumeStep); }
void VolumeDown() { SetVolume(Settings().Volume - Settings().VolumeStep); }

void ToggleMute() {
  PlayerState& p = Player();
  p.muted = !p.muted;
  SetVolumeStage(Settings().Volume, p.muted, Settings().LegacyVolume);
  Speak(Tr(p.muted ? "Muted" : "Unmuted"));
  RefreshStatus();
}

void SpeakElapsed() {
  if (TempoProcessor* tp = TimedProcessor()) SpeakTime(tp->GetPositionSeconds());
}

void SpeakRemaining() {
  if (TempoProcessor* tp = TimedProcessor()) {
    SpeakTime(std::max(tp->GetLengthSeconds() - tp->GetPositionSeconds(), 0.0));
  }
}

void SpeakTotal() {
  if (TempoProcessor* tp = TimedProcessor()) SpeakTime(tp->GetLengthSeconds());
}

void SeekBackward() { SeekByUnit(-1); }
void SeekForward() { SeekByUnit(+1); }

const char* SeekUnitLabel(int index) {
  if (index == kChapterUnit) return "1 chapter";
  return (index >= 0 && index < 12) ? kSeekUnits[index].label : "";
}

void CycleSeekUnit(int direction) {
  AppSettings& s = Settings();
  int available = 0;
  for (int i = 0; i <= kChapterUnit; ++i) available += UnitAvailable(i) ? 1 : 0;
  if (available == 0) {
    s.CurrentSeek = 1;
    Speak(Tr("5 seconds"));
    return;
  }
  if (!UnitAvailable(s.CurrentSeek)) {
    for (int i = 0; i <= kChapterUnit; ++i) {
      if (UnitAvailable(i)) {
        s.CurrentSeek = i;
        break;
      }
    }
  }
  if (available > 1) {
    for (int i = s.CurrentSeek + direction; i >= 0 && i <= kChapterUnit; i += direction) {
      if (UnitAvailable(i)) {
        s.CurrentSeek = i;
        break;
      }
    }
  }
  SpeakSeekUnit();
}

void SpeakSeekUnit() { Speak(Tr(SeekUnitLabel(Settings().CurrentSeek))); }

double ParseJumpTime(const std::string& input) {
  std::string text = input.substr(0, 64);
  int h, m, s, used = 0;
  if (std::sscanf(text.c_str(), "%d:%d:%d%n", &h, &m, &s, &used) == 3 && used == static_cast<int>(text.size())) {
    return h * 3600.0 + m * 60.0 + s;
  }
  if (std::sscanf(text.c_str(), "%d:%d%n", &m, &s, &used) == 2 && used == static_cast<int>(text.size())) {
    return m * 60.0 + s;
  }
  double seconds;
  if (std::sscanf(text.c_str(), "%lf%n", &seconds, &used) == 1 && used == static_cast<int>(text.size())) {
    return seconds;
  }
  return -1;
}

std::string FormatClock(double seconds) {
  long whole = seconds > 0 ? static_cast<long>(seconds) : 0;
  long h = whole / 3600, m = whole / 60 % 60, s = whole % 60;
  char text[32];
  if (h < 1) {
    std::snprintf(text, sizeof text, "%ld:%02ld", m, s);
  } else {
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", h, m, s);
  }
  return text;
}
