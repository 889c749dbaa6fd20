// Streaming band-limited resampler: a Kaiser-windowed sinc read from a polyphase table with
// linear interpolation between phases, cutoff scaled down when downsampling.
//
// How it works
// - The output position is kept in input frames (pos_int_ + pos_frac_). One output frame is the
//   weighted sum of the input frames within the kernel's reach around that position; the kernel
//   is centred on the position (zero phase), so output frame n sounds input time n × ratio: the
//   resampler adds no delay, it only holds back the look-ahead the kernel needs.
// - buf_ keeps the input window: the history the widest kernel can reach behind the position,
//   and the look-ahead in front of it. Before the first input it holds silence.
// - ratio == 1.0 on a whole-frame position copies the input frame: bit-exact pass-through with
//   no look-ahead. When the ratio returns to 1.0 on a fractional position, the position glides
//   to the next whole frame at 1/4096 frame per output frame (a pitch deviation of at most
//   0.42 cent, for at most 85 ms at 48 kHz), after which the pass-through is exact again.
// - The ratio may change on every call: the position moves on continuously and only the
//   step and the kernel width follow the new ratio, so a change makes no discontinuity.
#include "resampler.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace audio::detail {
namespace {

// ---- Filter design (each constant's effect on the sound) --------------------------------------
// Zero crossings of the sinc on each side of the centre: the filter length. 32 gives a
// transition band of about 4 kHz at 44.1 kHz (64 taps when not downsampling).
constexpr int kZeroCrossings = 32;
// Table entries per zero crossing. Linear interpolation between entries keeps the kernel error
// near -110 dB, under the window's own stopband.
constexpr int kPhases = 512;
// Kaiser window shape: 9.0 gives about 94 dB of stopband attenuation.
constexpr double kBeta = 9.0;
// Cutoff as a fraction of the lower of the two Nyquist frequencies. 0.95 keeps the passband flat
// (within 0.01 dB) to 19 kHz and -0.55 dB at 20 kHz for 44.1 kHz; the stopband (-94 dB) starts at
// 23 kHz, so nothing folds back below 21 kHz.
constexpr double kRolloff = 0.95;
// Downsampling beyond this ratio stops widening the kernel (bounded cost and buffer); the
// cutoff then stays at 1/32 of the input band and higher frequencies may alias.
constexpr double kMaxDownsample = 32.0;
// Glide speed back to whole-frame alignment at ratio 1.0, in frames per output frame.
constexpr double kGlideStep = 1.0 / 4096;
// Frames of input taken in per refill (besides history and look-ahead).
constexpr int kInputChunk = 4096;
// The widest kernel's reach on one side, in input frames.
constexpr int kHistory = static_cast<int>(kZeroCrossings * kMaxDownsample / kRolloff) + 2;

// Kaiser-windowed sinc sampled at kPhases points per zero crossing, with the slope to the next
// entry for interpolation. Immutable after construction.
struct KernelTable {
  std::vector<float> value;
  std::vector<float> slope;
};

double BesselI0(double x) {
  double sum = 1.0, term = 1.0;
  for (int k = 1; k < 64 && term > 1e-21 * sum; ++k) {
    const double h = x / (2.0 * k);
    term *= h * h;
    sum += term;
  }
  return sum;
}

KernelTable BuildKernel() {
  const int n = kZeroCrossings * kPhases;
  KernelTable t;
  t.value.resize(n + 1);
  t.slope.resize(n + 1);
  const double norm = 1.0 / BesselI0(kBeta);
  for (int i = 0; i <= n; ++i) {
    const double u = static_cast<double>(i) / kPhases;  // in zero crossings
    const double r = u / kZeroCrossings;
    const double window = BesselI0(kBeta * std::sqrt(std::max(0.0, 1.0 - r * r))) * norm;
    double sinc = 1.0;
    if (i % kPhases == 0) {
      sinc = i == 0 ? 1.0 : 0.0;  // exact zeros at the crossings
    } else {
      sinc = std::sin(M_PI * u) / (M_PI * u);
    }
    t.value[i] = static_cast<float>(sinc * window);
  }
  t.value[n] = 0.0f;
  for (int i = 0; i < n; ++i) t.slope[i] = t.value[i + 1] - t.value[i];
  t.slope[n] = 0.0f;
  return t;
}

const KernelTable& Kernel() {
  static const KernelTable table = BuildKernel();
  return table;
}

}  // namespace

Resampler::Resampler(int channels) : channels_(std::max(channels, 0)) {
  buf_capacity_ = 2 * kHistory + kInputChunk;
  buf_.assign(static_cast<std::size_t>(buf_capacity_) * channels_, 0.0f);
  weights_.assign(2 * kHistory + 2, 0.0f);
  acc_.assign(channels_, 0.0);
  (void)Kernel();  // build the shared table now, not on the mixing thread
  Reset();
}

void Resampler::Reset() {
  // Silence before the first input frame, as much as the widest kernel reaches back.
  std::fill(buf_.begin(), buf_.end(), 0.0f);
  buf_start_ = -kHistory;
  buf_frames_ = kHistory;
  pos_int_ = 0;
  pos_frac_ = 0.0;
}

double Resampler::LatencyFrames() const {
  const double held = static_cast<double>(buf_start_ + buf_frames_ - pos_int_) - pos_frac_;
  return std::max(0.0, held);
}

void Resampler::Compact() {
  const std::int64_t keep_from = pos_int_ - kHistory;
  if (keep_from <= buf_start_) return;
  const std::int64_t drop = std::min<std::int64_t>(keep_from - buf_start_, buf_frames_);
  const int keep = buf_frames_ - static_cast<int>(drop);
  if (keep > 0) {
    std::memmove(buf_.data(), buf_.data() + drop * channels_,
                 static_cast<std::size_t>(keep) * channels_ * sizeof(float));
  }
  buf_frames_ = keep;
  buf_start_ += drop;
}

void Resampler::Advance(double ratio) {
  if (ratio == 1.0 && pos_frac_ != 0.0) {
    // Glide towards whole-frame alignment, the shorter way round.
    if (pos_frac_ < 0.5) {
      const double d = std::min(kGlideStep, pos_frac_);
      pos_frac_ = d == pos_frac_ ? 0.0 : pos_frac_ - d;
      pos_int_ += 1;
    } else if (1.0 - pos_frac_ <= kGlideStep) {
      pos_frac_ = 0.0;
      pos_int_ += 2;
    } else {
      pos_frac_ += kGlideStep;
      pos_int_ += 1;
    }
    return;
  }
  pos_frac_ += ratio;
  const double whole = std::floor(pos_frac_);
  pos_int_ += static_cast<std::int64_t>(whole);
  pos_frac_ -= whole;
  if (pos_frac_ >= 1.0) {  // rounding guard
    pos_frac_ = 0.0;
    pos_int_ += 1;
  }
}

int Resampler::Process(const float* in, int in_frames, int* consumed, float* out, int max_out,
                       double ratio) {
  if (consumed) *consumed = 0;
  if (!consumed || channels_ <= 0 || in_frames < 0 || max_out < 0) return 0;
  if ((in_frames > 0 && !in) || (max_out > 0 && !out)) return 0;
  if (!(ratio > 0.0) || !std::isfinite(ratio)) return 0;

  const KernelTable& table = Kernel();
  const int ch = channels_;
  // Cutoff relative to the input Nyquist frequency, and the kernel's reach in input frames.
  const double scale = kRolloff / std::clamp(ratio, 1.0, kMaxDownsample);
  const double half = kZeroCrossings / scale;
  const double table_step = scale * kPhases;  // table entries per input frame of distance

  int used = 0;
  int produced = 0;
  while (produced < max_out) {
    const bool exact = ratio == 1.0 && pos_frac_ == 0.0;
    std::int64_t first = pos_int_;
    std::int64_t last = pos_int_;
    if (!exact) {
      first = pos_int_ + static_cast<std::int64_t>(std::floor(pos_frac_ - half)) + 1;
      last = pos_int_ + static_cast<std::int64_t>(std::ceil(pos_frac_ + half)) - 1;
    }

    if (last >= buf_start_ + buf_frames_) {
      // The kernel reaches past the input held: take in more.
      if (used == in_frames) break;
      const int wanted = std::min(in_frames - used, kInputChunk);
      if (buf_capacity_ - buf_frames_ < wanted) Compact();
      const std::int64_t end = buf_start_ + buf_frames_;
      const std::int64_t keep_from = pos_int_ - kHistory;
      if (buf_frames_ == 0 && keep_from > end) {
        // A step larger than the window: input wholly behind the kernel is passed over.
        const std::int64_t skip = std::min<std::int64_t>(keep_from - end, in_frames - used);
        used += static_cast<int>(skip);
        buf_start_ += skip;
        continue;
      }
      const int n = std::min(buf_capacity_ - buf_frames_, in_frames - used);
      std::memcpy(buf_.data() + static_cast<std::size_t>(buf_frames_) * ch,
                  in + static_cast<std::size_t>(used) * ch,
                  static_cast<std::size_t>(n) * ch * sizeof(float));
      buf_frames_ += n;
      used += n;
      continue;
    }

    float* y = out + static_cast<std::size_t>(produced) * ch;
    const float* x = buf_.data() + static_cast<std::size_t>(first - buf_start_) * ch;
    if (exact) {
      std::memcpy(y, x, static_cast<std::size_t>(ch) * sizeof(float));
    } else {
      const int taps = static_cast<int>(last - first + 1);
      const double t = pos_frac_ - static_cast<double>(first - pos_int_);  // centre from tap 0
      double wsum = 0.0;
      for (int i = 0; i < taps; ++i) {
        const double u = std::fabs(t - i) * table_step;
        const int idx = static_cast<int>(u);
        const float f = static_cast<float>(u - idx);
        const float w = table.value[idx] + f * table.slope[idx];
        weights_[i] = w;
        wsum += w;
      }
      const double gain = wsum != 0.0 ? 1.0 / wsum : 0.0;  // unity gain at DC for every phase
      if (ch == 2) {
        float l = 0.0f, r = 0.0f;
        for (int i = 0; i < taps; ++i) {
          l += weights_[i] * x[2 * i];
          r += weights_[i] * x[2 * i + 1];
        }
        y[0] = static_cast<float>(l * gain);
        y[1] = static_cast<float>(r * gain);
      } else {
        std::fill(acc_.begin(), acc_.end(), 0.0);
        for (int i = 0; i < taps; ++i) {
          const float w = weights_[i];
          const float* xi = x + static_cast<std::size_t>(i) * ch;
          for (int c = 0; c < ch; ++c) acc_[c] += w * xi[c];
        }
        for (int c = 0; c < ch; ++c) y[c] = static_cast<float>(acc_[c] * gain);
      }
    }
    ++produced;
    Advance(ratio);
  }
  *consumed = used;
  return produced;
}

}  // namespace audio::detail
