// Inside the audio layer: Standard MIDI Files (and RIFF RMID) parsed into one time-ordered
// event list with its tempo map, length and tags, and written back out as a clean format-0
// file for the synthesiser's player. Pure functions over bytes; safe on any input.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace audio::detail {

struct TempoPoint {
  std::uint32_t tick = 0;
  std::uint32_t us_per_quarter = 500000;
  double seconds = 0;  // time at `tick`
};

// One event kept for playback; its bytes (without delta time) live in Song::pool.
struct Event {
  std::uint32_t tick;
  std::uint32_t offset;
  std::uint32_t size;
};

struct Song {
  int division = 480;             // ticks per quarter note (SMPTE files are converted)
  std::vector<TempoPoint> tempo;  // sorted by tick, first at tick 0
  std::uint32_t end_tick = 0;     // tick of the last event of the longest track
  std::uint32_t last_sound_tick = 0;
  bool has_notes = false;  // last_sound_tick is meaningful
  std::string title, copyright;
  std::vector<Event> events;
  std::vector<std::uint8_t> pool;
  std::vector<std::uint8_t> player_file;  // the clean format-0 file given to fluid_player

  double SecondsAt(double tick) const {
    auto it = std::upper_bound(tempo.begin(), tempo.end(), tick,
                               [](double t, const TempoPoint& p) { return t < p.tick; });
    const TempoPoint& p = *std::prev(it);
    return p.seconds + (tick - p.tick) * p.us_per_quarter / 1e6 / division;
  }
  double TickAt(double seconds) const {
    auto it = std::upper_bound(tempo.begin(), tempo.end(), seconds,
                               [](double s, const TempoPoint& p) { return s < p.seconds; });
    const TempoPoint& p = *std::prev(it);
    return p.tick + (seconds - p.seconds) * 1e6 * division / p.us_per_quarter;
  }
};

// Parses an SMF (or the SMF inside a RIFF RMID file) into `song`, ending with its player file.
// Returns ERROR_OK, or ERROR_FILEFORM when it is not MIDI.
int ParseSong(const std::vector<std::uint8_t>& bytes, Song* song);
// Reads the file when its first bytes look like MIDI; ERROR_FILEOPEN or ERROR_FILEFORM otherwise.
int ReadMidiFile(const std::string& path, std::vector<std::uint8_t>* bytes);
// Reads a little-endian 32-bit number.
std::uint32_t ReadLe32(const std::uint8_t* p);

}  // namespace audio::detail
