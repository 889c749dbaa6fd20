// The process-wide playlist.
#include "playlist.h"

Playlist& ThePlaylist() {
  static Playlist playlist;
  return playlist;
}
