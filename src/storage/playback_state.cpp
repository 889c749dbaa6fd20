// The playback state of the previous run: [State] and [Playlist], written at exit and read once
// after the main window is shown. Opening the entry and seeking are the player's.
#include <algorithm>
#include <climits>
#include <utility>

#include "profile.h"
#include "settings_file.h"

namespace {

constexpr const char* kState = "State";
constexpr const char* kPlaylist = "Playlist";
constexpr std::size_t kEntryChars = 2047;
constexpr std::size_t kPositionChars = 31;

std::string StatePath() {
  AppSettings& s = Settings();
  if (s.Path.empty()) s.Path = ResolveSettingsPath();
  return s.Path;
}

// The index of a key spelled "Track<n>" (any letter case, n in plain decimal), or -1.
long TrackIndex(const std::string& key) {
  static constexpr std::string_view kPrefix = "track";
  if (key.size() <= kPrefix.size() || key.size() > kPrefix.size() + 10) return -1;
  for (std::size_t i = 0; i < kPrefix.size(); ++i) {
    if ((key[i] | 0x20) != kPrefix[i]) return -1;
  }
  std::string_view digits = std::string_view(key).substr(kPrefix.size());
  if (digits.size() > 1 && digits[0] == '0') return -1;
  long n = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return -1;
    n = n * 10 + (c - '0');
  }
  return n <= INT_MAX ? n : -1;
}

}  // namespace

bool SavePlaybackState(const std::vector<std::string>& entries, int current,
                       double position_seconds) {
  profile::Profile p(StatePath());
  p.ClearSection(kPlaylist);
  if (!Settings().RememberState) {
    p.SetString(kState, "LastFile", "");
    p.SetString(kState, "LastPosition", "0");
    p.SetString(kState, "TrackCount", "0");
    p.SetString(kState, "CurrentTrack", "0");
    return p.SaveIfChanged();
  }
  const int count = static_cast<int>(std::min<std::size_t>(entries.size(), INT_MAX));
  p.SetInt(kState, "TrackCount", count);
  for (int i = 0; i < count; ++i)
    p.SetString(kPlaylist, "Track" + std::to_string(i), entries[static_cast<std::size_t>(i)]);
  p.SetInt(kState, "CurrentTrack", current);
  if (current >= 0 && current < count) {
    p.SetString(kState, "LastFile", entries[static_cast<std::size_t>(current)]);
    p.SetString(kState, "LastPosition", profile::FormatReal(position_seconds, 2));
  } else {
    p.SetString(kState, "LastFile", "");
    p.SetString(kState, "LastPosition", "0");
  }
  return p.SaveIfChanged();
}

RestoredPlayback RestorePlaybackState() {
  RestoredPlayback out;
  if (!Settings().RememberState) return out;
  const profile::Profile p(StatePath());
  const int track_count = p.GetInt(kState, "TrackCount", 0);
  const int current = p.GetInt(kState, "CurrentTrack", 0);

  if (track_count > 0) {
    // Track0 .. Track<count-1> in order; only keys that exist are visited, so a huge count
    // written by hand costs nothing.
    std::vector<std::pair<long, std::string>> tracks;
    for (const auto& [key, value] : p.Entries(kPlaylist)) {
      long n = TrackIndex(key);
      if (n >= 0 && n < track_count) tracks.emplace_back(n, key);
    }
    std::sort(tracks.begin(), tracks.end());
    for (const auto& [n, key] : tracks) {
      std::string entry = p.GetString(kPlaylist, key, "", kEntryChars);
      if (!entry.empty()) out.entries.push_back(std::move(entry));
    }
  }
  if (!out.entries.empty()) {
    const int n = static_cast<int>(out.entries.size());
    out.current = (current < 0 || current >= n) ? 0 : current;
  } else {
    std::string last = p.GetString(kState, "LastFile", "", kEntryChars);
    if (last.empty()) return out;
    out.entries.push_back(std::move(last));
    out.current = 0;
  }
  out.position_seconds =
      profile::ParseReal(p.GetString(kState, "LastPosition", "0", kPositionChars));
  return out;
}
