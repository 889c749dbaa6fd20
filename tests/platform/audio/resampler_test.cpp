// Tests of the mixer's band-limited resampler: accuracy on a sine at common rate pairs,
// bit-exact pass-through, alias rejection, click-free ratio changes and exact bookkeeping.
#include "resampler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "media.h"

namespace {

using audio::detail::Resampler;

std::vector<float> Sine(double freq, int rate, int frames, int channels, float amp = 0.5f) {
  std::vector<float> v(static_cast<std::size_t>(frames) * channels);
  for (int i = 0; i < frames; ++i) {
    const float s = amp * static_cast<float>(std::sin(2.0 * M_PI * freq * i / rate));
    for (int c = 0; c < channels; ++c) v[static_cast<std::size_t>(i) * channels + c] = s;
  }
  return v;
}

// Streams `in` through a resampler in blocks of `in_block` input frames, asking for at most
// `out_block` output frames per call, the way the mixer does.
struct Streamed {
  std::vector<float> out;
  std::int64_t consumed = 0;
  double latency = 0;
};
Streamed Stream(Resampler& rs, const std::vector<float>& in, int channels, double ratio,
                int in_block, int out_block) {
  Streamed r;
  const int frames = static_cast<int>(in.size() / channels);
  std::vector<float> buf(static_cast<std::size_t>(out_block) * channels);
  int pos = 0;
  while (pos < frames) {
    const int n = std::min(in_block, frames - pos);
    int used_total = 0;
    while (used_total < n) {
      int used = 0;
      const int got = rs.Process(in.data() + static_cast<std::size_t>(pos + used_total) * channels,
                                 n - used_total, &used, buf.data(), out_block, ratio);
      r.out.insert(r.out.end(), buf.begin(),
                   buf.begin() + static_cast<std::size_t>(got) * channels);
      used_total += used;
      if (got == 0 && used == 0) break;
    }
    pos += used_total;
    if (used_total < n) break;
  }
  r.consumed = pos;
  r.latency = rs.LatencyFrames();
  return r;
}

// Least-squares fit of a sine of known frequency (plus offset) to channel 0 over
// [begin, end); returns the RMS of what the fit does not explain, relative to the fitted
// amplitude's RMS, in dB, and the fitted amplitude.
double SineResidualDb(const std::vector<float>& v, int channels, double freq, int rate,
                      std::size_t begin, std::size_t end, double* amplitude) {
  double ss = 0, sc = 0, cc = 0, s1 = 0, c1 = 0, n = 0, ys = 0, yc = 0, y1 = 0;
  for (std::size_t i = begin; i < end; ++i) {
    const double w = 2.0 * M_PI * freq * static_cast<double>(i) / rate;
    const double s = std::sin(w), c = std::cos(w), y = v[i * channels];
    ss += s * s;
    sc += s * c;
    cc += c * c;
    s1 += s;
    c1 += c;
    n += 1;
    ys += y * s;
    yc += y * c;
    y1 += y;
  }
  // Solve the 3x3 normal equations by Cramer's rule.
  const double m[3][3] = {{ss, sc, s1}, {sc, cc, c1}, {s1, c1, n}};
  const double r[3] = {ys, yc, y1};
  auto det3 = [](const double a[3][3]) {
    return a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
           a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
           a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
  };
  const double d = det3(m);
  double coef[3];
  for (int k = 0; k < 3; ++k) {
    double t[3][3];
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) t[i][j] = j == k ? r[i] : m[i][j];
    coef[k] = det3(t) / d;
  }
  double err = 0;
  for (std::size_t i = begin; i < end; ++i) {
    const double w = 2.0 * M_PI * freq * static_cast<double>(i) / rate;
    const double e = v[i * channels] - (coef[0] * std::sin(w) + coef[1] * std::cos(w) + coef[2]);
    err += e * e;
  }
  const double amp = std::hypot(coef[0], coef[1]);
  if (amplitude) *amplitude = amp;
  return 20.0 * std::log10(std::sqrt(err / n) / (amp / std::sqrt(2.0)));
}

// Largest |second difference| of channel 0 over [begin, end): a click shows as a spike far
// above what the sine itself gives, A·(2πf/fs)².
double MaxSecondDifference(const std::vector<float>& v, int channels, std::size_t begin,
                           std::size_t end) {
  double m = 0;
  for (std::size_t i = begin + 1; i + 1 < end; ++i) {
    const double d = v[(i + 1) * channels] - 2.0 * v[i * channels] + v[(i - 1) * channels];
    m = std::max(m, std::fabs(d));
  }
  return m;
}

struct RatePair {
  int in_rate;
  int out_rate;
};

class ResamplerSine : public ::testing::TestWithParam<RatePair> {};

// A 1 kHz sine keeps its frequency and amplitude; what remains after fitting the ideal sine is
// the resampler's noise and distortion. Measured: about -110 dB for both directions.
TEST_P(ResamplerSine, KeepsA1kHzSineClean) {
  const RatePair p = GetParam();
  const int ch = 2;
  const std::vector<float> in = Sine(1000.0, p.in_rate, p.in_rate, ch);
  Resampler rs(ch);
  const double ratio = static_cast<double>(p.in_rate) / p.out_rate;
  const Streamed s = Stream(rs, in, ch, ratio, 441, 300);
  const std::size_t frames = s.out.size() / ch;

  // Every output frame stands for `ratio` input frames, no frame is lost or invented.
  EXPECT_NEAR(static_cast<double>(s.consumed) - s.latency, frames * ratio, 1e-6);
  EXPECT_NEAR(static_cast<double>(frames), p.out_rate - s.latency / ratio, 1.0);

  double amp = 0;
  const double residual = SineResidualDb(s.out, ch, 1000.0, p.out_rate, 200, frames - 200, &amp);
  std::printf("[ figures  ] %d -> %d Hz: residual %.1f dB, amplitude %.6f\n", p.in_rate, p.out_rate,
              residual, amp);
  EXPECT_LT(residual, -90.0);
  EXPECT_NEAR(amp, 0.5, 0.5 * 1e-4);
  EXPECT_NEAR(testsupport::MeasureFrequency(s.out.data() + 200 * ch, frames - 400, ch, p.out_rate),
              1000.0, 0.5);
  // Both channels carry the same signal through the same filter.
  for (std::size_t i = 0; i < frames; ++i) ASSERT_EQ(s.out[i * ch], s.out[i * ch + 1]);
}

INSTANTIATE_TEST_SUITE_P(CommonRates, ResamplerSine,
                         ::testing::Values(RatePair{44100, 48000}, RatePair{48000, 44100},
                                           RatePair{22050, 48000}, RatePair{96000, 44100}));

// The same result whatever the block sizes: state carried between calls is complete.
TEST(Resampler, OutputDoesNotDependOnBlockSizes) {
  const int ch = 2;
  std::mt19937 gen(7);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> in(20000 * ch);
  for (float& x : in) x = dist(gen);
  for (double ratio : {0.73, 1.0, 1.37, 4.1}) {
    Resampler a(ch), b(ch);
    const Streamed whole = Stream(a, in, ch, ratio, 20000, 100000);
    const Streamed bits = Stream(b, in, ch, ratio, 7, 3);
    ASSERT_EQ(whole.out.size(), bits.out.size()) << "ratio " << ratio;
    EXPECT_EQ(whole.out, bits.out) << "ratio " << ratio;
  }
}

// ratio 1.0 hands every frame through untouched, immediately, in any block sizes.
TEST(Resampler, RatioOneIsBitExactWithoutDelay) {
  const int ch = 2;
  std::mt19937 gen(3);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> in(10000 * ch);
  for (float& x : in) x = dist(gen);
  in[10] = -0.0f;
  in[11] = 1e-40f;  // denormal
  Resampler rs(ch);
  const Streamed s = Stream(rs, in, ch, 1.0, 333, 100);
  ASSERT_EQ(s.out.size(), in.size());
  EXPECT_EQ(0, std::memcmp(s.out.data(), in.data(), in.size() * sizeof(float)));
  EXPECT_EQ(s.latency, 0.0);
}

// After other ratios, coming back to 1.0 glides to whole-frame alignment and then passes the
// input through bit-exactly again.
TEST(Resampler, ReturnsToBitExactAfterARatioChange) {
  const int ch = 1;
  std::mt19937 gen(5);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> in(48000);
  for (float& x : in) x = dist(gen);
  Resampler rs(ch);
  std::vector<float> out(60000);
  int used = 0, pos = 0;
  int got = rs.Process(in.data(), 1000, &used, out.data(), 1300, 1.0 / 1.3);  // ends mid-frame
  pos += used;
  ASSERT_GT(got, 0);
  // At ratio 1.0 again: after at most 2048 output frames of glide the output is a copy.
  std::vector<float> tail;
  while (pos < 48000) {
    got = rs.Process(in.data() + pos, 48000 - pos, &used, out.data(), 4096, 1.0);
    tail.insert(tail.end(), out.begin(), out.begin() + got);
    pos += used;
    if (got == 0 && used == 0) break;
  }
  const double latency = rs.LatencyFrames();
  ASSERT_EQ(latency, 0.0);  // whole-frame aligned: no look-ahead any more
  // The last output frame is the last input frame.
  const std::size_t n = 20000;
  ASSERT_GT(tail.size(), n);
  EXPECT_EQ(
      0, std::memcmp(tail.data() + tail.size() - n, in.data() + in.size() - n, n * sizeof(float)));
}

// Downsampling moves the cutoff under the new Nyquist: a 20 kHz tone taken to a 22050 Hz
// output would fold to 2.05 kHz and must be gone; an 8 kHz tone stays.
TEST(Resampler, DownsamplingRejectsAliases) {
  const int ch = 1;
  for (double freq : {20000.0, 12000.0}) {
    Resampler rs(ch);
    const Streamed s = Stream(rs, Sine(freq, 44100, 44100, ch), ch, 2.0, 1024, 1024);
    const std::size_t frames = s.out.size();
    const double rms = testsupport::Rms(s.out.data() + 500, frames - 1000);
    const double db = 20.0 * std::log10(rms / (0.5 / std::sqrt(2.0)) + 1e-30);
    std::printf("[ figures  ] %.0f Hz at 44100 -> 22050 Hz: %.1f dB\n", freq, db);
    EXPECT_LT(db, freq == 20000.0 ? -90.0 : -60.0);
  }
  Resampler rs(ch);
  const Streamed s = Stream(rs, Sine(8000.0, 44100, 44100, ch), ch, 2.0, 1024, 1024);
  double amp = 0;
  const double residual = SineResidualDb(s.out, ch, 8000.0, 22050, 500, s.out.size() - 500, &amp);
  EXPECT_LT(residual, -80.0);
  EXPECT_NEAR(amp, 0.5, 0.5 * 0.002);  // within 0.02 dB
}

// The ratio may change on every call: the output follows the integrated position with no
// discontinuity. Compared with the ideal sine at that position, and checked for clicks.
TEST(Resampler, RatioChangesAreSeamless) {
  const int ch = 2, rate = 48000;
  const double freq = 1000.0;
  const std::vector<float> in = Sine(freq, rate, rate * 2, ch);
  Resampler rs(ch);
  std::vector<float> out;
  std::vector<double> ideal_pos;  // input time of each output frame
  const double ratios[] = {0.9, 1.1, 0.97, 1.21, 0.5, 2.0, 1.003};
  std::vector<float> buf(256 * ch);
  int pos = 0;
  double t = 0.0;
  for (int call = 0; pos < rate * 2 - 4000; ++call) {
    const double ratio = ratios[call % 7];
    int used = 0;
    const int got = rs.Process(in.data() + static_cast<std::size_t>(pos) * ch, 512, &used,
                               buf.data(), 37 + call % 50, ratio);
    for (int i = 0; i < got; ++i) {
      out.push_back(buf[i * ch]);
      out.push_back(buf[i * ch + 1]);
      ideal_pos.push_back(t);
      t += ratio;
    }
    pos += used;
  }
  double worst = 0;
  for (std::size_t i = 100; i < ideal_pos.size(); ++i) {
    const double ideal = 0.5 * std::sin(2.0 * M_PI * freq * ideal_pos[i] / rate);
    worst = std::max(worst, std::fabs(out[i * ch] - ideal));
  }
  std::printf("[ figures  ] changing ratio: worst deviation from the ideal sine %.2e (%.1f dB)\n",
              worst, 20 * std::log10(worst / 0.5));
  EXPECT_LT(worst, 0.5 * 1e-4);  // -80 dB: no click, no phase slip
}

// Coming back to 1.0 from a fractional position makes no click either: neither the glide nor
// its landing on a whole frame, where the filter hands over to the plain copy, shows a spike.
TEST(Resampler, GlideBackToRatioOneIsSmooth) {
  const int ch = 1, rate = 44100;
  const std::vector<float> in = Sine(1000.0, rate, rate, ch);
  Resampler rs(ch);
  std::vector<float> out(rate * 2);
  int used = 0, pos = 0;
  const int before = rs.Process(in.data(), 5000, &used, out.data(), rate, 1.0 / 1.7);
  pos += used;
  int produced = before;
  while (pos < rate - 1000) {
    const int got =
        rs.Process(in.data() + pos, 700, &used, out.data() + produced, rate * 2 - produced, 1.0);
    produced += got;
    pos += used;
  }
  ASSERT_EQ(rs.LatencyFrames(), 0.0);  // landed on a whole frame
  // The ratio change itself bends the waveform once (a change of slope, not a click); from the
  // next frame on the second difference is the sine's own.
  const double natural = 0.5 * std::pow(2.0 * M_PI * 1000.0 / rate, 2.0);
  EXPECT_LT(MaxSecondDifference(out, ch, before + 1, produced), natural * 1.01 + 1e-6);
}

TEST(Resampler, RejectsNonsense) {
  Resampler rs(2);
  float in[8] = {}, out[8] = {};
  int used = -1;
  EXPECT_EQ(0, rs.Process(in, 4, &used, out, 4, 0.0));
  EXPECT_EQ(0, used);
  EXPECT_EQ(0, rs.Process(in, 4, &used, out, 4, std::nan("")));
  EXPECT_EQ(0, rs.Process(in, 4, &used, out, 4, -1.0));
  EXPECT_EQ(0, rs.Process(nullptr, 4, &used, out, 4, 1.0));
  EXPECT_EQ(0, rs.Process(in, 4, nullptr, out, 4, 1.0));
  Resampler none(0);
  EXPECT_EQ(0, none.Process(in, 4, &used, out, 4, 1.0));
}

// A seek: Reset forgets the history, so the next output starts from silence, not from the
// old material.
TEST(Resampler, ResetForgetsHistory) {
  const int ch = 1;
  const std::vector<float> loud = Sine(1000.0, 44100, 4000, ch);
  Resampler a(ch), b(ch);
  std::vector<float> out_a(8000), out_b(8000);
  int used = 0;
  a.Process(loud.data(), 4000, &used, out_a.data(), 8000, 0.8);
  a.Reset();
  EXPECT_EQ(a.LatencyFrames(), 0.0);
  const std::vector<float> quiet = Sine(440.0, 44100, 4000, ch, 0.1f);
  const int ga = a.Process(quiet.data(), 4000, &used, out_a.data(), 8000, 0.8);
  const int gb = b.Process(quiet.data(), 4000, &used, out_b.data(), 8000, 0.8);
  ASSERT_EQ(ga, gb);
  out_a.resize(ga);
  out_b.resize(gb);
  EXPECT_EQ(out_a, out_b);
}

}  // namespace
