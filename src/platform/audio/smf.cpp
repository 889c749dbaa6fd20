// Standard MIDI File parsing: the tempo map, length, tags and the clean player file.
#include "smf.h"

#include <array>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "audio.h"

namespace audio::detail {
namespace {

// Files above this size are refused (the largest real-world MIDI files are a few tens of MB).
constexpr std::uintmax_t kMaxFileBytes = 128u << 20;
// Ticks beyond this cannot be written as one variable-length delta; tracks are cut there.
constexpr std::uint64_t kMaxTick = 0x0FFFFFFF;

std::uint32_t ReadBe32(const std::uint8_t* p) {
  return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) |
         p[3];
}

// Reads a variable-length quantity of at most four bytes; false when cut off or too long.
bool ReadVlq(const std::uint8_t* p, std::size_t n, std::size_t* i, std::uint32_t* value) {
  std::uint32_t v = 0;
  for (int k = 0; k < 4; ++k) {
    if (*i >= n) return false;
    std::uint8_t b = p[(*i)++];
    v = (v << 7) | (b & 0x7F);
    if (!(b & 0x80)) {
      *value = v;
      return true;
    }
  }
  return false;
}

void WriteVlq(std::vector<std::uint8_t>* out, std::uint32_t v) {
  std::uint8_t buf[4];
  int n = 0;
  buf[n++] = v & 0x7F;
  while ((v >>= 7) != 0 && n < 4) buf[n++] = 0x80 | (v & 0x7F);
  while (n > 0) out->push_back(buf[--n]);
}

bool IsValidUtf8(const std::uint8_t* p, std::size_t n) {
  for (std::size_t i = 0; i < n;) {
    std::uint8_t c = p[i++];
    int extra = c < 0x80             ? 0
                : (c & 0xE0) == 0xC0 ? 1
                : (c & 0xF0) == 0xE0 ? 2
                : (c & 0xF8) == 0xF0 ? 3
                                     : -1;
    if (extra < 0 || std::size_t(extra) > n - i) return false;
    for (int k = 0; k < extra; ++k) {
      if ((p[i++] & 0xC0) != 0x80) return false;
    }
  }
  return true;
}

// Meta texts carry no declared encoding: keep valid UTF-8, read anything else as Latin-1.
std::string TextToUtf8(const std::uint8_t* p, std::size_t n) {
  while (n > 0 && (p[n - 1] == 0 || p[n - 1] == ' ')) --n;
  if (IsValidUtf8(p, n)) return std::string(reinterpret_cast<const char*>(p), n);
  std::string out;
  for (std::size_t i = 0; i < n; ++i) {
    if (p[i] < 0x80) {
      out += char(p[i]);
    } else {
      out += char(0xC0 | (p[i] >> 6));
      out += char(0x80 | (p[i] & 0x3F));
    }
  }
  return out;
}

class SongParser {
 public:
  explicit SongParser(Song* song) : song_(*song) {}

  // Parses one MTrk chunk's bytes. A track cut short or corrupt ends at its last whole event.
  void ParseTrack(const std::uint8_t* p, std::size_t n, bool first_track) {
    std::size_t i = 0;
    std::uint64_t tick = 0;
    std::uint32_t last_tick = 0;
    std::uint8_t running = 0;
    while (i < n) {
      std::uint32_t delta;
      if (!ReadVlq(p, n, &i, &delta) || i >= n) break;
      tick += delta;
      if (tick > kMaxTick) break;
      std::uint8_t b = p[i];
      if (b == 0xFF) {  // meta event
        std::uint32_t len;
        if (i + 1 >= n) break;
        std::uint8_t type = p[i + 1];
        i += 2;
        if (!ReadVlq(p, n, &i, &len) || len > n - i) break;
        const std::uint8_t* data = p + i;
        i += len;
        last_tick = std::uint32_t(tick);
        if (type == 0x2F) break;  // End of Track
        Meta(type, data, len, last_tick, first_track);
      } else if (b == 0xF0 || b == 0xF7) {  // sysex, or an escaped packet
        std::size_t start = i;
        std::uint32_t len;
        ++i;
        if (!ReadVlq(p, n, &i, &len) || len > n - i) break;
        i += len;
        last_tick = std::uint32_t(tick);
        // Only whole F0 messages reach the synth (GM/GS/XG resets, tuning); escaped packets
        // are rare and often partial, so they are left out.
        if (b == 0xF0) Keep(last_tick, p + start, i - start);
      } else if (b > 0xF0) {
        break;  // system messages have no place in a file: treat as corruption
      } else {
        std::uint8_t status = running;
        if (b & 0x80) {
          status = running = b;
          ++i;
        }
        if (status == 0) break;  // a data byte with no status to run on
        std::size_t need = ((status & 0xE0) == 0xC0) ? 1 : 2;  // Cx and Dx carry one byte
        if (need > n - i) break;
        if ((p[i] & 0x80) || (need == 2 && (p[i + 1] & 0x80))) break;
        std::uint8_t msg[3] = {status, p[i], need == 2 ? p[i + 1] : std::uint8_t(0)};
        i += need;
        last_tick = std::uint32_t(tick);
        Keep(last_tick, msg, 1 + need);
        Track(msg, last_tick);
      }
    }
    song_.end_tick = std::max(song_.end_tick, last_tick);
  }

  // Tempo events collected from all tracks, sorted; notes left sounding stretch to the end.
  void Finish(bool smpte) {
    std::stable_sort(tempo_events_.begin(), tempo_events_.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    song_.tempo.clear();
    song_.tempo.push_back({0, 500000, 0});
    if (smpte) {
      song_.tempo[0].us_per_quarter = smpte_us_per_quarter_;
    } else {
      for (const auto& [tick, us] : tempo_events_) {
        TempoPoint p{tick, us, song_.SecondsAt(tick)};
        if (song_.tempo.back().tick == tick) {
          song_.tempo.back() = p;
        } else {
          song_.tempo.push_back(p);
        }
      }
    }
    for (const auto& channel : held_) {
      for (int count : channel) {
        if (count > 0) song_.last_sound_tick = song_.end_tick;  // never released
      }
    }
  }

  void SetSmpteTempo(std::uint32_t us) { smpte_us_per_quarter_ = us; }

 private:
  void Keep(std::uint32_t tick, const std::uint8_t* data, std::size_t size) {
    song_.events.push_back({tick, std::uint32_t(song_.pool.size()), std::uint32_t(size)});
    song_.pool.insert(song_.pool.end(), data, data + size);
  }

  void Meta(std::uint8_t type, const std::uint8_t* data, std::uint32_t len, std::uint32_t tick,
            bool first_track) {
    if (type == 0x51 && len >= 3) {
      std::uint32_t us = (std::uint32_t(data[0]) << 16) | (data[1] << 8) | data[2];
      if (us == 0) return;  // a zero tempo would stop time; ignore it
      tempo_events_.push_back({tick, us});
      const std::uint8_t msg[6] = {0xFF, 0x51, 0x03, data[0], data[1], data[2]};
      Keep(tick, msg, sizeof msg);
    } else if (type == 0x03 && first_track && song_.title.empty()) {
      song_.title = TextToUtf8(data, len);
    } else if (type == 0x02 && song_.copyright.empty()) {
      song_.copyright = TextToUtf8(data, len);
    }
  }

  // Follows which notes sound, to know when the last one is released.
  void Track(const std::uint8_t* msg, std::uint32_t tick) {
    int kind = msg[0] & 0xF0, ch = msg[0] & 0x0F;
    if (kind == 0x90 && msg[2] > 0) {
      song_.has_notes = true;
      ++held_[ch][msg[1]];
      song_.last_sound_tick = std::max(song_.last_sound_tick, tick);
    } else if (kind == 0x80 || kind == 0x90) {
      if (held_[ch][msg[1]] > 0) --held_[ch][msg[1]];
      song_.last_sound_tick = std::max(song_.last_sound_tick, tick);
    } else if (kind == 0xB0 && (msg[1] == 64 || msg[1] == 66) && msg[2] < 64) {
      song_.last_sound_tick = std::max(song_.last_sound_tick, tick);  // pedal released
    }
  }

  Song& song_;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> tempo_events_;
  std::uint32_t smpte_us_per_quarter_ = 500000;
  std::array<std::array<int, 128>, 16> held_{};
};

// Writes the song's events as one format-0 track for fluid_player.
void BuildPlayerFile(Song* song) {
  std::stable_sort(song->events.begin(), song->events.end(),
                   [](const Event& a, const Event& b) { return a.tick < b.tick; });
  std::vector<std::uint8_t>& out = song->player_file;
  const char header[] = "MThd\0\0\0\6\0\0\0\1";  // format 0, one track
  out.assign(header, header + 12);
  out.push_back(std::uint8_t(song->division >> 8));
  out.push_back(std::uint8_t(song->division & 0xFF));
  out.insert(out.end(), {'M', 'T', 'r', 'k', 0, 0, 0, 0});  // length filled in below
  const std::size_t track_start = out.size();
  std::uint32_t tick = 0;
  for (const Event& e : song->events) {
    WriteVlq(&out, e.tick - tick);
    tick = e.tick;
    out.insert(out.end(), song->pool.begin() + e.offset, song->pool.begin() + e.offset + e.size);
  }
  WriteVlq(&out, song->end_tick - tick);
  out.insert(out.end(), {0xFF, 0x2F, 0x00});
  std::uint32_t len = std::uint32_t(out.size() - track_start);
  for (int k = 0; k < 4; ++k) out[track_start - 4 + k] = std::uint8_t(len >> (24 - 8 * k));
  song->events.clear();
  song->events.shrink_to_fit();
  song->pool.clear();
  song->pool.shrink_to_fit();
}

}  // namespace

std::uint32_t ReadLe32(const std::uint8_t* p) {
  return (std::uint32_t(p[3]) << 24) | (std::uint32_t(p[2]) << 16) | (std::uint32_t(p[1]) << 8) |
         p[0];
}

// Parses an SMF (or the SMF inside a RIFF RMID file). ERROR_FILEFORM when it is not MIDI.
int ParseSong(const std::vector<std::uint8_t>& bytes, Song* song) {
  const std::uint8_t* p = bytes.data();
  std::size_t n = bytes.size();
  if (n >= 12 && std::memcmp(p, "RIFF", 4) == 0 && std::memcmp(p + 8, "RMID", 4) == 0) {
    std::size_t end = std::min<std::size_t>(n, std::size_t(ReadLe32(p + 4)) + 8);
    std::size_t i = 12;
    const std::uint8_t* inner = nullptr;
    std::size_t inner_n = 0;
    while (i + 8 <= end) {
      std::size_t len = ReadLe32(p + i + 4);
      std::size_t avail = std::min(len, end - (i + 8));
      if (std::memcmp(p + i, "data", 4) == 0) {
        inner = p + i + 8;
        inner_n = avail;
        break;
      }
      if (len > end - (i + 8)) break;
      i += 8 + len + (len & 1);
    }
    if (!inner) return ERROR_FILEFORM;
    p = inner;
    n = inner_n;
  }
  if (n < 14 || std::memcmp(p, "MThd", 4) != 0) return ERROR_FILEFORM;
  std::uint32_t header_len = ReadBe32(p + 4);
  if (header_len < 6 || header_len > n - 8) return ERROR_FILEFORM;
  std::uint16_t division = std::uint16_t((p[12] << 8) | p[13]);
  if (division == 0) return ERROR_FILEFORM;

  SongParser parser(song);
  const bool smpte = (division & 0x8000) != 0;
  if (smpte) {
    // SMPTE time: a fixed tick length of 1 / (frames per second * ticks per frame). The player
    // understands only musical time, so this becomes a PPQ file with one constant tempo.
    int fps = -std::int8_t(division >> 8);
    int ticks_per_frame = division & 0xFF;
    if ((fps != 24 && fps != 25 && fps != 29 && fps != 30) || ticks_per_frame == 0) {
      return ERROR_FILEFORM;
    }
    double real_fps = fps == 29 ? 30000.0 / 1001.0 : fps;
    int nominal_fps = fps == 29 ? 30 : fps;
    song->division = nominal_fps * ticks_per_frame;
    parser.SetSmpteTempo(
        std::uint32_t(std::lround(1e6 * song->division / (real_fps * ticks_per_frame))));
  } else {
    song->division = division;
  }

  std::size_t i = 8 + header_len;
  int tracks = 0;
  while (i + 8 <= n) {
    std::size_t len = ReadBe32(p + i + 4);
    std::size_t avail = std::min(len, n - (i + 8));
    if (std::memcmp(p + i, "MTrk", 4) == 0) {
      parser.ParseTrack(p + i + 8, avail, tracks == 0);
      ++tracks;
    }
    if (len > n - (i + 8)) break;
    i += 8 + len;
  }
  if (tracks == 0) return ERROR_FILEFORM;
  parser.Finish(smpte);
  if (smpte) {
    // Replace any tempo events kept from the file with the one fixed SMPTE tempo.
    std::vector<Event> kept;
    for (const Event& e : song->events) {
      if (song->pool[e.offset] != 0xFF) kept.push_back(e);
    }
    song->events = std::move(kept);
    std::uint32_t us = song->tempo[0].us_per_quarter;
    const std::uint8_t msg[6] = {
        0xFF, 0x51, 0x03, std::uint8_t(us >> 16), std::uint8_t(us >> 8), std::uint8_t(us)};
    song->events.insert(song->events.begin(), {0, std::uint32_t(song->pool.size()), 6});
    song->pool.insert(song->pool.end(), msg, msg + 6);
  }
  BuildPlayerFile(song);
  return ERROR_OK;
}

// Reads the file when its first bytes look like MIDI; the error code otherwise.
int ReadMidiFile(const std::string& path, std::vector<std::uint8_t>* bytes) {
  std::error_code ec;
  std::ifstream in(path, std::ios::binary);
  if (!in || std::filesystem::is_directory(path, ec)) return ERROR_FILEOPEN;
  char head[12] = {};
  in.read(head, sizeof head);
  std::size_t got = std::size_t(in.gcount());
  bool smf = got >= 4 && std::memcmp(head, "MThd", 4) == 0;
  bool rmid =
      got == 12 && std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "RMID", 4) == 0;
  if (!smf && !rmid) return ERROR_FILEFORM;
  std::uintmax_t size = std::filesystem::file_size(path, ec);
  if (ec || size > kMaxFileBytes) return ERROR_FILEFORM;
  bytes->assign(head, head + got);
  if (size > got) {
    bytes->resize(std::size_t(size));
    in.read(reinterpret_cast<char*>(bytes->data() + got), std::streamsize(size - got));
    bytes->resize(got + std::size_t(in.gcount()));
  }
  return ERROR_OK;
}

}  // namespace audio::detail
