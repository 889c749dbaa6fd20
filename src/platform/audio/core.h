// Inside the audio layer: the channel object behind every stream handle, the handle registry,
// the sync dispatcher and the output device. Shared by library.cpp, channel.cpp, mixer.cpp and
// device.cpp.
//
// Lock order (take in this order, never the reverse):
//   Registry::mutex  →  Channel::mutex  →  Channel::buffer_mutex
//   Mixer::playing_mutex → Channel::buffer_mutex
// The device thread takes only playing_mutex and buffer_mutex, each briefly.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "audio.h"
#include "resampler.h"
#include "source.h"

namespace audio::detail {

// ---- Effects -----------------------------------------------------------------------------
// A built-in effect attached with ChannelSetFX. Process runs on the mixing thread under the
// channel's mutex; Set/GetParameters run under the same mutex, so effects need no locks.
class Effect {
 public:
  virtual ~Effect() = default;
  virtual void Process(float* samples, int frames, int channels, int rate) = 0;
  virtual bool SetParameters(const void* params) = 0;
  virtual bool GetParameters(void* params) const = 0;
  virtual void Reset() {}
};
using EffectFactory = std::function<std::unique_ptr<Effect>()>;
// Makes an effect type available to ChannelSetFX. Called by the effects at start-up.
void RegisterEffect(DWORD type, EffectFactory factory);
std::unique_ptr<Effect> CreateEffect(DWORD type);

// ---- Syncs -------------------------------------------------------------------------------
struct SyncEntry {
  HSYNC handle = 0;
  DWORD type = 0;      // SYNC_* without the flags
  bool onetime = false;
  bool mixtime = false;
  QWORD param = 0;
  SYNCPROC proc = nullptr;
  void* user = nullptr;
};

// Runs sync procedures on the library's own thread, in the order they were raised.
void PostSync(const SyncEntry& sync, HCHANNEL channel, DWORD data);
// Takes the syncs of `type` that are due: with `mixtime` the mixtime ones, else the others;
// ONETIME syncs are removed from the channel. Caller holds channel.mutex.
enum class SyncTiming { Mixtime, Heard, Any };
std::vector<SyncEntry> TakeDueSyncs(class Channel& channel, DWORD type, SyncTiming timing);
// Raises, on the sync thread, every non-mixtime sync of `type` set on the channel (ONETIME ones
// are removed). For events seen on threads that must not take the channel's mutex.
void PostChannelEvent(HCHANNEL channel, DWORD type, DWORD data);

// ---- DSP chain entries ----------------------------------------------------------------------
struct ChainEntry {
  Handle handle = 0;  // HDSP or HFX
  int priority = 0;
  std::uint64_t order = 0;  // insertion order, for equal priorities
  DSPPROC proc = nullptr;
  void* user = nullptr;
  std::unique_ptr<Effect> effect;  // set for effects
};

// ---- Channel --------------------------------------------------------------------------------
// A stream handle's state. `mutex` serialises the source (Read/Seek/Position), the chain, the
// syncs and the attributes; the mixer holds it while it renders one block for this channel.
class Channel {
 public:
  Channel(HSTREAM handle, DWORD flags, std::shared_ptr<Source> source);

  const HSTREAM handle;
  const DWORD flags;
  const bool decode;  // STREAM_DECODE: pulled with ChannelGetData, never played
  const Format format;

  std::recursive_mutex mutex;
  // ---- guarded by mutex ----
  std::shared_ptr<Source> source;
  std::vector<SyncEntry> syncs;
  std::vector<ChainEntry> chain;  // sorted: priority descending, then insertion order
  HSTREAM owned_source = 0;       // tempo stream with FX_FREESOURCE: freed with this channel
  bool end_sent = false;          // decode channels: END sync raised for this end
  std::atomic<bool> source_ended{false};  // the source reported its end; nothing more to render
  std::vector<float> scratch;     // mixer block buffer

  // ---- atomics, read by the device thread ----
  std::atomic<DWORD> state{ACTIVE_STOPPED};  // ACTIVE_STOPPED / PLAYING / PAUSED
  std::atomic<bool> stalled{false};
  std::atomic<float> volume{1.0f};
  std::atomic<float> pan{0.0f};
  std::atomic<float> freq{0.0f};             // playback rate (ATTRIB_FREQ)
  std::atomic<float> buffer_seconds{-1.0f};  // ATTRIB_BUFFER, <0 = CONFIG_BUFFER

  // ---- playback buffer: guarded by buffer_mutex ----
  // Rendered (post-DSP) frames waiting for the device, with the source position of each
  // rendered block, so the position of what is heard can be reported.
  struct Segment {
    std::int64_t first_frame;  // index of the block's first frame in the stream of rendered frames
    std::int64_t frames;
    double source_start;       // source position at the block's start and end
    double source_end;
  };
  std::mutex buffer_mutex;
  std::vector<float> ring;     // interleaved, capacity ring_frames
  std::int64_t ring_frames = 0;
  std::int64_t written = 0;    // rendered frames pushed, ever (since the last flush)
  double read = 0;             // frames consumed by the device (fractional through resampling)
  std::deque<Segment> segments;
  double flush_position = 0;   // source position after the last flush, when nothing is buffered
  Resampler resampler;
  bool tail_pushed = false;    // the resampler's look-ahead was flushed out at the end

  // Frames waiting to be heard.
  std::int64_t Buffered() const { return written - static_cast<std::int64_t>(read); }
  // Source position of the frame the device will play next.
  double HeardPosition() const;
  // Drops everything buffered; the next rendered block starts at `position`.
  void FlushBuffer(double position);
};

using ChannelPtr = std::shared_ptr<Channel>;

// ---- Handle registry --------------------------------------------------------------------------
Handle NewHandle();
void RegisterChannel(const ChannelPtr& channel);
ChannelPtr FindChannel(Handle handle);
// Removes the channel from the registry (and from playback); false when unknown.
ChannelPtr UnregisterChannel(Handle handle);
// The channel that owns a DSP/FX/sync handle.
ChannelPtr FindChannelOwning(Handle sub_handle);
void RememberOwner(Handle sub_handle, HCHANNEL channel);
void ForgetOwner(Handle sub_handle);
std::vector<ChannelPtr> AllChannels();

// A Source that forwards to another channel's source under that channel's mutex, so a tempo
// stream can pull from a decoding channel that the UI may query at the same time.
std::shared_ptr<Source> LockedSourceOf(const ChannelPtr& channel);

// Pulls up to `frames` frames from the channel's source, running its DSP chain and firing its
// decode-time syncs. Caller holds channel->mutex.
ReadResult PullFrames(Channel& channel, float* out, int frames, bool wait);

// ---- Mixer and device ---------------------------------------------------------------------------
// The mixer renders playing channels into their playback buffers every UPDATEPERIOD ms; the
// device pulls, resamples and mixes them. Both run only between Init and Free.
bool StartOutput(int device, int freq, int* error);
void StopOutput();
bool OutputRunning();
int OutputRate();
void AddPlaying(const ChannelPtr& channel);
void RemovePlaying(const ChannelPtr& channel);
// Renders ahead for `channel` now (ChannelPlay does it so sound starts without waiting for the
// next update period).
void PrefillChannel(Channel& channel);

// Device enumeration (SDL); numbering from 1.
std::vector<DeviceInfo> ListDevices();

}  // namespace audio::detail
