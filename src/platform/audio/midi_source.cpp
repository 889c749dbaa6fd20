// MIDI streams: Standard MIDI Files (parsed by smf.cpp: tempo map, length, tags) rendered offline
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
#include "smf.h"

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
