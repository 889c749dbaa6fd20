// The mixing side of the library: the update thread renders each playing channel (source,
// DSP chain, mixtime syncs) into its playback buffer up to BUFFER ms ahead, every UPDATEPERIOD
// ms; the device thread (MixInto) resamples each buffer to the device rate, applies volume and
// pan, and sums the channels. Neither ever waits on the UI: the device thread takes only
// short-held buffer locks, and the update thread reads network sources without blocking.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "config.h"
#include "core.h"

namespace audio::detail {

// ==== Channel playback buffer ====================================================================

double Channel::HeardPosition() const {
  // The device hears the frame the resampler outputs next: consumed input less its look-ahead.
  auto at = static_cast<std::int64_t>(read - resampler.LatencyFrames());
  for (const Segment& s : segments) {
    if (at < s.first_frame + s.frames) {
      if (at <= s.first_frame || s.frames == 0) return s.source_start;
      double f = double(at - s.first_frame) / double(s.frames);
      return s.source_start + f * (s.source_end - s.source_start);
    }
  }
  return segments.empty() ? flush_position : segments.back().source_end;
}

void Channel::FlushBuffer(double position) {
  written = 0;
  read = 0;
  segments.clear();
  flush_position = position;
  resampler.Reset();
  tail_pushed = false;
}

namespace {

// ---- Update thread state ----
std::mutex g_playing_mutex;
std::vector<ChannelPtr> g_playing;  // guarded by g_playing_mutex: channels that may sound
std::mutex g_thread_mutex;
std::condition_variable g_wake;
bool g_run = false;                 // guarded by g_thread_mutex
std::thread g_thread;
std::atomic<int> g_device_rate{44100};

constexpr int kBlockFrames = 2048;  // largest block rendered in one source read

std::int64_t TargetFrames(const Channel& c) {
  double seconds = Config().buffer_ms / 1000.0;
  float attr = c.buffer_seconds;
  if (attr >= 0) seconds = std::min<double>(seconds, attr);
  // Never less than two update periods, or the device would run dry between updates.
  seconds = std::max(seconds, 2.5 * Config().update_period_ms / 1000.0);
  return static_cast<std::int64_t>(seconds * c.format.rate);
}

void EnsureRing(Channel& c) {
  std::int64_t want = TargetFrames(c) + kBlockFrames * 2;
  if (c.ring_frames >= want) return;
  std::vector<float> ring(static_cast<size_t>(want) * c.format.channels);
  // Keep what is buffered, in order.
  std::int64_t buffered = c.Buffered();
  for (std::int64_t i = 0; i < buffered; ++i) {
    std::int64_t from = (static_cast<std::int64_t>(c.read) + i) % std::max<std::int64_t>(c.ring_frames, 1);
    std::int64_t to = (static_cast<std::int64_t>(c.read) + i) % want;
    std::memcpy(&ring[to * c.format.channels], &c.ring[from * c.format.channels],
                sizeof(float) * c.format.channels);
  }
  c.ring.swap(ring);
  c.ring_frames = want;
}

// Appends rendered frames to the playback buffer. Caller holds c.buffer_mutex.
void PushFrames(Channel& c, const float* data, int frames, double src_start, double src_end) {
  const int ch = c.format.channels;
  std::int64_t at = c.written;
  for (int done = 0; done < frames;) {
    std::int64_t idx = (at + done) % c.ring_frames;
    int n = static_cast<int>(std::min<std::int64_t>(frames - done, c.ring_frames - idx));
    std::memcpy(&c.ring[idx * ch], data + done * ch, sizeof(float) * n * ch);
    done += n;
  }
  c.segments.push_back({at, frames, src_start, src_end});
  c.written += frames;
}

void FireMixtimeEnd(Channel& c) {
  for (const SyncEntry& s : TakeDueSyncs(c, SYNC_END, SyncTiming::Mixtime)) {
    s.proc(s.handle, c.handle, 0, s.user);
  }
}

// Renders ahead for one channel. Caller holds c.mutex.
void RenderAhead(Channel& c) {
  if (c.state != ACTIVE_PLAYING || c.source_ended || !c.source) return;
  const int ch = c.format.channels;
  const std::int64_t target = TargetFrames(c);
  {
    std::lock_guard lock(c.buffer_mutex);
    EnsureRing(c);
  }
  if (c.scratch.size() < static_cast<size_t>(kBlockFrames * ch)) c.scratch.resize(kBlockFrames * ch);
  for (;;) {
    std::int64_t buffered;
    {
      std::lock_guard lock(c.buffer_mutex);
      buffered = c.Buffered();
    }
    std::int64_t need = std::min<std::int64_t>(target - buffered, c.ring_frames - buffered);
    if (need <= 0) return;
    int block = static_cast<int>(std::min<std::int64_t>(need, kBlockFrames));
    double start = static_cast<double>(c.source->PositionFrames());
    ReadResult r = PullFrames(c, c.scratch.data(), block, false);
    double end = static_cast<double>(c.source ? c.source->PositionFrames() : start);
    if (r.frames > 0) {
      std::lock_guard lock(c.buffer_mutex);
      PushFrames(c, c.scratch.data(), r.frames, start, end);
      c.stalled = false;
    }
    if (r.ended) {
      c.source_ended = true;
      FireMixtimeEnd(c);
      return;
    }
    if (r.frames == 0) {
      std::lock_guard lock(c.buffer_mutex);
      if (c.Buffered() == 0) c.stalled = true;
      return;
    }
  }
}

void UpdateLoop() {
  std::vector<ChannelPtr> snapshot;
  std::unique_lock lock(g_thread_mutex);
  while (g_run) {
    lock.unlock();
    {
      std::lock_guard pl(g_playing_mutex);
      snapshot = g_playing;
    }
    for (const ChannelPtr& c : snapshot) {
      std::lock_guard cl(c->mutex);
      RenderAhead(*c);
    }
    snapshot.clear();
    lock.lock();
    g_wake.wait_for(lock, std::chrono::milliseconds(Config().update_period_ms.load()));
  }
}

// Volume attribute to gain. The logarithmic curve spreads 0..1 over -60..0 dB (0 is silence);
// above 1 the value amplifies linearly with either curve.
float VolumeGain(float v) {
  if (v <= 0) return 0.0f;
  if (v >= 1 || !Config().curve_vol) return v;
  return std::pow(10.0f, (v - 1.0f) * 3.0f);
}

// Adds `frames` frames of channel audio (its own layout) into stereo `out` with gains.
void AddToStereo(float* out, const float* in, int frames, int channels, float gl, float gr) {
  if (channels == 1) {
    for (int i = 0; i < frames; ++i) {
      out[2 * i] += in[i] * gl;
      out[2 * i + 1] += in[i] * gr;
    }
  } else if (channels == 2) {
    for (int i = 0; i < frames; ++i) {
      out[2 * i] += in[2 * i] * gl;
      out[2 * i + 1] += in[2 * i + 1] * gr;
    }
  } else {
    // Fold a multichannel layout (L R C LFE Ls Rs ...) to stereo; LFE is left out.
    const float k = 0.7071f;
    for (int i = 0; i < frames; ++i) {
      const float* f = in + static_cast<size_t>(i) * channels;
      float l = f[0], r = f[1];
      if (channels > 2) { l += k * f[2]; r += k * f[2]; }
      for (int s = 4; s < channels; ++s) (s % 2 == 0 ? l : r) += k * f[s];
      out[2 * i] += l * gl;
      out[2 * i + 1] += r * gr;
    }
  }
}

// Mixes one channel into `out`. Caller holds c.buffer_mutex. Returns false at its end.
bool MixChannel(Channel& c, float* out, int frames, std::vector<float>& tmp) {
  const int ch = c.format.channels;
  const float rate = c.freq > 0 ? c.freq.load() : static_cast<float>(c.format.rate);
  const double ratio = rate / static_cast<double>(g_device_rate.load());
  if (tmp.size() < static_cast<size_t>(frames) * ch) tmp.resize(static_cast<size_t>(frames) * ch);
  int produced = 0;
  while (produced < frames && c.ring_frames > 0) {
    std::int64_t avail = c.Buffered();
    std::int64_t idx = static_cast<std::int64_t>(c.read) % c.ring_frames;
    int n = static_cast<int>(std::min<std::int64_t>(avail, c.ring_frames - idx));
    if (n <= 0) break;
    int consumed = 0;
    int got = c.resampler.Process(&c.ring[idx * ch], n, &consumed,
                                  tmp.data() + static_cast<size_t>(produced) * ch,
                                  frames - produced, ratio);
    c.read += consumed;
    produced += got;
    if (got == 0 && consumed == 0) break;
  }
  // At the end, silence pushes out what the resampler still holds back as look-ahead.
  if (produced < frames && c.Buffered() == 0 && c.source_ended && !c.tail_pushed) {
    static const std::vector<float> zeros(2048 * 32, 0.0f);  // look-ahead of up to 2048 frames
    int pad = std::min(static_cast<int>(std::ceil(c.resampler.LatencyFrames())) + 1,
                       static_cast<int>(zeros.size()) / ch);
    int consumed = 0;
    produced += c.resampler.Process(zeros.data(), pad, &consumed,
                                    tmp.data() + static_cast<size_t>(produced) * ch,
                                    frames - produced, ratio);
    c.tail_pushed = true;
  }
  // A block is done when it has been heard, not when the resampler took it in: the resampler
  // may hold thousands of frames of look-ahead.
  const auto heard = static_cast<std::int64_t>(c.read - c.resampler.LatencyFrames());
  while (!c.segments.empty() &&
         c.segments.front().first_frame + c.segments.front().frames <= heard) {
    if (c.segments.size() == 1) c.flush_position = c.segments.front().source_end;
    c.segments.pop_front();
  }
  float gain = VolumeGain(c.volume);
  float pan = std::clamp(c.pan.load(), -1.0f, 1.0f);
  float gl = gain * (pan > 0 ? 1.0f - pan : 1.0f);
  float gr = gain * (pan < 0 ? 1.0f + pan : 1.0f);
  AddToStereo(out, tmp.data(), produced, ch, gl, gr);
  if (produced < frames && c.Buffered() == 0) {
    if (c.source_ended) return false;
    c.stalled = true;
  }
  return true;
}

}  // namespace

// ==== Device side =================================================================================

void MixInto(float* out, int frames) {
  std::memset(out, 0, sizeof(float) * 2 * static_cast<size_t>(frames));
  static thread_local std::vector<float> tmp;
  std::lock_guard pl(g_playing_mutex);
  for (size_t i = 0; i < g_playing.size();) {
    Channel& c = *g_playing[i];
    if (c.state != ACTIVE_PLAYING) {
      ++i;
      continue;
    }
    bool more;
    {
      std::lock_guard bl(c.buffer_mutex);
      more = MixChannel(c, out, frames, tmp);
    }
    if (!more) {
      c.state = ACTIVE_STOPPED;
      PostChannelEvent(c.handle, SYNC_END, 0);
      g_playing.erase(g_playing.begin() + static_cast<std::ptrdiff_t>(i));
      continue;
    }
    ++i;
  }
}

void StartMixerThread(int rate) {
  g_device_rate = rate;
  std::lock_guard lock(g_thread_mutex);
  if (g_run) return;
  g_run = true;
  g_thread = std::thread(UpdateLoop);
}

void StopMixerThread() {
  {
    std::lock_guard lock(g_thread_mutex);
    if (!g_run) return;
    g_run = false;
  }
  g_wake.notify_all();
  if (g_thread.joinable()) g_thread.join();
}

void AddPlaying(const ChannelPtr& channel) {
  std::lock_guard pl(g_playing_mutex);
  if (std::find(g_playing.begin(), g_playing.end(), channel) == g_playing.end()) {
    g_playing.push_back(channel);
  }
}

void RemovePlaying(const ChannelPtr& channel) {
  std::lock_guard pl(g_playing_mutex);
  g_playing.erase(std::remove(g_playing.begin(), g_playing.end(), channel), g_playing.end());
}

void PrefillChannel(Channel& channel) {
  std::lock_guard lock(channel.mutex);
  RenderAhead(channel);
}

// ==== Pulling from a source with the DSP chain ========================================================

ReadResult PullFrames(Channel& c, float* out, int frames, bool wait) {
  if (!c.source) return {0, true};
  ReadResult r = c.source->Read(out, frames, wait);
  if (r.frames > 0) {
    for (ChainEntry& e : c.chain) {
      if (e.effect) {
        e.effect->Process(out, r.frames, c.format.channels, c.format.rate);
      } else if (e.proc) {
        e.proc(e.handle, c.handle, out,
               static_cast<DWORD>(r.frames) * c.format.channels * sizeof(float), e.user);
      }
    }
  }
  if (r.ended && c.decode && !c.end_sent) {
    // A decoding channel raises its END syncs on the thread that pulls the data.
    c.end_sent = true;
    for (const SyncEntry& s : TakeDueSyncs(c, SYNC_END, SyncTiming::Any)) {
      s.proc(s.handle, c.handle, 0, s.user);
    }
  }
  return r;
}

}  // namespace audio::detail
