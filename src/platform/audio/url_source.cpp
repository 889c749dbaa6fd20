// URL streams: an HttpStream feeds the FFmpeg decoder on a reader thread, which fills a float
// FIFO the channel reads from without blocking; ICY headers and metadata become tag blocks.
#include "url_source.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <strings.h>
#include <mutex>
#include <thread>
#include <vector>

#include "config.h"
#include "ffmpeg_source.h"
#include "http_stream.h"

namespace audio::detail {
namespace {

constexpr int kChunkFrames = 2048;          // frames decoded per step of the reader thread
constexpr int kMinBufferMs = 200;           // floor of CONFIG_NET_BUFFER
constexpr std::size_t kBlockReadAhead = 256 * 1024;     // STREAM_BLOCK: bytes kept ahead
constexpr std::size_t kFileReadAhead = 16 * 1024 * 1024;  // otherwise (grows only as needed)
constexpr auto kReaderPoll = std::chrono::milliseconds(100);  // download-complete check
const char kDefaultAgent[] = "Sonderlane/0.1";

bool StartsWithNoCase(const std::string& text, const char* prefix) {
  return strncasecmp(text.c_str(), prefix, std::strlen(prefix)) == 0;
}

int ErrorFor(net::HttpError e) {
  switch (e) {
    case net::HttpError::HostNotFound: return ERROR_NONET;
    case net::HttpError::Timeout: return ERROR_TIMEOUT;
    case net::HttpError::Tls: return ERROR_SSL;
    case net::HttpError::UnsupportedScheme: return ERROR_PROTOCOL;
    case net::HttpError::None: return ERROR_OK;
    default: return ERROR_FILEOPEN;  // refused, HTTP error status, broken transfer
  }
}

// The value of header `name` in "\n"-separated header lines, empty when absent.
std::string HeaderValue(const std::string& lines, const char* name) {
  std::size_t n = std::strlen(name);
  for (std::size_t pos = 0; pos < lines.size();) {
    std::size_t end = lines.find('\n', pos);
    if (end == std::string::npos) end = lines.size();
    std::string line = lines.substr(pos, end - pos);
    if (line.size() > n && line[n] == ':' && StartsWithNoCase(line, name)) {
      std::size_t v = line.find_first_not_of(' ', n + 1);
      return v == std::string::npos ? std::string() : line.substr(v);
    }
    pos = end + 1;
  }
  return {};
}

// What the decoder's byte input saw go wrong on the network (shared with the source, which
// outlives a failed decoder open).
struct NetFailure {
  std::atomic<net::HttpError> error{net::HttpError::None};
};

// The decoder's byte input: the network stream.
class HttpByteReader final : public ByteReader {
 public:
  HttpByteReader(std::unique_ptr<net::HttpStream> stream, std::shared_ptr<NetFailure> failure)
      : stream_(std::move(stream)), failure_(std::move(failure)) {}
  int Read(std::uint8_t* buffer, int size) override {
    int n = stream_->Read(buffer, size);
    if (n < 0) failure_->error = stream_->LastError();
    return n;
  }
  bool Seek(std::int64_t offset) override { return stream_->Seek(offset); }
  std::int64_t Size() const override { return stream_->Response().content_length; }

 private:
  std::unique_ptr<net::HttpStream> stream_;
  std::shared_ptr<NetFailure> failure_;
};

class UrlSource final : public Source {
 public:
  UrlSource(DWORD flags, const net::HttpResponse& response)
      : flags_(flags), response_(response), failure_(std::make_shared<NetFailure>()) {}
  ~UrlSource() override;

  // Opens the decoder over `http` and starts the reader thread; returns an ERROR_* code.
  int Start(std::unique_ptr<net::HttpStream> http, const std::string& url);

  Format format() const override { return format_; }
  ReadResult Read(float* out, int frames, bool wait) override;
  std::int64_t LengthFrames() const override { return length_frames_; }
  std::int64_t PositionFrames() const override {
    std::lock_guard lk(fifo_mutex_);
    return position_;
  }
  bool Seek(std::int64_t frame, int* error) override;
  std::vector<char> Tags(DWORD kind) const override;
  float Bitrate() const override;
  bool VariableBitrate() const override { return decoder_->VariableBitrate(); }
  DWORD ChannelType() const override { return CTYPE_STREAM_URL; }
  DWORD OriginalResolution() const override { return decoder_->OriginalResolution(); }
  std::uint64_t Downloaded() const override {
    return static_cast<std::uint64_t>(std::max<std::int64_t>(0, http_->Received()));
  }
  std::int64_t DownloadTotal() const override { return response_.content_length; }
  void SetEventSink(EventSink sink) override {
    std::lock_guard lk(sink_mutex_);
    sink_ = std::move(sink);
  }

 private:
  void ReaderLoop();
  void Raise(Event e);
  void CheckDownloadComplete();
  std::int64_t FifoFree() const { return capacity_frames_ - fifo_frames_; }
  void FifoPush(const float* in, int frames);
  int FifoPop(float* out, int frames);

  // ---- immutable after Start --------------------------------------------------------------
  const DWORD flags_;
  const net::HttpResponse response_;  // the headers of the first answer
  std::shared_ptr<NetFailure> failure_;
  net::HttpStream* http_ = nullptr;   // owned by the decoder's byte reader
  std::unique_ptr<Source> decoder_;
  Format format_;
  std::int64_t length_frames_ = -1;
  std::int64_t capacity_frames_ = 0;
  std::int64_t prebuf_frames_ = 0;
  int timeout_ms_ = 5000;
  std::thread reader_;

  // ---- decoder_mutex_: the decoder, between the reader thread and Seek --------------------
  // Lock order: decoder_mutex_ before fifo_mutex_.
  std::mutex decoder_mutex_;

  // ---- guarded by fifo_mutex_ -------------------------------------------------------------
  mutable std::mutex fifo_mutex_;
  std::condition_variable data_cv_;   // frames arrived, or the end
  std::condition_variable space_cv_;  // frames taken, seek, or stop
  std::vector<float> fifo_;
  std::int64_t fifo_head_ = 0;        // frame index of the oldest frame in fifo_
  std::int64_t fifo_frames_ = 0;
  bool eof_ = false;                  // the decoder ended; what is in the FIFO is the rest
  bool buffering_ = true;             // non-waiting reads deliver nothing until prebuffered
  bool seek_pending_ = false;
  bool stop_ = false;
  std::int64_t position_ = 0;         // frame position of the next frame Read delivers

  // ---- other threads ----------------------------------------------------------------------
  mutable std::mutex meta_mutex_;
  std::string last_meta_;             // guarded by meta_mutex_
  mutable std::mutex sink_mutex_;
  EventSink sink_;                    // guarded by sink_mutex_
  std::atomic<bool> download_complete_{false};
};

int UrlSource::Start(std::unique_ptr<net::HttpStream> http, const std::string& url) {
  http_ = http.get();
  http->SetMetadataCallback([this](const std::string& block) {
    {
      std::lock_guard lk(meta_mutex_);
      last_meta_ = block;
    }
    Raise(Event::Metadata);
  });
  auto reader = std::make_unique<HttpByteReader>(std::move(http), failure_);
  int error = ERROR_OK;
  decoder_ = OpenFfmpegReader(std::move(reader), url, response_.content_type, &error);
  if (!decoder_) {
    http_ = nullptr;  // went with the reader
    net::HttpError net_error = failure_->error.load();
    if (net_error != net::HttpError::None) return ErrorFor(net_error);
    return error != ERROR_OK ? error : ERROR_FILEFORM;
  }
  format_ = decoder_->format();
  if (response_.content_length >= 0) length_frames_ = decoder_->LengthFrames();

  const LibraryConfig& config = Config();
  timeout_ms_ = std::max(1, config.net_timeout_ms.load());
  int buffer_ms = std::max(kMinBufferMs, config.net_buffer_ms.load());
  capacity_frames_ = std::max<std::int64_t>(std::int64_t{buffer_ms} * format_.rate / 1000,
                                            4 * kChunkFrames);
  int prebuf = std::clamp(config.net_prebuf.load(), 0, 100);
  // The reader tops the FIFO up a chunk at a time, so it may stay a chunk short of full.
  prebuf_frames_ = std::min(capacity_frames_ * prebuf / 100, capacity_frames_ - kChunkFrames);
  fifo_.assign(static_cast<std::size_t>(capacity_frames_ * format_.channels), 0.0f);
  reader_ = std::thread([this] { ReaderLoop(); });
  return ERROR_OK;
}

UrlSource::~UrlSource() {
  {
    std::lock_guard lk(fifo_mutex_);
    stop_ = true;
    space_cv_.notify_all();
    data_cv_.notify_all();
  }
  if (http_) http_->Cancel();  // wakes a read blocked on the network
  if (reader_.joinable()) reader_.join();
  decoder_.reset();  // joins the download thread: no metadata callback after this
}

void UrlSource::Raise(Event e) {
  EventSink sink;
  {
    std::lock_guard lk(sink_mutex_);
    sink = sink_;
  }
  if (sink) sink(e);
}

// Raised once, when the body is all in and someone listens (a download that completed while
// opening is reported as soon as the sink is installed; the reader thread polls).
void UrlSource::CheckDownloadComplete() {
  if (download_complete_ || response_.content_length < 0 || !http_->Finished()) return;
  EventSink sink;
  {
    std::lock_guard lk(sink_mutex_);
    if (!sink_) return;
    sink = sink_;
  }
  if (!download_complete_.exchange(true)) sink(Event::DownloadComplete);
}

void UrlSource::FifoPush(const float* in, int frames) {
  const int ch = format_.channels;
  for (int i = 0; i < frames;) {
    std::int64_t tail = (fifo_head_ + fifo_frames_) % capacity_frames_;
    int k = static_cast<int>(std::min<std::int64_t>(frames - i, capacity_frames_ - tail));
    std::memcpy(&fifo_[tail * ch], in + std::int64_t{i} * ch, sizeof(float) * k * ch);
    fifo_frames_ += k;
    i += k;
  }
}

int UrlSource::FifoPop(float* out, int frames) {
  const int ch = format_.channels;
  int n = static_cast<int>(std::min<std::int64_t>(frames, fifo_frames_));
  for (int i = 0; i < n;) {
    int k = static_cast<int>(std::min<std::int64_t>(n - i, capacity_frames_ - fifo_head_));
    std::memcpy(out + std::int64_t{i} * ch, &fifo_[fifo_head_ * ch], sizeof(float) * k * ch);
    fifo_head_ = (fifo_head_ + k) % capacity_frames_;
    fifo_frames_ -= k;
    i += k;
  }
  return n;
}

// ---- reader thread ------------------------------------------------------------------------
void UrlSource::ReaderLoop() {
  std::vector<float> chunk(static_cast<std::size_t>(kChunkFrames * format_.channels));
  for (;;) {
    {
      std::unique_lock lk(fifo_mutex_);
      space_cv_.wait_for(lk, kReaderPoll, [&] {
        return stop_ || (!seek_pending_ && !eof_ && FifoFree() >= kChunkFrames);
      });
      if (stop_) return;
      if (seek_pending_ || eof_ || FifoFree() < kChunkFrames) {
        lk.unlock();
        CheckDownloadComplete();
        continue;
      }
    }
    std::lock_guard dl(decoder_mutex_);
    {
      std::lock_guard lk(fifo_mutex_);
      if (stop_) return;
      if (seek_pending_) continue;  // let the seek have the decoder
    }
    ReadResult r = decoder_->Read(chunk.data(), kChunkFrames, true);
    CheckDownloadComplete();
    std::unique_lock lk(fifo_mutex_);
    if (r.frames > 0) FifoPush(chunk.data(), std::min(r.frames, kChunkFrames));
    if (r.ended) eof_ = true;
    data_cv_.notify_all();
    if (r.frames == 0 && !r.ended)  // nothing yet: do not spin
      space_cv_.wait_for(lk, std::chrono::milliseconds(10), [&] { return stop_; });
  }
}

// ---- the channel's thread -----------------------------------------------------------------
ReadResult UrlSource::Read(float* out, int frames, bool wait) {
  if (frames <= 0) return {};
  std::unique_lock lk(fifo_mutex_);
  if (wait) {
    data_cv_.wait_for(lk, std::chrono::milliseconds(timeout_ms_),
                      [&] { return fifo_frames_ > 0 || eof_ || stop_; });
  } else if (buffering_) {
    if (fifo_frames_ < prebuf_frames_ && !eof_) return {0, false};
  }
  int n = FifoPop(out, frames);
  position_ += n;
  if (n > 0) {
    buffering_ = false;
    space_cv_.notify_all();
  }
  if (fifo_frames_ == 0 && !eof_) buffering_ = true;  // ran dry: prebuffer again
  return {n, n == 0 && eof_};
}

bool UrlSource::Seek(std::int64_t frame, int* error) {
  int scratch;
  if (!error) error = &scratch;
  if (length_frames_ < 0) {
    *error = ERROR_NOTFILE;  // a live stream
    return false;
  }
  if (frame < 0 || frame > length_frames_) {
    *error = ERROR_POSITION;
    return false;
  }
  {
    std::lock_guard lk(fifo_mutex_);
    seek_pending_ = true;
    space_cv_.notify_all();
  }
  std::lock_guard dl(decoder_mutex_);
  bool ok = decoder_->Seek(frame, error);
  std::lock_guard lk(fifo_mutex_);
  seek_pending_ = false;
  if (ok) {
    fifo_head_ = fifo_frames_ = 0;
    position_ = frame;
    eof_ = false;
    buffering_ = true;
  }
  space_cv_.notify_all();
  return ok;
}

// ---- any thread ---------------------------------------------------------------------------
std::vector<char> UrlSource::Tags(DWORD kind) const {
  if (kind == TAG_ICY || kind == TAG_HTTP) {
    if ((kind == TAG_ICY) != response_.icy_protocol) return {};
    std::string lines = response_.header_lines;
    if (flags_ & STREAM_STATUS) lines = response_.status_line + "\n" + lines;
    std::vector<char> block;
    for (std::size_t pos = 0; pos < lines.size();) {
      std::size_t end = lines.find('\n', pos);
      if (end == std::string::npos) end = lines.size();
      if (end > pos) {  // an empty text would end the block early
        block.insert(block.end(), lines.begin() + pos, lines.begin() + end);
        block.push_back('\0');
      }
      pos = end + 1;
    }
    block.push_back('\0');
    return block;
  }
  if (kind == TAG_META) {
    std::lock_guard lk(meta_mutex_);
    if (last_meta_.empty()) return {};
    std::vector<char> block(last_meta_.begin(), last_meta_.end());
    block.push_back('\0');
    return block;
  }
  return decoder_->Tags(kind);
}

float UrlSource::Bitrate() const {
  float rate = decoder_->Bitrate();
  if (rate > 0) return rate;
  std::string br = HeaderValue(response_.header_lines, "icy-br");
  return static_cast<float>(std::atoi(br.c_str()));  // "128" or "128,128"
}

}  // namespace

std::unique_ptr<Source> OpenUrlSource(const std::string& url, DWORD flags, int* error) {
  int scratch;
  if (!error) error = &scratch;
  if (!StartsWithNoCase(url, "http://") && !StartsWithNoCase(url, "https://")) {
    *error = ERROR_PROTOCOL;
    return nullptr;
  }
  net::HttpStreamOptions opts;
  opts.user_agent = NetAgent();
  if (opts.user_agent.empty()) opts.user_agent = kDefaultAgent;
  opts.timeout_ms = std::max(1, Config().net_timeout_ms.load());
  opts.request_icy = true;
  opts.buffer_bytes = (flags & STREAM_BLOCK) ? kBlockReadAhead : kFileReadAhead;
  net::HttpResponse response;
  net::HttpError net_error = net::HttpError::None;
  auto http = net::HttpStream::Open(url, opts, &response, &net_error);
  if (!http) {
    *error = ErrorFor(net_error);
    return nullptr;
  }
  auto source = std::make_unique<UrlSource>(flags, response);
  *error = source->Start(std::move(http), url);
  if (*error != ERROR_OK) return nullptr;
  return source;
}

}  // namespace audio::detail
