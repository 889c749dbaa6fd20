// The playlist and moving through it.
#include "playlist.h"

#include <algorithm>
#include <random>

#include "audio.h"
#include "now_playing.h"
#include "player.h"
#include "position_memory.h"
#include "settings.h"
#include "settings_file.h"
#include "shell.h"
#include "speech.h"
#include "tempo.h"
#include "tr.h"
#include "transport.h"

namespace {

// The most entries PlayItem tries before it gives up.
constexpr int kMaxAttempts = 10;

int Count() { return static_cast<int>(ThePlaylist().entries.size()); }

int RandomIndexOtherThan(int current, int count) {
  static std::mt19937 random{std::random_device{}()};
  int pick;
  do {
    pick = static_cast<int>(random() % static_cast<unsigned>(count));
  } while (pick == current);
  return pick;
}

}  // namespace

Playlist& ThePlaylist() {
  static Playlist playlist;
  return playlist;
}

void PlayItem(int index, bool play) {
  Playlist& pl = ThePlaylist();
  if (pl.busy || index < 0 || index >= Count()) return;
  pl.busy = true;
  if (Player().output && pl.HasCurrent()) SaveItemPosition(pl.entries[pl.current]);
  bool opened = false;
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    pl.current = index;
    if (OpenMedia(pl.entries[index])) {
      opened = true;
      break;
    }
    if (Count() < 2 || index + 1 >= Count()) break;
    ++index;
  }
  if (opened) {
    AddRecentFile(pl.entries[pl.current]);
    if (!play && Player().output) audio::ChannelPause(Player().output);
    AnnounceTrack();
  }
  pl.busy = false;
}

void ReplacePlaylist(std::vector<std::string> entries) {
  Playlist& pl = ThePlaylist();
  pl.current = -1;
  pl.entries = std::move(entries);
}

void NextTrack(bool play) {
  Playlist& pl = ThePlaylist();
  if (pl.entries.empty() || pl.busy) return;
  const AppSettings& s = Settings();
  if (s.RepeatMode == 1 && pl.HasCurrent()) {
    PlayItem(pl.current, play);
  } else if (s.Shuffle && Count() >= 2) {
    PlayItem(RandomIndexOtherThan(pl.current, Count()), play);
  } else if (pl.current + 1 >= Count()) {
    if (s.RepeatMode == 2) {
      PlayItem(0, play);
    } else {
      StopCommand();
    }
  } else {
    PlayItem(pl.current + 1, play);
  }
}

void PreviousTrack() {
  Playlist& pl = ThePlaylist();
  if (pl.entries.empty() || pl.busy) return;
  TempoProcessor* tp = CurrentTempoProcessor();
  if (Player().output && tp->IsActive() && tp->GetPositionSeconds() > 3) {
    tp->SetPositionSeconds(0);
    if (shell::MainWindow* w = shell::Main()) w->UpdateStatusBar();
    return;
  }
  PlayItem(std::max(pl.current - 1, 0), true);
}

void SeekTracks(int delta) {
  Playlist& pl = ThePlaylist();
  if (pl.entries.empty() || pl.busy) return;
  int target = std::clamp(pl.current + delta, 0, Count() - 1);
  if (target != pl.current) PlayItem(target, true);
}

void CycleRepeat() {
  AppSettings& s = Settings();
  s.RepeatMode = (s.RepeatMode + 1) % 3;
  static const char* const kSpoken[] = {"Repeat off", "Repeat track", "Repeat all"};
  Speak(Tr(kSpoken[s.RepeatMode]));
  SaveSettings();
}

void OnNextTrackCommand(long lparam) { NextTrack(lparam == 0); }
