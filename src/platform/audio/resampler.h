// Inside the audio layer: a streaming band-limited resampler (windowed sinc) for interleaved
// float, used by the mixer to play channels at their ATTRIB_FREQ on a device of another rate.
// The ratio may change between calls without clicks. No allocation in Process.
//
// Timing: the filter is centred (zero phase), so output frame n sounds input time n × ratio
// (summed over the ratios used); nothing is delayed, only look-ahead is held back. The input
// frame being output next is (frames consumed so far) - LatencyFrames(). At ratio 1.0 on a whole
// frame the input is copied bit-exactly and nothing is held back. At the end of a stream,
// LatencyFrames() frames of silence push the rest out.
// Quality: flat within 0.01 dB to 0.86 × the lower Nyquist frequency (19 kHz at 44.1 kHz),
// -0.55 dB at 0.91, stopband -94 dB from 1.04 on.
#pragma once

#include <cstdint>
#include <vector>

namespace audio::detail {

class Resampler {
 public:
  explicit Resampler(int channels);
  // Forgets history (after a seek).
  void Reset();
  // ratio = input rate / output rate. Consumes input frames and writes up to `max_out` output
  // frames; returns the frames written and sets *consumed to the input frames used up. The
  // resampler keeps the taps it still needs internally, so every input frame is passed once.
  int Process(const float* in, int in_frames, int* consumed, float* out, int max_out,
              double ratio);
  // Input frames held back inside the filter (its delay), in input frames.
  double LatencyFrames() const;

 private:
  // Makes room in buf_ for more input, dropping frames no filter width can still reach.
  void Compact();
  void Advance(double ratio);

  int channels_;
  std::vector<float> buf_;      // interleaved input window: history, current taps, look-ahead
  int buf_capacity_ = 0;        // frames buf_ can hold
  int buf_frames_ = 0;          // frames held in buf_
  std::int64_t buf_start_ = 0;  // input frame number of buf_[0] (negative: leading silence)
  std::int64_t pos_int_ = 0;    // output position in input frames: integer part...
  double pos_frac_ = 0.0;       // ...and fraction in [0, 1)
  std::vector<float> weights_;  // tap weights of one output frame (scratch)
  std::vector<double> acc_;     // per-channel sums of one output frame (scratch)
};

}  // namespace audio::detail
