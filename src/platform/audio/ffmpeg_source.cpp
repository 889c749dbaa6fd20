// Inside the audio layer: the FFmpeg decoding Source behind file and network streams. It reads
// through a custom AVIOContext over a ByteReader, decodes the first audio stream to interleaved
// float at the stream's own rate and channel count, and serves the file's tag blocks.
#include "ffmpeg_source.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>

#include "tag_blocks.h"

namespace audio::detail {

namespace {

// Size of the AVIOContext buffer: one read of the underlying input.
constexpr int kIoBufferBytes = 64 * 1024;
// The start of the stream kept while opening, for the tag blocks and the MP3 encoder padding
// of inputs that cannot be read again (a network stream). Large ID3v2 cover art fits.
constexpr std::size_t kPrefixCapBytes = 16u << 20;
// Consecutive demuxer or decoder failures after which the input counts as ended.
constexpr int kMaxConsecutiveErrors = 64;
// Packets read while opening in search of the first decodable frame.
constexpr int kMaxPrimePackets = 2000;

void QuietFfmpegLog() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

// ==== Local files as ByteReaders ===============================================================

// A byte range of a local file; reads with pread, so it keeps no shared file position.
class FileReader final : public ByteReader {
 public:
  ~FileReader() override {
    if (fd_ >= 0) ::close(fd_);
  }
  // ERROR_OK, ERROR_FILEOPEN (cannot open, not a regular file) or ERROR_FILEFORM (empty range).
  int Open(const std::string& path, std::uint64_t offset, std::uint64_t length) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) return ERROR_FILEOPEN;
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) return ERROR_FILEOPEN;
    std::uint64_t file_size = static_cast<std::uint64_t>(st.st_size);
    if (offset >= file_size) return ERROR_FILEFORM;
    base_ = static_cast<std::int64_t>(offset);
    std::uint64_t avail = file_size - offset;
    size_ = static_cast<std::int64_t>(length == 0 ? avail : std::min(length, avail));
    return ERROR_OK;
  }
  int Read(std::uint8_t* buffer, int size) override {
    std::int64_t left = size_ - pos_;
    if (left <= 0 || size <= 0) return 0;
    ssize_t n;
    do {
      n = ::pread(fd_, buffer, static_cast<std::size_t>(std::min<std::int64_t>(size, left)),
                  static_cast<off_t>(base_ + pos_));
    } while (n < 0 && errno == EINTR);
    if (n < 0) return -1;
    pos_ += n;
    return static_cast<int>(n);
  }
  bool Seek(std::int64_t offset) override {
    if (offset < 0 || offset > size_) return false;
    pos_ = offset;
    return true;
  }
  std::int64_t Size() const override { return size_; }

 private:
  int fd_ = -1;
  std::int64_t base_ = 0;
  std::int64_t size_ = 0;
  std::int64_t pos_ = 0;
};

// ==== The AVIOContext bridge ===================================================================

// Connects FFmpeg's I/O to a ByteReader and, while the stream is being opened, keeps a copy of
// its first bytes. Used by the decoding thread only.
struct AvioBridge {
  ByteReader* reader = nullptr;
  std::int64_t pos = 0;
  bool read_error = false;   // the reader reported an error (time-out, lost connection)
  bool seek_failed = false;  // the reader refused a seek
  bool capturing = true;
  std::vector<std::uint8_t> prefix;  // bytes [0, prefix.size()) of the stream

  void Capture(const std::uint8_t* buf, int n) {
    std::size_t have = prefix.size();
    if (!capturing || pos > static_cast<std::int64_t>(have) ||
        pos + n <= static_cast<std::int64_t>(have)) {
      return;
    }
    std::size_t from = have - static_cast<std::size_t>(pos);
    std::size_t take = std::min<std::size_t>(n - from, kPrefixCapBytes - have);
    prefix.insert(prefix.end(), buf + from, buf + from + take);
  }

  static int ReadPacket(void* opaque, std::uint8_t* buf, int size) {
    auto* b = static_cast<AvioBridge*>(opaque);
    int n = b->reader->Read(buf, size);
    if (n < 0) {
      b->read_error = true;
      return AVERROR(EIO);
    }
    if (n == 0) return AVERROR_EOF;
    b->Capture(buf, n);
    b->pos += n;
    return n;
  }

  static std::int64_t SeekTo(void* opaque, std::int64_t offset, int whence) {
    auto* b = static_cast<AvioBridge*>(opaque);
    whence &= ~AVSEEK_FORCE;
    std::int64_t size = b->reader->Size();
    if (whence == AVSEEK_SIZE) return size >= 0 ? size : AVERROR(ENOSYS);
    std::int64_t target;
    if (whence == SEEK_SET) {
      target = offset;
    } else if (whence == SEEK_CUR) {
      target = b->pos + offset;
    } else if (whence == SEEK_END && size >= 0) {
      target = size + offset;
    } else {
      return AVERROR(EINVAL);
    }
    if (target < 0) return AVERROR(EINVAL);
    if (target == b->pos) return target;
    // While opening, a skip forward over the stream's start is read through, so the copy of
    // the start stays whole (a demuxer skipping a large ID3v2 frame, for one).
    if (b->capturing && target > b->pos && b->pos == static_cast<std::int64_t>(b->prefix.size()) &&
        target <= static_cast<std::int64_t>(kPrefixCapBytes)) {
      std::uint8_t scratch[8192];
      while (b->pos < target) {
        int want = static_cast<int>(std::min<std::int64_t>(sizeof scratch, target - b->pos));
        int n = b->reader->Read(scratch, want);
        if (n <= 0) break;
        b->Capture(scratch, n);
        b->pos += n;
      }
      if (b->pos == target) return target;
    }
    if (!b->reader->Seek(target)) {
      b->seek_failed = true;
      return AVERROR(EIO);
    }
    b->pos = target;
    return target;
  }
};

// ==== Small helpers ============================================================================

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// The demuxer a server's Content-Type names, or null.
const AVInputFormat* DemuxerForMime(const std::string& mime_type) {
  std::string m = Lower(mime_type.substr(0, mime_type.find(';')));
  m.erase(0, m.find_first_not_of(" \t"));
  m.erase(m.find_last_not_of(" \t") + 1);
  static const struct {
    const char* demuxer;
    const char* types;  // space-separated, with a space at either end
  } kTable[] = {
      {"mp3", " audio/mpeg audio/mp3 audio/mpeg3 audio/x-mpeg "},
      {"aac", " audio/aac audio/aacp audio/x-aac "},
      {"ogg", " audio/ogg application/ogg audio/vorbis audio/opus audio/x-ogg "},
      {"flac", " audio/flac audio/x-flac "},
      {"wav", " audio/wav audio/x-wav audio/wave audio/vnd.wave "},
      {"mp4", " audio/mp4 audio/x-m4a audio/m4a video/mp4 "},
      {"matroska", " audio/webm video/webm audio/x-matroska "},
      {"asf", " audio/x-ms-wma video/x-ms-asf "},
      {"hls",
       " application/vnd.apple.mpegurl application/x-mpegurl audio/mpegurl "
       "audio/x-mpegurl "},
  };
  if (m.empty() || m.find(' ') != std::string::npos) return nullptr;
  for (const auto& row : kTable) {
    if (std::strstr(row.types, (" " + m + " ").c_str())) return av_find_input_format(row.demuxer);
  }
  return nullptr;
}

// A URL's path part, so that the probe sees its file extension ("a.mp3?x=1" → "a.mp3").
std::string ProbeName(const std::string& hint) {
  if (hint.find("://") == std::string::npos) return hint;
  return hint.substr(0, hint.find_first_of("?#"));
}

bool FormatIs(const AVFormatContext* fmt, const char* name) {
  // Demuxer names are comma-separated lists ("mov,mp4,m4a,3gp,3g2,mj2").
  std::string names = std::string(",") + fmt->iformat->name + ",";
  return names.find(std::string(",") + name + ",") != std::string::npos;
}

std::uint32_t Be32(const std::uint8_t* p) {
  return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 |
         std::uint32_t(p[3]);
}

// Encoder delay and padding from the LAME extension of an MP3's Xing/Info frame.
struct Mp3Padding {
  bool found = false;
  int start = 0;            // samples of encoder delay
  int end = 0;              // samples of padding at the end
  std::int64_t frames = 0;  // frames of audio per the Xing header, 0 unknown
  int frame_samples = 0;    // samples per frame
};

Mp3Padding ReadMp3Padding(const std::vector<std::uint8_t>& p) {
  Mp3Padding out;
  std::size_t pos = 0;
  if (p.size() >= 10 && std::memcmp(p.data(), "ID3", 3) == 0) {
    pos = 10 + (std::size_t(p[6] & 0x7f) << 21 | std::size_t(p[7] & 0x7f) << 14 |
                std::size_t(p[8] & 0x7f) << 7 | std::size_t(p[9] & 0x7f));
    if (p[5] & 0x10) pos += 10;
  }
  // The first frame header after the tag.
  std::size_t limit = std::min(p.size(), pos + 64 * 1024);
  for (; pos + 4 <= limit; ++pos) {
    const std::uint8_t* h = &p[pos];
    bool sync = h[0] == 0xff && (h[1] & 0xe0) == 0xe0;
    int version = (h[1] >> 3) & 3, layer = (h[1] >> 1) & 3;
    int bitrate = h[2] >> 4, rate = (h[2] >> 2) & 3;
    if (sync && version != 1 && layer == 1 && bitrate != 15 && rate != 3) break;
  }
  if (pos + 4 > limit) return out;
  const std::uint8_t* h = &p[pos];
  bool mpeg1 = ((h[1] >> 3) & 3) == 3, mono = (h[3] >> 6) == 3;
  std::size_t x = pos + 4 + (mpeg1 ? (mono ? 17 : 32) : (mono ? 9 : 17));
  if (x + 8 > p.size()) return out;
  if (std::memcmp(&p[x], "Xing", 4) != 0 && std::memcmp(&p[x], "Info", 4) != 0) return out;
  std::uint32_t flags = Be32(&p[x + 4]);
  std::size_t q = x + 8;
  if ((flags & 1) && q + 4 <= p.size()) {
    out.frames = Be32(&p[q]);
    out.frame_samples = mpeg1 ? 1152 : 576;
  }
  if (flags & 1) q += 4;    // frame count
  if (flags & 2) q += 4;    // byte count
  if (flags & 4) q += 100;  // table of contents
  if (flags & 8) q += 4;    // quality
  if (q + 24 > p.size()) return out;
  // 9-byte encoder name, revision, lowpass, replay gain (8), flags, bitrate, then 12+12 bits.
  const std::uint8_t* d = &p[q + 21];
  out.found = true;
  out.start = (d[0] << 4) | (d[1] >> 4);
  out.end = ((d[1] & 0x0f) << 8) | d[2];
  return out;
}

// Adds the items of an FFmpeg metadata dictionary as "key=value" texts, leaving out keys that
// an earlier dictionary gave (`seen`, which this one's keys join) and the container's
// technical entries, which are no tags.
void AddDictionary(const AVDictionary* dict, std::vector<std::string>* texts,
                   std::vector<std::string>* seen) {
  static const char* const kNotTags[] = {"major_brand", "minor_version", "compatible_brands",
                                         "handler_name", "vendor_id"};
  std::vector<std::string> keys;
  const AVDictionaryEntry* e = nullptr;
  while ((e = av_dict_get(dict, "", e, AV_DICT_IGNORE_SUFFIX)) != nullptr) {
    std::string key = Lower(e->key);
    if (std::find(std::begin(kNotTags), std::end(kNotTags), key) != std::end(kNotTags)) continue;
    if (std::find(seen->begin(), seen->end(), key) != seen->end()) continue;
    keys.push_back(key);
    texts->push_back(std::string(e->key) + "=" + e->value);
  }
  seen->insert(seen->end(), keys.begin(), keys.end());
}

// ==== The Source ===============================================================================

class FfmpegSource final : public Source {
 public:
  FfmpegSource(std::unique_ptr<ByteReader> reader, std::string tag_path)
      : reader_(std::move(reader)), tag_path_(std::move(tag_path)) {}
  ~FfmpegSource() override;
  FfmpegSource(const FfmpegSource&) = delete;
  FfmpegSource& operator=(const FfmpegSource&) = delete;

  // Opens the input; returns ERROR_OK or the ERROR_* code of the failure.
  int Open(const std::string& name_hint, const std::string& mime_type);

  Format format() const override { return format_; }
  ReadResult Read(float* out, int frames, bool wait) override;
  std::int64_t LengthFrames() const override { return length_; }
  std::int64_t PositionFrames() const override { return position_; }
  bool Seek(std::int64_t frame, int* error) override;
  std::vector<char> Tags(DWORD kind) const override;
  float Bitrate() const override { return bitrate_; }
  bool VariableBitrate() const override { return vbr_.load(std::memory_order_relaxed); }
  DWORD ChannelType() const override { return CTYPE_STREAM_FILE; }
  DWORD OriginalResolution() const override { return original_bits_; }

 private:
  int OpenInput(const std::string& name_hint, const std::string& mime_type);
  int OpenDecoder();
  int Prime();
  void ReadStreamFacts();
  bool FillPending();
  void FeedPacket();
  bool TakeFrame();
  bool ConfigureConverter(const AVFrame* frame);
  void NoteBitrate(const AVPacket* pkt);

  // ---- Decoding state: the thread that reads (Open, Read, Seek) only ----
  std::unique_ptr<ByteReader> reader_;
  AvioBridge bridge_;
  AVIOContext* avio_ = nullptr;
  AVFormatContext* fmt_ = nullptr;
  AVCodecContext* dec_ = nullptr;
  SwrContext* swr_ = nullptr;
  AVPacket* pkt_ = nullptr;
  AVFrame* frame_ = nullptr;
  int stream_ = -1;
  AVChannelLayout swr_in_layout_{};  // what swr_ converts from
  int swr_in_format_ = -1;
  int swr_in_rate_ = 0;
  std::vector<float> pending_;  // decoded, not yet delivered samples (interleaved)
  std::size_t pending_at_ = 0;  // first undelivered sample in pending_
  std::int64_t position_ = 0;   // frames delivered (or the seek target)
  bool input_done_ = false;     // the demuxer is at its end; the decoder was told
  bool drained_ = false;        // the decoder has given its last frame
  bool past_end_ = false;       // seeked beyond the length
  bool seeking_ = false;        // discarding decoded frames up to seek_target_
  std::int64_t seek_target_ = 0;
  std::int64_t seek_cursor_ = -1;  // frame after the last discarded one, -1 unknown
  int errors_ = 0;                 // consecutive demuxer/decoder failures
  int packets_seen_ = 0;
  double packet_rate_min_ = 0, packet_rate_max_ = 0;

  // ---- Fixed once Open returned ----
  Format format_;
  AVChannelLayout out_layout_{};
  AVRational time_base_{1, 1};
  std::int64_t origin_pts_ = 0;  // timestamp of the first frame (position 0)
  std::int64_t length_ = -1;
  bool exact_length_ = false;  // the container states the length: deliver exactly that
  std::int64_t preroll_ = 0;   // frames decoded before a seek target to settle the decoder
  bool seekable_ = false;
  bool mp3_ = false;
  float bitrate_ = 0;
  DWORD original_bits_ = 0;
  std::string tag_path_;  // the file tags are read from lazily; empty for streams
  std::map<DWORD, std::vector<char>> fixed_tags_;  // from FFmpeg's metadata or the stream start

  // ---- Read by any thread ----
  std::atomic<bool> vbr_{false};
  mutable std::mutex tag_mutex_;
  mutable std::map<DWORD, std::vector<char>> file_tags_;  // guarded by tag_mutex_
};

FfmpegSource::~FfmpegSource() {
  swr_free(&swr_);
  av_frame_free(&frame_);
  av_packet_free(&pkt_);
  avcodec_free_context(&dec_);
  avformat_close_input(&fmt_);  // leaves our AVIOContext alone (custom I/O)
  if (avio_) {
    av_freep(&avio_->buffer);
    avio_context_free(&avio_);
  }
  av_channel_layout_uninit(&swr_in_layout_);
  av_channel_layout_uninit(&out_layout_);
}

int FfmpegSource::Open(const std::string& name_hint, const std::string& mime_type) {
  QuietFfmpegLog();
  bridge_.reader = reader_.get();
  seekable_ = reader_->Size() >= 0;
  pkt_ = av_packet_alloc();
  frame_ = av_frame_alloc();
  if (!pkt_ || !frame_) return ERROR_MEM;
  int err = OpenInput(name_hint, mime_type);
  if (err == ERROR_OK) err = OpenDecoder();
  if (err == ERROR_OK) err = Prime();
  if (err != ERROR_OK) return err;
  ReadStreamFacts();
  bridge_.capturing = false;
  std::vector<std::uint8_t>().swap(bridge_.prefix);
  return ERROR_OK;
}

int FfmpegSource::OpenInput(const std::string& name_hint, const std::string& mime_type) {
  auto* buffer = static_cast<std::uint8_t*>(av_malloc(kIoBufferBytes));
  if (!buffer) return ERROR_MEM;
  avio_ = avio_alloc_context(buffer, kIoBufferBytes, 0, &bridge_, &AvioBridge::ReadPacket, nullptr,
                             &AvioBridge::SeekTo);
  if (!avio_) {
    av_free(buffer);
    return ERROR_MEM;
  }
  avio_->seekable = seekable_ ? AVIO_SEEKABLE_NORMAL : 0;

  std::string name = ProbeName(name_hint);
  const AVInputFormat* ifmt = nullptr;
  int score = av_probe_input_buffer2(avio_, &ifmt, name.c_str(), nullptr, 0, 0);
  if (bridge_.read_error && bridge_.pos == 0) return ERROR_FILEOPEN;
  // A weak or failed probe defers to what the server says the stream is.
  if (const AVInputFormat* by_mime = DemuxerForMime(mime_type);
      by_mime && (score < 0 || score <= AVPROBE_SCORE_RETRY)) {
    ifmt = by_mime;
  }
  if (!ifmt) return ERROR_FILEFORM;

  fmt_ = avformat_alloc_context();
  if (!fmt_) return ERROR_MEM;
  fmt_->pb = avio_;
  fmt_->flags |= AVFMT_FLAG_CUSTOM_IO;
  // The whole name: a playlist demuxer (HLS) resolves its segments against it.
  int r = avformat_open_input(&fmt_, name_hint.c_str(), ifmt, nullptr);
  if (r < 0) {  // fmt_ was freed
    if (r == AVERROR(ENOMEM)) return ERROR_MEM;
    return bridge_.read_error && bridge_.pos == 0 ? ERROR_FILEOPEN : ERROR_FILEFORM;
  }
  avformat_find_stream_info(fmt_, nullptr);  // failure leaves what the header said
  mp3_ = FormatIs(fmt_, "mp3");
  return ERROR_OK;
}

int FfmpegSource::OpenDecoder() {
  for (unsigned i = 0; i < fmt_->nb_streams; ++i) {
    if (stream_ < 0 && fmt_->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
      stream_ = static_cast<int>(i);
    } else {
      fmt_->streams[i]->discard = AVDISCARD_ALL;
    }
  }
  if (stream_ < 0) return ERROR_FILEFORM;
  AVStream* st = fmt_->streams[stream_];
  const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
  if (!codec) return ERROR_CODEC;
  dec_ = avcodec_alloc_context3(codec);
  if (!dec_) return ERROR_MEM;
  if (avcodec_parameters_to_context(dec_, st->codecpar) < 0) return ERROR_CODEC;
  dec_->pkt_timebase = st->time_base;
  if (avcodec_open2(dec_, codec, nullptr) < 0) return ERROR_CODEC;
  time_base_ = st->time_base;
  return ERROR_OK;
}

// Decodes up to the first frame: it fixes the output format (a decoder may report the real
// rate and channels only then) and proves that the stream decodes at all.
int FfmpegSource::Prime() {
  int packets = 0;
  for (;;) {
    int r = avcodec_receive_frame(dec_, frame_);
    if (r == 0) {
      if (frame_->nb_samples > 0) break;
      av_frame_unref(frame_);
    } else if (r == AVERROR(EAGAIN) && !input_done_ && ++packets <= kMaxPrimePackets) {
      FeedPacket();
    } else if (r == AVERROR_EOF || r == AVERROR(EAGAIN) || ++errors_ >= kMaxConsecutiveErrors) {
      return bridge_.read_error ? ERROR_FILEOPEN : ERROR_FILEFORM;  // nothing decodes
    }
  }
  errors_ = 0;

  int channels = frame_->ch_layout.nb_channels;
  if (frame_->sample_rate <= 0 || channels <= 0) return ERROR_FORMAT;
  format_.rate = frame_->sample_rate;
  format_.channels = channels;
  if (time_base_.num <= 0 || time_base_.den <= 0) time_base_ = AVRational{1, format_.rate};
  if (frame_->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
    av_channel_layout_default(&out_layout_, channels);
  } else if (av_channel_layout_copy(&out_layout_, &frame_->ch_layout) < 0) {
    return ERROR_MEM;
  }
  if (!ConfigureConverter(frame_)) return ERROR_FORMAT;

  std::int64_t pts = frame_->best_effort_timestamp;
  if (pts == AV_NOPTS_VALUE) pts = frame_->pts;
  AVStream* st = fmt_->streams[stream_];
  if (pts == AV_NOPTS_VALUE) pts = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
  origin_pts_ = pts;
  bool ok = TakeFrame();
  av_frame_unref(frame_);
  return ok ? ERROR_OK : ERROR_FORMAT;
}

// Length, bitrate, resolution and tags: what the opened stream tells about itself.
void FfmpegSource::ReadStreamFacts() {
  AVStream* st = fmt_->streams[stream_];
  const int rate = format_.rate;
  std::int64_t dur = -1;
  if (st->duration != AV_NOPTS_VALUE && st->duration > 0) {
    dur = av_rescale_q(st->duration, st->time_base, AVRational{1, rate});
  } else if (fmt_->duration != AV_NOPTS_VALUE && fmt_->duration > 0) {
    dur = av_rescale(fmt_->duration, rate, AV_TIME_BASE);
  }
  if (dur > 0) {
    // Ogg durations count the Opus pre-skip the decoder drops.
    if (FormatIs(fmt_, "ogg") && st->codecpar->initial_padding > 0) {
      dur -= av_rescale(st->codecpar->initial_padding, rate,
                        st->codecpar->sample_rate > 0 ? st->codecpar->sample_rate : rate);
    }
    // Matroska/WebM: the stream starts before zero by the Opus pre-skip, and the duration
    // counts from there.
    if (FormatIs(fmt_, "matroska") && st->start_time != AV_NOPTS_VALUE && st->start_time < 0) {
      dur += av_rescale_q(st->start_time, st->time_base, AVRational{1, rate});
    }
    // MP4 without an edit list: the media duration counts the AAC priming FFmpeg skips (the
    // stream then starts late).
    if (FormatIs(fmt_, "mp4") && st->start_time != AV_NOPTS_VALUE && st->start_time > 0) {
      dur -= av_rescale_q(st->start_time, st->time_base, AVRational{1, rate});
    }
    length_ = std::max<std::int64_t>(dur, 0);
    exact_length_ = fmt_->duration_estimation_method != AVFMT_DURATION_FROM_BITRATE;
  }
  // MP3: the Xing frame count covers encoder delay and padding; FFmpeg drops both when it has
  // the LAME header (and then starts the stream late), so the length leaves them out too.
  // An input without a size is a live stream: its Info frame, if a station sends one, describes
  // one file of many and gives no length.
  if (mp3_) {
    Mp3Padding pad = ReadMp3Padding(bridge_.prefix);
    bool trimmed = pad.found && st->start_time != AV_NOPTS_VALUE && st->start_time > 0;
    if (length_ > 0 && trimmed && exact_length_) {
      length_ = std::max<std::int64_t>(length_ - pad.start - pad.end, 0);
    }
  }

  std::int64_t bits = st->codecpar->bit_rate > 0 ? st->codecpar->bit_rate : dec_->bit_rate;
  if (bits <= 0) bits = fmt_->bit_rate;
  if (bits <= 0 && length_ > 0 && reader_->Size() > 0) {
    bits = av_rescale(reader_->Size() * 8, rate, length_);
  }
  bitrate_ = bits > 0 ? static_cast<float>(bits) / 1000.0f : 0.0f;

  int raw =
      dec_->bits_per_raw_sample > 0 ? dec_->bits_per_raw_sample : st->codecpar->bits_per_raw_sample;
  if (raw <= 0) raw = av_get_bytes_per_sample(dec_->sample_fmt) * 8;
  original_bits_ = raw > 0 ? static_cast<DWORD>(raw) : 0;

  // A lossy decoder needs some frames before the target after a seek to settle.
  const AVCodecDescriptor* desc = avcodec_descriptor_get(st->codecpar->codec_id);
  bool lossless =
      desc && (desc->props & AV_CODEC_PROP_LOSSLESS) && !(desc->props & AV_CODEC_PROP_LOSSY);
  if (!lossless) {
    std::int64_t codec_preroll =
        st->codecpar->seek_preroll > 0 && st->codecpar->sample_rate > 0
            ? av_rescale(st->codecpar->seek_preroll, rate, st->codecpar->sample_rate)
            : 0;
    preroll_ = std::max<std::int64_t>(codec_preroll, rate / 10);
  }
  // Ogg: FFmpeg labels the packets of the page a seek lands on from the seek itself, wrongly
  // on the last page (and after its index grew); from the next page on the labels come from
  // the page granules. Landing a few seconds early crosses a page boundary before the target.
  if (FormatIs(fmt_, "ogg")) preroll_ = std::max<std::int64_t>(preroll_, std::int64_t(rate) * 6);

  // Container metadata as FFmpeg names it, for the kinds that come from the container.
  DWORD dict_kind = 0;
  if (FormatIs(fmt_, "mp4")) dict_kind = TAG_MP4;
  if (FormatIs(fmt_, "asf")) dict_kind = TAG_WMA;
  if (FormatIs(fmt_, "wav")) dict_kind = TAG_RIFF_INFO;
  if (FormatIs(fmt_, "ape") || FormatIs(fmt_, "wv")) dict_kind = TAG_APE;
  if (dict_kind) {
    std::vector<std::string> texts, seen;
    AddDictionary(fmt_->metadata, &texts, &seen);
    AddDictionary(st->metadata, &texts, &seen);
    std::vector<char> block = JoinTagTexts(texts);
    if (!block.empty()) fixed_tags_[dict_kind] = std::move(block);
  }
  // Without a file to read again, the tags at the stream's start come from the copy kept.
  if (tag_path_.empty()) {
    const auto& p = bridge_.prefix;
    std::vector<char> id3 = Id3v2BlockFromBytes(p.data(), p.size());
    if (!id3.empty()) fixed_tags_[TAG_ID3V2] = std::move(id3);
    std::vector<char> ogg = VorbisCommentBlockFromBytes(p.data(), p.size());
    if (!ogg.empty()) fixed_tags_[TAG_OGG] = std::move(ogg);
  }
}

std::vector<char> FfmpegSource::Tags(DWORD kind) const {
  auto fixed = [&]() -> std::vector<char> {
    auto it = fixed_tags_.find(kind);
    return it == fixed_tags_.end() ? std::vector<char>() : it->second;
  };
  bool from_file = kind == TAG_ID3V2 || kind == TAG_ID3 || kind == TAG_OGG || kind == TAG_APE;
  if (!from_file || tag_path_.empty()) return fixed();

  // Read from the file through its own handle, never through the decoder's input.
  std::lock_guard<std::mutex> lock(tag_mutex_);
  auto it = file_tags_.find(kind);
  if (it != file_tags_.end()) return it->second;
  std::vector<char> block;
  switch (kind) {
    case TAG_ID3V2:
      block = ReadId3v2Block(tag_path_);
      break;
    case TAG_ID3:
      block = ReadId3v1Block(tag_path_);
      break;
    case TAG_OGG:
      block = ReadVorbisCommentBlock(tag_path_);
      break;
    case TAG_APE:
      block = ReadApeBlock(tag_path_);
      if (block.empty()) block = fixed();
      break;
  }
  return file_tags_[kind] = std::move(block);
}

// ==== Decoding (the reading thread) ============================================================

ReadResult FfmpegSource::Read(float* out, int frames, bool wait) {
  (void)wait;  // the input blocks by itself; a network reader bounds it with its time-out
  ReadResult result;
  const int ch = format_.channels;
  while (result.frames < frames) {
    if (past_end_ || (exact_length_ && position_ >= length_)) {
      result.ended = true;
      break;
    }
    std::size_t avail = (pending_.size() - pending_at_) / ch;
    if (avail == 0) {
      if (!FillPending()) {
        result.ended = true;
        break;
      }
      continue;
    }
    std::int64_t n = std::min<std::int64_t>(avail, frames - result.frames);
    if (exact_length_) n = std::min(n, length_ - position_);
    std::memcpy(out + std::size_t(result.frames) * ch, pending_.data() + pending_at_,
                std::size_t(n) * ch * sizeof(float));
    pending_at_ += std::size_t(n) * ch;
    position_ += n;
    result.frames += static_cast<int>(n);
  }
  return result;
}

// Decodes until new samples are pending; false at the end of the stream.
bool FfmpegSource::FillPending() {
  pending_.clear();
  pending_at_ = 0;
  while (!drained_) {
    int r = avcodec_receive_frame(dec_, frame_);
    if (r == 0) {
      errors_ = 0;
      bool got = TakeFrame();
      av_frame_unref(frame_);
      if (got) return true;
    } else if (r == AVERROR_EOF) {
      drained_ = true;
    } else if (r == AVERROR(EAGAIN)) {
      if (input_done_) {
        drained_ = true;  // a decoder that will not confirm its end
      } else {
        FeedPacket();
      }
    } else if (++errors_ >= kMaxConsecutiveErrors) {  // a frame that failed is skipped
      drained_ = true;
    }
  }
  return false;
}

// Gives the decoder the next packet of our stream, or the end of the input.
void FfmpegSource::FeedPacket() {
  int r = av_read_frame(fmt_, pkt_);
  if (r < 0) {
    // A damaged stretch of the file may fail a read or two; an I/O error or the end does not
    // come back.
    if (r == AVERROR_EOF || avio_feof(fmt_->pb) || bridge_.read_error ||
        ++errors_ >= kMaxConsecutiveErrors) {
      avcodec_send_packet(dec_, nullptr);
      input_done_ = true;
    }
    return;
  }
  if (pkt_->stream_index == stream_) {
    NoteBitrate(pkt_);
    avcodec_send_packet(dec_, pkt_);  // a packet the decoder rejects is skipped
  }
  av_packet_unref(pkt_);
}

// Watches the bitrate packet by packet: MP3 frames carry their bitrate in the header; other
// codecs show it as bytes per sample.
void FfmpegSource::NoteBitrate(const AVPacket* pkt) {
  if (vbr_.load(std::memory_order_relaxed) || pkt->size <= 0) return;
  double rate;
  if (mp3_) {
    if (pkt->size < 4 || pkt->data[0] != 0xff) return;
    rate = pkt->data[2] >> 4;
  } else {
    if (pkt->duration <= 0) return;
    rate = double(pkt->size) / double(pkt->duration);
  }
  if (++packets_seen_ == 1) {
    packet_rate_min_ = packet_rate_max_ = rate;
    return;
  }
  packet_rate_min_ = std::min(packet_rate_min_, rate);
  packet_rate_max_ = std::max(packet_rate_max_, rate);
  if (packet_rate_max_ > packet_rate_min_ * 1.1) vbr_.store(true, std::memory_order_relaxed);
}

bool FfmpegSource::ConfigureConverter(const AVFrame* frame) {
  if (swr_ && frame->format == swr_in_format_ && frame->sample_rate == swr_in_rate_ &&
      av_channel_layout_compare(&frame->ch_layout, &swr_in_layout_) == 0) {
    return true;
  }
  AVChannelLayout in{};
  if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
    av_channel_layout_default(&in, frame->ch_layout.nb_channels);
  } else if (av_channel_layout_copy(&in, &frame->ch_layout) < 0) {
    return false;
  }
  swr_free(&swr_);
  // Same rate and layout as the output except after a change inside the stream (chained Ogg),
  // which is converted to the format the stream opened with.
  int r = swr_alloc_set_opts2(&swr_, &out_layout_, AV_SAMPLE_FMT_FLT, format_.rate, &in,
                              static_cast<AVSampleFormat>(frame->format), frame->sample_rate, 0,
                              nullptr);
  if (r < 0 || swr_init(swr_) < 0) {
    swr_free(&swr_);
    av_channel_layout_uninit(&in);
    return false;
  }
  av_channel_layout_uninit(&swr_in_layout_);
  swr_in_layout_ = in;  // takes over its storage
  swr_in_format_ = frame->format;
  swr_in_rate_ = frame->sample_rate;
  return true;
}

// Converts frame_ into pending_; after a seek, drops what lies before the target. False when
// nothing of the frame is kept.
bool FfmpegSource::TakeFrame() {
  const int nb = frame_->nb_samples;
  if (nb <= 0 || frame_->ch_layout.nb_channels <= 0 || !ConfigureConverter(frame_)) return false;
  const int ch = format_.channels;
  std::int64_t skip = 0, gap = 0;
  if (seeking_) {
    std::int64_t ts = frame_->best_effort_timestamp;
    if (ts == AV_NOPTS_VALUE) ts = frame_->pts;
    std::int64_t start = ts != AV_NOPTS_VALUE ? av_rescale_q(ts - origin_pts_, time_base_,
                                                             AVRational{1, format_.rate})
                                              : seek_cursor_;
    if (start < 0 && ts == AV_NOPTS_VALUE) start = seek_target_;  // no way to tell: take it
    if (start + nb <= seek_target_) {
      seek_cursor_ = start + nb;
      return false;
    }
    skip = std::max<std::int64_t>(0, seek_target_ - start);
    // A seek that landed after the target is filled with silence (up to a second), so that
    // positions stay true.
    gap = std::min<std::int64_t>(std::max<std::int64_t>(0, start - seek_target_), format_.rate);
    seeking_ = false;
  }
  int capacity = swr_get_out_samples(swr_, nb);
  if (capacity <= 0) return false;
  pending_.resize(std::size_t(gap + capacity) * ch);
  std::fill(pending_.begin(), pending_.begin() + gap * ch, 0.0f);
  auto* dst = reinterpret_cast<std::uint8_t*>(pending_.data() + gap * ch);
  int got = swr_convert(swr_, &dst, capacity,
                        const_cast<const std::uint8_t**>(frame_->extended_data), nb);
  if (got < 0) got = 0;
  pending_.resize(std::size_t(gap + got) * ch);
  pending_at_ = std::size_t(std::min<std::int64_t>(skip, got)) * ch;
  return pending_at_ < pending_.size();
}

bool FfmpegSource::Seek(std::int64_t frame, int* error) {
  auto fail = [&](int code) {
    if (error) *error = code;
    return false;
  };
  if (frame < 0) return fail(ERROR_POSITION);
  if (!seekable_) return frame == position_ && !seeking_ ? true : fail(ERROR_NOTFILE);
  if (length_ >= 0 && frame >= length_) {
    // Allowed: the next Read reports the end.
    pending_.clear();
    pending_at_ = 0;
    past_end_ = true;
    seeking_ = false;
    position_ = frame;
    return true;
  }
  // The preroll may reach before the first frame: packets of encoder delay (AAC priming) lie
  // there, and a decoder that starts on them gives the first frames as they first came.
  std::int64_t ts =
      origin_pts_ + av_rescale_q(frame - preroll_, AVRational{1, format_.rate}, time_base_);
  bridge_.seek_failed = false;
  int r = av_seek_frame(fmt_, stream_, ts, AVSEEK_FLAG_BACKWARD);
  if (r < 0 && ts < origin_pts_) {  // this demuxer knows nothing before the start
    ts = origin_pts_;
    r = av_seek_frame(fmt_, stream_, ts, AVSEEK_FLAG_BACKWARD);
  }
  if (r < 0) r = avformat_seek_file(fmt_, stream_, INT64_MIN, ts, ts, 0);
  if (r < 0) return fail(bridge_.seek_failed ? ERROR_NOTFILE : ERROR_POSITION);
  pending_.clear();
  pending_at_ = 0;
  avcodec_flush_buffers(dec_);
  if (swr_) swr_init(swr_);  // drops samples a rate conversion may hold
  input_done_ = drained_ = past_end_ = false;
  errors_ = 0;
  seeking_ = true;
  seek_target_ = frame;
  seek_cursor_ = -1;
  position_ = frame;
  return true;
}

}  // namespace

// ==== Entry points =============================================================================

std::unique_ptr<Source> OpenFfmpegFile(const std::string& path, std::uint64_t offset,
                                       std::uint64_t length, int* error) {
  auto reader = std::make_unique<FileReader>();
  int err = reader->Open(path, offset, length);
  if (err == ERROR_OK) {
    // A byte range is a stream inside the file: its tags come from its own start.
    std::string tag_path = offset == 0 && length == 0 ? path : std::string();
    auto source = std::make_unique<FfmpegSource>(std::move(reader), tag_path);
    err = source->Open(path, "");
    if (err == ERROR_OK) return source;
  }
  if (error) *error = err;
  return nullptr;
}

std::unique_ptr<Source> OpenFfmpegReader(std::unique_ptr<ByteReader> reader,
                                         const std::string& name_hint, const std::string& mime_type,
                                         int* error) {
  int err = ERROR_FILEOPEN;
  if (reader) {
    auto source = std::make_unique<FfmpegSource>(std::move(reader), std::string());
    err = source->Open(name_hint, mime_type);
    if (err == ERROR_OK) return source;
  }
  if (error) *error = err;
  return nullptr;
}

}  // namespace audio::detail

namespace audio {

std::vector<FormatModule> FormatModules() {
  using detail::QuietFfmpegLog;
  QuietFfmpegLog();
  auto decoder = [](AVCodecID id) { return avcodec_find_decoder(id) != nullptr; };
  auto demuxer = [](const char* name) { return av_find_input_format(name) != nullptr; };
  return {
      {"flac", "FLAC (FFmpeg)", decoder(AV_CODEC_ID_FLAC) && demuxer("flac")},
      {"opus", "Opus (FFmpeg)", decoder(AV_CODEC_ID_OPUS) && demuxer("ogg")},
      {"wma", "Windows Media Audio (FFmpeg)",
       decoder(AV_CODEC_ID_WMAV2) && decoder(AV_CODEC_ID_WMAPRO) && demuxer("asf")},
      {"wv", "WavPack (FFmpeg)", decoder(AV_CODEC_ID_WAVPACK) && demuxer("wv")},
      {"ape", "Monkey's Audio (FFmpeg)", decoder(AV_CODEC_ID_APE) && demuxer("ape")},
      {"alac", "Apple Lossless (FFmpeg)", decoder(AV_CODEC_ID_ALAC) && demuxer("mp4")},
      {"midi", "MIDI (FluidSynth)", true},
      {"cd", "CD audio (not supported)", false},
      {"dsd", "DSD (FFmpeg)",
       decoder(AV_CODEC_ID_DSD_LSBF) && decoder(AV_CODEC_ID_DSD_MSBF) && demuxer("dsf")},
      {"hls", "HTTP Live Streaming (FFmpeg)", demuxer("hls")},
      {"mix", "Mixer (built in)", true},
      {"aac", "AAC (FFmpeg)", decoder(AV_CODEC_ID_AAC) && demuxer("aac") && demuxer("mp4")},
  };
}

}  // namespace audio
