// Tests of the tempo stream (SoundTouch): bit-exact identity, tempo/pitch/rate factors on a
// measured sine, positions, seeks, the end, stalls, seamless path changes and the attributes.
#include "tempo_source.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "media.h"

// ---- Allocation counter: proves that steady-state Reads allocate nothing ------------------------
namespace {
std::atomic<bool> g_count_allocations{false};
std::atomic<long> g_allocations{0};
}  // namespace

// Replacing the global operators pairs malloc with free on purpose; GCC cannot see that once it
// inlines them into callers.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t n) {
  if (g_count_allocations.load(std::memory_order_relaxed)) g_allocations.fetch_add(1);
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { ::operator delete(p); }
void* operator new[](std::size_t n) {
  if (g_count_allocations.load(std::memory_order_relaxed)) g_allocations.fetch_add(1);
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { ::operator delete[](p); }

namespace {

using audio::detail::Format;
using audio::detail::MakeTempoSource;
using audio::detail::ReadResult;
using audio::detail::Source;

constexpr int kRate = 44100;

// A generated sine (optionally with a rising amplitude, which tells where in the source a
// stretch of output comes from), seekable, with a length. Reads deliver at most `block` frames;
// each position listed in `stalls` makes the first Read at or after it return nothing, not ended
// (a network stall).
class SineSource : public Source {
 public:
  SineSource(double freq, double seconds, int channels = 2, bool ramp = false, int rate = kRate)
      : freq_(freq),
        length_(static_cast<std::int64_t>(seconds * rate)),
        channels_(channels),
        rate_(rate),
        ramp_(ramp) {}

  // Sample of channel c at source frame n.
  float At(std::int64_t n, int c) const {
    const double amp = ramp_ ? Amplitude(n) : 0.5;
    return static_cast<float>(amp * std::sin(2.0 * M_PI * freq_ * n / rate_ + 0.3 * c));
  }
  double Amplitude(double n) const { return 0.1 + 0.8 * n / length_; }
  double FrameOfAmplitude(double a) const { return (a - 0.1) / 0.8 * length_; }

  Format format() const override { return {rate_, channels_}; }
  ReadResult Read(float* out, int frames, bool) override {
    if (!stalls_.empty() && pos_ >= *stalls_.begin()) {
      stalls_.erase(stalls_.begin());
      ++stalled_;
      return {0, false};
    }
    const int n = static_cast<int>(std::min<std::int64_t>({frames, block_, length_ - pos_}));
    for (int i = 0; i < n; ++i)
      for (int c = 0; c < channels_; ++c) out[i * channels_ + c] = At(pos_ + i, c);
    pos_ += n;
    return {n, pos_ >= length_};
  }
  std::int64_t LengthFrames() const override { return length_; }
  std::int64_t PositionFrames() const override { return pos_; }
  bool Seek(std::int64_t frame, int* error) override {
    if (frame < 0 || frame > length_) {
      if (error) *error = audio::ERROR_POSITION;
      return false;
    }
    pos_ = frame;
    return true;
  }
  std::vector<char> Tags(audio::DWORD kind) const override {
    if (kind != audio::TAG_OGG) return {};
    const char text[] = "TITLE=sine\0";
    return std::vector<char>(text, text + sizeof(text));
  }
  float Bitrate() const override { return 1411.0f; }

  std::set<std::int64_t> stalls_;
  int block_ = 4096;
  int stalled_ = 0;

 private:
  double freq_;
  std::int64_t length_;
  int channels_;
  int rate_;
  bool ramp_;
  std::int64_t pos_ = 0;
};

struct Output {
  std::vector<float> out;  // interleaved
  bool ended = false;
  int calls = 0;
};

// Reads until the end (or `max_frames`), in blocks of `block` frames.
Output ReadAll(Source& s, int block = 2000, std::int64_t max_frames = INT64_MAX) {
  Output r;
  const int ch = s.format().channels;
  std::vector<float> buf(static_cast<std::size_t>(block) * ch);
  int empty = 0;
  while (static_cast<std::int64_t>(r.out.size() / ch) < max_frames && empty < 100) {
    const int want = static_cast<int>(
        std::min<std::int64_t>(block, max_frames - static_cast<std::int64_t>(r.out.size() / ch)));
    const ReadResult res = s.Read(buf.data(), want, false);
    ++r.calls;
    r.out.insert(r.out.end(), buf.begin(), buf.begin() + static_cast<std::size_t>(res.frames) * ch);
    empty = res.frames == 0 ? empty + 1 : 0;
    if (res.ended) {
      r.ended = true;
      break;
    }
  }
  return r;
}

std::unique_ptr<Source> Tempo(std::shared_ptr<SineSource> src) { return MakeTempoSource(src); }

void Set(Source& s, audio::DWORD attrib, float value) {
  ASSERT_TRUE(s.SetAttribute(attrib, value)) << std::hex << attrib << " = " << value;
}

// Local amplitude of channel 0 around output frame `center` (a window of 10 ms).
double LocalAmplitude(const std::vector<float>& v, int ch, std::size_t center) {
  const std::size_t half = 220;
  double sum = 0;
  std::size_t n = 0;
  for (std::size_t i = center - half; i < center + half; ++i, ++n) sum += v[i * ch] * v[i * ch];
  return std::sqrt(2.0 * sum / n);
}

// Largest |second difference| of channel 0 over [begin, end): a click is a spike above the
// sine's own A·(2πf/fs)².
double MaxSecondDifference(const std::vector<float>& v, int ch, std::size_t begin,
                           std::size_t end) {
  double m = 0;
  for (std::size_t i = begin + 1; i + 1 < end; ++i)
    m = std::max(m, std::fabs(double(v[(i + 1) * ch]) - 2.0 * v[i * ch] + v[(i - 1) * ch]));
  return m;
}
double NaturalSecondDifference(double amp, double freq) {
  return amp * std::pow(2.0 * M_PI * freq / kRate, 2.0);
}

// ---- Identity -------------------------------------------------------------------------------

// Tempo 0, pitch 0, the source's rate: the source comes through bit-exactly, frame for frame,
// with no latency, in any read sizes, and ends exactly where the source ends.
TEST(TempoSource, IdentityIsBitExactPassThrough) {
  auto src = std::make_shared<SineSource>(1000.0, 1.0);
  src->block_ = 777;
  auto tempo = Tempo(src);
  ASSERT_TRUE(tempo);
  EXPECT_EQ(tempo->format().rate, kRate);
  EXPECT_EQ(tempo->format().channels, 2);
  EXPECT_EQ(tempo->LengthFrames(), kRate);

  std::vector<float> buf(2 * 1500);
  std::int64_t pos = 0;
  for (int call = 0;; ++call) {
    EXPECT_EQ(tempo->PositionFrames(), pos);
    const int want = 1 + (call * 389) % 1500;
    const ReadResult r = tempo->Read(buf.data(), want, false);
    for (int i = 0; i < r.frames; ++i)
      for (int c = 0; c < 2; ++c) ASSERT_EQ(buf[i * 2 + c], src->At(pos + i, c)) << pos + i;
    pos += r.frames;
    if (r.ended) break;
    ASSERT_GT(r.frames, 0);
  }
  EXPECT_EQ(pos, kRate);
  EXPECT_EQ(tempo->PositionFrames(), kRate);
  EXPECT_TRUE(tempo->Read(buf.data(), 100, false).ended);
}

// Settings that cancel out (twice the tempo, an octave up, read at half the rate) are identity
// too: the output is the source, untouched.
TEST(TempoSource, SettingsThatCancelOutPassThrough) {
  auto src = std::make_shared<SineSource>(1000.0, 0.5);
  auto tempo = Tempo(src);
  Set(*tempo, audio::ATTRIB_TEMPO, 100);
  Set(*tempo, audio::ATTRIB_TEMPO_PITCH, 12);
  Set(*tempo, audio::ATTRIB_TEMPO_FREQ, kRate / 2);
  const Output r = ReadAll(*tempo);
  ASSERT_EQ(r.out.size(), 2u * kRate / 2);
  for (std::size_t i = 0; i < r.out.size() / 2; ++i) ASSERT_EQ(r.out[2 * i], src->At(i, 0));
}

// ---- Tempo, pitch and rate --------------------------------------------------------------------

struct FactorCase {
  const char* name;
  float tempo, pitch, freq_factor;
  double duration, frequency;  // expected factors
};

void PrintTo(const FactorCase& c, std::ostream* os) { *os << c.name; }

class TempoFactors
    : public ::testing::TestWithParam<std::tuple<FactorCase, bool /*prevent_click*/>> {};

// The output's length and the sine's measured frequency follow the settings: tempo changes the
// length only, pitch the frequency only, the rate both.
TEST_P(TempoFactors, DurationAndFrequencyFollowTheSettings) {
  const FactorCase c = std::get<0>(GetParam());
  const bool fixed_order = std::get<1>(GetParam());
  auto src = std::make_shared<SineSource>(1000.0, 2.0, 2);
  auto tempo = Tempo(src);
  Set(*tempo, audio::ATTRIB_TEMPO_OPTION_PREVENT_CLICK, fixed_order ? 1 : 0);
  Set(*tempo, audio::ATTRIB_TEMPO, c.tempo);
  Set(*tempo, audio::ATTRIB_TEMPO_PITCH, c.pitch);
  Set(*tempo, audio::ATTRIB_TEMPO_FREQ, kRate * c.freq_factor);
  const Output r = ReadAll(*tempo, 3000);
  ASSERT_TRUE(r.ended);
  const double frames = r.out.size() / 2.0;
  const double duration = frames / (2.0 * kRate);
  const double freq = testsupport::MeasureFrequency(
      r.out.data() + 2000 * 2, static_cast<std::size_t>(frames) - 4000, 2, kRate);
  std::printf("[ figures  ] %s%s: duration x%.4f, frequency %.2f Hz\n", c.name,
              fixed_order ? " (fixed order)" : "", duration, freq);
  EXPECT_NEAR(duration, c.duration, c.duration * 0.01);
  EXPECT_NEAR(freq, 1000.0 * c.frequency, 1000.0 * c.frequency * 0.01);
  EXPECT_EQ(tempo->PositionFrames(), 2 * kRate);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, TempoFactors,
    ::testing::Combine(::testing::Values(FactorCase{"tempo +100%", 100, 0, 1, 0.5, 1},
                                         FactorCase{"tempo -50%", -50, 0, 1, 2, 1},
                                         FactorCase{"pitch +12", 0, 12, 1, 1, 2},
                                         FactorCase{"pitch -7", 0, -7, 1, 1, 0.6674},
                                         FactorCase{"rate x2", 0, 0, 2, 0.5, 2},
                                         FactorCase{"tempo +25% pitch +3 rate x0.8", 25, 3, 0.8,
                                                    1.0, 0.9514}),
                       ::testing::Bool()),
    [](const auto& info) {
      std::string n = std::get<0>(info.param).name;
      for (char& ch : n)
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return n + (std::get<1>(info.param) ? "_fixed_order" : "_soundtouch");
    });

// A mono source works the same way.
TEST(TempoSource, MonoSource) {
  auto src = std::make_shared<SineSource>(1000.0, 1.0, 1);
  auto tempo = Tempo(src);
  Set(*tempo, audio::ATTRIB_TEMPO, 100);
  const Output r = ReadAll(*tempo);
  EXPECT_NEAR(r.out.size(), kRate / 2.0, kRate / 2.0 * 0.01);
  EXPECT_NEAR(testsupport::MeasureFrequency(r.out.data() + 1000, r.out.size() - 2000, 1, kRate),
              1000.0, 10.0);
}

// ---- Positions, seeks, the end, stalls ----------------------------------------------------------

// After N output frames at tempo +100 % the position is about 2N, and the sound the next Read
// delivers does come from there (read back from the rising amplitude).
TEST(TempoSource, PositionTracksTheSource) {
  for (bool fixed_order : {false, true}) {
    auto src = std::make_shared<SineSource>(1000.0, 3.0, 2, /*ramp=*/true);
    auto tempo = Tempo(src);
    Set(*tempo, audio::ATTRIB_TEMPO_OPTION_PREVENT_CLICK, fixed_order);
    Set(*tempo, audio::ATTRIB_TEMPO, 100);
    const std::int64_t n = kRate / 2;
    const Output first = ReadAll(*tempo, 1000, n);
    ASSERT_EQ(first.out.size(), 2u * n);
    const std::int64_t pos = tempo->PositionFrames();
    const Output next = ReadAll(*tempo, 1000, 2000);
    std::vector<float> both = first.out;
    both.insert(both.end(), next.out.begin(), next.out.end());
    const double heard = src->FrameOfAmplitude(LocalAmplitude(both, 2, n));
    std::printf("[ figures  ] %s: after %lld frames at 2x: position %lld, heard %.0f\n",
                fixed_order ? "fixed order" : "soundtouch", static_cast<long long>(n),
                static_cast<long long>(pos), heard);
    // Within SoundTouch's latency (about 90 ms at this tempo)...
    EXPECT_NEAR(pos, 2 * n, 0.09 * kRate);
    // ...and within a sequence (40 ms at this tempo) of the sound actually delivered.
    EXPECT_NEAR(pos, heard, 0.04 * kRate);
  }
}

// A seek restarts from the new place: bit-exact in bypass, the right sound when processing.
TEST(TempoSource, SeekThenReadGivesTheNewPlace) {
  auto src = std::make_shared<SineSource>(1000.0, 3.0, 2, /*ramp=*/true);
  auto tempo = Tempo(src);
  ReadAll(*tempo, 1000, 5000);
  int error = 0;
  ASSERT_TRUE(tempo->Seek(2 * kRate, &error));
  EXPECT_EQ(tempo->PositionFrames(), 2 * kRate);
  std::vector<float> buf(2 * 100);
  ASSERT_EQ(tempo->Read(buf.data(), 100, false).frames, 100);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(buf[2 * i], src->At(2 * kRate + i, 0));

  for (bool fixed_order : {false, true}) {
    Set(*tempo, audio::ATTRIB_TEMPO_OPTION_PREVENT_CLICK, fixed_order);
    Set(*tempo, audio::ATTRIB_TEMPO, 50);
    Set(*tempo, audio::ATTRIB_TEMPO_PITCH, 2);
    ReadAll(*tempo, 1000, 10000);
    const std::int64_t target = kRate / 2 + 123;
    ASSERT_TRUE(tempo->Seek(target, &error));
    EXPECT_EQ(tempo->PositionFrames(), target);
    const Output r = ReadAll(*tempo, 1000, 4000);
    const double heard = src->FrameOfAmplitude(LocalAmplitude(r.out, 2, 1000));
    // 1000 output frames in at 1.5x: 1500 source frames on, give or take a sequence.
    EXPECT_NEAR(heard, target + 1500, 0.03 * kRate);
    Set(*tempo, audio::ATTRIB_TEMPO, 0);
    Set(*tempo, audio::ATTRIB_TEMPO_PITCH, 0);
  }
  EXPECT_FALSE(tempo->Seek(10 * kRate, &error));
  EXPECT_EQ(error, audio::ERROR_POSITION);
}

// At the end of the source the tail still inside SoundTouch is delivered, then the end is
// reported (and stays reported); the position is the source's end.
TEST(TempoSource, EndDeliversTheTailThenEnds) {
  for (bool fixed_order : {false, true}) {
    auto src = std::make_shared<SineSource>(1000.0, 1.0);
    auto tempo = Tempo(src);
    Set(*tempo, audio::ATTRIB_TEMPO_OPTION_PREVENT_CLICK, fixed_order);
    Set(*tempo, audio::ATTRIB_TEMPO, 100);
    Set(*tempo, audio::ATTRIB_TEMPO_PITCH, 1);
    const Output r = ReadAll(*tempo, 1024);
    ASSERT_TRUE(r.ended);
    const std::size_t frames = r.out.size() / 2;
    EXPECT_NEAR(frames, kRate / 2.0, 2.0);  // exactly what the input calls for
    // The last 20 ms before the final fade of SoundTouch's overlap still carry the sine.
    const double tail = testsupport::Rms(r.out.data() + (frames - 1400) * 2, 2 * 882);
    EXPECT_GT(tail, 0.3);
    EXPECT_EQ(tempo->PositionFrames(), kRate);
    std::vector<float> buf(2 * 64);
    const ReadResult again = tempo->Read(buf.data(), 64, false);
    EXPECT_TRUE(again.ended);
    EXPECT_EQ(again.frames, 0);
  }
}

// A source that has no data yet (0 frames, not ended) makes Read return what is ready, not
// ended; reading on later gives exactly the audio an unstalled run gives.
TEST(TempoSource, StallsArePassedThrough) {
  for (float t : {0.0f, 40.0f}) {
    auto plain_src = std::make_shared<SineSource>(1000.0, 1.0);
    auto plain = Tempo(plain_src);
    Set(*plain, audio::ATTRIB_TEMPO, t);
    const Output expected = ReadAll(*plain, 1024);

    auto src = std::make_shared<SineSource>(1000.0, 1.0);
    src->stalls_ = {0, 4096, 8192 * 2, 8192 * 4};
    auto tempo = Tempo(src);
    Set(*tempo, audio::ATTRIB_TEMPO, t);
    std::vector<float> buf(2 * 1024);
    const ReadResult first = tempo->Read(buf.data(), 1024, false);
    EXPECT_EQ(first.frames, 0);
    EXPECT_FALSE(first.ended);
    const Output rest = ReadAll(*tempo, 1024);
    EXPECT_TRUE(rest.ended);
    EXPECT_EQ(src->stalled_, 4);
    EXPECT_EQ(rest.out, expected.out) << "tempo " << t;
  }
}

// ---- Path changes -------------------------------------------------------------------------------

struct Transition {
  const char* name;
  float tempo, pitch;
  bool fixed_order;
};

void PrintTo(const Transition& t, std::ostream* os) { *os << t.name; }

class TempoTransitions : public ::testing::TestWithParam<Transition> {};

// Identity -> processing -> identity in mid-stream: no click, nothing dropped or repeated
// beyond the splice, and back at identity the output is the source again, bit-exact.
TEST_P(TempoTransitions, IdentityAndProcessingJoinSeamlessly) {
  const Transition t = GetParam();
  auto src = std::make_shared<SineSource>(1000.0, 3.0, 2);
  auto tempo = Tempo(src);
  Set(*tempo, audio::ATTRIB_TEMPO_OPTION_PREVENT_CLICK, t.fixed_order);
  std::vector<float> out;
  auto read = [&](std::int64_t frames) {
    const Output r = ReadAll(*tempo, 512, frames);
    out.insert(out.end(), r.out.begin(), r.out.end());
    return r.ended;
  };
  read(kRate / 2);  // 0.5 s untouched
  Set(*tempo, audio::ATTRIB_TEMPO, t.tempo);
  Set(*tempo, audio::ATTRIB_TEMPO_PITCH, t.pitch);
  read(kRate);  // 1 s processed
  const std::int64_t processed_to = tempo->PositionFrames();
  Set(*tempo, audio::ATTRIB_TEMPO, 0);
  Set(*tempo, audio::ATTRIB_TEMPO_PITCH, 0);
  ASSERT_TRUE(read(10 * kRate));
  const std::size_t frames = out.size() / 2;

  // Duration: 0.5 s + 1 s + what was left after the processed part, give or take the splices.
  const double expected = kRate / 2.0 + kRate + (3.0 * kRate - processed_to);
  std::printf("[ figures  ] %s: %zu frames, expected %.0f\n", t.name, frames, expected);
  EXPECT_NEAR(frames, expected, 0.02 * kRate);

  // No click anywhere: the second difference stays at the (highest) sine's own.
  const double pitch_factor = std::exp2(std::max(0.0f, t.pitch) / 12.0);
  const double natural = NaturalSecondDifference(0.5, 1000.0 * pitch_factor);
  EXPECT_LT(MaxSecondDifference(out, 2, 1, frames), natural * 1.15);

  // Back at identity: the last half second is the source's last half second.
  for (std::size_t i = frames - kRate / 2; i < frames; ++i) {
    const std::int64_t n = 3 * kRate - static_cast<std::int64_t>(frames - i);
    ASSERT_EQ(out[2 * i], src->At(n, 0)) << i;
    ASSERT_EQ(out[2 * i + 1], src->At(n, 1)) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, TempoTransitions,
                         ::testing::Values(Transition{"tempo_soundtouch", 30, 0, false},
                                           Transition{"tempo_fixed_order", 30, 0, true},
                                           Transition{"pitch_soundtouch", 0, 3, false},
                                           Transition{"pitch_fixed_order", 0, 3, true},
                                           Transition{"slower_fixed_order", -40, -2, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// With PREVENT_CLICK the pitch may pass through 0 while the tempo is changed (where SoundTouch
// alone reorders its stages and clicks): the sound stays smooth.
TEST(TempoSource, PreventClickKeepsPitchChangesSmooth) {
  auto src = std::make_shared<SineSource>(1000.0, 2.0);
  auto tempo = Tempo(src);
  Set(*tempo, audio::ATTRIB_TEMPO_OPTION_PREVENT_CLICK, 1);
  Set(*tempo, audio::ATTRIB_TEMPO, 20);
  std::vector<float> out;
  const float pitches[] = {-1, 1, 0, -1, 0.5f, 0, 2};
  for (float p : pitches) {
    Set(*tempo, audio::ATTRIB_TEMPO_PITCH, p);
    const Output r = ReadAll(*tempo, 441, 6000);
    out.insert(out.end(), r.out.begin(), r.out.end());
  }
  // A change of pitch bends the waveform once (its slope changes by A·ω·Δratio); a click
  // would be a jump, tens of times larger.
  const double omega = 2.0 * M_PI * 1000.0 / kRate;
  const double natural = NaturalSecondDifference(0.5, 1000.0 * std::exp2(2.0 / 12));
  const double bend = 0.5 * omega * (std::exp2(2.0 / 12) - 1.0);
  EXPECT_LT(MaxSecondDifference(out, 2, 1, out.size() / 2), 1.1 * (natural + bend));
}

// Options changed during playback restart SoundTouch through a splice: no click either.
TEST(TempoSource, OptionChangesDuringPlaybackAreSmooth) {
  auto src = std::make_shared<SineSource>(1000.0, 2.0);
  auto tempo = Tempo(src);
  Set(*tempo, audio::ATTRIB_TEMPO, 25);
  std::vector<float> out;
  const std::pair<audio::DWORD, float> changes[] = {
      {audio::ATTRIB_TEMPO_OPTION_SEQUENCE_MS, 82},
      {audio::ATTRIB_TEMPO_OPTION_SEEKWINDOW_MS, 28},
      {audio::ATTRIB_TEMPO_OPTION_OVERLAP_MS, 20},
      {audio::ATTRIB_TEMPO_OPTION_USE_QUICKALGO, 1},
      {audio::ATTRIB_TEMPO_OPTION_SEQUENCE_MS, 0},
      {audio::ATTRIB_TEMPO_OPTION_AA_FILTER_LENGTH, 32},
      {audio::ATTRIB_TEMPO_OPTION_PREVENT_CLICK, 1},
      {audio::ATTRIB_TEMPO_OPTION_PREVENT_CLICK, 0}};
  for (const auto& [attrib, value] : changes) {
    Set(*tempo, attrib, value);
    const Output r = ReadAll(*tempo, 500, 8000);
    out.insert(out.end(), r.out.begin(), r.out.end());
  }
  EXPECT_LT(MaxSecondDifference(out, 2, 1, out.size() / 2),
            NaturalSecondDifference(0.5, 1000.0) * 1.15);
}

// The player's order of setting a new stream up (options, then tempo, pitch and rate), with
// SoundTouch choosing sequence and seek window itself (0).
TEST(TempoSource, PlayerSetupOrderWithAutomaticLengths) {
  auto src = std::make_shared<SineSource>(1000.0, 1.0);
  auto tempo = Tempo(src);
  const std::pair<audio::DWORD, float> setup[] = {{audio::ATTRIB_TEMPO_OPTION_USE_AA_FILTER, 1},
                                                  {audio::ATTRIB_TEMPO_OPTION_AA_FILTER_LENGTH, 32},
                                                  {audio::ATTRIB_TEMPO_OPTION_USE_QUICKALGO, 0},
                                                  {audio::ATTRIB_TEMPO_OPTION_SEQUENCE_MS, 0},
                                                  {audio::ATTRIB_TEMPO_OPTION_SEEKWINDOW_MS, 0},
                                                  {audio::ATTRIB_TEMPO_OPTION_OVERLAP_MS, 8},
                                                  {audio::ATTRIB_TEMPO_OPTION_PREVENT_CLICK, 0},
                                                  {audio::ATTRIB_TEMPO, -25},
                                                  {audio::ATTRIB_TEMPO_PITCH, 0},
                                                  {audio::ATTRIB_TEMPO_FREQ, kRate}};
  for (const auto& [attrib, value] : setup) Set(*tempo, attrib, value);
  const Output r = ReadAll(*tempo);
  EXPECT_NEAR(r.out.size() / 2.0, kRate / 0.75, kRate / 0.75 * 0.01);
}

// ---- Attributes and forwarding
// --------------------------------------------------------------------

TEST(TempoSource, AttributesKeepTheirRanges) {
  auto tempo = Tempo(std::make_shared<SineSource>(1000.0, 0.1));
  struct Case {
    audio::DWORD attrib;
    float value;
    bool accepted;
    float reads_back;
  };
  const Case cases[] = {
      {audio::ATTRIB_TEMPO, -95, true, -95},
      {audio::ATTRIB_TEMPO, 5000, true, 5000},
      {audio::ATTRIB_TEMPO, -96, false, 5000},
      {audio::ATTRIB_TEMPO, 5001, false, 5000},
      {audio::ATTRIB_TEMPO, NAN, false, 5000},
      {audio::ATTRIB_TEMPO_PITCH, -60, true, -60},
      {audio::ATTRIB_TEMPO_PITCH, 60.5f, false, -60},
      {audio::ATTRIB_TEMPO_FREQ, 88200, true, 88200},
      {audio::ATTRIB_TEMPO_FREQ, 0, true, kRate},
      {audio::ATTRIB_TEMPO_FREQ, 1000, false, kRate},
      {audio::ATTRIB_TEMPO_FREQ, -1, false, kRate},
      {audio::ATTRIB_TEMPO_OPTION_AA_FILTER_LENGTH, 30, true, 32},
      {audio::ATTRIB_TEMPO_OPTION_AA_FILTER_LENGTH, 4, false, 32},
      {audio::ATTRIB_TEMPO_OPTION_SEQUENCE_MS, 0, true, 0},
      {audio::ATTRIB_TEMPO_OPTION_SEQUENCE_MS, -1, false, 0},
      {audio::ATTRIB_TEMPO_OPTION_SEEKWINDOW_MS, 28, true, 28},
      {audio::ATTRIB_TEMPO_OPTION_OVERLAP_MS, 0, true, 0},
      {audio::ATTRIB_TEMPO_OPTION_USE_QUICKALGO, 1, true, 1},
      {audio::ATTRIB_TEMPO_OPTION_PREVENT_CLICK, 1, true, 1},
      {audio::ATTRIB_TEMPO_OPTION_USE_AA_FILTER, 0, true, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(tempo->SetAttribute(c.attrib, c.value), c.accepted)
        << std::hex << c.attrib << " " << c.value;
    float v = -12345;
    ASSERT_TRUE(tempo->GetAttribute(c.attrib, &v));
    EXPECT_EQ(v, c.reads_back) << std::hex << c.attrib;
  }
  float v = 0;
  EXPECT_FALSE(tempo->SetAttribute(audio::ATTRIB_VOL, 1.0f));  // the channel's, not ours
  EXPECT_FALSE(tempo->GetAttribute(audio::ATTRIB_VOL, &v));
}

TEST(TempoSource, ForwardsWhatBelongsToTheSource) {
  auto src = std::make_shared<SineSource>(1000.0, 0.1);
  auto tempo = Tempo(src);
  EXPECT_EQ(tempo->ChannelType(), audio::CTYPE_STREAM_TEMPO);
  EXPECT_EQ(tempo->Tags(audio::TAG_OGG), src->Tags(audio::TAG_OGG));
  EXPECT_TRUE(tempo->Tags(audio::TAG_ID3).empty());
  EXPECT_EQ(tempo->Bitrate(), 1411.0f);
  EXPECT_EQ(MakeTempoSource(nullptr), nullptr);
}

// Two tempo streams keep their own SoundTouch settings.
TEST(TempoSource, SettingsArePerStream) {
  auto a = Tempo(std::make_shared<SineSource>(1000.0, 1.0));
  auto b = Tempo(std::make_shared<SineSource>(1000.0, 1.0));
  Set(*a, audio::ATTRIB_TEMPO, 100);
  Set(*a, audio::ATTRIB_TEMPO_OPTION_SEQUENCE_MS, 40);
  Set(*b, audio::ATTRIB_TEMPO, -50);
  Set(*b, audio::ATTRIB_TEMPO_OPTION_SEQUENCE_MS, 120);
  const Output ra = ReadAll(*a), rb = ReadAll(*b);
  EXPECT_NEAR(ra.out.size() / 2.0, kRate * 0.5, kRate * 0.005);
  EXPECT_NEAR(rb.out.size() / 2.0, kRate * 2.0, kRate * 0.02);
}

// Formats SoundTouch cannot take (more than 16 channels, over 192 kHz) still pass through; only
// settings that would need processing are refused.
TEST(TempoSource, UnprocessableFormatsPassThrough) {
  for (auto [channels, rate] : {std::pair{17, kRate}, std::pair{2, 384000}}) {
    auto src = std::make_shared<SineSource>(1000.0, 0.2, channels, false, rate);
    auto tempo = MakeTempoSource(src);
    ASSERT_TRUE(tempo);
    EXPECT_FALSE(tempo->SetAttribute(audio::ATTRIB_TEMPO, 50));
    EXPECT_FALSE(tempo->SetAttribute(audio::ATTRIB_TEMPO_PITCH, 1));
    EXPECT_TRUE(tempo->SetAttribute(audio::ATTRIB_TEMPO_OPTION_PREVENT_CLICK, 1));
    const Output r = ReadAll(*tempo);
    ASSERT_EQ(r.out.size(), static_cast<std::size_t>(src->LengthFrames()) * channels);
    for (std::size_t i = 0; i < r.out.size(); i += 97)
      ASSERT_EQ(r.out[i], src->At(i / channels, static_cast<int>(i % channels)));
  }
}

// Settings, options, seeks, stalls and read sizes in random order never break the stream: the
// samples stay finite and bounded, the position stays inside the source, the end comes.
TEST(TempoSource, RandomUseNeverBreaksTheStream) {
  for (int seed = 1; seed <= 4; ++seed) {
    std::mt19937 gen(seed);
    auto pick = [&](float lo, float hi) {
      return std::uniform_real_distribution<float>(lo, hi)(gen);
    };
    const int channels = 1 + seed % 3;
    auto src = std::make_shared<SineSource>(440.0, 2.0, channels, true, seed == 4 ? 48000 : kRate);
    src->block_ = 1 + static_cast<int>(gen() % 3000);
    for (int i = 1; i < 20; ++i) src->stalls_.insert(i * 4321);
    auto tempo = MakeTempoSource(src);
    std::vector<float> buf(8192 * channels);
    bool ended = false;
    int reads = 0;
    for (; reads < 5000 && !ended; ++reads) {
      switch (gen() % 12) {
        case 0:
          tempo->SetAttribute(audio::ATTRIB_TEMPO, gen() % 3 ? pick(-95, 400) : 0);
          break;
        case 1:
          tempo->SetAttribute(audio::ATTRIB_TEMPO_PITCH, gen() % 3 ? pick(-24, 24) : 0);
          break;
        case 2:
          tempo->SetAttribute(audio::ATTRIB_TEMPO_FREQ, gen() % 3 ? pick(0.3f, 3) * kRate : 0);
          break;
        case 3:
          tempo->SetAttribute(audio::ATTRIB_TEMPO_OPTION_PREVENT_CLICK, gen() % 2);
          break;
        case 4:
          tempo->SetAttribute(audio::ATTRIB_TEMPO_OPTION_SEQUENCE_MS + gen() % 3, pick(0, 120));
          break;
        case 5:
          tempo->SetAttribute(audio::ATTRIB_TEMPO_OPTION_AA_FILTER_LENGTH, pick(8, 128));
          break;
        case 6:
          if (gen() % 3 == 0) {
            int error = 0;
            tempo->Seek(gen() % (src->LengthFrames() + 1), &error);
          }
          break;
        default:
          break;
      }
      const ReadResult r = tempo->Read(buf.data(), 1 + gen() % 8192, false);
      for (int i = 0; i < r.frames * channels; ++i)
        ASSERT_TRUE(std::isfinite(buf[i]) && std::fabs(buf[i]) < 2.0f) << buf[i];
      const std::int64_t pos = tempo->PositionFrames();
      ASSERT_GE(pos, 0);
      ASSERT_LE(pos, src->LengthFrames());
      ended = r.ended;
    }
    EXPECT_TRUE(ended) << "seed " << seed << " after " << reads << " reads";
  }
}

// After warm-up, reading at steady settings allocates nothing, on every path.
TEST(TempoSource, SteadyReadsDoNotAllocate) {
  for (int path = 0; path < 3; ++path) {
    auto tempo = Tempo(std::make_shared<SineSource>(1000.0, 6.0));
    if (path > 0) Set(*tempo, audio::ATTRIB_TEMPO, 30);
    if (path > 0) Set(*tempo, audio::ATTRIB_TEMPO_PITCH, 2);
    if (path == 2) Set(*tempo, audio::ATTRIB_TEMPO_OPTION_PREVENT_CLICK, 1);
    std::vector<float> buf(2 * 512);
    for (int i = 0; i < 200; ++i) tempo->Read(buf.data(), 512, false);  // SoundTouch's buffers grow
    g_allocations = 0;
    g_count_allocations = true;
    for (int i = 0; i < 100; ++i) tempo->Read(buf.data(), 512, false);
    g_count_allocations = false;
    EXPECT_EQ(g_allocations.load(), 0) << "path " << path;
  }
}

}  // namespace
