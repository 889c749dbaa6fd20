// The playlist: ordered entries (local paths or URLs), the current index (-1 for none), and
// moving through it: starting an item (skipping unplayable ones), next, previous, by tracks,
// repeat and shuffle. UI thread only.
#pragma once

#include <string>
#include <vector>

struct Playlist {
  std::vector<std::string> entries;
  int current = -1;   // the entry PlayItem last tried; stays on it when opening failed
  bool busy = false;  // PlayItem is running: moving through the list waits

  bool HasCurrent() const { return current >= 0 && current < static_cast<int>(entries.size()); }
};

// The process-wide playlist.
Playlist& ThePlaylist();

// Starts entry `index`; when it cannot be opened, tries the next ones (up to 10 attempts in
// all). With `play` off the item is loaded paused at its start (or remembered position).
void PlayItem(int index, bool play);
// Makes `entries` the whole playlist with no current entry, so that the position of what was
// playing is never saved under a path of the new list.
void ReplacePlaylist(std::vector<std::string> entries);
// The next item by repeat and shuffle; at the end without repeat-all, the player stops.
void NextTrack(bool play);
// Back to the start of the item after its first 3 seconds, else the previous item.
void PreviousTrack();
// Moves `delta` items, within the list.
void SeekTracks(int delta);
// Repeat off → track → all → off, spoken and saved.
void CycleRepeat();
// The end of the output stream (the next-track command): lParam 1 loads the next item paused.
void OnNextTrackCommand(long lparam);
