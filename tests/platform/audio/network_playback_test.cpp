// Network streams played through the tempo stream on the no-sound device: a slow server stalls
// the channel and it resumes; syncs on the source fire; a dying server ends the channel; the
// caller's thread is never held up meanwhile.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "audio.h"
#include "icy_server.h"
#include "media.h"

using namespace audio;
using Clock = std::chrono::steady_clock;

namespace {

class NetworkPlaybackTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new testsupport::TempDir;
    // 64 kbit/s MP3 as a station sends it: no Xing frame, no ID3 tag.
    ASSERT_TRUE(testsupport::MakeSine(dir_->file("radio.mp3"), 1000, 4.0, 44100, 1,
                                      "-c:a libmp3lame -b:a 64k -write_xing 0 -id3v2_version 0"));
    auto bytes = testsupport::ReadFileBytes(dir_->file("radio.mp3"));
    payload_ = new std::string(bytes.begin(), bytes.end());
  }
  static void TearDownTestSuite() {
    delete dir_;
    delete payload_;
  }
  void SetUp() override {
    SetConfig(CONFIG_UPDATEPERIOD, 20);
    SetConfig(CONFIG_BUFFER, 300);
    SetConfig(CONFIG_NET_BUFFER, 1000);
    SetConfig(CONFIG_NET_PREBUF, 50);
    SetConfig(CONFIG_NET_TIMEOUT, 2000);
    ASSERT_TRUE(Init(0, 44100, 0));
  }
  void TearDown() override { Free(); }

  // Opens `path` of the server as a source and its played tempo stream.
  HSTREAM Play(testsupport::IcyServer& server, const std::string& path, HSTREAM* source) {
    *source = StreamCreateURL(server.Url(path), 0, STREAM_STATUS | STREAM_DECODE | SAMPLE_FLOAT);
    if (!*source) return 0;
    HSTREAM out = TempoCreate(*source, SAMPLE_FLOAT | FX_FREESOURCE);
    ChannelPlay(out, false);
    return out;
  }

  static testsupport::TempDir* dir_;
  static std::string* payload_;
};
testsupport::TempDir* NetworkPlaybackTest::dir_ = nullptr;
std::string* NetworkPlaybackTest::payload_ = nullptr;

struct Events {
  std::atomic<int> meta{0}, end{0}, download{0};
};
void CountMeta(HSYNC, DWORD, DWORD, void* u) { ++static_cast<Events*>(u)->meta; }
void CountEnd(HSYNC, DWORD, DWORD, void* u) { ++static_cast<Events*>(u)->end; }
void CountDownload(HSYNC, DWORD, DWORD, void* u) { ++static_cast<Events*>(u)->download; }

template <typename P>
bool WaitFor(P pred, int ms) {
  auto until = Clock::now() + std::chrono::milliseconds(ms);
  while (!pred()) {
    if (Clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

TEST_F(NetworkPlaybackTest, SlowServerStallsThePlayedStreamAndItResumes) {
  testsupport::IcyServer server;
  testsupport::IcyRoute route;
  route.payload = *payload_;
  route.bytes_per_second = 5000;  // slower than the 8000 bytes a second the stream plays
  server.SetRoute("/slow", route);
  HSTREAM source = 0;
  HSTREAM out = Play(server, "/slow", &source);
  ASSERT_NE(out, 0u) << ErrorGetCode();
  EXPECT_EQ(ChannelGetLength(out, POS_BYTE), static_cast<QWORD>(-1));  // live

  double slowest_call = 0;
  auto probe = [&] {
    auto t0 = Clock::now();
    DWORD state = ChannelIsActive(out);
    ChannelGetPosition(out, POS_BYTE);
    slowest_call = std::max(slowest_call, std::chrono::duration<double>(Clock::now() - t0).count());
    return state;
  };
  ASSERT_TRUE(WaitFor([&] { return probe() == ACTIVE_STALLED; }, 8000)) << "never stalled";
  double stalled_at = ChannelBytes2Seconds(out, ChannelGetPosition(out, POS_BYTE));
  ASSERT_TRUE(WaitFor([&] { return probe() == ACTIVE_PLAYING; }, 8000)) << "never resumed";
  ASSERT_TRUE(WaitFor([&] {
    probe();
    return ChannelBytes2Seconds(out, ChannelGetPosition(out, POS_BYTE)) > stalled_at + 0.2;
  }, 5000)) << "position did not move on after the stall";
  EXPECT_LT(slowest_call, 0.05) << "a call on the caller's thread waited for the network";
  StreamFree(out);
}

TEST_F(NetworkPlaybackTest, MetadataSyncOnTheSourceAndEndWhenTheServerDies) {
  testsupport::IcyServer server;
  testsupport::IcyRoute route;
  route.payload = *payload_;
  route.metaint = 4000;
  route.titles = {"Band - One", "Band - Two"};
  route.title_every = 8000;
  route.die_after = 24000;  // three seconds of audio
  route.bytes_per_second = 8000;  // real time: title changes arrive while it plays
  server.SetRoute("/dies", route);
  HSTREAM source = 0;
  Events ev;
  HSTREAM out = 0;
  source = StreamCreateURL(server.Url("/dies"), 0, STREAM_STATUS | STREAM_DECODE | SAMPLE_FLOAT);
  ASSERT_NE(source, 0u) << ErrorGetCode();
  ChannelSetSync(source, SYNC_META, 0, CountMeta, &ev);
  out = TempoCreate(source, SAMPLE_FLOAT | FX_FREESOURCE);
  ChannelSetSync(out, SYNC_END, 0, CountEnd, &ev);
  ChannelPlay(out, false);
  EXPECT_TRUE(WaitFor([&] { return ev.meta >= 1; }, 5000));
  std::vector<char> meta = ChannelGetTags(source, TAG_META);
  EXPECT_EQ(std::string(meta.data()).rfind("StreamTitle='Band - ", 0), 0u);
  auto t0 = Clock::now();
  ASSERT_TRUE(WaitFor([&] { return ev.end == 1; }, 10000)) << "the channel never ended";
  EXPECT_EQ(ChannelIsActive(out), ACTIVE_STOPPED);
  // The server died after about 3 s of audio: the end is heard about then.
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - t0).count(), 6.0);
  StreamFree(out);
}

TEST_F(NetworkPlaybackTest, DownloadSyncFiresOnceForAFileWithALength) {
  testsupport::IcyServer server;
  testsupport::IcyRoute route;
  route.kind = testsupport::IcyRoute::Kind::Http;
  route.payload = *payload_;
  route.live = false;
  server.SetRoute("/file.mp3", route);
  HSTREAM source =
      StreamCreateURL(server.Url("/file.mp3"), 0, STREAM_STATUS | STREAM_DECODE | SAMPLE_FLOAT);
  ASSERT_NE(source, 0u);
  Events ev;
  ChannelSetSync(source, SYNC_DOWNLOAD | SYNC_ONETIME, 0, CountDownload, &ev);
  EXPECT_NEAR(ChannelBytes2Seconds(source, ChannelGetLength(source, POS_BYTE)), 4.0, 0.1);
  EXPECT_TRUE(WaitFor([&] { return ev.download == 1; }, 5000));
  EXPECT_EQ(StreamGetDownloaded(source), payload_->size());
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(ev.download, 1);
  StreamFree(source);
}

}  // namespace
