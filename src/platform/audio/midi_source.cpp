// MIDI streams: Standard MIDI Files parsed here (tempo map, length, tags) and rendered offline
// by FluidSynth with soundfonts; also the process-wide soundfont registry behind MidiFontInit.
//
// How a stream plays: the file is parsed into one time-ordered event list, which is written
// back out as a clean format-0 file for fluid_player (so the player sees exactly what we
// measured, whatever state the original file was in). The player runs on the sample timer,
// so rendering is driven only by Read. Seeking builds a fresh player that starts at the tick
// of the wanted frame, after a full synth reset so no note hangs over.
//
// Length: the time of the file's last event (its End of Track) from the tempo map, plus a
// release tail of up to kReleaseTailSeconds: the stream lasts until one tail after the last
// note release (or after the end, for notes never released), but never more than one tail
// past the end of the file. Read ends exactly there.
#include "midi_source.h"

#include <fluidsynth.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "config.h"

namespace audio::detail {
namespace {

// ---- Tuning ---------------------------------------------------------------------------------

// FluidSynth's default gain of 0.2 leaves a GM piano at velocity 100 near -32 dBFS; this
// raises its peak to -6 dBFS (measured: TimGM6mb, C4, reverb and chorus on), leaving headroom
// for chords and busy arrangements before the output clips.
constexpr double kSynthGain = 3.9;
// Longest time a stream keeps sounding after the file's last event, for note releases and
// reverb. Longer tails ring out more naturally but add silence to files that end abruptly.
constexpr double kReleaseTailSeconds = 1.0;
// Files above this size are refused (the largest real-world MIDI files are a few tens of MB).
constexpr std::uintmax_t kMaxFileBytes = 128u << 20;
// Ticks beyond this cannot be written as one variable-length delta; tracks are cut there.
constexpr std::uint64_t kMaxTick = 0x0FFFFFFF;
// Bank offset that hides a font loaded only to back a single-preset mapping.
constexpr int kHiddenBankOffset = 1 << 20;

const char* const kSoundFontCandidates[] = {
    "/usr/share/sounds/sf2/default-GM.sf2",  // Debian's alternatives link: the system's choice
    "/usr/share/sounds/sf2/FluidR3_GM.sf2",  // Debian's fonts, the better one first
    "/usr/share/sounds/sf2/TimGM6mb.sf2",
    "/usr/share/soundfonts/default.sf2",  // other distributions
    "/usr/share/soundfonts/FluidR3_GM.sf2",
};

void SetOut(int* error, int code) {
  if (error) *error = code;
}

// FluidSynth reports through a global log; the layer reports through error codes instead.
void QuietFluidLog(int, const char*, void*) {}
void SilenceFluidLogOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    fluid_set_log_function(FLUID_ERR, QuietFluidLog, nullptr);
    fluid_set_log_function(FLUID_WARN, QuietFluidLog, nullptr);
    fluid_set_log_function(FLUID_INFO, QuietFluidLog, nullptr);
    fluid_set_log_function(FLUID_DBG, QuietFluidLog, nullptr);
  });
}

// ---- Standard MIDI File parsing ---------------------------------------------------------------

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

std::uint32_t ReadBe32(const std::uint8_t* p) {
  return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) |
         p[3];
}
std::uint32_t ReadLe32(const std::uint8_t* p) {
  return (std::uint32_t(p[3]) << 24) | (std::uint32_t(p[2]) << 16) | (std::uint32_t(p[1]) << 8) |
         p[0];
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

// ---- Soundfont registry ----------------------------------------------------------------------

// Keeps every registered font loaded in one silent synth. FluidSynth shares sample data
// between synths that load the same file (its sample cache), so each stream's own load of a
// registered font reads only the preset tables (a few MB and tens of ms for a GM set) and
// never the samples, however large the font.
class FontKeeper {
 public:
  int Load(const std::string& path) {
    std::lock_guard<std::mutex> lock(mu_);
    if (!synth_) {
      settings_ = new_fluid_settings();
      if (!settings_) return -1;
      fluid_settings_setint(settings_, "synth.polyphony", 1);
      fluid_settings_setint(settings_, "synth.lock-memory", 0);  // as the streams' synths
      fluid_settings_setint(settings_, "synth.reverb.active", 0);
      fluid_settings_setint(settings_, "synth.chorus.active", 0);
      synth_ = new_fluid_synth(settings_);
      if (!synth_) return -1;
    }
    int id = fluid_synth_sfload(synth_, path.c_str(), 0);
    return id == FLUID_FAILED ? -1 : id;
  }
  void Unload(int id) {
    std::lock_guard<std::mutex> lock(mu_);
    if (synth_ && id >= 0) fluid_synth_sfunload(synth_, id, 0);
  }

 private:
  std::mutex mu_;  // guards the keeper synth
  fluid_settings_t* settings_ = nullptr;
  fluid_synth_t* synth_ = nullptr;
};

FontKeeper& Keeper() {
  static FontKeeper* keeper = new FontKeeper;  // lives for the whole process
  return *keeper;
}

// A loaded soundfont; stays alive while a handle, the defaults or a stream refer to it.
struct FontRecord {
  std::string path;
  int keeper_id = -1;
  ~FontRecord() { Keeper().Unload(keeper_id); }
};

// A RIFF soundfont (SF2/SF3 "sfbk", or DLS) whose top-level chunks fit in the file. Checked
// before FluidSynth sees the file: its DLS loader complains loudly about junk.
bool LooksLikeSoundFont(const std::string& path) {
  std::error_code ec;
  if (path.empty() || !std::filesystem::is_regular_file(path, ec)) return false;
  std::uintmax_t size = std::filesystem::file_size(path, ec);
  std::ifstream in(path, std::ios::binary);
  std::uint8_t head[12];
  if (ec || !in.read(reinterpret_cast<char*>(head), sizeof head)) return false;
  if (std::memcmp(head, "RIFF", 4) != 0) return false;
  if (std::memcmp(head + 8, "DLS ", 4) == 0) return true;
  if (std::memcmp(head + 8, "sfbk", 4) != 0) return false;
  std::uintmax_t end = std::min<std::uintmax_t>(size, std::uintmax_t(ReadLe32(head + 4)) + 8);
  bool has_presets = false;
  for (std::uintmax_t pos = 12; pos + 12 <= end;) {
    std::uint8_t chunk[12];
    in.seekg(std::streamoff(pos));
    if (!in.read(reinterpret_cast<char*>(chunk), sizeof chunk)) return false;
    std::uintmax_t len = ReadLe32(chunk + 4);
    if (std::memcmp(chunk, "LIST", 4) != 0 || pos + 8 + len > end) return false;
    if (std::memcmp(chunk + 8, "pdta", 4) == 0) has_presets = true;
    pos += 8 + len + (len & 1);
  }
  return has_presets;
}

std::shared_ptr<const FontRecord> LoadFontRecord(const std::string& path) {
  SilenceFluidLogOnce();
  if (!LooksLikeSoundFont(path)) return nullptr;
  int id = Keeper().Load(path);
  if (id < 0) return nullptr;
  auto record = std::make_shared<FontRecord>();
  record->path = path;
  record->keeper_id = id;
  return record;
}

struct FontUse {
  std::shared_ptr<const FontRecord> font;
  int preset = -1;
  int bank = 0;
};

class FontRegistry {
 public:
  HSOUNDFONT Add(std::shared_ptr<const FontRecord> font) {
    std::lock_guard<std::mutex> lock(mu_);
    if (next_ == 0) return 0;  // every handle of this run has been used
    HSOUNDFONT handle = next_++;
    fonts_[handle] = std::move(font);
    return handle;
  }

  // Forgets the handle and drops the font from the defaults of streams opened later.
  bool Remove(HSOUNDFONT handle) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = fonts_.find(handle);
    if (it == fonts_.end()) return false;
    std::erase_if(defaults_, [&](const FontUse& u) { return u.font == it->second; });
    fonts_.erase(it);
    return true;
  }

  bool Resolve(const MidiFont* fonts, DWORD count, std::vector<FontUse>* out, int* error) {
    if (count > 0 && !fonts) {
      SetOut(error, ERROR_ILLPARAM);
      return false;
    }
    std::lock_guard<std::mutex> lock(mu_);
    out->clear();
    for (DWORD k = 0; k < count; ++k) {
      auto it = fonts_.find(fonts[k].font);
      if (it == fonts_.end()) {
        SetOut(error, ERROR_HANDLE);
        return false;
      }
      out->push_back({it->second, fonts[k].preset, fonts[k].bank});
    }
    return true;
  }

  void SetDefaults(std::vector<FontUse> uses) {
    std::lock_guard<std::mutex> lock(mu_);
    defaults_ = std::move(uses);
  }

  // The fonts a new stream starts with: the defaults, else the system soundfont.
  std::vector<FontUse> StartingFonts() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (!defaults_.empty()) return defaults_;
    }
    std::call_once(system_once_, [this] { system_font_ = LoadFontRecord(DefaultSoundFontPath()); });
    if (!system_font_) return {};
    return {FontUse{system_font_, -1, 0}};
  }

 private:
  std::mutex mu_;  // guards the fields below; FontKeeper's lock may be taken inside it
  std::unordered_map<HSOUNDFONT, std::shared_ptr<const FontRecord>> fonts_;
  HSOUNDFONT next_ = 1;
  std::vector<FontUse> defaults_;
  std::once_flag system_once_;
  std::shared_ptr<const FontRecord> system_font_;  // written once under system_once_
};

FontRegistry& Registry() {
  static FontRegistry* registry = new FontRegistry;  // lives for the whole process
  return *registry;
}

// ---- Single-preset mapping -------------------------------------------------------------------

// A virtual font that offers one preset of a loaded (hidden) font at a chosen bank. The
// presets it returns belong to the hidden font, so FluidSynth's own reference counting of
// fonts in use keeps working.
struct PresetMap {
  fluid_sfont_t* source;
  int bank, preset;
};

const char* PresetMapName(fluid_sfont_t*) { return "preset map"; }
fluid_preset_t* PresetMapGet(fluid_sfont_t* sfont, int bank, int prenum) {
  auto* map = static_cast<PresetMap*>(fluid_sfont_get_data(sfont));
  if (bank != map->bank || prenum != map->preset) return nullptr;
  // Melodic presets come from the font's bank 0; mapping into the drum bank takes its kits.
  return fluid_sfont_get_preset(map->source, bank == 128 ? 128 : 0, prenum);
}
void PresetMapIterStart(fluid_sfont_t*) {}
fluid_preset_t* PresetMapIterNext(fluid_sfont_t*) { return nullptr; }
int PresetMapFree(fluid_sfont_t* sfont) {
  delete static_cast<PresetMap*>(fluid_sfont_get_data(sfont));
  return delete_fluid_sfont(sfont);
}

// ---- The stream ------------------------------------------------------------------------------

struct FluidDeleter {
  void operator()(fluid_settings_t* p) const { delete_fluid_settings(p); }
  void operator()(fluid_synth_t* p) const { delete_fluid_synth(p); }
  void operator()(fluid_player_t* p) const { delete_fluid_player(p); }
};

bool SameFonts(const std::vector<FontUse>& a, const std::vector<FontUse>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
    return x.font == y.font && x.preset == y.preset && x.bank == y.bank;
  });
}

// One FluidSynth instance with its fonts loaded. Members in teardown order (last first).
struct Synth {
  std::unique_ptr<fluid_settings_t, FluidDeleter> settings;
  std::unique_ptr<fluid_synth_t, FluidDeleter> synth;
  std::vector<FontUse> fonts;  // as asked for; holding the records keeps their samples cached
};

// Loads `uses` into the synth; the first entry takes precedence, as the top of the synth's
// font stack. A font that no longer loads (its file removed since) is left out.
void LoadFonts(fluid_synth_t* synth, const std::vector<FontUse>& uses) {
  for (auto it = uses.rbegin(); it != uses.rend(); ++it) {
    int id = fluid_synth_sfload(synth, it->font->path.c_str(), 0);
    if (id == FLUID_FAILED) continue;
    if (it->preset < 0) {
      fluid_synth_set_bank_offset(synth, id, std::clamp(it->bank, 0, 16383));
      continue;
    }
    fluid_synth_set_bank_offset(synth, id, kHiddenBankOffset);
    fluid_sfont_t* map = new_fluid_sfont(PresetMapName, PresetMapGet, PresetMapIterStart,
                                         PresetMapIterNext, PresetMapFree);
    if (!map) continue;
    fluid_sfont_set_data(
        map, new PresetMap{fluid_synth_get_sfont_by_id(synth, id), it->bank, it->preset});
    if (fluid_synth_add_sfont(synth, map) == FLUID_FAILED) PresetMapFree(map);
  }
}

// A synth rendering stereo float at `rate` with the stream's settings and `uses` loaded.
std::unique_ptr<Synth> MakeSynth(int rate, DWORD flags, const std::vector<FontUse>& uses) {
  auto box = std::make_unique<Synth>();
  box->settings.reset(new_fluid_settings());
  fluid_settings_t* s = box->settings.get();
  if (!s) return nullptr;
  fluid_settings_setnum(s, "synth.sample-rate", rate);
  fluid_settings_setnum(s, "synth.gain", kSynthGain);
  fluid_settings_setint(s, "synth.polyphony", std::clamp(Config().midi_voices.load(), 1, 65535));
  fluid_settings_setint(s, "synth.threadsafe-api", 0);  // the stream serialises every call
  fluid_settings_setint(s, "synth.lock-memory", 0);     // do not pin a large font's samples
  fluid_settings_setstr(s, "player.timing-source", "sample");
  fluid_settings_setint(s, "player.reset-synth", 0);  // let the last notes ring out
  box->synth.reset(new_fluid_synth(s));
  if (!box->synth) return nullptr;
  if (flags & MIDI_SINCINTER) {
    fluid_synth_set_interp_method(box->synth.get(), -1, FLUID_INTERP_HIGHEST);
  }
  LoadFonts(box->synth.get(), uses);
  box->fonts = uses;
  return box;
}

class FluidMidiSource final : public MidiSource {
 public:
  ~FluidMidiSource() override {
    player_.reset();  // before the synth it is attached to
  }

  // `freq` 0 means 44100; a rate the synth cannot run at is brought into its range (8000 to
  // 96000 Hz here), and format() tells the rate actually used.
  int Open(const std::vector<std::uint8_t>& bytes, DWORD flags, DWORD freq) {
    int code = ParseSong(bytes, &song_);
    if (code != ERROR_OK) return code;
    flags_ = flags;
    {
      std::unique_ptr<fluid_settings_t, FluidDeleter> probe(new_fluid_settings());
      double min_rate = 8000, max_rate = 96000;
      if (probe)
        fluid_settings_getnum_range(probe.get(), "synth.sample-rate", &min_rate, &max_rate);
      rate_ = int(std::clamp<double>(freq == 0 ? 44100 : freq, min_rate, max_rate));
    }
    double end = song_.SecondsAt(song_.end_tick);
    double last = song_.SecondsAt(song_.last_sound_tick);
    double tail = song_.has_notes
                      ? std::clamp(last + kReleaseTailSeconds - end, 0.0, kReleaseTailSeconds)
                      : 0.0;
    length_ = std::llround((end + tail) * rate_);

    std::vector<std::string> texts;
    if (!song_.title.empty()) texts.push_back("TITLE=" + song_.title);
    if (!song_.copyright.empty()) texts.push_back("COPYRIGHT=" + song_.copyright);
    for (const std::string& t : texts) {
      tags_.insert(tags_.end(), t.begin(), t.end());
      tags_.push_back('\0');
    }
    if (!tags_.empty()) tags_.push_back('\0');

    synth_ = MakeSynth(rate_, flags_, Registry().StartingFonts());
    if (!synth_) return ERROR_MEM;
    return StartPlayerAt(0) ? ERROR_OK : ERROR_MEM;
  }

  Format format() const override { return {rate_, 2}; }

  ReadResult Read(float* out, int frames, bool) override {
    std::lock_guard<std::mutex> lock(mu_);
    std::int64_t pos = pos_.load();
    std::int64_t n = std::min<std::int64_t>(std::max(frames, 0), length_ - pos);
    if (n <= 0) return {0, pos >= length_};
    Render(out, int(n));
    pos_.store(pos + n);
    return {int(n), false};
  }

  std::int64_t LengthFrames() const override { return length_; }
  std::int64_t PositionFrames() const override { return pos_.load(); }

  bool Seek(std::int64_t frame, int* error) override {
    if (frame < 0 || frame > length_) {
      SetOut(error, ERROR_POSITION);
      return false;
    }
    std::lock_guard<std::mutex> lock(mu_);
    if (!StartPlayerAt(TickOf(frame))) {
      SetOut(error, ERROR_MEM);
      return false;
    }
    pos_.store(frame);
    return true;
  }

  std::vector<char> Tags(DWORD kind) const override {
    return kind == TAG_OGG ? tags_ : std::vector<char>{};
  }
  DWORD ChannelType() const override { return CTYPE_STREAM_MIDI; }

  // Loading fonts takes a while (tens of ms for a GM set), so a new synth is built without
  // holding up Read, then swapped in and started at the current position. Notes sounding at
  // that moment stop, as after a seek. Asking again for the fonts in use changes nothing.
  bool SetFonts(const MidiFont* fonts, DWORD count, int* error) override {
    std::vector<FontUse> uses;
    if (!Registry().Resolve(fonts, count, &uses, error)) return false;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (SameFonts(uses, synth_->fonts)) return true;
    }
    std::unique_ptr<Synth> fresh = MakeSynth(rate_, flags_, uses);
    if (!fresh) {
      SetOut(error, ERROR_MEM);
      return false;
    }
    std::lock_guard<std::mutex> lock(mu_);
    player_.reset();
    std::swap(synth_, fresh);
    rendered_ = 0;
    if (!StartPlayerAt(TickOf(pos_.load()))) {
      SetOut(error, ERROR_MEM);
      return false;
    }
    return true;  // the old synth goes with `fresh`, after the lock is released
  }

 private:
  int TickOf(std::int64_t frame) const {
    double tick = song_.TickAt(double(frame) / rate_);
    return int(std::clamp<double>(std::llround(tick), 0, song_.end_tick));
  }

  void Render(float* out, int frames) {
    if (fluid_synth_write_float(synth_->synth.get(), frames, out, 0, 2, out, 1, 2) != FLUID_OK) {
      std::fill(out, out + 2 * std::size_t(frames), 0.0f);
    }
    rendered_ += std::uint64_t(frames);
  }

  // A fresh player over the song, positioned at `tick`, on a synth brought to silence so
  // nothing from before the jump sounds on. The synth renders in blocks and hands out the rest
  // of a block it has started, so that rest is rendered away first; then the voices are cut
  // (FluidSynth's system reset alone only releases them, and they ring on for a tenth of a
  // second), one block is rendered to apply that, and the reset clears controllers and the
  // reverb. The new player's clock starts on a block boundary, at the next frame Read
  // delivers. It replays controller and program events up to `tick`. Caller holds mu_ or is
  // still opening.
  bool StartPlayerAt(int tick) {
    player_.reset();
    fluid_synth_t* synth = synth_->synth.get();
    const int block = std::max(fluid_synth_get_internal_bufsize(synth), 1);
    std::vector<float> scratch(2 * std::size_t(block));
    int rest = int((block - rendered_ % block) % block);
    if (rest > 0) Render(scratch.data(), rest);
    fluid_synth_all_sounds_off(synth, -1);
    Render(scratch.data(), block);
    fluid_synth_system_reset(synth);
    player_.reset(new_fluid_player(synth));
    if (!player_) return false;
    fluid_player_t* player = player_.get();
    if (fluid_player_add_mem(player, song_.player_file.data(), song_.player_file.size()) !=
        FLUID_OK) {
      return false;
    }
    if (tick > 0) fluid_player_seek(player, tick);
    return fluid_player_play(player) == FLUID_OK;
  }

  // Immutable after Open.
  Song song_;
  DWORD flags_ = 0;
  int rate_ = 44100;
  std::int64_t length_ = 0;
  std::vector<char> tags_;

  // Guarded by mu_: Read and Seek come from the channel's thread, SetFonts from any thread.
  std::mutex mu_;
  std::unique_ptr<Synth> synth_;
  std::unique_ptr<fluid_player_t, FluidDeleter> player_;  // drives synth_
  std::uint64_t rendered_ = 0;        // frames synth_ has produced, for its block grid
  std::atomic<std::int64_t> pos_{0};  // written under mu_, read from anywhere
};

}  // namespace

std::unique_ptr<MidiSource> OpenMidiFile(const std::string& path, DWORD flags, DWORD freq,
                                         int* error) {
  SilenceFluidLogOnce();
  std::vector<std::uint8_t> bytes;
  int code = ReadMidiFile(path, &bytes);
  if (code != ERROR_OK) {
    SetOut(error, code);
    return nullptr;
  }
  auto source = std::make_unique<FluidMidiSource>();
  code = source->Open(bytes, flags, freq);
  if (code != ERROR_OK) {
    SetOut(error, code);
    return nullptr;
  }
  SetOut(error, ERROR_OK);
  return source;
}

bool SetDefaultMidiFonts(const MidiFont* fonts, DWORD count, int* error) {
  std::vector<FontUse> uses;
  if (!Registry().Resolve(fonts, count, &uses, error)) return false;
  Registry().SetDefaults(std::move(uses));
  SetOut(error, ERROR_OK);
  return true;
}

}  // namespace audio::detail

namespace audio {

HSOUNDFONT MidiFontInit(const std::string& path, DWORD flags) {
  (void)flags;  // UNICODE_FLAG only: paths are UTF-8 here
  auto record = detail::LoadFontRecord(path);
  if (!record) return detail::Fail(ERROR_FILEOPEN, HSOUNDFONT(0));
  HSOUNDFONT handle = detail::Registry().Add(std::move(record));
  if (handle == 0) return detail::Fail(ERROR_MEM, HSOUNDFONT(0));
  detail::SetError(ERROR_OK);
  return handle;
}

bool MidiFontFree(HSOUNDFONT font) {
  if (!detail::Registry().Remove(font)) return detail::Fail(ERROR_HANDLE, false);
  detail::SetError(ERROR_OK);
  return true;
}

std::string DefaultSoundFontPath() {
  for (const char* path : detail::kSoundFontCandidates) {
    std::error_code ec;
    if (std::filesystem::is_regular_file(path, ec)) return path;
  }
  return {};
}

}  // namespace audio
