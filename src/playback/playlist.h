// The playlist: ordered entries (local paths or URLs) and the current index (-1 for none).
// UI thread only.
#pragma once

#include <string>
#include <vector>

struct Playlist {
  std::vector<std::string> entries;
  int current = -1;

  bool HasCurrent() const { return current >= 0 && current < static_cast<int>(entries.size()); }
};

// The process-wide playlist.
Playlist& ThePlaylist();
