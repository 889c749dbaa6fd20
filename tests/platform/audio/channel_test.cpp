// The audio layer's channels through the public API: decoding channels pulled directly, and
// played channels on the no-sound device (which advances in real time).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "audio.h"
#include "core.h"
#include "media.h"

using namespace audio;
using testsupport::TempDir;

namespace {

constexpr DWORD kDecode = STREAM_DECODE | SAMPLE_FLOAT;

// Waits up to `ms` for `pred`.
template <typename P>
bool WaitFor(P pred, int ms = 3000) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

class ChannelTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    ASSERT_TRUE(testsupport::MakeSine(dir_->file("sine.wav"), 1000, 2.0, 44100, 2, "-c:a pcm_f32le"));
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  std::string Sine() const { return dir_->file("sine.wav"); }
  static TempDir* dir_;
};
TempDir* ChannelTest::dir_ = nullptr;

// Reads a whole decoding channel as float frames.
std::vector<float> ReadAll(HSTREAM h) {
  std::vector<float> all;
  std::vector<float> buf(4096);
  for (;;) {
    DWORD got = ChannelGetData(h, buf.data(), static_cast<DWORD>(buf.size() * sizeof(float)));
    if (got == static_cast<DWORD>(-1)) break;
    all.insert(all.end(), buf.begin(), buf.begin() + got / sizeof(float));
  }
  return all;
}

TEST_F(ChannelTest, DecodingChannelReportsFormatLengthAndData) {
  HSTREAM h = StreamCreateFile(Sine(), 0, 0, kDecode);
  ASSERT_NE(h, 0u) << ErrorGetCode();
  ChannelInfo info;
  ASSERT_TRUE(ChannelGetInfo(h, &info));
  EXPECT_EQ(info.freq, 44100u);
  EXPECT_EQ(info.chans, 2u);
  EXPECT_TRUE(info.flags & SAMPLE_FLOAT);
  QWORD len = ChannelGetLength(h, POS_BYTE);
  EXPECT_EQ(len, 88200u * 2 * 4);
  EXPECT_NEAR(ChannelBytes2Seconds(h, len), 2.0, 1e-9);
  EXPECT_EQ(ChannelSeconds2Bytes(h, 1.0), 44100u * 8);
  EXPECT_EQ(ChannelIsActive(h), ACTIVE_PLAYING);
  std::vector<float> all = ReadAll(h);
  EXPECT_EQ(ErrorGetCode(), ERROR_ENDED);
  EXPECT_EQ(all.size(), 88200u * 2);
  EXPECT_NEAR(testsupport::MeasureFrequency(all.data(), all.size() / 2, 2, 44100), 1000.0, 1.0);
  EXPECT_EQ(ChannelIsActive(h), ACTIVE_STOPPED);
  EXPECT_TRUE(StreamFree(h));
  EXPECT_FALSE(StreamFree(h));
  EXPECT_EQ(ErrorGetCode(), ERROR_HANDLE);
}

TEST_F(ChannelTest, SixteenBitDataAndSeeking) {
  HSTREAM h = StreamCreateFile(Sine(), 0, 0, STREAM_DECODE);  // 16-bit samples
  ASSERT_NE(h, 0u);
  EXPECT_EQ(ChannelGetLength(h, POS_BYTE), 88200u * 2 * 2);
  ASSERT_TRUE(ChannelSetPosition(h, ChannelSeconds2Bytes(h, 1.5), POS_BYTE));
  EXPECT_EQ(ChannelGetPosition(h, POS_BYTE), 66150u * 4);
  std::vector<std::int16_t> pcm(100000);
  DWORD got = ChannelGetData(h, pcm.data(), static_cast<DWORD>(pcm.size() * 2));
  EXPECT_EQ(got, 22050u * 4);  // half a second left
  // Float data on request from a 16-bit channel.
  ChannelSetPosition(h, 0, POS_BYTE);
  float f[8];
  EXPECT_EQ(ChannelGetData(h, f, sizeof f | DATA_FLOAT), sizeof f);
  StreamFree(h);
}

TEST_F(ChannelTest, FailuresSetTheirCodes) {
  EXPECT_EQ(StreamCreateFile(dir_->file("missing.mp3"), 0, 0, kDecode), 0u);
  EXPECT_EQ(ErrorGetCode(), ERROR_FILEOPEN);
  EXPECT_FALSE(ChannelPlay(12345678, false));
  EXPECT_EQ(ErrorGetCode(), ERROR_HANDLE);
  HSTREAM h = StreamCreateFile(Sine(), 0, 0, kDecode);
  EXPECT_FALSE(ChannelPlay(h, false));
  EXPECT_EQ(ErrorGetCode(), ERROR_DECODE);
  EXPECT_EQ(ChannelSetFX(h, 0x7777, 0), 0u);  // no effect of that type exists
  EXPECT_EQ(ErrorGetCode(), ERROR_ILLTYPE);
  float v;
  EXPECT_FALSE(ChannelSetAttribute(h, ATTRIB_BITRATE, 5));
  EXPECT_TRUE(ChannelGetAttribute(h, ATTRIB_BITRATE, &v));
  EXPECT_GT(v, 2800.0f);  // 44.1 kHz stereo float
  StreamFree(h);
}

// ---- DSP chain order and effects ----

struct Recorder {
  std::vector<char> calls;
};
void DspA(HDSP, DWORD, void*, DWORD, void* u) { static_cast<Recorder*>(u)->calls.push_back('A'); }
void DspB(HDSP, DWORD, void*, DWORD, void* u) { static_cast<Recorder*>(u)->calls.push_back('B'); }
void DspC(HDSP, DWORD, void*, DWORD, void* u) { static_cast<Recorder*>(u)->calls.push_back('C'); }

class HalfGain : public detail::Effect {
 public:
  void Process(float* s, int frames, int channels, int) override {
    for (int i = 0; i < frames * channels; ++i) s[i] *= gain_;
  }
  bool SetParameters(const void* p) override {
    gain_ = *static_cast<const float*>(p);
    return gain_ >= 0;
  }
  bool GetParameters(void* p) const override {
    *static_cast<float*>(p) = gain_;
    return true;
  }

 private:
  float gain_ = 0.5f;
};

TEST_F(ChannelTest, DspRunsByPriorityAndEffectsJoinTheChain) {
  HSTREAM h = StreamCreateFile(Sine(), 0, 0, kDecode);
  Recorder r;
  ChannelSetDSP(h, DspA, &r, 0);
  HDSP last = ChannelSetDSP(h, DspB, &r, -2000000000);  // after all others
  ChannelSetDSP(h, DspC, &r, 10);
  float buf[64];
  ChannelGetData(h, buf, sizeof buf);
  EXPECT_EQ(std::string(r.calls.begin(), r.calls.end()), "CAB");
  EXPECT_TRUE(ChannelRemoveDSP(h, last));
  EXPECT_FALSE(ChannelRemoveDSP(h, last));

  detail::RegisterEffect(0x7001, [] { return std::make_unique<HalfGain>(); });
  float before[64];
  ChannelSetPosition(h, 0, POS_BYTE);
  ChannelGetData(h, before, sizeof before);
  HFX fx = ChannelSetFX(h, 0x7001, 5);
  ASSERT_NE(fx, 0u);
  float gain = 0.25f;
  EXPECT_TRUE(FXSetParameters(fx, &gain));
  float read_back = 0;
  EXPECT_TRUE(FXGetParameters(fx, &read_back));
  EXPECT_EQ(read_back, 0.25f);
  float after[64];
  ChannelSetPosition(h, 0, POS_BYTE);
  ChannelGetData(h, after, sizeof after);
  EXPECT_FLOAT_EQ(after[5], before[5] * 0.25f);
  EXPECT_TRUE(ChannelRemoveFX(h, fx));
  EXPECT_FALSE(FXSetParameters(fx, &gain));
  EXPECT_EQ(ErrorGetCode(), ERROR_HANDLE);
  StreamFree(h);
}

// ---- Syncs on a decoding channel ----

struct Counter {
  std::atomic<int> n{0};
};
void CountSync(HSYNC, DWORD, DWORD, void* user) { ++static_cast<Counter*>(user)->n; }

TEST_F(ChannelTest, EndSyncOnDecodingChannelAndOneTime) {
  HSTREAM h = StreamCreateFile(Sine(), 0, 0, kDecode);
  Counter every, once;
  ChannelSetSync(h, SYNC_END, 0, CountSync, &every);
  ChannelSetSync(h, SYNC_END | SYNC_ONETIME, 0, CountSync, &once);
  ReadAll(h);
  EXPECT_EQ(every.n, 1);
  EXPECT_EQ(once.n, 1);
  ChannelSetPosition(h, 0, POS_BYTE);
  ReadAll(h);
  EXPECT_EQ(every.n, 2);
  EXPECT_EQ(once.n, 1);
  StreamFree(h);
}

// ---- Stream procedures ----

struct ProcState {
  int calls = 0;
};
DWORD SineProc(HSTREAM, void* buffer, DWORD length, void* user) {
  auto* st = static_cast<ProcState*>(user);
  if (++st->calls > 3) return STREAMPROC_END;
  auto* f = static_cast<float*>(buffer);
  for (DWORD i = 0; i < length / 4; ++i) f[i] = 0.5f;
  return length;
}

TEST_F(ChannelTest, StreamProcedureFeedsADecodingChannel) {
  ProcState st;
  HSTREAM h = StreamCreate(48000, 1, kDecode, SineProc, &st);
  ASSERT_NE(h, 0u);
  std::vector<float> all = ReadAll(h);
  EXPECT_FALSE(all.empty());
  EXPECT_EQ(all[0], 0.5f);
  EXPECT_EQ(ChannelGetLength(h, POS_BYTE), static_cast<QWORD>(-1));
  StreamFree(h);
}

// ---- Tempo stream ownership ----

TEST_F(ChannelTest, TempoStreamFreesItsSource) {
  HSTREAM src = StreamCreateFile(Sine(), 0, 0, kDecode);
  HSTREAM tempo = TempoCreate(src, kDecode | FX_FREESOURCE);
  ASSERT_NE(tempo, 0u) << ErrorGetCode();
  EXPECT_EQ(ChannelGetLength(tempo, POS_BYTE), ChannelGetLength(src, POS_BYTE));
  ASSERT_TRUE(ChannelSetAttribute(tempo, ATTRIB_TEMPO, 100));
  std::vector<float> all = ReadAll(tempo);
  EXPECT_NEAR(all.size() / 2 / 44100.0, 1.0, 0.02);
  StreamFree(tempo);
  ChannelInfo info;
  EXPECT_FALSE(ChannelGetInfo(src, &info));  // freed with the tempo stream
  // Without the flag the source stays.
  src = StreamCreateFile(Sine(), 0, 0, kDecode);
  tempo = TempoCreate(src, kDecode);
  StreamFree(tempo);
  EXPECT_TRUE(ChannelGetInfo(src, &info));
  StreamFree(src);
  EXPECT_EQ(TempoCreate(src, kDecode), 0u);
}

// ---- Played channels on the no-sound device ----

class PlaybackTest : public ChannelTest {
 protected:
  void SetUp() override {
    SetConfig(CONFIG_BUFFER, 300);
    SetConfig(CONFIG_UPDATEPERIOD, 20);
    ASSERT_TRUE(Init(0, 44100, 0)) << ErrorGetCode();
  }
  void TearDown() override { Free(); }
};

struct EndFlag {
  std::mutex m;
  std::condition_variable cv;
  bool fired = false;
  std::thread::id thread;
};
void OnEnd(HSYNC, DWORD, DWORD, void* user) {
  auto* e = static_cast<EndFlag*>(user);
  std::lock_guard lock(e->m);
  e->fired = true;
  e->thread = std::this_thread::get_id();
  e->cv.notify_all();
}

TEST_F(PlaybackTest, NoSoundDeviceAdvancesInRealTimeAndPauseHolds) {
  EXPECT_FALSE(Init(0, 44100, 0));
  EXPECT_EQ(ErrorGetCode(), ERROR_ALREADY);
  HSTREAM h = StreamCreateFile(Sine(), 0, 0, SAMPLE_FLOAT);
  ASSERT_NE(h, 0u);
  auto seconds = [&] { return ChannelBytes2Seconds(h, ChannelGetPosition(h, POS_BYTE)); };
  EXPECT_EQ(seconds(), 0.0);
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(ChannelPlay(h, false));
  EXPECT_EQ(ChannelIsActive(h), ACTIVE_PLAYING);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_NEAR(seconds(), elapsed, 0.1);
  ASSERT_TRUE(ChannelPause(h));
  EXPECT_EQ(ChannelIsActive(h), ACTIVE_PAUSED);
  double held = seconds();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(seconds(), held);
  // A seek while paused lands exactly and stays paused.
  ASSERT_TRUE(ChannelSetPosition(h, ChannelSeconds2Bytes(h, 1.0), POS_BYTE | POS_FLUSH));
  EXPECT_NEAR(seconds(), 1.0, 1e-6);
  EXPECT_EQ(ChannelIsActive(h), ACTIVE_PAUSED);
  StreamFree(h);
}

TEST_F(PlaybackTest, EndSyncFiresOnTheLibraryThreadWhenHeard) {
  HSTREAM h = StreamCreateFile(Sine(), 0, 0, SAMPLE_FLOAT);
  ChannelSetPosition(h, ChannelSeconds2Bytes(h, 1.7), POS_BYTE);
  EndFlag end;
  ChannelSetSync(h, SYNC_END, 0, OnEnd, &end);
  auto t0 = std::chrono::steady_clock::now();
  ChannelPlay(h, false);
  std::unique_lock lock(end.m);
  ASSERT_TRUE(end.cv.wait_for(lock, std::chrono::seconds(3), [&] { return end.fired; }));
  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  // When the last 0.3 s were heard (later on a loaded machine), not when they were decoded.
  EXPECT_GE(elapsed, 0.25);
  EXPECT_LT(elapsed, 1.5);
  EXPECT_NE(end.thread, std::this_thread::get_id());
  EXPECT_TRUE(WaitFor([&] { return ChannelIsActive(h) == ACTIVE_STOPPED; }));
  // Playing again after the end starts over.
  lock.unlock();
  ChannelPlay(h, false);
  EXPECT_LT(ChannelBytes2Seconds(h, ChannelGetPosition(h, POS_BYTE)), 0.2);
  StreamFree(h);
}

TEST_F(PlaybackTest, FreeReleasesPlayedStreamsAndStreamsNeedTheDevice) {
  HSTREAM played = StreamCreateFile(Sine(), 0, 0, SAMPLE_FLOAT);
  HSTREAM decoded = StreamCreateFile(Sine(), 0, 0, kDecode);
  ChannelPlay(played, false);
  ASSERT_TRUE(Free());
  ChannelInfo info;
  EXPECT_FALSE(ChannelGetInfo(played, &info));
  EXPECT_TRUE(ChannelGetInfo(decoded, &info));
  EXPECT_EQ(StreamCreateFile(Sine(), 0, 0, SAMPLE_FLOAT), 0u);
  EXPECT_EQ(ErrorGetCode(), ERROR_INIT);
  StreamFree(decoded);
  ASSERT_TRUE(Init(0, 44100, 0));
}

TEST_F(PlaybackTest, PlayedDataIsWhatWillBeHeard) {
  HSTREAM h = StreamCreateFile(Sine(), 0, 0, SAMPLE_FLOAT);
  ChannelPlay(h, false);
  ASSERT_TRUE(WaitFor([&] { return ChannelGetData(h, nullptr, DATA_AVAILABLE) > 0; }));
  std::vector<float> peek(2048);
  DWORD got = ChannelGetData(h, peek.data(), static_cast<DWORD>(peek.size() * 4));
  ASSERT_GT(got, 0u);
  EXPECT_NEAR(testsupport::Rms(peek.data(), got / 4), 0.0625, 0.005);  // ffmpeg's sine: peak 1/8, -3 dB per channel
  StreamFree(h);
}

}  // namespace
