// Tests of the FFmpeg decoding Source: formats, exact lengths, sample-accurate seeking, failure
// codes, byte-reader input, and the tag blocks of each container kind.
#include "ffmpeg_source.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <strings.h>
#include <unistd.h>

#include "media.h"

namespace audio::detail {
namespace {

namespace fs = std::filesystem;
using testsupport::MeasureFrequency;
using testsupport::ReadFileBytes;
using testsupport::WriteFileBytes;

constexpr double kSeconds = 2.0;
// One second of sine, for the tag tests.
const char* const kShortSine = "sine=frequency=1000:sample_rate=44100:duration=1";
// Lengths must match the true length within this many milliseconds (all six formats measure
// exact to the frame today; the margin allows for another encoder's rounding).
constexpr double kLengthToleranceMs = 5.0;

struct Media {
  const char* name;
  const char* extra;  // ffmpeg output options
  int rate;           // the rate the decoder must deliver
};

const Media kMedia[] = {
    {"sine.mp3", "-c:a libmp3lame -b:a 128k", 44100},
    {"sine.flac", "-c:a flac", 44100},
    {"sine.ogg", "-c:a libvorbis", 44100},
    {"sine.opus", "-c:a libopus", 48000},
    {"sine.wav", "-c:a pcm_s16le", 44100},
    {"sine.m4a", "-c:a aac -b:a 128k", 44100},
};

// All frames of a source, read in blocks of `block` frames.
std::vector<float> ReadAll(Source& s, int block = 1000) {
  std::vector<float> all;
  const int ch = s.format().channels;
  std::vector<float> buf(std::size_t(block) * ch);
  for (;;) {
    ReadResult r = s.Read(buf.data(), block, true);
    all.insert(all.end(), buf.begin(), buf.begin() + std::size_t(r.frames) * ch);
    if (r.ended) break;
    if (r.frames != block) {  // a short read must come with the end
      ADD_FAILURE() << "short read without the end: " << r.frames;
      break;
    }
  }
  return all;
}

std::unique_ptr<Source> Open(const std::string& path, int* error = nullptr) {
  int err = 0;
  auto s = OpenFfmpegFile(path, 0, 0, &err);
  if (error) *error = err;
  return s;
}

// A file made by ffmpeg from a lavfi `input` with `options`, made once per build folder and
// shared by the test processes (each test case runs in a process of its own); the file name
// carries a hash of the command, so a changed command makes a new file.
std::string Made(const std::string& name, const std::string& input, const std::string& options) {
  fs::path dir = fs::path(SONDERLANE_BINARY_DIR) / "test-media" / "ffmpeg_source";
  std::error_code ec;
  fs::create_directories(dir, ec);
  fs::path n(name);
  char tag[24];
  std::snprintf(tag, sizeof tag, "-%016zx", std::hash<std::string>{}(input + "|" + options));
  fs::path path = dir / (n.stem().string() + tag + n.extension().string());
  if (fs::exists(path, ec)) return path.string();
  // Made under a private name and renamed into place: a parallel test never sees half a file.
  fs::path tmp =
      dir / (n.stem().string() + tag + ".tmp" + std::to_string(getpid()) + n.extension().string());
  int rc = testsupport::Run("ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i '" +
                            input + "' " + options + " '" + tmp.string() + "'");
  EXPECT_EQ(rc, 0) << name;
  fs::rename(tmp, path, ec);
  return path.string();
}

// The 2 s stereo 1 kHz sine of kMedia named `name`.
std::string Sine(const std::string& name) {
  for (const Media& m : kMedia) {
    if (name == m.name) {
      return Made(name,
                  "sine=frequency=1000:sample_rate=44100:duration=" + std::to_string(kSeconds),
                  std::string("-ac 2 ") + m.extra);
    }
  }
  ADD_FAILURE() << "no such medium " << name;
  return {};
}

using FfmpegSourceTest = ::testing::Test;

TEST_F(FfmpegSourceTest, EveryFormatDecodesAtItsRateLengthAndFrequency) {
  for (const Media& m : kMedia) {
    SCOPED_TRACE(m.name);
    int err = -1;
    auto s = Open(Sine(m.name), &err);
    ASSERT_TRUE(s) << "error " << err;
    EXPECT_EQ(s->format().rate, m.rate);
    EXPECT_EQ(s->format().channels, 2);
    const double tolerance = m.rate * kLengthToleranceMs / 1000.0;
    EXPECT_NEAR(double(s->LengthFrames()), kSeconds * m.rate, tolerance);
    EXPECT_EQ(s->ChannelType(), CTYPE_STREAM_FILE);

    std::vector<float> all = ReadAll(*s, 1000);
    std::size_t frames = all.size() / 2;
    EXPECT_NEAR(double(frames), kSeconds * m.rate, tolerance);
    EXPECT_EQ(std::int64_t(frames), s->LengthFrames()) << "delivered frames equal the length";
    EXPECT_EQ(s->PositionFrames(), std::int64_t(frames));
    // The middle of the sine, away from encoder ramps.
    std::size_t skip = m.rate / 10;
    ASSERT_GT(frames, 3 * skip);
    double f = MeasureFrequency(all.data() + skip * 2, frames - 2 * skip, 2, m.rate);
    EXPECT_NEAR(f, 1000.0, 1.0);
    // Both channels carry the sine.
    double diff = 0;
    for (std::size_t i = skip; i < frames - skip; ++i) {
      diff += std::fabs(all[2 * i] - all[2 * i + 1]);
    }
    EXPECT_LT(diff / (frames - 2 * skip), 1e-3);
  }
}

TEST_F(FfmpegSourceTest, ReadFillsWhateverIsAskedAcrossDecoderFrames) {
  for (int block : {1, 333, 4096, 100000}) {
    SCOPED_TRACE(block);
    auto s = Open(Sine("sine.mp3"));
    ASSERT_TRUE(s);
    EXPECT_EQ(ReadAll(*s, block).size() / 2, std::size_t(s->LengthFrames()));
    // After the end, the end again.
    float buf[8];
    ReadResult r = s->Read(buf, 4, false);
    EXPECT_EQ(r.frames, 0);
    EXPECT_TRUE(r.ended);
  }
}

TEST_F(FfmpegSourceTest, SeekLandsOnTheExactFrame) {
  // A chirp: unlike a steady sine, a seek that is off by any number of frames shows.
  for (const Media& m : kMedia) {
    SCOPED_TRACE(m.name);
    std::string path =
        Made("chirp" + fs::path(m.name).extension().string(),
             "aevalsrc=0.4*sin(2*PI*(300*t+200*t*t)):s=44100:d=3", std::string("-ac 2 ") + m.extra);
    auto straight = Open(path);
    ASSERT_TRUE(straight);
    std::vector<float> all = ReadAll(*straight);
    const std::int64_t len = std::int64_t(all.size() / 2);
    bool lossless = std::string(m.name) == "sine.wav" || std::string(m.name) == "sine.flac";

    // Seeks in an order that goes back after reading past the target, into the last Ogg page
    // and to the start (where encoder delay is dropped again).
    auto s = Open(path);
    ASSERT_TRUE(s);
    const std::int64_t rate = m.rate;
    const std::int64_t targets[] = {rate, len - 3000, rate / 3, len - 2 * rate / 5, 0, rate + 7};
    std::vector<float> got(2048 * 2);
    for (std::int64_t target : targets) {
      SCOPED_TRACE(target);
      int err = 0;
      ASSERT_TRUE(s->Seek(target, &err)) << err;
      EXPECT_EQ(s->PositionFrames(), target);
      int want = int(std::min<std::int64_t>(2048, len - target));
      ReadResult r = s->Read(got.data(), want, true);
      ASSERT_EQ(r.frames, want);
      EXPECT_EQ(s->PositionFrames(), target + want);
      double max_diff = 0;
      for (int i = 0; i < want * 2; ++i) {
        max_diff = std::max<double>(max_diff, std::fabs(got[i] - all[target * 2 + i]));
      }
      // Lossless: bit for bit. Lossy decoders restart before the target and settle there; one
      // frame off would differ by about 0.05 here.
      EXPECT_LE(max_diff, lossless ? 0.0 : 1e-3);
    }
  }
}

TEST_F(FfmpegSourceTest, SeekPastTheEndEndsAndBadPositionsFail) {
  auto s = Open(Sine("sine.flac"));
  ASSERT_TRUE(s);
  int err = 0;
  ASSERT_TRUE(s->Seek(s->LengthFrames() + 1000, &err));
  float buf[64];
  ReadResult r = s->Read(buf, 16, false);
  EXPECT_EQ(r.frames, 0);
  EXPECT_TRUE(r.ended);
  // Still seekable afterwards.
  ASSERT_TRUE(s->Seek(s->LengthFrames() - 10, &err));
  r = s->Read(buf, 16, false);
  EXPECT_EQ(r.frames, 10);
  EXPECT_TRUE(r.ended);
  EXPECT_FALSE(s->Seek(-1, &err));
  EXPECT_EQ(err, ERROR_POSITION);
}

TEST_F(FfmpegSourceTest, StreamFacts) {
  struct Case {
    const char* name;
    float min_kbps, max_kbps;
    bool vbr;
    DWORD bits;
  };
  const Case cases[] = {
      {"sine.mp3", 127, 129, false, 32}, {"sine.wav", 1411, 1412, false, 16},
      {"sine.flac", 20, 400, true, 16},  {"sine.opus", 10, 300, true, 32},
      {"sine.ogg", 10, 300, true, 32},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto s = Open(Sine(c.name));
    ASSERT_TRUE(s);
    EXPECT_GE(s->Bitrate(), c.min_kbps);
    EXPECT_LE(s->Bitrate(), c.max_kbps);
    EXPECT_EQ(s->OriginalResolution(), c.bits);
    ReadAll(*s);  // the variation shows while reading
    EXPECT_EQ(s->VariableBitrate(), c.vbr);
  }
}

TEST_F(FfmpegSourceTest, OpenFailuresGiveTheirCodes) {
  testsupport::TempDir dir;
  WriteFileBytes(dir.file("text.mp3"), "This is a text file, not an MP3.\nSecond line.\n");
  WriteFileBytes(dir.file("empty.mp3"), "");
  // A WAV whose format tag names no codec FFmpeg knows.
  std::vector<char> wav = ReadFileBytes(Sine("sine.wav"));
  ASSERT_GT(wav.size(), 44u);
  wav[20] = 0x34;
  wav[21] = 0x12;
  WriteFileBytes(dir.file("unknown-codec.wav"), std::string(wav.begin(), wav.end()));
  // A video with no audio stream.
  std::string video = Made("video.mkv", "testsrc=duration=0.2:size=32x32:rate=5", "-c:v mjpeg");
  struct Case {
    std::string path;
    int error;
  };
  const Case cases[] = {
      {dir.file("missing.mp3"), ERROR_FILEOPEN},
      {dir.path().string(), ERROR_FILEOPEN},  // a folder
      {dir.file("text.mp3"), ERROR_FILEFORM},
      {dir.file("empty.mp3"), ERROR_FILEFORM},
      {video, ERROR_FILEFORM},
      {dir.file("unknown-codec.wav"), ERROR_CODEC},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    int err = 0;
    EXPECT_EQ(OpenFfmpegFile(c.path, 0, 0, &err), nullptr);
    EXPECT_EQ(err, c.error);
  }
}

TEST_F(FfmpegSourceTest, TruncatedAndDamagedMp3sEndCleanly) {
  testsupport::TempDir dir;
  std::vector<char> mp3 = ReadFileBytes(Sine("sine.mp3"));
  // The first 20%: the file opens (its header still claims 2 s) and ends early, cleanly.
  WriteFileBytes(dir.file("cut.mp3"), std::string(mp3.begin(), mp3.begin() + mp3.size() / 5));
  auto s = Open(dir.file("cut.mp3"));
  ASSERT_TRUE(s);
  EXPECT_EQ(s->LengthFrames(), 2 * 44100);
  std::size_t frames = ReadAll(*s).size() / 2;
  EXPECT_GT(frames, 0.3 * 44100);
  EXPECT_LT(frames, 0.45 * 44100);
  // Only the header and a few bytes: nothing decodes, so the open fails.
  WriteFileBytes(dir.file("stub.mp3"), std::string(mp3.begin(), mp3.begin() + 700));
  int err = 0;
  EXPECT_EQ(OpenFfmpegFile(dir.file("stub.mp3"), 0, 0, &err), nullptr);
  EXPECT_EQ(err, ERROR_FILEFORM);
  // Random bytes over the middle: the damaged frames are skipped, the rest plays to the end.
  std::mt19937 rng(7);
  for (std::size_t i = mp3.size() / 2; i < mp3.size() / 2 + 1500; ++i) mp3[i] = char(rng());
  WriteFileBytes(dir.file("damaged.mp3"), std::string(mp3.begin(), mp3.end()));
  s = Open(dir.file("damaged.mp3"));
  ASSERT_TRUE(s);
  frames = ReadAll(*s).size() / 2;
  EXPECT_GT(frames, 1.8 * 44100);
  EXPECT_LE(frames, std::size_t(s->LengthFrames()));
}

// ---- Byte readers (the network layer's input) -------------------------------------------------

class MemoryReader : public ByteReader {
 public:
  MemoryReader(std::vector<char> bytes, bool seekable)
      : bytes_(std::move(bytes)), seekable_(seekable) {}
  int Read(std::uint8_t* buffer, int size) override {
    if (fail_reads_) return -1;
    std::size_t n = std::min<std::size_t>(size, bytes_.size() - pos_);
    n = std::min<std::size_t>(n, 1000);  // a network delivers in small pieces
    std::memcpy(buffer, bytes_.data() + pos_, n);
    pos_ += n;
    return static_cast<int>(n);
  }
  bool Seek(std::int64_t offset) override {
    if (!seekable_ || offset < 0 || offset > std::int64_t(bytes_.size())) return false;
    pos_ = std::size_t(offset);
    return true;
  }
  std::int64_t Size() const override { return seekable_ ? std::int64_t(bytes_.size()) : -1; }
  bool fail_reads_ = false;

 private:
  std::vector<char> bytes_;
  std::size_t pos_ = 0;
  bool seekable_;
};

TEST_F(FfmpegSourceTest, ReaderInputDecodesLikeTheFile) {
  for (const Media& m : kMedia) {
    SCOPED_TRACE(m.name);
    auto file = Open(Sine(m.name));
    ASSERT_TRUE(file);
    std::vector<float> expect = ReadAll(*file);
    int err = 0;
    auto s = OpenFfmpegReader(std::make_unique<MemoryReader>(ReadFileBytes(Sine(m.name)), true),
                              std::string("http://127.0.0.1/") + m.name + "?session=1", "", &err);
    ASSERT_TRUE(s) << err;
    EXPECT_EQ(s->LengthFrames(), file->LengthFrames());
    EXPECT_EQ(ReadAll(*s), expect);
    ASSERT_TRUE(s->Seek(m.rate / 2, &err));
  }
}

TEST_F(FfmpegSourceTest, UnseekableReaderPlaysThroughButCannotSeek) {
  // An input without a size is live: no length, even when an MP3 Info frame names one.
  for (const char* name : {"sine.mp3", "sine.ogg"}) {
    SCOPED_TRACE(name);
    int err = 0;
    // No name and a server-given type: the content decides.
    auto s = OpenFfmpegReader(std::make_unique<MemoryReader>(ReadFileBytes(Sine(name)), false), "",
                              "audio/mpeg", &err);
    ASSERT_TRUE(s) << err;
    EXPECT_EQ(s->LengthFrames(), -1);
    EXPECT_TRUE(s->Seek(0, &err));  // where it already is
    std::vector<float> buf(2000);
    s->Read(buf.data(), 1000, true);
    EXPECT_FALSE(s->Seek(44100, &err));
    EXPECT_EQ(err, ERROR_NOTFILE);
    std::size_t rest = ReadAll(*s).size() / 2;
    EXPECT_NEAR(double(rest + 1000), 2.0 * 44100, 1152.0);  // at most one frame of padding
  }
}

TEST_F(FfmpegSourceTest, ReaderFailuresGiveTheirCodes) {
  int err = 0;
  auto broken = std::make_unique<MemoryReader>(ReadFileBytes(Sine("sine.mp3")), false);
  broken->fail_reads_ = true;
  EXPECT_EQ(OpenFfmpegReader(std::move(broken), "x.mp3", "", &err), nullptr);
  EXPECT_EQ(err, ERROR_FILEOPEN);
  std::string html = "<html><body>Not found</body></html>";
  EXPECT_EQ(OpenFfmpegReader(
                std::make_unique<MemoryReader>(std::vector<char>(html.begin(), html.end()), false),
                "http://127.0.0.1/x", "text/html", &err),
            nullptr);
  EXPECT_EQ(err, ERROR_FILEFORM);
  EXPECT_EQ(OpenFfmpegReader(nullptr, "", "", &err), nullptr);
  EXPECT_EQ(err, ERROR_FILEOPEN);
}

// ---- Tag blocks through the Source --------------------------------------------------------------

std::vector<std::string> Texts(const std::vector<char>& block) {
  std::vector<std::string> texts;
  std::size_t pos = 0;
  while (pos < block.size() && block[pos] != '\0') {
    std::string t(block.data() + pos);
    pos += t.size() + 1;
    texts.push_back(t);
  }
  if (!block.empty()) {
    EXPECT_EQ(pos + 1, block.size()) << "block must end with an empty text";
  }
  return texts;
}

bool HasText(const std::vector<std::string>& texts, const std::string& key,
             const std::string& value) {
  for (const std::string& t : texts) {
    std::size_t eq = t.find('=');
    if (eq == std::string::npos) continue;
    if (strcasecmp(t.substr(0, eq).c_str(), key.c_str()) == 0 && t.substr(eq + 1) == value) {
      return true;
    }
  }
  return false;
}

TEST_F(FfmpegSourceTest, EachContainerGivesItsTagKind) {
  const std::string meta =
      "-metadata title='Sine Title' -metadata artist='Sine Artist' -metadata album='Sine Album' ";
  struct Case {
    const char* name;
    std::string extra;
    DWORD kind;
  };
  const Case cases[] = {
      {"t.ogg", "-c:a libvorbis -metadata:s:a:0 CHAPTER001=00:00:00.500 ", TAG_OGG},
      {"t.opus", "-c:a libopus -metadata:s:a:0 CHAPTER001=00:00:00.500 ", TAG_OGG},
      {"t.flac", "-c:a flac ", TAG_OGG},
      {"t.m4a", "-c:a aac ", TAG_MP4},
      {"t.wma", "-c:a wmav2 ", TAG_WMA},
      {"t.wav", "-c:a pcm_s16le ", TAG_RIFF_INFO},
      {"t.wv", "-c:a wavpack ", TAG_APE},
  };
  const DWORD all_kinds[] = {TAG_ID3, TAG_ID3V2, TAG_OGG, TAG_APE, TAG_MP4, TAG_WMA, TAG_RIFF_INFO};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // The Ogg kinds keep the tags on the stream; the others on the file.
    std::string extra = c.extra + meta;
    if (c.kind == TAG_OGG && std::string(c.name) != "t.flac") {
      extra = c.extra +
              "-metadata:s:a:0 title='Sine Title' -metadata:s:a:0 artist='Sine Artist' "
              "-metadata:s:a:0 album='Sine Album' ";
    }
    auto s = Open(Made(c.name, kShortSine, "-ac 2 " + extra));
    ASSERT_TRUE(s);
    std::vector<std::string> t = Texts(s->Tags(c.kind));
    EXPECT_TRUE(HasText(t, "title", "Sine Title"));
    EXPECT_TRUE(HasText(t, "artist", "Sine Artist"));
    EXPECT_TRUE(HasText(t, "album", "Sine Album"));
    if (std::string(c.extra).find("CHAPTER001") != std::string::npos) {
      EXPECT_TRUE(HasText(t, "CHAPTER001", "00:00:00.500")) << "FFmpeg drops these; we keep them";
    }
    for (DWORD other : all_kinds) {
      if (other != c.kind) {
        EXPECT_TRUE(s->Tags(other).empty()) << "kind " << other;
      }
    }
    EXPECT_EQ(s->Tags(c.kind), s->Tags(c.kind));  // cached, stable
  }
  // MP3: the raw ID3v2 tag at the start and the ID3v1 record at the end.
  auto s = Open(Made("t.mp3", kShortSine, "-ac 2 -c:a libmp3lame -write_id3v1 1 " + meta));
  ASSERT_TRUE(s);
  std::vector<char> id3 = s->Tags(TAG_ID3V2);
  ASSERT_GT(id3.size(), 10u);
  EXPECT_EQ(std::string(id3.data(), 3), "ID3");
  EXPECT_NE(
      std::search(id3.begin(), id3.end(), std::begin("Sine Title"), std::end("Sine Title") - 1),
      id3.end());
  std::vector<char> v1 = s->Tags(TAG_ID3);
  ASSERT_EQ(v1.size(), 128u);
  EXPECT_EQ(std::string(v1.data(), 3), "TAG");
  EXPECT_EQ(std::string(v1.data() + 3, 10), "Sine Title");
  EXPECT_TRUE(s->Tags(TAG_OGG).empty());
  EXPECT_TRUE(s->Tags(TAG_MP4).empty());
}

TEST_F(FfmpegSourceTest, TagsCanBeAskedWhileAnotherThreadDecodes) {
  // The interface asks tags from the UI thread while the mixer reads: the answers stay whole.
  std::string path = Made("threads.ogg", kShortSine,
                          "-c:a libvorbis -metadata:s:a:0 title='Thread Title' "
                          "-metadata:s:a:0 CHAPTER001=00:00:00.100");
  auto s = Open(path);
  ASSERT_TRUE(s);
  std::atomic<bool> done{false};
  std::vector<float> all;
  std::thread reader([&] {
    for (int round = 0; round < 5; ++round) {
      int err = 0;
      s->Seek(0, &err);
      all = ReadAll(*s, 512);
    }
    done = true;
  });
  int asked = 0;
  while (!done || asked < 50) {
    std::vector<std::string> t = Texts(s->Tags(TAG_OGG));
    ASSERT_TRUE(HasText(t, "title", "Thread Title"));
    EXPECT_TRUE(s->Tags(TAG_ID3V2).empty());
    s->VariableBitrate();
    s->Bitrate();
    ++asked;
  }
  reader.join();
  EXPECT_NEAR(double(all.size()), 44100.0, 44100 * kLengthToleranceMs / 1000);  // mono
}

TEST_F(FfmpegSourceTest, ReaderTagsComeFromTheStreamStart) {
  std::string r_mp3 = Made("r.mp3", kShortSine, "-c:a libmp3lame -metadata title='Net Title'");
  std::string r_ogg = Made("r.ogg", kShortSine,
                           "-c:a libvorbis -metadata:s:a:0 title='Net Title' "
                           "-metadata:s:a:0 CHAPTER001=00:00:00.250");
  int err = 0;
  auto mp3 =
      OpenFfmpegReader(std::make_unique<MemoryReader>(ReadFileBytes(r_mp3), false), "", "", &err);
  ASSERT_TRUE(mp3);
  auto file = OpenFfmpegFile(r_mp3, 0, 0, &err);
  ASSERT_TRUE(file);
  EXPECT_FALSE(mp3->Tags(TAG_ID3V2).empty());
  EXPECT_EQ(mp3->Tags(TAG_ID3V2), file->Tags(TAG_ID3V2));
  auto ogg =
      OpenFfmpegReader(std::make_unique<MemoryReader>(ReadFileBytes(r_ogg), false), "", "", &err);
  ASSERT_TRUE(ogg);
  std::vector<std::string> t = Texts(ogg->Tags(TAG_OGG));
  EXPECT_TRUE(HasText(t, "title", "Net Title"));
  EXPECT_TRUE(HasText(t, "CHAPTER001", "00:00:00.250"));
}

TEST_F(FfmpegSourceTest, CorpusFiles) {
  std::string corpus = testsupport::CorpusDir();
  if (corpus.empty()) GTEST_SKIP() << "shared corpus not present: corpus sweep skipped";
  // Named files: what they must give.
  for (const char* name : {"auphonic.opus", "auphonic.ogg"}) {
    auto s = Open(corpus + "/tags/" + name);
    ASSERT_TRUE(s) << name;
    std::vector<std::string> t = Texts(s->Tags(TAG_OGG));
    EXPECT_TRUE(HasText(t, "CHAPTER001", "00:00:00.000")) << name;
    EXPECT_TRUE(HasText(t, "CHAPTER002", "00:00:03.000")) << name;
    EXPECT_TRUE(HasText(t, "CHAPTER002URL", "https://example.com")) << name;
    EXPECT_TRUE(HasText(t, "TITLE", "Title")) << name;
  }
  auto s = Open(corpus + "/tags/has-tags.m4a");
  ASSERT_TRUE(s);
  std::vector<std::string> t = Texts(s->Tags(TAG_MP4));
  EXPECT_TRUE(HasText(t, "artist", "Test Artist"));
  for (const std::string& text : t) EXPECT_NE(text.find('='), std::string::npos) << text;
  s = Open(corpus + "/tags/multipagecomment.ogg");
  ASSERT_TRUE(s);
  EXPECT_EQ(Texts(s->Tags(TAG_OGG)).size(), 2u);
  s = Open(corpus + "/tags/id3v2.3-iso-8859-1.mp3");
  ASSERT_TRUE(s);
  std::vector<char> id3 = s->Tags(TAG_ID3V2);
  ASSERT_GT(id3.size(), 10u);
  EXPECT_EQ(std::string(id3.data(), 4), "ID3\x03");
  s = Open(corpus + "/tags/id3v1_Blood_Sugar.mp3");
  ASSERT_TRUE(s);
  EXPECT_EQ(s->Tags(TAG_ID3).size(), 128u);
  EXPECT_TRUE(s->Tags(TAG_ID3V2).empty());

  // Every file, every kind, a full read and a seek: nothing crashes or hangs.
  const DWORD kinds[] = {TAG_ID3, TAG_ID3V2,     TAG_OGG,  TAG_APE, TAG_MP4,
                         TAG_WMA, TAG_RIFF_INFO, TAG_HTTP, TAG_ICY, TAG_META};
  int opened = 0;
  for (const auto& entry : fs::directory_iterator(corpus + "/tags")) {
    SCOPED_TRACE(entry.path().filename().string());
    int err = 0;
    auto src = OpenFfmpegFile(entry.path().string(), 0, 0, &err);
    if (!src) {
      EXPECT_TRUE(err == ERROR_FILEFORM || err == ERROR_CODEC || err == ERROR_FORMAT) << err;
      continue;
    }
    ++opened;
    for (DWORD k : kinds) {
      std::vector<char> block = src->Tags(k);
      if (k != TAG_ID3 && k != TAG_ID3V2) Texts(block);  // the text kinds keep their form
    }
    ReadAll(*src, 4096);
    src->Seek(src->format().rate / 2, &err);
    ReadAll(*src, 4096);
  }
  EXPECT_GT(opened, 40);
}

TEST(FormatModules, TwelveModulesInOrder) {
  std::vector<FormatModule> modules = FormatModules();
  std::vector<std::string> names;
  for (const FormatModule& m : modules) {
    names.push_back(m.name);
    EXPECT_FALSE(m.describes.empty()) << m.name;
  }
  EXPECT_EQ(names, (std::vector<std::string>{"flac", "opus", "wma", "wv", "ape", "alac", "midi",
                                             "cd", "dsd", "hls", "mix", "aac"}));
  std::map<std::string, bool> avail;
  for (const FormatModule& m : modules) avail[m.name] = m.available;
  EXPECT_TRUE(avail["flac"]);
  EXPECT_TRUE(avail["opus"]);
  EXPECT_TRUE(avail["aac"]);
  EXPECT_TRUE(avail["midi"]);
  EXPECT_TRUE(avail["mix"]);
  EXPECT_FALSE(avail["cd"]);
  EXPECT_EQ(modules[0].describes, "FLAC (FFmpeg)");
}

}  // namespace
}  // namespace audio::detail
