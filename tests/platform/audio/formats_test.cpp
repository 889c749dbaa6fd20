// The wider list of formats the player opens, each decoded through the public stream API: files
// ffmpeg can write, a tracker module and a DSD file built byte by byte, and HLS from a loopback
// server.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "audio.h"
#include "icy_server.h"
#include "media.h"

using namespace audio;
using testsupport::TempDir;

namespace {

std::vector<float> DecodeAll(HSTREAM h, ChannelInfo* info) {
  ChannelGetInfo(h, info);
  std::vector<float> all, buf(8192);
  for (;;) {
    DWORD got = ChannelGetData(h, buf.data(), static_cast<DWORD>(buf.size() * 4));
    if (got == static_cast<DWORD>(-1)) break;
    all.insert(all.end(), buf.begin(), buf.begin() + got / 4);
  }
  return all;
}

struct Measured {
  double seconds = 0, frequency = 0, rms = 0;
  int rate = 0;
};

// Length and level of everything; frequency of the middle half of the first channel after a
// low-pass at about 4 kHz, so codec noise (and DSD's shaped noise above the audio band) does
// not add zero crossings.
Measured Measure(HSTREAM h) {
  ChannelInfo info;
  std::vector<float> all = DecodeAll(h, &info);
  Measured m;
  m.rate = static_cast<int>(info.freq);
  const int ch = static_cast<int>(info.chans);
  size_t frames = all.size() / ch;
  m.seconds = double(frames) / info.freq;
  m.rms = testsupport::Rms(all.data(), all.size());
  std::vector<float> mono(frames);
  const double a = 1 - std::exp(-2 * M_PI * 4000.0 / info.freq);
  double s1 = 0, s2 = 0, s3 = 0, s4 = 0;
  for (size_t i = 0; i < frames; ++i) {
    s1 += a * (all[i * ch] - s1);
    s2 += a * (s1 - s2);
    s3 += a * (s2 - s3);
    s4 += a * (s3 - s4);
    mono[i] = static_cast<float>(s4);
  }
  size_t from = frames / 4, count = frames / 2;
  m.frequency = testsupport::MeasureFrequency(mono.data() + from, count, 1, m.rate);
  return m;
}

TEST(Formats, FilesFfmpegCanWrite) {
  TempDir dir;
  struct Case {
    const char* name;
    const char* options;
  } cases[] = {
      {"tone.mp2", "-c:a mp2"},          {"tone.wma", "-c:a wmav2"},
      {"tone.aiff", ""},                 {"tone.wv", "-c:a wavpack"},
      {"tone.m4a", "-c:a alac"},         {"book.m4b", "-c:a aac -f ipod"},
      {"tone.oga", "-c:a flac"},         {"tone.opus", "-c:a libopus"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = dir.file(c.name);
    ASSERT_TRUE(testsupport::MakeSine(path, 1000, 1.0, 44100, 2, c.options));
    HSTREAM h = StreamCreateFile(path, 0, 0, STREAM_DECODE | SAMPLE_FLOAT);
    ASSERT_NE(h, 0u) << ErrorGetCode();
    EXPECT_NEAR(ChannelBytes2Seconds(h, ChannelGetLength(h, POS_BYTE)), 1.0, 0.06);
    Measured m = Measure(h);
    EXPECT_NEAR(m.seconds, 1.0, 0.06);
    EXPECT_NEAR(m.frequency, 1000.0, 2.0);
    StreamFree(h);
  }
}

// A ProTracker module: one 32-byte looped sine period played at period 214 (C-3) on channel 1.
std::string MakeModule() {
  std::string mod(20, '\0');
  std::memcpy(mod.data(), "loop test", 9);
  for (int s = 0; s < 31; ++s) {
    std::string h(30, '\0');
    if (s == 0) {
      std::memcpy(h.data(), "sine", 4);
      h[22] = 0; h[23] = 16;   // length in words: 32 bytes
      h[24] = 0;               // finetune
      h[25] = 64;              // volume
      h[26] = 0; h[27] = 0;    // loop start
      h[28] = 0; h[29] = 16;   // loop length in words
    }
    mod += h;
  }
  mod += static_cast<char>(1);   // song length: one position
  mod += static_cast<char>(127);
  mod += std::string(128, '\0');  // order table: pattern 0
  mod += "M.K.";
  std::string pattern(64 * 4 * 4, '\0');
  // Row 0, channel 0: sample 1, period 214.
  pattern[0] = static_cast<char>((1 & 0xF0) | (214 >> 8));
  pattern[1] = static_cast<char>(214 & 0xFF);
  pattern[2] = static_cast<char>((1 & 0x0F) << 4);
  pattern[3] = 0;
  mod += pattern;
  for (int i = 0; i < 32; ++i) mod += static_cast<char>(std::lround(100 * std::sin(2 * M_PI * i / 32)));
  return mod;
}

TEST(Formats, TrackerModulePlays) {
  TempDir dir;
  testsupport::WriteFileBytes(dir.file("loop.mod"), MakeModule());
  HSTREAM h = StreamCreateFile(dir.file("loop.mod"), 0, 0, STREAM_DECODE | SAMPLE_FLOAT);
  ASSERT_NE(h, 0u) << ErrorGetCode();
  Measured m = Measure(h);
  EXPECT_GT(m.seconds, 1.0);  // one pattern of 64 rows at speed 6, 125 bpm: about 7.7 s
  EXPECT_GT(m.rms, 0.01);
  // Amiga PAL clock / (2 × 214) = 16574 Hz through a 32-sample period: 518 Hz.
  EXPECT_NEAR(m.frequency, 7093789.2 / (2 * 214) / 32, 10.0);
  StreamFree(h);
}

// A DSF file (DSD64, stereo) holding a 1 kHz sine from a second-order sigma-delta modulator.
std::string MakeDsf(double seconds) {
  const std::uint32_t rate = 2822400;
  const std::uint32_t block = 4096;  // bytes per channel per block
  std::uint64_t samples = static_cast<std::uint64_t>(seconds * rate);
  std::uint64_t blocks = (samples / 8 + block - 1) / block;
  std::vector<std::string> channels(2, std::string(blocks * block, '\0'));
  for (int ch = 0; ch < 2; ++ch) {
    double i1 = 0, i2 = 0, y = 0;
    for (std::uint64_t n = 0; n < samples; ++n) {
      double x = 0.5 * std::sin(2 * M_PI * 1000.0 * n / rate);
      i1 += x - y;
      i2 += i1 - y;
      y = i2 >= 0 ? 1.0 : -1.0;
      if (y > 0) channels[ch][n / 8] |= static_cast<char>(1 << (n % 8));  // LSB first
    }
  }
  auto le = [](std::uint64_t v, int bytes) {
    std::string s;
    for (int i = 0; i < bytes; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
    return s;
  };
  std::uint64_t data_size = 12 + blocks * block * 2;
  std::string fmt = "fmt " + le(52, 8) + le(1, 4) + le(0, 4) + le(2, 4) + le(2, 4) + le(rate, 4) +
                    le(1, 4) + le(samples, 8) + le(block, 4) + le(0, 4);
  std::string out = "DSD " + le(28, 8) + le(28 + 52 + data_size, 8) + le(0, 8) + fmt + "data" +
                    le(data_size, 8);
  for (std::uint64_t b = 0; b < blocks; ++b) {
    for (int ch = 0; ch < 2; ++ch) out += channels[ch].substr(b * block, block);
  }
  return out;
}

TEST(Formats, DsdStreamFile) {
  TempDir dir;
  testsupport::WriteFileBytes(dir.file("tone.dsf"), MakeDsf(0.5));
  HSTREAM h = StreamCreateFile(dir.file("tone.dsf"), 0, 0, STREAM_DECODE | SAMPLE_FLOAT);
  ASSERT_NE(h, 0u) << ErrorGetCode();
  Measured m = Measure(h);
  EXPECT_EQ(m.rate, 2822400 / 8);
  EXPECT_NEAR(m.seconds, 0.5, 0.02);
  EXPECT_NEAR(m.frequency, 1000.0, 5.0);
  StreamFree(h);
}

TEST(Formats, HlsFromALoopbackServer) {
  TempDir dir;
  std::string cmd = "cd '" + dir.path().string() +
                    "' && ffmpeg -nostdin -hide_banner -loglevel error -f lavfi "
                    "-i 'sine=frequency=1000:sample_rate=44100:duration=3' -ac 2 -c:a aac "
                    "-f hls -hls_time 1 -hls_playlist_type vod -hls_segment_filename 'seg%d.ts' list.m3u8";
  ASSERT_EQ(testsupport::Run(cmd), 0);
  testsupport::IcyServer server;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    testsupport::IcyRoute route;
    route.kind = testsupport::IcyRoute::Kind::Http;
    route.live = false;
    auto bytes = testsupport::ReadFileBytes(entry.path().string());
    route.payload.assign(bytes.begin(), bytes.end());
    bool list = entry.path().extension() == ".m3u8";
    route.content_type = list ? "application/vnd.apple.mpegurl" : "video/mp2t";
    server.SetRoute("/hls/" + entry.path().filename().string(), route);
  }
  SetConfig(CONFIG_NET_TIMEOUT, 5000);
  HSTREAM h = StreamCreateURL(server.Url("/hls/list.m3u8"), 0, STREAM_DECODE | SAMPLE_FLOAT);
  ASSERT_NE(h, 0u) << ErrorGetCode();
  Measured m = Measure(h);
  EXPECT_NEAR(m.seconds, 3.0, 0.1);
  EXPECT_NEAR(m.frequency, 1000.0, 2.0);
  StreamFree(h);
}

}  // namespace
