// The tempo stream: a Source that runs a decoding Source through SoundTouch to change tempo,
// pitch and rate, passing the source through untouched when nothing is changed.
//
// Paths. The stream renders through one of three paths, chosen from the settings:
// - Bypass: tempo 0, pitch 0 and the source's own rate (or any combination whose tempo × rate
//   and pitch × rate are both exactly 1). The source's frames are handed through unchanged:
//   bit-exact, no latency.
// - SoundTouch: SoundTouch does tempo, pitch and rate, with its own anti-alias options. Like the
//   library itself, it clicks when its effective rate (pitch × rate) reaches or crosses 1.0,
//   because SoundTouch then reorders its two stages (measured on a 0.5 sine at 1 kHz, pitch -1 to
//   +1 semitone: a second-difference spike of 0.86 where the sine's own is 0.011).
// - Fixed order (ATTRIB_TEMPO_OPTION_PREVENT_CLICK): SoundTouch only stretches time (by
//   tempo / pitch, its own rate left at exactly 1), then our band-limited resampler transposes by
//   pitch × rate. The stages never reorder, so no setting change clicks, and the transposition is
//   flat (within 0.01 dB to 18 kHz; SoundTouch's own loses 0.4 dB at 10 kHz, 1.8 dB at 16 kHz).
//   The anti-alias options do not apply here, as in SoundTouch's own click-free build.
//
// Changing path (identity <-> processing, PREVENT_CLICK toggled, an option changed while
// processing) is a splice, never a flush: every frame read from the source is also kept in a
// ring of raw history. The splice takes the next 8 ms of the old path's output, restarts the new
// path at the source frame that output stands for (replaying the raw frames from the ring, so
// nothing read is lost and nothing is read twice), and crossfades the old output into the new.
// Leaving a tempo-only path, the splice point is found by matching the old output against the
// raw history, so the crossfade joins identical sound; entering processing from bypass it is
// exact. Leaving a pitch-shifted path the splice point is the position estimate below, which
// may repeat or skip up to a few tens of milliseconds (SoundTouch's own sequence granularity).
// Tempo, pitch and rate changes within a path go to the running processors directly.
//
// Positions: PositionFrames() is the source frame whose sound the next Read delivers: the
// source frames fed minus what is still inside SoundTouch (and the resampler). It is kept as
// exact bookkeeping - every output frame accounts for tempo × rate source frames, the measure
// SoundTouch sizes its output by - rather than from SoundTouch's buffer counts, which miss the
// look-ahead inside its stages. The sound itself strays around it: WSOLA copies each sequence at
// speed 1, so at +100 % the delivered sound trails the position by about 20 ms on average
// (10 to 30 ms), at -50 % it leads by about as much.
//
// End of the source: the input is pushed out with silence until SoundTouch has produced as many
// frames as the input fed calls for (as SoundTouch's flush does, but without allocating); then
// Read reports the end. A source that returns no frames without ending (a network stall) makes
// Read return what is ready, possibly nothing, not ended.
//
// Threads: Read, Seek and PositionFrames run on the channel's reader thread (serialised by the
// channel). SetAttribute/GetAttribute may come from any thread: they only touch the wanted
// settings under settings_mutex_; the reader applies them at its next Read. Nothing is
// allocated per Read once SoundTouch's buffers have grown, except inside SoundTouch when an
// option changes. Exceptions from SoundTouch (out of memory) end the stream.
#include "tempo_source.h"

#include <soundtouch/SoundTouch.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>

#include "resampler.h"

namespace audio::detail {
namespace {

// ---- Tuning (each constant's effect on the sound) ----------------------------------------------
// Length of the crossfade that joins two paths. Long enough to hide the join (SoundTouch's own
// overlap is 8 ms), short enough to keep a pitch change prompt.
constexpr double kCrossfadeSeconds = 0.008;
// Raw history kept for splices. It must hold what sits inside SoundTouch: about 0.1 s at normal
// tempo, up to 3.5 s at +5000 %. Beyond it a splice skips the part it no longer holds.
constexpr double kRingSeconds = 4.0;
constexpr std::int64_t kMaxRingSamples = std::int64_t{1} << 23;  // 32 MB of floats at most
// Reach of the search for the splice point when leaving a tempo-only path: SoundTouch's output
// strays from the nominal position by up to ±(tempo - 1) × half a sequence.
constexpr double kSearchBaseSeconds = 0.03;
constexpr double kSearchPerTempoSeconds = 0.04;
constexpr double kSearchMaxSeconds = 0.25;
// Frames pulled from the source per step: at least kPullFrames, more when SoundTouch needs more
// input per sequence (fast tempo), since its input buffer grows by what each call brings and
// small steps would make it copy its whole backlog again and again.
constexpr int kPullFrames = 1024;
constexpr int kMaxPullFrames = 65536;
// SoundTouch output staged for the resampler.
constexpr int kStageFrames = 1024;
// Points compared when matching the old output against the raw history (every frame at 44.1 or
// 48 kHz, every 2nd/4th at 96/192 kHz): about 6 ms of sound, and 256 multiply-adds per candidate.
constexpr int kMatchPoints = 256;

// Accepted ranges of the attributes.
constexpr float kTempoMin = -95.0f, kTempoMax = 5000.0f;      // percent
constexpr float kPitchMin = -60.0f, kPitchMax = 60.0f;        // semitones
constexpr double kFreqMinFactor = 0.05, kFreqMaxFactor = 51;  // of the source rate, as tempo
constexpr float kAaLengthMin = 8.0f, kAaLengthMax = 128.0f;   // taps, multiple of 8
constexpr float kMsMax = 1000.0f;                             // sequence, seek window, overlap

struct Settings {
  float tempo = 0.0f;  // percent
  float pitch = 0.0f;  // semitones
  float freq = 0.0f;   // Hz the source is read at; 0 = its own rate
  bool aa_filter = true;
  int aa_length = 64;
  bool quick_seek = false;
  int sequence_ms = 0;    // 0 = automatic
  int seekwindow_ms = 0;  // 0 = automatic
  int overlap_ms = 8;
  bool prevent_click = false;
};

// Whether SoundTouch would process alike under both; its anti-alias options only matter when it
// transposes itself.
bool SameOptions(const Settings& a, const Settings& b, bool with_aa) {
  return (!with_aa || (a.aa_filter == b.aa_filter && a.aa_length == b.aa_length)) &&
         a.quick_seek == b.quick_seek && a.sequence_ms == b.sequence_ms &&
         a.seekwindow_ms == b.seekwindow_ms && a.overlap_ms == b.overlap_ms;
}

// The factors the settings stand for.
struct Factors {
  double tempo = 1.0;                            // speed without pitch
  double pitch = 1.0;                            // pitch without speed
  double rate = 1.0;                             // both
  double Speed() const { return tempo * rate; }  // source frames per output frame
  double Transpose() const { return pitch * rate; }
  bool Identity() const { return Speed() == 1.0 && Transpose() == 1.0; }
};

Factors FactorsOf(const Settings& s, int source_rate) {
  Factors f;
  f.tempo = 1.0 + s.tempo / 100.0;
  f.pitch = std::exp2(s.pitch / 12.0);
  f.rate = s.freq > 0.0f ? s.freq / source_rate : 1.0;
  return f;
}

enum class Path { Bypass, SoundTouch, FixedOrder };

class TempoSource final : public Source {
 public:
  explicit TempoSource(std::shared_ptr<Source> source);

  Format format() const override { return format_; }
  ReadResult Read(float* out, int frames, bool wait) override;
  std::int64_t LengthFrames() const override { return source_->LengthFrames(); }
  std::int64_t PositionFrames() const override;
  bool Seek(std::int64_t frame, int* error) override;

  std::vector<char> Tags(DWORD kind) const override { return source_->Tags(kind); }
  float Bitrate() const override { return source_->Bitrate(); }
  bool VariableBitrate() const override { return source_->VariableBitrate(); }
  DWORD ChannelType() const override { return CTYPE_STREAM_TEMPO; }
  DWORD OriginalResolution() const override { return source_->OriginalResolution(); }
  bool SetAttribute(DWORD attrib, float value) override;
  bool GetAttribute(DWORD attrib, float* value) const override;
  std::uint64_t Downloaded() const override { return source_->Downloaded(); }
  std::int64_t DownloadTotal() const override { return source_->DownloadTotal(); }
  void SetEventSink(EventSink sink) override { source_->SetEventSink(std::move(sink)); }

 private:
  // Raw history ring.
  std::int64_t RingStart() const { return ring_end_ - ring_count_; }
  void RingAppend(const float* src, int frames);
  void RingCopy(std::int64_t frame, float* dst, int frames) const;
  void RingReset(std::int64_t frame);

  // Raw input: replayed from the ring first, then read from the source (and kept in the ring).
  ReadResult NextRaw(float* dst, int frames, bool wait);

  // Output of the current path, before any crossfade. *ended: the path has nothing more after
  // these frames; *stalled: the source has no data yet.
  int ProducePath(float* dst, int frames, bool wait, bool* ended, bool* stalled);
  int ProduceBypass(float* dst, int frames, bool wait, bool* ended, bool* stalled);
  int ProducePipeline(float* dst, int frames, bool wait, bool* ended, bool* stalled);
  int PullOutput(float* dst, int frames);
  int PullFixedOrder(float* dst, int frames);
  void Feed(const float* src, int frames);
  void StartFlush();

  // Settings and path changes.
  void MaybeApplySettings();
  void ApplyOptionsToSoundTouch(const Settings& s);
  void ConfigureRates(const Factors& f);
  void ApplyRatesLive(const Factors& f);
  void UpdatePullSize();
  void Restart(Path target, std::int64_t frame);
  void FinishSplice();
  std::int64_t FindSplicePoint(const float* old_output, int frames, std::int64_t estimate) const;
  void ApplyCrossfade(float* dst, int frames);
  std::int64_t CurrentPosition() const;
  ReadResult ReadImpl(float* out, int frames, bool wait);

  // ---- Immutable after construction ----
  std::shared_ptr<Source> source_;
  Format format_;
  int ch_ = 2;
  int xfade_frames_ = 0;
  int ring_cap_ = 0;
  int search_max_ = 0;
  bool can_process_ = false;  // SoundTouch accepts the format

  // ---- Any thread, guarded by settings_mutex_ ----
  mutable std::mutex settings_mutex_;
  Settings wanted_;
  std::atomic<unsigned> settings_version_{0};

  // ---- Reader thread only (Read, Seek, PositionFrames; serialised by the channel) ----
  unsigned applied_version_ = 0;
  Settings applied_;     // settings the current (or, during a splice, the next) path uses
  Settings st_options_;  // options SoundTouch holds now
  std::unique_ptr<soundtouch::SoundTouch> st_;
  std::unique_ptr<Resampler> resampler_;
  Path path_ = Path::Bypass;

  std::vector<float> ring_;
  std::int64_t ring_end_ = 0;    // source frame after the newest frame held
  std::int64_t ring_count_ = 0;  // frames held
  std::int64_t raw_pos_ = 0;     // source frame of the next raw frame (replay while < ring_end_)
  bool source_ended_ = false;

  // Processing path bookkeeping, since its last restart.
  double speed_ = 1.0;      // source frames per output frame
  double transpose_ = 1.0;  // pitch × rate of the path (1: the output is time-stretched source)
  double resample_ratio_ = 1.0;  // fixed order: the resampler's ratio
  double out_pos_ = 0.0;         // source frame of the next output frame
  double expected_out_ = 0.0;    // output frames the input fed calls for
  std::int64_t got_out_ = 0;     // output frames taken
  double old_speed_ = 1.0;       // output made before the last speed change keeps its mapping
  double old_speed_frames_ = 0.0;
  bool flushing_ = false;
  std::int64_t tail_left_ = 0;
  std::int64_t zeros_fed_ = 0;
  std::int64_t zeros_cap_ = 0;
  std::vector<float> stage_;  // SoundTouch output waiting for the resampler
  int stage_count_ = 0;
  int stage_pos_ = 0;

  // Splices.
  bool collecting_ = false;  // taking the old path's output for a crossfade
  Path target_ = Path::Bypass;
  double collect_pos_ = 0.0;  // source frame of the first collected frame
  int collect_count_ = 0;
  std::vector<float> collect_;
  std::vector<float> xfade_;  // old output being faded out
  int xfade_len_ = 0;
  int xfade_pos_ = 0;
  bool fresh_ = true;   // nothing delivered since creation or the last seek
  bool ended_ = false;  // the end was reported
  bool failed_ = false;

  // Scratch.
  int pull_frames_ = kPullFrames;
  std::vector<float> pull_;
  std::vector<float> prime_out_;
  mutable std::vector<float> match_;   // old output, mono
  mutable std::vector<float> search_;  // raw history, mono
};

// ================================================================================================
// Construction, attributes (any thread)

TempoSource::TempoSource(std::shared_ptr<Source> source) : source_(std::move(source)) {
  format_ = source_->format();
  ch_ = format_.channels;
  const int rate = format_.rate;

  // SoundTouch takes 1..16 channels and rates up to 192 kHz; other formats only pass through.
  try {
    st_ = std::make_unique<soundtouch::SoundTouch>();
    st_->setSampleRate(static_cast<unsigned>(rate));
    st_->setChannels(static_cast<unsigned>(ch_));
    Settings d;
    d.aa_filter = st_->getSetting(SETTING_USE_AA_FILTER) != 0;
    d.aa_length = st_->getSetting(SETTING_AA_FILTER_LENGTH);
    d.quick_seek = st_->getSetting(SETTING_USE_QUICKSEEK) != 0;
    d.sequence_ms = st_->getSetting(SETTING_SEQUENCE_MS);
    d.seekwindow_ms = st_->getSetting(SETTING_SEEKWINDOW_MS);
    d.overlap_ms = st_->getSetting(SETTING_OVERLAP_MS);
    wanted_ = applied_ = st_options_ = d;
    can_process_ = true;
  } catch (...) {
    st_.reset();
    can_process_ = false;
  }

  // Buffers; a stream that can only pass through needs hardly any.
  xfade_frames_ = std::clamp(static_cast<int>(std::lround(kCrossfadeSeconds * rate)), 16, 8192);
  const std::int64_t ring_wanted = can_process_ ? std::llround(kRingSeconds * rate) : 0;
  ring_cap_ = static_cast<int>(std::clamp<std::int64_t>(
      ring_wanted, kPullFrames, std::max<std::int64_t>(kPullFrames, kMaxRingSamples / ch_)));
  search_max_ = std::max(256, static_cast<int>(kSearchMaxSeconds * rate));
  ring_.assign(static_cast<std::size_t>(ring_cap_) * ch_, 0.0f);
  if (can_process_) {
    collect_.assign(static_cast<std::size_t>(xfade_frames_) * ch_, 0.0f);
    xfade_.assign(collect_.size(), 0.0f);
    pull_.assign(static_cast<std::size_t>(kMaxPullFrames) * ch_, 0.0f);
    prime_out_.assign(static_cast<std::size_t>(kPullFrames) * ch_, 0.0f);
    stage_.assign(static_cast<std::size_t>(kStageFrames) * ch_, 0.0f);
    match_.assign(kMatchPoints, 0.0f);
    search_.assign(static_cast<std::size_t>(2 * search_max_ + xfade_frames_ + 1), 0.0f);
    resampler_ = std::make_unique<Resampler>(ch_);
  }
  raw_pos_ = ring_end_ = std::max<std::int64_t>(0, source_->PositionFrames());
}

bool TempoSource::SetAttribute(DWORD attrib, float value) {
  if (!std::isfinite(value)) return false;
  auto in = [value](float lo, float hi) { return value >= lo && value <= hi; };
  std::lock_guard<std::mutex> lock(settings_mutex_);
  Settings s = wanted_;
  switch (attrib) {
    case ATTRIB_TEMPO:
      if (!in(kTempoMin, kTempoMax)) return false;
      s.tempo = value;
      break;
    case ATTRIB_TEMPO_PITCH:
      if (!in(kPitchMin, kPitchMax)) return false;
      s.pitch = value;
      break;
    case ATTRIB_TEMPO_FREQ:
      if (value != 0.0f) {
        const double factor = value / format_.rate;
        if (factor < kFreqMinFactor || factor > kFreqMaxFactor) return false;
      }
      s.freq = value;
      break;
    case ATTRIB_TEMPO_OPTION_USE_AA_FILTER:
      s.aa_filter = value != 0.0f;
      break;
    case ATTRIB_TEMPO_OPTION_AA_FILTER_LENGTH:
      if (!in(kAaLengthMin, kAaLengthMax)) return false;
      s.aa_length = static_cast<int>(std::lround(value / 8.0f)) * 8;  // SoundTouch needs 8k taps
      break;
    case ATTRIB_TEMPO_OPTION_USE_QUICKALGO:
      s.quick_seek = value != 0.0f;
      break;
    case ATTRIB_TEMPO_OPTION_SEQUENCE_MS:
      if (!in(0.0f, kMsMax)) return false;
      s.sequence_ms = static_cast<int>(std::lround(value));
      break;
    case ATTRIB_TEMPO_OPTION_SEEKWINDOW_MS:
      if (!in(0.0f, kMsMax)) return false;
      s.seekwindow_ms = static_cast<int>(std::lround(value));
      break;
    case ATTRIB_TEMPO_OPTION_OVERLAP_MS:
      if (!in(0.0f, kMsMax)) return false;
      s.overlap_ms = static_cast<int>(std::lround(value));
      break;
    case ATTRIB_TEMPO_OPTION_PREVENT_CLICK:
      s.prevent_click = value != 0.0f;
      break;
    default:
      return false;
  }
  if (!can_process_ && !FactorsOf(s, format_.rate).Identity()) return false;
  wanted_ = s;
  settings_version_.fetch_add(1, std::memory_order_release);
  return true;
}

bool TempoSource::GetAttribute(DWORD attrib, float* value) const {
  if (!value) return false;
  std::lock_guard<std::mutex> lock(settings_mutex_);
  const Settings& s = wanted_;
  switch (attrib) {
    case ATTRIB_TEMPO:
      *value = s.tempo;
      return true;
    case ATTRIB_TEMPO_PITCH:
      *value = s.pitch;
      return true;
    case ATTRIB_TEMPO_FREQ:
      *value = s.freq > 0.0f ? s.freq : static_cast<float>(format_.rate);
      return true;
    case ATTRIB_TEMPO_OPTION_USE_AA_FILTER:
      *value = s.aa_filter ? 1.0f : 0.0f;
      return true;
    case ATTRIB_TEMPO_OPTION_AA_FILTER_LENGTH:
      *value = static_cast<float>(s.aa_length);
      return true;
    case ATTRIB_TEMPO_OPTION_USE_QUICKALGO:
      *value = s.quick_seek ? 1.0f : 0.0f;
      return true;
    case ATTRIB_TEMPO_OPTION_SEQUENCE_MS:
      *value = static_cast<float>(s.sequence_ms);
      return true;
    case ATTRIB_TEMPO_OPTION_SEEKWINDOW_MS:
      *value = static_cast<float>(s.seekwindow_ms);
      return true;
    case ATTRIB_TEMPO_OPTION_OVERLAP_MS:
      *value = static_cast<float>(s.overlap_ms);
      return true;
    case ATTRIB_TEMPO_OPTION_PREVENT_CLICK:
      *value = s.prevent_click ? 1.0f : 0.0f;
      return true;
    default:
      return false;
  }
}

// ================================================================================================
// Reader thread: raw history

void TempoSource::RingReset(std::int64_t frame) {
  ring_end_ = frame;
  ring_count_ = 0;
  raw_pos_ = frame;
}

void TempoSource::RingAppend(const float* src, int frames) {
  if (frames >= ring_cap_) {
    src += static_cast<std::size_t>(frames - ring_cap_) * ch_;
    ring_end_ += frames - ring_cap_;
    frames = ring_cap_;
  }
  const int at = static_cast<int>(ring_end_ % ring_cap_);
  const int first = std::min(frames, ring_cap_ - at);
  std::memcpy(ring_.data() + static_cast<std::size_t>(at) * ch_, src,
              static_cast<std::size_t>(first) * ch_ * sizeof(float));
  std::memcpy(ring_.data(), src + static_cast<std::size_t>(first) * ch_,
              static_cast<std::size_t>(frames - first) * ch_ * sizeof(float));
  ring_end_ += frames;
  ring_count_ = std::min<std::int64_t>(ring_cap_, ring_count_ + frames);
}

void TempoSource::RingCopy(std::int64_t frame, float* dst, int frames) const {
  const int at = static_cast<int>(frame % ring_cap_);
  const int first = std::min(frames, ring_cap_ - at);
  std::memcpy(dst, ring_.data() + static_cast<std::size_t>(at) * ch_,
              static_cast<std::size_t>(first) * ch_ * sizeof(float));
  std::memcpy(dst + static_cast<std::size_t>(first) * ch_, ring_.data(),
              static_cast<std::size_t>(frames - first) * ch_ * sizeof(float));
}

ReadResult TempoSource::NextRaw(float* dst, int frames, bool wait) {
  if (raw_pos_ < ring_end_) {
    const int n = static_cast<int>(std::min<std::int64_t>(frames, ring_end_ - raw_pos_));
    RingCopy(raw_pos_, dst, n);
    raw_pos_ += n;
    return {n, false};
  }
  if (source_ended_) return {0, true};
  ReadResult r = source_->Read(dst, frames, wait);
  r.frames = std::clamp(r.frames, 0, frames);
  if (r.frames > 0) {
    RingAppend(dst, r.frames);
    raw_pos_ += r.frames;
  }
  if (r.ended) source_ended_ = true;
  return {r.frames, r.ended && r.frames == 0};
}

// ================================================================================================
// Reader thread: producing output

int TempoSource::ProducePath(float* dst, int frames, bool wait, bool* ended, bool* stalled) {
  *ended = *stalled = false;
  if (path_ == Path::Bypass) return ProduceBypass(dst, frames, wait, ended, stalled);
  return ProducePipeline(dst, frames, wait, ended, stalled);
}

int TempoSource::ProduceBypass(float* dst, int frames, bool wait, bool* ended, bool* stalled) {
  int produced = 0;
  while (produced < frames) {
    const ReadResult r =
        NextRaw(dst + static_cast<std::size_t>(produced) * ch_, frames - produced, wait);
    produced += r.frames;
    if (r.frames == 0) {
      *stalled = !r.ended;
      break;
    }
  }
  *ended = source_ended_ && raw_pos_ >= ring_end_;
  return produced;
}

int TempoSource::ProducePipeline(float* dst, int frames, bool wait, bool* ended, bool* stalled) {
  int produced = 0;
  while (produced < frames) {
    produced += PullOutput(dst + static_cast<std::size_t>(produced) * ch_, frames - produced);
    if (flushing_ && (tail_left_ == 0 || zeros_fed_ >= zeros_cap_)) {
      // The tail is out (or SoundTouch gave what it could): the stream has ended.
      st_->clear();
      out_pos_ = static_cast<double>(raw_pos_);
      *ended = true;
      break;
    }
    if (produced == frames) break;
    if (flushing_) {
      st_->putSamples(pull_.data(), static_cast<unsigned>(pull_frames_));  // silence
      zeros_fed_ += pull_frames_;
      continue;
    }
    const ReadResult r = NextRaw(pull_.data(), pull_frames_, wait);
    if (r.frames > 0) {
      Feed(pull_.data(), r.frames);
    } else if (r.ended) {
      StartFlush();
    } else {
      *stalled = true;
      break;
    }
  }
  return produced;
}

void TempoSource::Feed(const float* src, int frames) {
  st_->putSamples(src, static_cast<unsigned>(frames));
  expected_out_ += frames / speed_;
}

void TempoSource::StartFlush() {
  flushing_ = true;
  std::fill(pull_.begin(), pull_.end(), 0.0f);
  tail_left_ = std::max<std::int64_t>(0, std::llround(expected_out_) - got_out_);
  zeros_fed_ = 0;
  // Silence enough to push a whole processing sequence (and the resampler's look-ahead) out.
  const double stretch = path_ == Path::FixedOrder ? speed_ / resample_ratio_ : 1.0;
  zeros_cap_ = 2 * (static_cast<std::int64_t>(st_->getSetting(SETTING_INITIAL_LATENCY)) +
                    st_->getSetting(SETTING_NOMINAL_INPUT_SEQUENCE)) +
               static_cast<std::int64_t>(2048 * std::max(1.0, stretch)) + 8 * pull_frames_;
}

int TempoSource::PullOutput(float* dst, int frames) {
  if (flushing_) frames = static_cast<int>(std::min<std::int64_t>(frames, tail_left_));
  if (frames <= 0) return 0;
  int k = 0;
  if (path_ == Path::SoundTouch) {
    k = static_cast<int>(st_->receiveSamples(dst, static_cast<unsigned>(frames)));
  } else {
    k = PullFixedOrder(dst, frames);
  }
  if (k == 0) return 0;
  const double old = std::min<double>(k, old_speed_frames_);
  old_speed_frames_ -= old;
  out_pos_ += old * old_speed_ + (k - old) * speed_;
  out_pos_ = std::min(out_pos_, static_cast<double>(raw_pos_));
  got_out_ += k;
  if (flushing_) tail_left_ -= k;
  return k;
}

int TempoSource::PullFixedOrder(float* dst, int frames) {
  int produced = 0;
  while (produced < frames) {
    if (stage_pos_ == stage_count_) {
      stage_count_ = static_cast<int>(st_->receiveSamples(stage_.data(), kStageFrames));
      stage_pos_ = 0;
      if (stage_count_ == 0) break;
    }
    int used = 0;
    const int got = resampler_->Process(
        stage_.data() + static_cast<std::size_t>(stage_pos_) * ch_, stage_count_ - stage_pos_,
        &used, dst + static_cast<std::size_t>(produced) * ch_, frames - produced, resample_ratio_);
    stage_pos_ += used;
    produced += got;
    if (got == 0 && used == 0) break;
  }
  return produced;
}

void TempoSource::ApplyCrossfade(float* dst, int frames) {
  for (int i = 0; i < frames && xfade_pos_ < xfade_len_; ++i, ++xfade_pos_) {
    // Raised cosine, the weights summing to 1: the two sides start from the same source frame
    // and are alike (equal power would bulge by up to 3 dB where they are in phase).
    const float in = static_cast<float>(
        0.5 - 0.5 * std::cos(M_PI * (xfade_pos_ + 0.5) / static_cast<double>(xfade_len_)));
    float* y = dst + static_cast<std::size_t>(i) * ch_;
    const float* old = xfade_.data() + static_cast<std::size_t>(xfade_pos_) * ch_;
    for (int c = 0; c < ch_; ++c) y[c] = old[c] * (1.0f - in) + y[c] * in;
  }
}

// ================================================================================================
// Reader thread: settings, paths and splices

void TempoSource::ApplyOptionsToSoundTouch(const Settings& s) {
  if (s.aa_filter != st_options_.aa_filter) st_->setSetting(SETTING_USE_AA_FILTER, s.aa_filter);
  if (s.aa_length != st_options_.aa_length) st_->setSetting(SETTING_AA_FILTER_LENGTH, s.aa_length);
  if (s.quick_seek != st_options_.quick_seek) st_->setSetting(SETTING_USE_QUICKSEEK, s.quick_seek);
  // 0 hands the choice of sequence and seek window to SoundTouch (it follows the tempo).
  if (s.sequence_ms != st_options_.sequence_ms) st_->setSetting(SETTING_SEQUENCE_MS, s.sequence_ms);
  if (s.seekwindow_ms != st_options_.seekwindow_ms) {
    st_->setSetting(SETTING_SEEKWINDOW_MS, s.seekwindow_ms);
  }
  // SoundTouch ignores an overlap of 0; 1 ms gives its shortest overlap.
  if (s.overlap_ms != st_options_.overlap_ms) {
    st_->setSetting(SETTING_OVERLAP_MS, std::max(1, s.overlap_ms));
  }
  st_options_ = s;
}

// Sets up a freshly cleared pipeline for the factors.
void TempoSource::ConfigureRates(const Factors& f) {
  speed_ = f.Speed();
  transpose_ = f.Transpose();
  if (path_ == Path::SoundTouch) {
    st_->setTempo(f.tempo);
    st_->setPitch(f.pitch);
    st_->setRate(f.rate);
  } else {
    st_->setTempo(f.Speed() / f.Transpose());
    st_->setPitch(1.0);
    st_->setRate(1.0);
    resample_ratio_ = f.Transpose();
  }
  UpdatePullSize();
}

// Changes the factors of a running pipeline.
void TempoSource::ApplyRatesLive(const Factors& f) {
  if (f.Speed() != speed_) {
    // What is already made keeps the mapping it was made with.
    const double staged =
        path_ == Path::FixedOrder
            ? (stage_count_ - stage_pos_ + st_->numSamples() + resampler_->LatencyFrames()) /
                  f.Transpose()
            : st_->numSamples();
    old_speed_ = speed_;
    old_speed_frames_ = staged;
    speed_ = f.Speed();
  }
  if (path_ == Path::FixedOrder) {
    st_->setTempo(f.Speed() / f.Transpose());
    resample_ratio_ = f.Transpose();
    transpose_ = f.Transpose();
    UpdatePullSize();
    return;
  }
  // SoundTouch reorders its stages whenever its effective rate (pitch × rate) changes side of
  // 1.0; set pitch and rate in the order whose intermediate stays on the new side.
  const double old_rate = FactorsOf(applied_, format_.rate).rate;
  auto side = [](double x) { return x > 1.0; };
  st_->setTempo(f.tempo);
  if (side(f.pitch * old_rate) == side(f.Transpose())) {
    st_->setPitch(f.pitch);
    st_->setRate(f.rate);
  } else {
    st_->setRate(f.rate);
    st_->setPitch(f.pitch);
  }
  transpose_ = f.Transpose();
  UpdatePullSize();
}

void TempoSource::UpdatePullSize() {
  pull_frames_ =
      std::clamp(st_->getSetting(SETTING_NOMINAL_INPUT_SEQUENCE), kPullFrames, kMaxPullFrames);
}

void TempoSource::MaybeApplySettings() {
  if (settings_version_.load(std::memory_order_acquire) == applied_version_) return;
  Settings s;
  {
    std::lock_guard<std::mutex> lock(settings_mutex_);
    s = wanted_;
    applied_version_ = settings_version_.load(std::memory_order_relaxed);
  }
  const Factors f = FactorsOf(s, format_.rate);
  const Path want = (f.Identity() || !can_process_)
                        ? Path::Bypass
                        : (s.prevent_click ? Path::FixedOrder : Path::SoundTouch);
  const bool options_changed = !SameOptions(s, applied_, path_ == Path::SoundTouch);
  if (want == path_ && (!options_changed || path_ == Path::Bypass)) {
    if (path_ != Path::Bypass) ApplyRatesLive(f);
    applied_ = s;
    return;
  }
  // A new path (or new options for SoundTouch while it runs): restart it, with a crossfade
  // unless nothing has been heard yet.
  applied_ = s;
  if (fresh_) {
    Restart(want, CurrentPosition());
    return;
  }
  collect_pos_ = static_cast<double>(CurrentPosition());
  collect_count_ = 0;
  target_ = want;
  collecting_ = true;
}

// Starts `target` at source frame `frame`, which lies in the ring (or is the next raw frame).
void TempoSource::Restart(Path target, std::int64_t frame) {
  frame = std::clamp(frame, RingStart(), ring_end_);
  raw_pos_ = frame;
  path_ = target;
  flushing_ = false;
  stage_count_ = stage_pos_ = 0;
  out_pos_ = static_cast<double>(frame);
  expected_out_ = 0.0;
  got_out_ = 0;
  old_speed_frames_ = 0.0;
  if (!st_) return;
  st_->clear();
  resampler_->Reset();
  if (target == Path::Bypass) return;
  ApplyOptionsToSoundTouch(applied_);
  ConfigureRates(FactorsOf(applied_, format_.rate));
  if (target == Path::FixedOrder) {
    // The resampler's history is the raw sound just before the restart point: SoundTouch starts
    // with a verbatim copy of its input, so the transposed output continues seamlessly.
    const int prime = static_cast<int>(std::min<std::int64_t>(kPullFrames, frame - RingStart()));
    if (prime > 0) {
      RingCopy(frame - prime, pull_.data(), prime);
      int used = 0;
      resampler_->Process(pull_.data(), prime, &used, prime_out_.data(), prime, 1.0);
    }
  }
}

void TempoSource::FinishSplice() {
  collecting_ = false;
  std::int64_t frame = std::llround(collect_pos_);
  if (path_ != Path::Bypass && transpose_ == 1.0) {
    frame = FindSplicePoint(collect_.data(), collect_count_, frame);
  }
  Restart(target_, frame);
  std::swap(collect_, xfade_);
  xfade_len_ = collect_count_;
  xfade_pos_ = 0;
}

// The source frame where the raw history best matches `old_output` (output of a tempo-only
// path, which copies its input at speed 1 within each sequence), near `estimate`. Compares the
// channels' sum at kMatchPoints points, first on a grid of `step` frames, then frame by frame
// around the best grid point.
std::int64_t TempoSource::FindSplicePoint(const float* old_output, int frames,
                                          std::int64_t estimate) const {
  const int step = std::max(1, static_cast<int>(std::lround(format_.rate / 44100.0)));
  const int points = std::min(frames / step, kMatchPoints);
  if (points < 16) return estimate;
  const int span = (points - 1) * step + 1;  // frames one comparison covers
  const double reach = kSearchBaseSeconds + kSearchPerTempoSeconds * std::max(speed_, 1.0 / speed_);
  const int window = std::min(search_max_, static_cast<int>(reach * format_.rate));
  const std::int64_t lo = std::max(RingStart(), estimate - window);
  // The old output cannot stand for raw frames it was never fed.
  const std::int64_t hi = std::min(raw_pos_ - span, estimate + window);
  if (hi < lo) return estimate;

  double energy_a = 0.0;
  for (int j = 0; j < points; ++j) {
    const float* f = old_output + static_cast<std::size_t>(j) * step * ch_;
    float sum = 0.0f;
    for (int c = 0; c < ch_; ++c) sum += f[c];
    match_[j] = sum;
    energy_a += double(sum) * sum;
  }
  if (energy_a < 1e-12) return estimate;  // silence matches anywhere

  const int raw_frames = static_cast<int>(hi - lo) + span;
  for (int k = 0; k < raw_frames; ++k) {
    const float* f = ring_.data() + static_cast<std::size_t>((lo + k) % ring_cap_) * ch_;
    float sum = 0.0f;
    for (int c = 0; c < ch_; ++c) sum += f[c];
    search_[k] = sum;
  }
  auto score = [&](std::int64_t lag) {
    const float* b = search_.data() + (lag - lo);
    double dot = 0.0, energy_b = 0.0;
    for (int j = 0; j < points; ++j) {
      const double x = b[static_cast<std::size_t>(j) * step];
      dot += match_[j] * x;
      energy_b += x * x;
    }
    const double corr = energy_b > 1e-12 ? dot / std::sqrt(energy_a * energy_b) : 0.0;
    // Among equal matches (periodic sound) the one nearest the estimate wins.
    const double d = static_cast<double>(lag - estimate) / window;
    return corr * (1.0 - 0.05 * d * d);
  };
  std::int64_t best = lo;
  double best_score = -2.0;
  for (std::int64_t lag = lo; lag <= hi; lag += step) {
    const double sc = score(lag);
    if (sc > best_score) best_score = sc, best = lag;
  }
  const std::int64_t coarse = best;
  for (std::int64_t lag = std::max(lo, coarse - step + 1); lag <= std::min(hi, coarse + step - 1);
       ++lag) {
    const double sc = score(lag);
    if (sc > best_score) best_score = sc, best = lag;
  }
  return best;
}

std::int64_t TempoSource::CurrentPosition() const {
  if (collecting_) return std::llround(collect_pos_);
  if (path_ == Path::Bypass || ended_) return raw_pos_;
  return std::llround(std::min(out_pos_, static_cast<double>(raw_pos_)));
}

// ================================================================================================
// Reader thread: Source interface

std::int64_t TempoSource::PositionFrames() const { return CurrentPosition(); }

ReadResult TempoSource::ReadImpl(float* out, int frames, bool wait) {
  int produced = 0;
  bool ended = false;
  while (produced < frames) {
    if (!collecting_ && xfade_pos_ >= xfade_len_) MaybeApplySettings();
    bool path_ended = false, stalled = false;
    if (collecting_) {
      float* dst = collect_.data() + static_cast<std::size_t>(collect_count_) * ch_;
      collect_count_ +=
          ProducePath(dst, xfade_frames_ - collect_count_, wait, &path_ended, &stalled);
      if (collect_count_ == xfade_frames_ || path_ended) {
        FinishSplice();
      } else if (stalled) {
        break;
      }
      continue;
    }
    float* dst = out + static_cast<std::size_t>(produced) * ch_;
    const int k = ProducePath(dst, frames - produced, wait, &path_ended, &stalled);
    if (k > 0) {
      ApplyCrossfade(dst, k);
      produced += k;
      fresh_ = false;
    }
    if (path_ended) {
      ended = true;
      ended_ = true;
      xfade_len_ = xfade_pos_ = 0;
      break;
    }
    if (stalled) break;
  }
  return {produced, ended};
}

ReadResult TempoSource::Read(float* out, int frames, bool wait) {
  if (ended_ || failed_) return {0, true};
  if (!out || frames <= 0) return {0, false};
  try {
    return ReadImpl(out, frames, wait);
  } catch (...) {
    // SoundTouch failed (out of memory): end the stream rather than play garbage.
    failed_ = true;
    return {0, true};
  }
}

bool TempoSource::Seek(std::int64_t frame, int* error) {
  int err = ERROR_POSITION;
  if (!source_->Seek(frame, &err)) {
    if (error) *error = err;
    return false;
  }
  try {
    const std::int64_t at = source_->PositionFrames();
    RingReset(at >= 0 ? at : frame);
    source_ended_ = false;
    ended_ = failed_ = false;
    collecting_ = false;
    xfade_len_ = xfade_pos_ = 0;
    fresh_ = true;
    MaybeApplySettings();
    Restart(path_, raw_pos_);
  } catch (...) {
    failed_ = true;
    if (error) *error = ERROR_MEM;
    return false;
  }
  return true;
}

}  // namespace

std::unique_ptr<Source> MakeTempoSource(std::shared_ptr<Source> source) {
  if (!source) return nullptr;
  const Format f = source->format();
  if (f.channels <= 0 || f.rate <= 0) return nullptr;
  try {
    return std::make_unique<TempoSource>(std::move(source));
  } catch (...) {
    return nullptr;
  }
}

}  // namespace audio::detail
