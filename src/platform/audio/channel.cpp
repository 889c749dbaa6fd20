// The stream and channel operations of the public API: creating streams of every kind over
// their Sources, transport, positions, data, attributes, tags, syncs, DSP and effects.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <mutex>

#include "config.h"
#include "core.h"
#include "ffmpeg_source.h"
#include "midi_source.h"
#include "tempo_source.h"
#include "url_source.h"

namespace audio {
namespace detail {

Channel::Channel(HSTREAM h, DWORD f, std::shared_ptr<Source> s)
    : handle(h),
      flags(f),
      decode((f & STREAM_DECODE) != 0),
      format(s->format()),
      source(std::move(s)),
      resampler(format.channels) {}

namespace {

int BytesPerSample(const Channel& c) { return (c.flags & SAMPLE_FLOAT) ? 4 : 2; }
std::int64_t BytesPerFrame(const Channel& c) {
  return static_cast<std::int64_t>(BytesPerSample(c)) * c.format.channels;
}

// ---- A source read through another channel, under that channel's lock -------------------------
class LockedSource : public Source {
 public:
  explicit LockedSource(ChannelPtr channel) : channel_(std::move(channel)), format_(channel_->format) {}
  Format format() const override { return format_; }
  ReadResult Read(float* out, int frames, bool wait) override {
    std::lock_guard lock(channel_->mutex);
    return PullFrames(*channel_, out, frames, wait);
  }
  std::int64_t LengthFrames() const override {
    std::lock_guard lock(channel_->mutex);
    return channel_->source ? channel_->source->LengthFrames() : -1;
  }
  std::int64_t PositionFrames() const override {
    std::lock_guard lock(channel_->mutex);
    return channel_->source ? channel_->source->PositionFrames() : 0;
  }
  bool Seek(std::int64_t frame, int* error) override {
    std::lock_guard lock(channel_->mutex);
    if (!channel_->source) return *error = ERROR_HANDLE, false;
    channel_->end_sent = false;
    return channel_->source->Seek(frame, error);
  }
  std::vector<char> Tags(DWORD kind) const override {
    std::lock_guard lock(channel_->mutex);
    return channel_->source ? channel_->source->Tags(kind) : std::vector<char>{};
  }
  float Bitrate() const override {
    std::lock_guard lock(channel_->mutex);
    return channel_->source ? channel_->source->Bitrate() : 0.0f;
  }
  bool VariableBitrate() const override {
    std::lock_guard lock(channel_->mutex);
    return channel_->source && channel_->source->VariableBitrate();
  }
  DWORD OriginalResolution() const override {
    std::lock_guard lock(channel_->mutex);
    return channel_->source ? channel_->source->OriginalResolution() : 0;
  }
  std::uint64_t Downloaded() const override {
    std::lock_guard lock(channel_->mutex);
    return channel_->source ? channel_->source->Downloaded() : 0;
  }
  std::int64_t DownloadTotal() const override {
    std::lock_guard lock(channel_->mutex);
    return channel_->source ? channel_->source->DownloadTotal() : -1;
  }

 private:
  ChannelPtr channel_;
  Format format_;
};

// ---- A stream fed by a user procedure ------------------------------------------------------------
class ProcSource : public Source {
 public:
  ProcSource(Format f, bool is_float, STREAMPROC proc, void* user)
      : format_(f), float_(is_float), proc_(proc), user_(user) {}
  void SetHandle(HSTREAM h) { handle_ = h; }
  Format format() const override { return format_; }
  ReadResult Read(float* out, int frames, bool) override {
    if (ended_) return {0, true};
    const int samples = frames * format_.channels;
    DWORD bytes;
    if (float_) {
      bytes = proc_(handle_, out, static_cast<DWORD>(samples * sizeof(float)), user_);
    } else {
      pcm_.resize(samples);
      bytes = proc_(handle_, pcm_.data(), static_cast<DWORD>(samples * sizeof(std::int16_t)), user_);
    }
    bool end = (bytes & STREAMPROC_END) != 0;
    bytes &= ~STREAMPROC_END;
    const int sample_size = float_ ? 4 : 2;
    int got = static_cast<int>(std::min<DWORD>(bytes, samples * sample_size) / sample_size) /
              format_.channels;
    if (!float_) {
      for (int i = 0; i < got * format_.channels; ++i) out[i] = pcm_[i] / 32768.0f;
    }
    position_ += got;
    if (end) ended_ = true;
    return {got, ended_};
  }
  std::int64_t LengthFrames() const override { return -1; }
  std::int64_t PositionFrames() const override { return position_; }
  bool Seek(std::int64_t, int* error) override { return *error = ERROR_NOTFILE, false; }

 private:
  Format format_;
  bool float_;
  STREAMPROC proc_;
  void* user_;
  HSTREAM handle_ = 0;
  std::int64_t position_ = 0;
  bool ended_ = false;
  std::vector<std::int16_t> pcm_;
};

// Registers a new stream over `source`; 0 (with the error set) when the device is needed and
// not started.
HSTREAM AddStream(std::shared_ptr<Source> source, DWORD flags) {
  if (!(flags & STREAM_DECODE) && !OutputRunning()) return Fail(ERROR_INIT, HSTREAM{0});
  Format f = source->format();
  if (f.channels <= 0 || f.rate <= 0) return Fail(ERROR_FORMAT, HSTREAM{0});
  HSTREAM h = NewHandle();
  auto channel = std::make_shared<Channel>(h, flags, std::move(source));
  RegisterChannel(channel);
  SetError(ERROR_OK);
  return h;
}

void InstallEventSink(Source& source, HSTREAM h) {
  source.SetEventSink([h](Source::Event e) {
    PostChannelEvent(h, e == Source::Event::Metadata ? SYNC_META : SYNC_DOWNLOAD, 0);
  });
}

bool LooksLikeMidi(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  char head[12] = {};
  in.read(head, sizeof head);
  if (in.gcount() >= 4 && std::memcmp(head, "MThd", 4) == 0) return true;
  return in.gcount() == 12 && std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "RMID", 4) == 0;
}

// The channel for a handle, or null with ERROR_HANDLE.
ChannelPtr Get(Handle h) {
  ChannelPtr c = FindChannel(h);
  if (!c) SetError(ERROR_HANDLE);
  return c;
}

// Seeks a channel's source and resets its playback state. Caller holds c.mutex.
bool SeekChannel(Channel& c, std::int64_t frame, int* error) {
  if (!c.source) return *error = ERROR_HANDLE, false;
  if (!c.source->Seek(frame, error)) return false;
  c.end_sent = false;
  c.source_ended = false;
  {
    std::lock_guard lock(c.buffer_mutex);
    c.FlushBuffer(static_cast<double>(c.source->PositionFrames()));
  }
  for (ChainEntry& e : c.chain) {
    if (e.effect) e.effect->Reset();
  }
  return true;
}

}  // namespace

std::shared_ptr<Source> LockedSourceOf(const ChannelPtr& channel) {
  return std::make_shared<LockedSource>(channel);
}

}  // namespace detail

using namespace detail;

// ==== Streams ====================================================================================

HSTREAM StreamCreateFile(const std::string& path, QWORD offset, QWORD length, DWORD flags) {
  int error = ERROR_OK;
  std::shared_ptr<Source> source;
  if (offset == 0 && length == 0 && LooksLikeMidi(path)) {
    source = OpenMidiFile(path, flags, 0, &error);
  } else {
    source = OpenFfmpegFile(path, offset, length, &error);
  }
  if (!source) return Fail(error ? error : ERROR_FILEFORM, HSTREAM{0});
  return AddStream(std::move(source), flags);
}

HSTREAM StreamCreateURL(const std::string& url, DWORD offset, DWORD flags) {
  (void)offset;
  int error = ERROR_OK;
  std::shared_ptr<Source> source = OpenUrlSource(url, flags, &error);
  if (!source) return Fail(error ? error : ERROR_FILEOPEN, HSTREAM{0});
  HSTREAM h = AddStream(source, flags);
  if (h) InstallEventSink(*source, h);
  return h;
}

HSTREAM StreamCreate(DWORD freq, DWORD chans, DWORD flags, STREAMPROC proc, void* user) {
  if (!proc || freq == 0 || chans == 0 || chans > 32) return Fail(ERROR_ILLPARAM, HSTREAM{0});
  Format f{static_cast<int>(freq), static_cast<int>(chans)};
  auto source = std::make_shared<ProcSource>(f, (flags & SAMPLE_FLOAT) != 0, proc, user);
  HSTREAM h = AddStream(source, flags);
  source->SetHandle(h);
  return h;
}

bool StreamFree(HSTREAM handle) {
  ChannelPtr c = UnregisterChannel(handle);
  if (!c) return Fail(ERROR_HANDLE, false);
  RemovePlaying(c);
  c->state = ACTIVE_STOPPED;
  std::shared_ptr<Source> source;
  HSTREAM owned = 0;
  {
    std::lock_guard lock(c->mutex);  // waits for a render of this channel in progress
    source = std::move(c->source);
    owned = c->owned_source;
    for (auto& s : c->syncs) ForgetOwner(s.handle);
    for (auto& e : c->chain) ForgetOwner(e.handle);
    c->syncs.clear();
    c->chain.clear();
  }
  source.reset();
  if (owned) StreamFree(owned);
  SetError(ERROR_OK);
  return true;
}

QWORD StreamGetDownloaded(HSTREAM handle) {
  ChannelPtr c = Get(handle);
  if (!c) return static_cast<QWORD>(-1);
  std::lock_guard lock(c->mutex);
  if (!c->source) return Fail(ERROR_HANDLE, static_cast<QWORD>(-1));
  SetError(ERROR_OK);
  return c->source->Downloaded();
}

HSTREAM TempoCreate(HSTREAM source_handle, DWORD flags) {
  ChannelPtr src = Get(source_handle);
  if (!src) return 0;
  if (!src->decode) return Fail(ERROR_DECODE, HSTREAM{0});
  std::unique_ptr<Source> tempo = MakeTempoSource(LockedSourceOf(src));
  if (!tempo) return Fail(ERROR_CREATE, HSTREAM{0});
  // The tempo stream keeps the source's sample type (always float inside).
  HSTREAM h = AddStream(std::move(tempo), (flags & ~FX_FREESOURCE) | (src->flags & SAMPLE_FLOAT));
  if (!h) return 0;
  if (flags & FX_FREESOURCE) {
    ChannelPtr c = FindChannel(h);
    std::lock_guard lock(c->mutex);
    c->owned_source = source_handle;
  }
  return h;
}

HSTREAM MidiStreamCreateFile(const std::string& path, QWORD offset, QWORD length, DWORD flags,
                             DWORD freq) {
  (void)offset;
  (void)length;
  int error = ERROR_OK;
  std::shared_ptr<Source> source = OpenMidiFile(path, flags, freq, &error);
  if (!source) return Fail(error ? error : ERROR_FILEFORM, HSTREAM{0});
  return AddStream(std::move(source), flags);
}

bool MidiStreamSetFonts(HSTREAM handle, const MidiFont* fonts, DWORD count) {
  int error = ERROR_OK;
  if (handle == 0) {
    if (!SetDefaultMidiFonts(fonts, count, &error)) return Fail(error, false);
    SetError(ERROR_OK);
    return true;
  }
  ChannelPtr c = Get(handle);
  if (!c) return false;
  std::lock_guard lock(c->mutex);
  auto* midi = dynamic_cast<MidiSource*>(c->source.get());
  if (!midi) return Fail(ERROR_ILLTYPE, false);
  if (!midi->SetFonts(fonts, count, &error)) return Fail(error, false);
  SetError(ERROR_OK);
  return true;
}

// ==== Transport ==================================================================================

bool ChannelPlay(HCHANNEL handle, bool restart) {
  ChannelPtr c = Get(handle);
  if (!c) return false;
  if (c->decode) return Fail(ERROR_DECODE, false);
  if (!OutputRunning()) return Fail(ERROR_START, false);
  {
    std::lock_guard lock(c->mutex);
    bool at_end = false;
    {
      std::lock_guard bl(c->buffer_mutex);
      at_end = c->source_ended && c->Buffered() == 0;
    }
    if (restart || at_end) {
      int error = ERROR_OK;
      if (!SeekChannel(*c, 0, &error) && restart) return Fail(error, false);
    }
    c->state = ACTIVE_PLAYING;
  }
  PrefillChannel(*c);
  AddPlaying(c);
  SetError(ERROR_OK);
  return true;
}

bool ChannelPause(HCHANNEL handle) {
  ChannelPtr c = Get(handle);
  if (!c) return false;
  if (c->decode) return Fail(ERROR_DECODE, false);
  DWORD expected = ACTIVE_PLAYING;
  if (!c->state.compare_exchange_strong(expected, ACTIVE_PAUSED)) {
    return Fail(expected == ACTIVE_PAUSED ? ERROR_ALREADY : ERROR_NOPLAY, false);
  }
  SetError(ERROR_OK);
  return true;
}

bool ChannelStop(HCHANNEL handle) {
  ChannelPtr c = Get(handle);
  if (!c) return false;
  if (c->decode) return Fail(ERROR_DECODE, false);
  c->state = ACTIVE_STOPPED;
  RemovePlaying(c);
  SetError(ERROR_OK);
  return true;
}

DWORD ChannelIsActive(HCHANNEL handle) {
  ChannelPtr c = Get(handle);
  if (!c) return ACTIVE_STOPPED;
  SetError(ERROR_OK);
  if (c->decode) {
    std::lock_guard lock(c->mutex);
    if (!c->source || c->end_sent) return ACTIVE_STOPPED;
    std::int64_t len = c->source->LengthFrames();
    if (len >= 0 && c->source->PositionFrames() >= len) return ACTIVE_STOPPED;
    return ACTIVE_PLAYING;
  }
  DWORD s = c->state;
  if (s == ACTIVE_PLAYING && c->stalled) return ACTIVE_STALLED;
  return s;
}

bool ChannelGetInfo(HCHANNEL handle, ChannelInfo* info) {
  ChannelPtr c = Get(handle);
  if (!c) return false;
  if (!info) return Fail(ERROR_ILLPARAM, false);
  std::lock_guard lock(c->mutex);
  info->freq = static_cast<DWORD>(c->format.rate);
  info->chans = static_cast<DWORD>(c->format.channels);
  info->flags = c->flags & (SAMPLE_FLOAT | STREAM_DECODE | STREAM_BLOCK | STREAM_STATUS);
  info->ctype = c->source ? c->source->ChannelType() : CTYPE_STREAM;
  info->origres = c->source ? c->source->OriginalResolution() : 0;
  SetError(ERROR_OK);
  return true;
}

// ==== Positions =================================================================================

QWORD ChannelGetLength(HCHANNEL handle, DWORD mode) {
  ChannelPtr c = Get(handle);
  if (!c) return static_cast<QWORD>(-1);
  if (mode != POS_BYTE) return Fail(ERROR_NOTAVAIL, static_cast<QWORD>(-1));
  std::lock_guard lock(c->mutex);
  std::int64_t frames = c->source ? c->source->LengthFrames() : -1;
  if (frames < 0) return Fail(ERROR_NOTAVAIL, static_cast<QWORD>(-1));
  SetError(ERROR_OK);
  return static_cast<QWORD>(frames * BytesPerFrame(*c));
}

QWORD ChannelGetPosition(HCHANNEL handle, DWORD mode) {
  ChannelPtr c = Get(handle);
  if (!c) return static_cast<QWORD>(-1);
  if (mode != POS_BYTE) return Fail(ERROR_NOTAVAIL, static_cast<QWORD>(-1));
  double frames;
  if (c->decode) {
    std::lock_guard lock(c->mutex);
    frames = c->source ? static_cast<double>(c->source->PositionFrames()) : 0.0;
  } else {
    bool rendered;
    {
      std::lock_guard bl(c->buffer_mutex);
      rendered = !c->segments.empty() || c->written > 0 || c->flush_position > 0;
      frames = c->HeardPosition();
    }
    if (!rendered) {
      std::lock_guard lock(c->mutex);
      frames = c->source ? static_cast<double>(c->source->PositionFrames()) : 0.0;
    }
  }
  SetError(ERROR_OK);
  return static_cast<QWORD>(std::llround(frames)) * static_cast<QWORD>(BytesPerFrame(*c));
}

bool ChannelSetPosition(HCHANNEL handle, QWORD pos, DWORD mode) {
  ChannelPtr c = Get(handle);
  if (!c) return false;
  if ((mode & ~POS_FLUSH) != POS_BYTE) return Fail(ERROR_NOTAVAIL, false);
  int error = ERROR_OK;
  {
    std::lock_guard lock(c->mutex);
    std::int64_t frame = static_cast<std::int64_t>(pos / static_cast<QWORD>(BytesPerFrame(*c)));
    if (!SeekChannel(*c, frame, &error)) return Fail(error ? error : ERROR_POSITION, false);
  }
  if (!c->decode && c->state == ACTIVE_PLAYING) PrefillChannel(*c);
  SetError(ERROR_OK);
  return true;
}

double ChannelBytes2Seconds(HCHANNEL handle, QWORD bytes) {
  ChannelPtr c = Get(handle);
  if (!c) return -1.0;
  if (bytes == static_cast<QWORD>(-1)) return Fail(ERROR_ILLPARAM, -1.0);
  SetError(ERROR_OK);
  return static_cast<double>(bytes) / static_cast<double>(BytesPerFrame(*c)) / c->format.rate;
}

QWORD ChannelSeconds2Bytes(HCHANNEL handle, double seconds) {
  ChannelPtr c = Get(handle);
  if (!c) return static_cast<QWORD>(-1);
  if (!(seconds >= 0)) return Fail(ERROR_ILLPARAM, static_cast<QWORD>(-1));
  SetError(ERROR_OK);
  auto frames = static_cast<QWORD>(seconds * c->format.rate);
  return frames * static_cast<QWORD>(BytesPerFrame(*c));
}

// ==== Data ======================================================================================

DWORD ChannelGetData(HCHANNEL handle, void* buffer, DWORD length) {
  ChannelPtr c = Get(handle);
  if (!c) return static_cast<DWORD>(-1);
  const bool want_float = (length & DATA_FLOAT) || (c->flags & SAMPLE_FLOAT);
  length &= ~DATA_FLOAT;
  const int out_size = want_float ? 4 : 2;
  const int ch = c->format.channels;
  const int frames = static_cast<int>(length / static_cast<DWORD>(out_size * ch));
  if (!c->decode) {
    // A played channel: a copy of what is about to be heard, nothing consumed.
    std::lock_guard bl(c->buffer_mutex);
    std::int64_t avail = c->Buffered();
    if (length == DATA_AVAILABLE) return static_cast<DWORD>(avail * BytesPerFrame(*c));
    int n = static_cast<int>(std::min<std::int64_t>(frames, avail));
    for (int i = 0; i < n * ch; ++i) {
      std::int64_t idx = ((static_cast<std::int64_t>(c->read) + i / ch) % c->ring_frames) * ch + i % ch;
      float v = c->ring[idx];
      if (want_float) {
        static_cast<float*>(buffer)[i] = v;
      } else {
        static_cast<std::int16_t*>(buffer)[i] =
            static_cast<std::int16_t>(std::lround(std::clamp(v, -1.0f, 1.0f) * 32767.0f));
      }
    }
    SetError(ERROR_OK);
    return static_cast<DWORD>(n * out_size * ch);
  }
  std::lock_guard lock(c->mutex);
  if (!c->source) return Fail(ERROR_HANDLE, static_cast<DWORD>(-1));
  if (frames <= 0) return Fail(ERROR_ILLPARAM, static_cast<DWORD>(-1));
  float* out = want_float ? static_cast<float*>(buffer) : nullptr;
  std::vector<float> tmp;
  if (!out) {
    tmp.resize(static_cast<size_t>(frames) * ch);
    out = tmp.data();
  }
  int got = 0;
  bool ended = false;
  while (got < frames && !ended) {
    ReadResult r = PullFrames(*c, out + static_cast<size_t>(got) * ch, frames - got, true);
    got += r.frames;
    ended = r.ended;
    if (r.frames == 0 && !r.ended) break;  // a network stream with nothing after the time-out
  }
  if (!want_float) {
    auto* pcm = static_cast<std::int16_t*>(buffer);
    for (int i = 0; i < got * ch; ++i) {
      pcm[i] = static_cast<std::int16_t>(std::lround(std::clamp(out[i], -1.0f, 1.0f) * 32767.0f));
    }
  }
  if (got == 0) return Fail(ended ? ERROR_ENDED : ERROR_TIMEOUT, static_cast<DWORD>(-1));
  SetError(ERROR_OK);
  return static_cast<DWORD>(got * out_size * ch);
}

// ==== Attributes ================================================================================

bool ChannelSetAttribute(HCHANNEL handle, DWORD attrib, float value) {
  ChannelPtr c = Get(handle);
  if (!c) return false;
  if (std::isnan(value)) return Fail(ERROR_ILLPARAM, false);
  switch (attrib) {
    case ATTRIB_FREQ:
      c->freq = value <= 0 ? 0.0f : std::clamp(value, 100.0f, 768000.0f);
      break;
    case ATTRIB_VOL: c->volume = std::max(0.0f, value); break;
    case ATTRIB_PAN: c->pan = std::clamp(value, -1.0f, 1.0f); break;
    case ATTRIB_BUFFER: c->buffer_seconds = std::max(0.0f, value); break;
    case ATTRIB_BITRATE:
    case ATTRIB_VBR: return Fail(ERROR_ILLTYPE, false);  // read-only
    default: {
      std::lock_guard lock(c->mutex);
      if (!c->source || !c->source->SetAttribute(attrib, value)) return Fail(ERROR_ILLTYPE, false);
    }
  }
  SetError(ERROR_OK);
  return true;
}

bool ChannelGetAttribute(HCHANNEL handle, DWORD attrib, float* value) {
  ChannelPtr c = Get(handle);
  if (!c) return false;
  if (!value) return Fail(ERROR_ILLPARAM, false);
  switch (attrib) {
    case ATTRIB_FREQ: *value = c->freq > 0 ? c->freq.load() : static_cast<float>(c->format.rate); break;
    case ATTRIB_VOL: *value = c->volume; break;
    case ATTRIB_PAN: *value = c->pan; break;
    case ATTRIB_BUFFER:
      *value = c->buffer_seconds >= 0 ? c->buffer_seconds.load() : Config().buffer_ms / 1000.0f;
      break;
    default: {
      std::lock_guard lock(c->mutex);
      if (!c->source) return Fail(ERROR_HANDLE, false);
      if (attrib == ATTRIB_BITRATE) {
        *value = c->source->Bitrate();
      } else if (attrib == ATTRIB_VBR) {
        *value = c->source->VariableBitrate() ? 1.0f : 0.0f;
      } else if (!c->source->GetAttribute(attrib, value)) {
        return Fail(ERROR_ILLTYPE, false);
      }
    }
  }
  SetError(ERROR_OK);
  return true;
}

std::vector<char> ChannelGetTags(HCHANNEL handle, DWORD tags) {
  ChannelPtr c = Get(handle);
  if (!c) return {};
  std::shared_ptr<Source> source;
  {
    std::lock_guard lock(c->mutex);
    source = c->source;
  }
  std::vector<char> block = source ? source->Tags(tags) : std::vector<char>{};
  SetError(block.empty() ? ERROR_NOTAVAIL : ERROR_OK);
  return block;
}

// ==== Syncs, DSP and effects ====================================================================

HSYNC ChannelSetSync(HCHANNEL handle, DWORD type, QWORD param, SYNCPROC proc, void* user) {
  ChannelPtr c = Get(handle);
  if (!c) return 0;
  if (!proc) return Fail(ERROR_ILLPARAM, HSYNC{0});
  SyncEntry s;
  s.type = type & ~(SYNC_MIXTIME | SYNC_ONETIME);
  if (s.type != SYNC_END && s.type != SYNC_META && s.type != SYNC_DOWNLOAD) {
    return Fail(ERROR_ILLTYPE, HSYNC{0});
  }
  s.onetime = (type & SYNC_ONETIME) != 0;
  s.mixtime = (type & SYNC_MIXTIME) != 0;
  s.param = param;
  s.proc = proc;
  s.user = user;
  s.handle = NewHandle();
  {
    std::lock_guard lock(c->mutex);
    c->syncs.push_back(s);
  }
  RememberOwner(s.handle, handle);
  SetError(ERROR_OK);
  return s.handle;
}

bool ChannelRemoveSync(HCHANNEL handle, HSYNC sync) {
  ChannelPtr c = Get(handle);
  if (!c) return false;
  std::lock_guard lock(c->mutex);
  auto it = std::find_if(c->syncs.begin(), c->syncs.end(), [&](auto& s) { return s.handle == sync; });
  if (it == c->syncs.end()) return Fail(ERROR_HANDLE, false);
  c->syncs.erase(it);
  ForgetOwner(sync);
  SetError(ERROR_OK);
  return true;
}

namespace {
std::atomic<std::uint64_t> g_chain_order{0};

Handle AddToChain(const ChannelPtr& c, ChainEntry entry) {
  entry.handle = NewHandle();
  entry.order = g_chain_order.fetch_add(1);
  Handle h = entry.handle;
  {
    std::lock_guard lock(c->mutex);
    auto pos = std::find_if(c->chain.begin(), c->chain.end(), [&](const ChainEntry& e) {
      return e.priority < entry.priority;
    });
    c->chain.insert(pos, std::move(entry));
  }
  RememberOwner(h, c->handle);
  return h;
}

bool RemoveFromChain(HCHANNEL handle, Handle item, bool want_effect) {
  ChannelPtr c = Get(handle);
  if (!c) return false;
  std::unique_ptr<Effect> doomed;
  {
    std::lock_guard lock(c->mutex);
    auto it = std::find_if(c->chain.begin(), c->chain.end(), [&](const ChainEntry& e) {
      return e.handle == item && (e.effect != nullptr) == want_effect;
    });
    if (it == c->chain.end()) return Fail(ERROR_HANDLE, false);
    doomed = std::move(it->effect);
    c->chain.erase(it);
  }
  ForgetOwner(item);
  SetError(ERROR_OK);
  return true;
}
}  // namespace

HDSP ChannelSetDSP(HCHANNEL handle, DSPPROC proc, void* user, int priority) {
  ChannelPtr c = Get(handle);
  if (!c) return 0;
  if (!proc) return Fail(ERROR_ILLPARAM, HDSP{0});
  if (!(c->flags & SAMPLE_FLOAT)) return Fail(ERROR_FORMAT, HDSP{0});
  ChainEntry e;
  e.proc = proc;
  e.user = user;
  e.priority = priority;
  SetError(ERROR_OK);
  return AddToChain(c, std::move(e));
}

bool ChannelRemoveDSP(HCHANNEL handle, HDSP dsp) { return RemoveFromChain(handle, dsp, false); }

HFX ChannelSetFX(HCHANNEL handle, DWORD type, int priority) {
  ChannelPtr c = Get(handle);
  if (!c) return 0;
  std::unique_ptr<Effect> effect = CreateEffect(type);
  if (!effect) return Fail(ERROR_ILLTYPE, HFX{0});
  ChainEntry e;
  e.effect = std::move(effect);
  e.priority = priority;
  SetError(ERROR_OK);
  return AddToChain(c, std::move(e));
}

bool ChannelRemoveFX(HCHANNEL handle, HFX fx) { return RemoveFromChain(handle, fx, true); }

namespace {
template <typename F>
bool WithEffect(HFX fx, F&& f) {
  ChannelPtr c = FindChannelOwning(fx);
  if (!c) return Fail(ERROR_HANDLE, false);
  std::lock_guard lock(c->mutex);
  for (ChainEntry& e : c->chain) {
    if (e.handle == fx && e.effect) {
      if (!f(*e.effect)) return Fail(ERROR_ILLPARAM, false);
      SetError(ERROR_OK);
      return true;
    }
  }
  return Fail(ERROR_HANDLE, false);
}
}  // namespace

bool FXSetParameters(HFX fx, const void* params) {
  if (!params) return Fail(ERROR_ILLPARAM, false);
  return WithEffect(fx, [&](Effect& e) { return e.SetParameters(params); });
}

bool FXGetParameters(HFX fx, void* params) {
  if (!params) return Fail(ERROR_ILLPARAM, false);
  return WithEffect(fx, [&](Effect& e) { return e.GetParameters(params); });
}

}  // namespace audio
